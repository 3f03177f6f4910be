#include "support/test_support.h"

#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "lora_sim/uplink_packets.h"
#include "shared/shared_state.h"

#include <QFile>
#include <QHostAddress>
#include <QMutexLocker>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

QString log_contents()
{
    QFile file(QFile::decodeName(log_file_name()));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool log_in(const QTemporaryDir &dir)
{
    if (!dir.isValid())
        return false;
    set_log_file_name(QFile::encodeName(dir.filePath(QStringLiteral("test.log"))));
    return true;
}

QString fresh_log_in(const QTemporaryDir &dir)
{
    if (!log_in(dir))
        return QString();
    const QString name = QFile::decodeName(log_file_name());
    QFile::remove(name);
    return name;
}

void log_per_test(const QTemporaryDir &dir)
{
    QString name = QString::fromLatin1(QTest::currentTestFunction());
    if (const char *tag = QTest::currentDataTag())
        name += QLatin1Char('-') + QString::fromUtf8(tag);
    set_log_file_name(QFile::encodeName(dir.filePath(name + QStringLiteral(".log"))));
}

quint16 free_port()
{
    // The system may hand the same free port to two probes in a row, and a test that
    // serves two modems would then give both one port: no port is handed out twice.
    static QSet<quint16> handed_out;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, 0))
            return 0;
        const quint16 port = probe.serverPort();
        if (!handed_out.contains(port)) {
            handed_out.insert(port);
            return port;
        }
    }
    return 0;
}

quint8 link_state()
{
    QMutexLocker lock(&state_mutex);
    return state_flags & (link_started | link_ready);
}

QList<quint64> server_euis()
{
    QMutexLocker lock(&state_mutex);
    return port_views.keys();
}

Port_view port_view_of(quint64 eui)
{
    QMutexLocker lock(&state_mutex);
    return port_views.value(eui);
}

void set_reachable(const QVector<Server_device> &modems)
{
    QMutexLocker lock(&state_mutex);
    reachable_modems = modems;
}

void reset_process_state()
{
    reset_settings();
    reset_shared_state();
    reset_devices();
}

void forget_application_exit()
{
    // The application's own loop clears the remembered end when it returns.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

std::unique_ptr<QProcess> start_program(const QString &folder, const QStringList &arguments,
                                        const QStringList &environment, const QString &shell)
{
    auto program = std::make_unique<QProcess>();
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    variables.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const QString &variable : environment)
        variables.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    program->setProcessEnvironment(variables);
    program->setWorkingDirectory(folder);
    if (shell.isEmpty())
        program->start(QStringLiteral(QUVO_PROGRAM), arguments);
    else
        program->start(QStringLiteral("bash"), QStringList{QStringLiteral("-c"), shell + QStringLiteral(" && exec \"$0\" \"$@\""),
                                                           QStringLiteral(QUVO_PROGRAM)} + arguments);
    if (!program->waitForStarted(30000))
        return nullptr;
    return program;
}

void end_program(QProcess *program)
{
    if (program && program->state() != QProcess::NotRunning) {
        program->kill();
        program->waitForFinished(30000);
    }
}

void add_served(quint64 eui, quint16 port, int max_frame, Device_mode mode)
{
    served_model.add({eui, Device_params{max_frame, port, mode}});
}

QString positioned(int column, int line, const QString &text)
{
    return QStringLiteral("Ошибка в %1-м символе %2-й строки текстового сообщения, пришедшего через соединение "
                          "WebSocket: ")
               .arg(column)
               .arg(line)
        + text;
}

QByteArray receive(QTcpSocket &socket, int n)
{
    (void)QTest::qWaitFor([&] { return socket.bytesAvailable() >= n; }, 5000);
    return socket.readAll();
}

QByteArray packet(const QByteArray &data)
{
    return make_uplink_packet(0x03, quint16(data.size()), data, 0, 1);
}
