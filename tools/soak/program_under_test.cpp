#include "soak/program_under_test.h"

#include "lora_sim/sim_modem.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTextStream>

#include <memory>
#include <vector>

namespace {

constexpr quint16 lowest_port = 20000;
constexpr quint16 highest_port = 32000;

bool write_text(const QString &name, const QString &text, QString *error)
{
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(name, file.errorString());
        return false;
    }
    return true;
}

}  // namespace

QVector<quint16> pick_free_ports(int count, QString *error)
{
    QVector<quint16> ports;
    std::vector<std::unique_ptr<QTcpServer>> held;
    quint16 port = quint16(lowest_port + QRandomGenerator::global()->bounded(highest_port - lowest_port));
    for (int tried = 0; ports.size() < count && tried < highest_port - lowest_port; ++tried) {
        if (++port >= highest_port)
            port = lowest_port;
        auto probe = std::make_unique<QTcpServer>();
        if (probe->listen(QHostAddress::Any, port)) {
            ports.append(port);
            held.push_back(std::move(probe));
        }
    }
    if (ports.size() < count)
        *error = QStringLiteral("found only %1 free TCP ports of %2").arg(ports.size()).arg(count);
    return ports;
}

Program_under_test::Program_under_test(const QString &program_file, QObject *parent)
    : QObject(parent)
    , program(program_file)
{
    connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) {
                if (!stopping)
                    emit ended(code, status);
            });
}

Program_under_test::~Program_under_test()
{
    stop();
}

bool Program_under_test::start(const QUrl &server, const QVector<Served_modem> &modems,
                               const Program_timings &timings, QString *error)
{
    if (!dir.isValid()) {
        *error = QStringLiteral("cannot make a temporary folder: %1").arg(dir.errorString());
        return false;
    }
    QString devices;
    for (const Served_modem &modem : modems)
        devices += QStringLiteral("device(eui=%1, tcp_port=%2, max_frame=%3%4)\n")
                       .arg(eui_text(modem.eui))
                       .arg(modem.tcp_port)
                       .arg(modem.max_frame)
                       .arg(modem.modbus ? QStringLiteral(", mode=modbus_tcp") : QString());
    const QString config = QStringLiteral(
                               "ws_url = \"%1\"\n"
                               "ws_login = \"soak\"\n"
                               "ws_password = \"soak\"\n"
                               "ws_reconnect_delay = %2\n"
                               "ws_data_timeout = %3\n"
                               "ws_devlist_period = %4\n"
                               "interframe_delay = %5\n"
                               "modbus_timeout = %6\n"
                               "devices_file = \"devices.cfg\"\n"
                               "tcp_listen = 127.0.0.1\n"
                               "trace_ws = err\n"
                               "trace_tcp = err\n")
                               .arg(server.toString())
                               .arg(timings.reconnect_delay_ms)
                               .arg(timings.data_timeout_ms)
                               .arg(timings.devlist_period_ms)
                               .arg(timings.interframe_delay_ms)
                               .arg(timings.modbus_timeout_ms);
    if (!write_text(dir.filePath(QStringLiteral("devices.cfg")), devices, error) ||
        !write_text(dir.filePath(QStringLiteral("soak.cfg")), config, error))
        return false;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(dir.filePath(QStringLiteral("program.out")));
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, {QStringLiteral("--cfg=soak.cfg"), QStringLiteral("--log=quvo_vevi2zar.log")});
    if (!process.waitForStarted(10000)) {
        *error = QStringLiteral("cannot start %1: %2").arg(program, process.errorString());
        return false;
    }
    return true;
}

void Program_under_test::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    stopping = true;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool Program_under_test::running() const
{
    return process.state() == QProcess::Running;
}

qint64 Program_under_test::pid() const
{
    return process.processId();
}

QString Program_under_test::folder() const
{
    return dir.path();
}

void Program_under_test::keep_folder()
{
    dir.setAutoRemove(false);
}

qint64 Program_under_test::rss_kib() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

int Program_under_test::descriptors() const
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid()));
    return fds.exists() ? int(fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size()) : -1;
}

int Program_under_test::internal_errors() const
{
    return log_count(QStringLiteral("Неожиданная ошибка"));
}

int Program_under_test::log_count(const QString &text) const
{
    QFile log(dir.filePath(QStringLiteral("quvo_vevi2zar.log")));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    return log.readAll().count(text.toUtf8());
}

int Program_under_test::sanitizer_reports() const
{
    QFile output(dir.filePath(QStringLiteral("program.out")));
    if (!output.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = output.readAll();
    return int(text.count("ERROR: AddressSanitizer") + text.count("ERROR: LeakSanitizer") + text.count("runtime error:"));
}
