#include "app/engine.h"
#include "app/log.h"
#include "app/shared_state.h"
#include "config/devices.h"
#include "config/settings.h"
#include "link/ws_connection.h"
#include "lora_sim/sim_server.h"

#include <QFile>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Client bytes through the program to simulated echo modems and back: the exchange thread
// runs for real, the simulated network server and the TCP clients live in the test thread.

namespace {

const Eui eui_a = 0x0011223344556677ULL;
const Eui eui_b = 0x00AABBCCDDEEFF01ULL;

// A port that was free a moment ago, for the devices file.
quint16 free_port()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

Sim_modem echo_modem(Eui eui, Echo_options echo = Echo_options())
{
    Sim_modem m;
    m.eui = eui;
    m.name = QStringLiteral("modem %1").arg(eui, 0, 16);
    m.echo = echo;
    return m;
}

bool has_server(Eui eui)
{
    QMutexLocker lock(&state_mutex);
    return tcp_servers.contains(eui);
}

int clients()
{
    QMutexLocker lock(&state_mutex);
    return clients_count;
}

// Waits for n bytes from the program (or the time-out) and returns what has come.
QByteArray receive(QTcpSocket &socket, int n)
{
    (void)QTest::qWaitFor([&] { return socket.bytesAvailable() >= n; }, 5000);
    return socket.readAll();
}

} // namespace

class Tst_tcp_bridge : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString log_path;
    std::unique_ptr<Sim_server> sim;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<QSignalSpy> downlinks;

    QString log_contents() const
    {
        QFile f(log_path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    quint16 serve(Eui eui, int max_frame = 51)
    {
        const quint16 port = free_port();
        QMutexLocker lock(&state_mutex);
        served_devices[eui] = Device_params{max_frame, port};
        return port;
    }

    void start()
    {
        settings.ws_url = sim->url().toString();
        engine.reset(new Engine);
        engine->start();
    }

    // One echo modem served, its server running, and its downlinks refused after delay_ms,
    // so that a message stays in flight for a while. Gives the modem's port, 0 on failure.
    quint16 start_with_slow_refusals(int delay_ms)
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        settings.interframe_delay = 20;
        start();
        if (!QTest::qWaitFor([] { return has_server(eui_a); }, 5000))
            return 0;
        sim->faults().send_data.delay_ms = delay_ms;
        sim->faults().append_false.insert(eui_a);
        return port;
    }

    // What the devices dialog does after an edit: the link reconciles its servers at once.
    void reconcile_now()
    {
        QMetaObject::invokeMethod(registered_ws_connection, "update_servers", Qt::QueuedConnection);
    }

    // A connected client of the modem's port.
    std::unique_ptr<QTcpSocket> connect_client(quint16 port)
    {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, port);
        if (!client->waitForConnected(5000))
            return nullptr;
        return client;
    }

    QList<QByteArray> downlink_payloads() const
    {
        QList<QByteArray> out;
        for (const QList<QVariant> &args : *downlinks)
            out << args.at(1).toByteArray();
        return out;
    }

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        log_path = dir.filePath(QStringLiteral("bridge.log"));
        QFile::remove(log_path);
        set_log_file_name(log_path.toUtf8());
        reset_settings();
        reset_shared_state();
        reset_devices();
        settings.ws_reconnect_delay = 100;
        settings.ws_devlist_period = 150;
        settings.interframe_delay = 40;
        settings.trace_tcp = Trace_level::all;
        sim.reset(new Sim_server);
        QVERIFY(sim->listen());
        downlinks.reset(new QSignalSpy(sim.get(), &Sim_server::downlink));
    }

    void cleanup()
    {
        if (engine)
            QVERIFY(engine->stop(10000));
        engine.reset();
        downlinks.reset();
        sim.reset();
        reset_shared_state();
        reset_devices();
        reset_settings();
    }

    void cleanupTestCase() { reset_log_file_name(); }

    // Bytes written without a pause make one message; a pause starts the next.
    void frames_cut_at_pauses()
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        settings.interframe_delay = 300;
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        auto client = connect_client(port);
        QVERIFY(client);
        QTRY_COMPARE(clients(), 1);
        client->write("ab");
        QVERIFY(client->waitForBytesWritten(1000));
        client->write("cd");
        QTRY_COMPARE_WITH_TIMEOUT(downlinks->count(), 1, 5000);
        QCOMPARE(downlinks->at(0).at(0).toULongLong(), eui_a);
        QCOMPARE(downlink_payloads(), QList<QByteArray>{"abcd"});
        QCOMPARE(receive(*client, 4), QByteArray("abcd"));
        client->write("ef");
        QTRY_COMPARE_WITH_TIMEOUT(downlinks->count(), 2, 5000);
        QCOMPARE(downlink_payloads().last(), QByteArray("ef"));
        QCOMPARE(receive(*client, 2), QByteArray("ef"));

        const QString log = log_contents();
        const QString tcp = QStringLiteral("tcp%1").arg(port);
        QVERIFY(log.contains(tcp + QStringLiteral(".listen")));
        QVERIFY(log.contains(tcp + QStringLiteral("(peer=[")));
        QVERIFY(log.contains(tcp + QStringLiteral(".recv 0x{61 62")));
        QVERIFY(log.contains(tcp + QStringLiteral(".send 0x{61 62 63 64}")));
        QCOMPARE(sim->bad_commands(), 0);
    }

    // What the echo modems make of a message reaches the client once, in order.
    void uplink_groups_data()
    {
        QTest::addColumn<int>("packet_size");
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("shuffle");
        QTest::addColumn<bool>("duplicate");
        QTest::addColumn<bool>("repeat_copy");
        QTest::newRow("one packet") << 40 << 0x03 << false << false << false;
        QTest::newRow("shuffled, duplicated, repeated") << 3 << 0x03 << true << true << true;
        QTest::newRow("type 0x13 in small packets") << 2 << 0x13 << true << false << false;
    }
    void uplink_groups()
    {
        QFETCH(int, packet_size);
        QFETCH(int, type);
        QFETCH(bool, shuffle);
        QFETCH(bool, duplicate);
        QFETCH(bool, repeat_copy);
        Echo_options echo;
        echo.packet_size = packet_size;
        echo.packet_type = quint8(type);
        echo.shuffle = shuffle;
        echo.duplicate = duplicate;
        echo.repeat_copy = repeat_copy;
        sim->add_modem(echo_modem(eui_a, echo));
        const quint16 port = serve(eui_a);
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        auto client = connect_client(port);
        QVERIFY(client);
        const QByteArray data("The quick brown fox jumps over the lazy dog");
        client->write(data);
        QCOMPARE(receive(*client, data.size()), data);
        client->write("again");
        QCOMPARE(receive(*client, 5), QByteArray("again"));
        QVERIFY(!log_contents().contains(QStringLiteral("Неправильн")));
    }

    // max_frame bytes pass; one more ends the client and nothing of that message is sent.
    void max_frame_limit()
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a, 8);
        settings.trace_tcp = Trace_level::bad_frames;
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        auto client = connect_client(port);
        QVERIFY(client);
        client->write("12345678");
        QCOMPARE(receive(*client, 8), QByteArray("12345678"));

        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        client->write("123456789");
        QVERIFY(gone.wait(5000));
        const QString log = log_contents();
        QVERIFY(log.contains(QStringLiteral(
            "Ошибка: от клиента на порту %1 пришло сообщение, размер которого превышает предельный для этого "
            "клиента (8 байтов). Предельный размер сообщения можно настроить в файле конфигурации и в описании "
            "устройства.").arg(port)));
        QVERIFY(log.contains(QStringLiteral("Уже принятая часть сообщения, вызвавшего предыдущую ошибку: "
                                            "0x{31 32 33 34 35 36 37 38 39}")));
        QVERIFY(!log.contains(QStringLiteral(".recv")));
        QTRY_COMPARE(clients(), 0);

        // The next client's message is the next downlink: nothing of the overlong one went out.
        auto next = connect_client(port);
        QVERIFY(next);
        next->write("x");
        QTRY_COMPARE_WITH_TIMEOUT(downlinks->count(), 2, 5000);
        QCOMPARE(downlink_payloads(), (QList<QByteArray>{"12345678", "x"}));
    }

    // While the network server takes its time, further messages wait: never two outstanding.
    void one_command_outstanding()
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        settings.interframe_delay = 20;
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        sim->faults().send_data.delay_ms = 300;
        auto client = connect_client(port);
        QVERIFY(client);
        client->write("1");
        QTRY_COMPARE_WITH_TIMEOUT(sim->received(QStringLiteral("send_data_req")), 1, 5000);
        client->write("2");
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(QStringLiteral(".recv 0x{32}")), 5000);
        QTest::qWait(100);
        client->write("3");
        QTRY_COMPARE_WITH_TIMEOUT(downlinks->count(), 3, 5000);
        QCOMPARE(downlink_payloads(), (QList<QByteArray>{"1", "2", "3"}));
        QCOMPARE(sim->max_outstanding_send_data(), 1);
        QCOMPARE(receive(*client, 3), QByteArray("123"));
    }

    // A refused downlink costs only that modem's client.
    void append_status_false_closes_only_that_client()
    {
        sim->add_modem(echo_modem(eui_a));
        sim->add_modem(echo_modem(eui_b));
        const quint16 port_a = serve(eui_a);
        const quint16 port_b = serve(eui_b);
        sim->faults().append_false.insert(eui_a);
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a) && has_server(eui_b), 5000);
        auto a = connect_client(port_a);
        auto b = connect_client(port_b);
        QVERIFY(a && b);
        QTRY_COMPARE(clients(), 2);
        QSignalSpy a_gone(a.get(), &QTcpSocket::disconnected);
        a->write("refused");
        QVERIFY(a_gone.wait(5000));
        b->write("fine");
        QCOMPARE(receive(*b, 4), QByteArray("fine"));
        QCOMPARE(b->state(), QAbstractSocket::ConnectedState);
        QTRY_COMPARE(clients(), 1);
        QVERIFY(has_server(eui_a));
        QCOMPARE(sim->connections_accepted(), 1);
    }

    // The servers follow the network server's list; a dropped modem's client is closed.
    void servers_follow_the_device_list()
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port_a = serve(eui_a);
        const quint16 port_b = serve(eui_b);
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        QVERIFY(!has_server(eui_b));
        auto a = connect_client(port_a);
        QVERIFY(a);
        QTRY_COMPARE(clients(), 1);

        sim->add_modem(echo_modem(eui_b));
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_b), 5000);
        auto b = connect_client(port_b);
        QVERIFY(b);

        QSignalSpy a_gone(a.get(), &QTcpSocket::disconnected);
        sim->remove_modem(eui_a);
        QTRY_VERIFY_WITH_TIMEOUT(!has_server(eui_a), 5000);
        QVERIFY(a_gone.count() || a_gone.wait(5000));
        const QString shutdown_ok = QStringLiteral("tcp%1.shutdown_server_ok").arg(port_a);
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(shutdown_ok), 5000);
        QTRY_COMPARE(clients(), 1);
        QTcpSocket refused;
        refused.connectToHost(QHostAddress::LocalHost, port_a);
        QVERIFY(!refused.waitForConnected(2000));
        b->write("still here");
        QCOMPARE(receive(*b, 10), QByteArray("still here"));
    }

    // Without the link no port is open; the reconnected link opens them again.
    void link_loss_closes_ports()
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        auto client = connect_client(port);
        QVERIFY(client);
        QTRY_COMPARE(clients(), 1);
        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        sim->abort_connections();
        QVERIFY(gone.wait(5000));
        QTRY_COMPARE_WITH_TIMEOUT(sim->connections_accepted(), 2, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        auto again = connect_client(port);
        QVERIFY(again);
        again->write("back");
        QCOMPARE(receive(*again, 4), QByteArray("back"));
        QTRY_COMPARE(clients(), 1);
    }

    // A client that leaves right after writing still has its bytes delivered.
    void bytes_of_a_leaving_client_are_sent()
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        settings.interframe_delay = 500;
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        auto client = connect_client(port);
        QVERIFY(client);
        client->write("last words");
        client->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(downlinks->count(), 1, 5000);
        QCOMPARE(downlink_payloads(), QList<QByteArray>{"last words"});
        QTRY_COMPARE(clients(), 0);
        QVERIFY(log_contents().contains(QStringLiteral("tcp%1.disconnected").arg(port)));
    }

    // A newcomer replaces the client; what the old one sent within the pause is dropped.
    void new_client_replaces_the_old()
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        settings.interframe_delay = 500;
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        auto old = connect_client(port);
        QVERIFY(old);
        QTRY_COMPARE(clients(), 1);
        old->write("old bytes");
        QVERIFY(old->waitForBytesWritten(1000));
        QTRY_VERIFY(log_contents().contains(QStringLiteral("tcp%1.recv").arg(port)));
        QSignalSpy old_gone(old.get(), &QTcpSocket::disconnected);
        auto fresh = connect_client(port);
        QVERIFY(fresh);
        QVERIFY(old_gone.wait(5000));
        QCOMPARE(clients(), 1);
        fresh->write("new");
        QCOMPARE(receive(*fresh, 3), QByteArray("new"));
        QCOMPARE(downlink_payloads(), QList<QByteArray>{"new"});
        QTRY_VERIFY(log_contents().contains(QStringLiteral("tcp%1.shutdown_ok").arg(port)));
    }
    // An edited server is replaced while its client's message awaits a refusal: the refusal
    // reaches nobody, the queued message of the old client is not sent, the link stays up.
    void edit_while_a_message_is_in_flight()
    {
        const quint16 port = start_with_slow_refusals(600);
        QVERIFY(port);
        auto client = connect_client(port);
        QVERIFY(client);
        QTRY_COMPARE(clients(), 1);
        client->write("1");
        QTRY_COMPARE_WITH_TIMEOUT(sim->received(QStringLiteral("send_data_req")), 1, 5000);
        client->write("2");
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(QStringLiteral(".recv 0x{32}")), 5000);
        QTest::qWait(60);
        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        {
            QMutexLocker lock(&state_mutex);
            served_devices[eui_a].max_frame = 77;
        }
        reconcile_now();
        QVERIFY(gone.wait(5000));
        client.reset();
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(QStringLiteral("shutdown_server_ok")), 5000);
        auto next = connect_client(port);
        QVERIFY(next);
        QTRY_COMPARE(clients(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(sim->outstanding_send_data(), 0, 5000);
        sim->faults().append_false.clear();
        sim->faults().send_data.delay_ms = 0;
        next->write("3");
        QCOMPARE(receive(*next, 1), QByteArray("3"));
        QCOMPARE(sim->connections_accepted(), 1);
        QCOMPARE(downlink_payloads(), (QList<QByteArray>{"3"}));
    }

    // The refusal of the old client's message must not close the client that replaced it.
    void refusal_after_replacement()
    {
        const quint16 port = start_with_slow_refusals(500);
        QVERIFY(port);
        auto old = connect_client(port);
        QVERIFY(old);
        QTRY_COMPARE(clients(), 1);
        old->write("1");
        QTRY_COMPARE_WITH_TIMEOUT(sim->received(QStringLiteral("send_data_req")), 1, 5000);
        auto fresh = connect_client(port);
        QVERIFY(fresh);
        QTRY_COMPARE_WITH_TIMEOUT(sim->outstanding_send_data(), 0, 5000);
        sim->faults().append_false.clear();
        sim->faults().send_data.delay_ms = 0;
        QTest::qWait(100);
        QCOMPARE(fresh->state(), QAbstractSocket::ConnectedState);
        fresh->write("2");
        QCOMPARE(receive(*fresh, 1), QByteArray("2"));
    }

    // A client leaves with a message in flight and one queued, then its server goes away:
    // both are still sent and their refusals reach nobody.
    void leaving_client_then_server_removed()
    {
        const quint16 port = start_with_slow_refusals(600);
        QVERIFY(port);
        auto client = connect_client(port);
        QVERIFY(client);
        client->write("1");
        QTRY_COMPARE_WITH_TIMEOUT(sim->received(QStringLiteral("send_data_req")), 1, 5000);
        client->write("2");
        client->disconnectFromHost();
        QTRY_COMPARE(clients(), 0);
        {
            QMutexLocker lock(&state_mutex);
            served_devices.erase(eui_a);
        }
        reconcile_now();
        QTRY_VERIFY_WITH_TIMEOUT(!has_server(eui_a), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(QStringLiteral("shutdown_server_ok")), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(sim->received(QStringLiteral("send_data_req")), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(sim->outstanding_send_data(), 0, 5000);
        QCOMPARE(sim->connections_accepted(), 1);
    }
};

QTEST_GUILESS_MAIN(Tst_tcp_bridge)
#include "tst_tcp_bridge.moc"
