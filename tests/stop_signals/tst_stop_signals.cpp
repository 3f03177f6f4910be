#include "app/stop_signals.h"
#include "base/err.h"
#include "base/log.h"
#include "lora_sim/sim_server.h"
#include "support/test_support.h"

#include <QtTest>

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

#include <signal.h>

namespace {

constexpr quint64 eui = 0x0011223344556677;
constexpr int program_timeout_ms = 30000;

}

// The real program ended by a service manager or a terminal: the first stop signal closes
// the link and the clients in order and the program exits with 0; a second one ends it at once.
class Tst_stop_signals : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void requests_in_order();
    void one_watcher_at_a_time();
    void init();
    void cleanup();
    void signal_closes_link_and_clients_data();
    void signal_closes_link_and_clients();
    void second_signal_exits_at_once();

private:
    void start_program(const QByteArray &extra_settings, const QUrl &server = QUrl());
    QByteArray log() const;
    void send(int number);

    QTemporaryDir own_log_dir;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Sim_server> sim;
    std::unique_ptr<QProcess> program;
    quint16 modem_port = 0;
};

namespace {

using Handler = void (*)(int);

Handler handler_of(int number)
{
    struct sigaction action {};
    ::sigaction(number, nullptr, &action);
    return action.sa_handler;
}

}

void Tst_stop_signals::initTestCase()
{
    if (!QUVO_LINUX_PARTS)
        QSKIP("built without the Linux-only parts: the program watches no stop signals");
    QVERIFY(own_log_dir.isValid());
    set_log_file_name(own_log_dir.filePath(QStringLiteral("test.log")).toUtf8());
}

void Tst_stop_signals::cleanupTestCase()
{
    reset_log_file_name();
}

// In this process: the first signal asks for the orderly exit (after the slot has returned),
// every later one for the immediate exit; the earlier actions come back with the object.
void Tst_stop_signals::requests_in_order()
{
    const Handler earlier[] = {handler_of(SIGTERM), handler_of(SIGINT), handler_of(SIGHUP)};
    {
        Stop_signals watcher;
        QSignalSpy orderly(&watcher, &Stop_signals::orderly_exit);
        QSignalSpy immediate(&watcher, &Stop_signals::immediate_exit);
        QVERIFY(handler_of(SIGTERM) != earlier[0]);
        QCOMPARE(::raise(SIGHUP), 0);
        QTRY_COMPARE_WITH_TIMEOUT(orderly.count(), 1, program_timeout_ms);
        QCOMPARE(immediate.count(), 0);
        QCOMPARE(::raise(SIGINT), 0);
        QCOMPARE(::raise(SIGTERM), 0);
        QTRY_COMPARE_WITH_TIMEOUT(immediate.count(), 2, program_timeout_ms);
        QCOMPARE(orderly.count(), 1);
    }
    QVERIFY(handler_of(SIGTERM) == earlier[0]);
    QVERIFY(handler_of(SIGINT) == earlier[1]);
    QVERIFY(handler_of(SIGHUP) == earlier[2]);
}

void Tst_stop_signals::one_watcher_at_a_time()
{
    Stop_signals first;
    QVERIFY_EXCEPTION_THROWN(Stop_signals second, Debug);
    QSignalSpy orderly(&first, &Stop_signals::orderly_exit);
    QCOMPARE(::raise(SIGTERM), 0);
    QTRY_COMPARE_WITH_TIMEOUT(orderly.count(), 1, program_timeout_ms);
}

void Tst_stop_signals::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    sim = std::make_unique<Sim_server>();
    QVERIFY2(sim->listen(), qPrintable(sim->error_string()));
    Sim_modem modem;
    modem.eui = eui;
    modem.name = QStringLiteral("Meter");
    sim->add_modem(modem);
    modem_port = free_port();
}

void Tst_stop_signals::cleanup()
{
    end_program(program.get());
    program.reset();
    sim.reset();
    dir.reset();
}

void Tst_stop_signals::start_program(const QByteArray &extra_settings, const QUrl &server)
{
    const QUrl url = server.isEmpty() ? sim->url() : server;
    QFile config(dir->filePath(QStringLiteral("quvo_vevi2zar.cfg")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("ws_url = \"" + url.toString().toUtf8() + "\"\n"
                 "ws_login = \"operator\"\nws_password = \"\"\n" + extra_settings);
    config.close();
    QFile devices(dir->filePath(QStringLiteral("devices.cfg")));
    QVERIFY(devices.open(QIODevice::WriteOnly));
    devices.write("device(eui=0011223344556677, tcp_port=" + QByteArray::number(modem_port) + ")\n");
    devices.close();

    program = ::start_program(dir->path(), QStringList());
    QVERIFY(program);
}

QByteArray Tst_stop_signals::log() const
{
    QFile file(dir->filePath(QStringLiteral("quvo_vevi2zar.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Tst_stop_signals::send(int number)
{
    QVERIFY(::kill(static_cast<pid_t>(program->processId()), number) == 0);
}

void Tst_stop_signals::signal_closes_link_and_clients_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("name");
    QTest::newRow("SIGTERM") << SIGTERM << QStringLiteral("SIGTERM");
    QTest::newRow("SIGINT") << SIGINT << QStringLiteral("SIGINT");
    QTest::newRow("SIGHUP") << SIGHUP << QStringLiteral("SIGHUP");
}

void Tst_stop_signals::signal_closes_link_and_clients()
{
    QFETCH(int, number);
    QFETCH(QString, name);
    start_program("trace_tcp = all\n");

    // A client served through the echo modem: its bytes come back.
    QTcpSocket client;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            if (client.state() == QAbstractSocket::UnconnectedState)
                client.connectToHost(QHostAddress::LocalHost, modem_port);
            return client.waitForConnected(200);
        }(),
        program_timeout_ms);
    client.write("ping");
    QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), qint64(4), program_timeout_ms);
    QCOMPARE(client.readAll(), QByteArray("ping"));

    const quint16 client_port = client.localPort();
    QSignalSpy closed(sim.get(), &Sim_server::connection_closed);
    send(number);
    QTRY_VERIFY_WITH_TIMEOUT(program->state() == QProcess::NotRunning, program_timeout_ms);
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, program_timeout_ms);
    QCOMPARE(closed.at(0).at(0).toInt(), 1000);
    QCOMPARE(sim->last_close_code(), 1000);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, program_timeout_ms);
    // Closed by its server before the process ended, not only gone with the process.
    const QByteArray text = log();
    QVERIFY(text.contains(QStringLiteral("Сигнал %1: программа закрывает соединения и завершается.")
                              .arg(name).toUtf8()));
    QVERIFY(text.contains(QStringLiteral("]:%1).shutdown\n").arg(client_port).toUtf8()));
    QVERIFY(text.contains(QStringLiteral("tcp%1.shutdown_server_ok\n").arg(modem_port).toUtf8()));
}

// A connection attempt that hangs keeps the orderly exit waiting; a second signal cuts it short.
// The first signal goes only once the attempt is under way: before it, the exit has nothing
// to wait for.
void Tst_stop_signals::second_signal_exits_at_once()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    start_program("ws_connect_timeout = 60000\n",
                  QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(silent.serverPort())));
    QVERIFY(silent.waitForNewConnection(program_timeout_ms));
    send(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("Сигнал SIGTERM: программа закрывает соединения"),
                             program_timeout_ms);
    QCOMPARE(program->state(), QProcess::Running);

    send(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(program->state() == QProcess::NotRunning, program_timeout_ms);
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);
    QVERIFY(log().contains("Повторный сигнал SIGTERM: программа завершается немедленно."));
}

QTEST_MAIN(Tst_stop_signals)
#include "tst_stop_signals.moc"
