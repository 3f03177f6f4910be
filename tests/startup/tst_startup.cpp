#include "app/program.h"
#include "base/command_line.h"
#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "lora_sim/sim_server.h"
#include "shared/shared_state.h"
#include "support/modal_answer.h"
#include "support/test_support.h"

#include <QtTest>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

// Start-up reads the configuration, then the devices file; an error in either is shown,
// logged, and ends the program with exit code 3. A running program ends in order when the
// user's session ends.
class Tst_startup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void bad_file_ends_start_data();
    void bad_file_ends_start();
    void session_end_stops_in_order();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    void write_file(const QString &name, const QByteArray &bytes);

    QTemporaryDir dir;
};

void Tst_startup::initTestCase()
{
    QVERIFY(dir.isValid());
}

void Tst_startup::init()
{
    reset_process_state();
    reset_config_file_name();
    QFile::remove(path("run.log"));
}

void Tst_startup::cleanup()
{
    reset_log_file_name();
}

void Tst_startup::write_file(const QString &name, const QByteArray &bytes)
{
    QFile f(path(name));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(name));
}

void Tst_startup::bad_file_ends_start_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("devices");
    QTest::addColumn<QString>("message");

    QTest::newRow("bad configuration")
        << QByteArray("ws_url = \"ws://127.0.0.1:1/\"\nws_login = user\n") << QByteArray("")
        << "Ошибка в 12-м символе 2-й строки файла «%1/bad.cfg»: здесь должна быть строка в двойных кавычках.";
    QTest::newRow("missing configuration") << QByteArray() << QByteArray() << "Не найден файл «%1/bad.cfg».";
    QTest::newRow("bad devices file")
        << QByteArray("ws_url = \"u\"\nws_login = \"l\"\nws_password = \"p\"\ndevices_file = \"%1/dev.cfg\"\n")
        << QByteArray("\n device(eui=1)")
        << "Ошибка в 13-м символе 2-й строки файла «%1/dev.cfg»: ожидается 16-значное шестнадцатиричное число.";
    QTest::newRow("missing devices file")
        << QByteArray("ws_url = \"u\"\nws_login = \"l\"\nws_password = \"p\"\ndevices_file = \"%1/none.cfg\"\n")
        << QByteArray() << "Не найден файл «%1/none.cfg».";
}

void Tst_startup::bad_file_ends_start()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, devices);
    QFETCH(QString, message);

    QFile::remove(path("bad.cfg"));
    if (!config.isEmpty())
        write_file("bad.cfg", QString::fromUtf8(config).replace("%1", dir.path()).toUtf8());
    if (!devices.isEmpty())
        write_file("dev.cfg", devices);

    int code = -1;
    const QString shown = close_box_of([&] {
        code = run_program({"--cfg=" + path("bad.cfg").toUtf8(), "--log=" + path("run.log").toUtf8()});
    }).text;
    const QString expected = QString(message).replace("%1", dir.path());
    QCOMPARE(code, 3);
    QCOMPARE(shown, expected);

    QFile log(path("run.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(log.readAll());
    QVERIFY2(logged.endsWith("] " + expected + "\n\n"), qPrintable(logged));
}

// Windows at the end of the user's session: the application hears from inside its event loop
// that it is about to quit, and is told to quit; the process is ended soon after. By then the
// link is closed with the normal code and the client is closed. The files have Cyrillic names,
// the devices file a backslash in its own, which the configuration writes as an escape.
void Tst_startup::session_end_stops_in_order()
{
    Sim_server sim;
    QVERIFY2(sim.listen(), qPrintable(sim.error_string()));
    Sim_modem modem;
    modem.eui = 0x0011223344556677;
    sim.add_modem(modem);
    const quint16 port = free_port();
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("настройки")));
    write_file("настройки/программа.cfg",
               "ws_url = \"" + sim.url().toString().toUtf8() + "\"\nws_login = \"l\"\nws_password = \"p\"\n"
               "trace_tcp = all\ndevices_file = \"" + path("настройки/модемы\\\\список.cfg").toUtf8() + "\"\n");
    write_file("настройки/модемы\\список.cfg", "device(eui=0011223344556677, tcp_port=" + QByteArray::number(port) + ")\n");

    // Inside the program's event loop: a client served through the echo modem, then the
    // session's end as the Windows platform plugin reports it.
    QTcpSocket client;
    bool written = false;
    bool served = false;
    // What the program had done when the signal returned, which is all it gets to do there.
    QString logged;
    bool link_gone = false;
    int ticks = 0;
    QTimer driver;
    connect(&driver, &QTimer::timeout, this, [&] {
        if (client.bytesAvailable() >= 4 || ++ticks > 1500) {
            served = client.readAll() == "ping";
            driver.stop();
            const int about_to_quit = QCoreApplication::staticMetaObject.indexOfSignal("aboutToQuit()");
            QCoreApplication::instance()->qt_metacall(QMetaObject::InvokeMetaMethod, about_to_quit, nullptr);
            logged = log_contents();
            {
                QMutexLocker lock(&state_mutex);
                link_gone = !registered_ws_connection;
            }
            QCoreApplication::quit();
        } else if (client.state() == QAbstractSocket::UnconnectedState) {
            client.connectToHost(QHostAddress::LocalHost, port);
        } else if (client.state() == QAbstractSocket::ConnectedState && !written) {
            written = client.write("ping") == 4;
        }
    });
    driver.start(20);
    QSignalSpy closed(&sim, &Sim_server::connection_closed);
    const int code = run_program({"--cfg=" + path("настройки/программа.cfg").toUtf8(),
                                  "--log=" + path("настройки/журнал.log").toUtf8()});
    QCOMPARE(code, 0);
    QVERIFY(served);
    QVERIFY(link_gone);
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(closed.at(0).at(0).toInt(), 1000);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
    QVERIFY(logged.contains("] Сеанс пользователя завершается: программа закрывает соединения и завершается.\n"));
    QVERIFY(logged.contains(QStringLiteral("tcp%1.shutdown_server_ok\n").arg(port)));
}

QTEST_MAIN(Tst_startup)
#include "tst_startup.moc"
