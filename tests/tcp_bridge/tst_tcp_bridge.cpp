#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "link/send_queue.h"
#include "link/ws_connection.h"
#include "lora_sim/sim_server.h"
#include "lora_sim/uplink_packets.h"
#include "shared/shared_state.h"
#include "support/test_support.h"
#include "tcp/tcp_server.h"

#include <QFile>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Client bytes through the program to simulated echo modems and back: the exchange thread
// runs for real, the simulated network server and the TCP clients live in the test thread.

namespace {

const Eui eui_a = 0x0011223344556677ULL;
const Eui eui_b = 0x00AABBCCDDEEFF01ULL;

Sim_modem echo_modem(Eui eui, Echo_options echo = Echo_options())
{
    Sim_modem m;
    m.eui = eui;
    m.name = QStringLiteral("modem %1").arg(eui, 0, 16);
    m.echo = echo;
    return m;
}

Sim_modem silent_modem(Eui eui)
{
    Sim_modem m = echo_modem(eui);
    m.behaviour = Modem_behaviour::silent;
    return m;
}

QString eui_hex(Eui eui)
{
    return QStringLiteral("%1").arg(eui, 16, 16, QLatin1Char('0')).toUpper();
}

const QString send_data_req = QStringLiteral("send_data_req");

bool has_server(Eui eui)
{
    QMutexLocker lock(&state_mutex);
    return port_views.contains(eui);
}

int clients()
{
    QMutexLocker lock(&state_mutex);
    return clients_count;
}

// A client that never reads, with a small receive window, so that what the program writes
// to it piles up in the program rather than in the system's buffers. Gives the descriptor.
int non_reading_client(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
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

    quint16 serve(Eui eui, int max_frame = 51)
    {
        const quint16 port = free_port();
        served_model.add({eui, Device_params{max_frame, port}});
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

    // One echo modem served, its server running and a client connected; replies come after
    // reply_ms. None on failure.
    std::unique_ptr<QTcpSocket> start_with_slow_replies(int reply_ms)
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        start();
        if (!QTest::qWaitFor([] { return has_server(eui_a); }, 5000))
            return nullptr;
        sim->faults().send_data.delay_ms = reply_ms;
        return connect_client(port);
    }

    // A flooding client of a silent modem (a) beside a client of an echo modem (b), both
    // connected; replies come after reply_ms.
    struct Flood_pair {
        quint16 port_a = 0;
        quint16 port_b = 0;
        std::unique_ptr<QTcpSocket> a;
        std::unique_ptr<QTcpSocket> b;
    };
    Flood_pair start_flood_pair(int reply_ms)
    {
        Flood_pair pair;
        sim->add_modem(silent_modem(eui_a));
        sim->add_modem(echo_modem(eui_b));
        pair.port_a = serve(eui_a);
        pair.port_b = serve(eui_b);
        start();
        if (!QTest::qWaitFor([] { return has_server(eui_a) && has_server(eui_b); }, 5000))
            return pair;
        sim->faults().send_data.delay_ms = reply_ms;
        pair.a = connect_client(pair.port_a);
        pair.b = connect_client(pair.port_b);
        if (!QTest::qWaitFor([] { return clients() == 2; }, 5000))
            pair.a.reset();
        return pair;
    }

    // What the devices dialog does after an edit: the servers follow at once.
    void reconcile_now()
    {
        engine->update_servers();
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

    // What the exchange thread did, in its order, as the log shows it at full trace:
    // "recv PORT" (bytes read from a client), "send EUI" (a send_data_req), "list" (a
    // device-list request).
    QStringList events() const
    {
        static const QRegularExpression event(QStringLiteral(
            "tcp(\\d+)\\.recv |to\\(QUVO-LoRa\\): «\\{\"cmd\":\"(?:get_device_appdata_req|send_data_req\",\"data_list\":"
            "\\[\\{\"devEui\":\"([0-9A-F]{16}))"));
        QStringList out;
        for (auto it = event.globalMatch(log_contents()); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            if (!m.captured(1).isEmpty())
                out << QStringLiteral("recv ") + m.captured(1);
            else if (!m.captured(2).isEmpty())
                out << QStringLiteral("send ") + m.captured(2);
            else
                out << QStringLiteral("list");
        }
        return out;
    }

    int downlinks_of(Eui eui) const
    {
        int n = 0;
        for (const QList<QVariant> &args : *downlinks)
            n += args.at(0).toULongLong() == eui;
        return n;
    }

    // A client that writes a short message every interval_ms while the timer runs.
    void flood(QTimer &timer, QTcpSocket &client, int interval_ms)
    {
        connect(&timer, &QTimer::timeout, &client, [&client] { client.write("flood"); });
        timer.start(interval_ms);
    }

    static QString queue_full_text(quint16 port)
    {
        return QStringLiteral("Ошибка: клиент на порту %1 прислал сообщение, когда для этого устройства уже ждут "
                              "отправки %2 сообщений (сервер QUVO-LoRa не успевает передавать их с такой скоростью). "
                              "Обмен с клиентом прекращён, его сообщения, ещё не переданные серверу QUVO-LoRa, удалены.")
            .arg(port)
            .arg(Send_queue::default_modem_cap);
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
        reset_process_state();
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
        reset_process_state();
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
        settings.interframe_delay = 20;
        auto client = start_with_slow_replies(300);
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
        served_model.replace(eui_a, {eui_a, Device_params{77, served_devices.at(eui_a).tcp_port}});
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
        // "2" goes out only after the refusal of "1" has been handled: its echo proves that
        // the refusal left the new client open.
        fresh->write("2");
        QCOMPARE(receive(*fresh, 1), QByteArray("2"));
        QCOMPARE(fresh->state(), QAbstractSocket::ConnectedState);
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
        served_model.remove(eui_a);
        reconcile_now();
        QTRY_VERIFY_WITH_TIMEOUT(!has_server(eui_a), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(QStringLiteral("shutdown_server_ok")), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(sim->received(QStringLiteral("send_data_req")), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(sim->outstanding_send_data(), 0, 5000);
        QCOMPARE(sim->connections_accepted(), 1);
    }
    // Modem A (an echo modem) served, the link up and one client of its port being served.
    std::unique_ptr<QTcpSocket> start_with_client(Echo_options echo = Echo_options())
    {
        sim->add_modem(echo_modem(eui_a, echo));
        const quint16 port = serve(eui_a);
        start();
        if (!QTest::qWaitFor([] { return has_server(eui_a); }, 5000))
            return nullptr;
        auto client = connect_client(port);
        if (!client || !QTest::qWaitFor([] { return clients() == 1; }, 5000))
            return nullptr;
        return client;
    }

    // Packets sent as the modem sent them (counters in number order from first_fcnt), the
    // ones listed in `numbers` only.
    void send_packets(Eui eui, const QByteArray &data, int packet_size, quint32 first_fcnt,
                      const QList<int> &numbers)
    {
        const QVector<QByteArray> group = make_uplink_group(data, packet_size, 0x03);
        for (int n : numbers)
            sim->send_rx(Rx_message{eui, group.at(n), first_fcnt + quint32(n)});
    }

    // Once modem B's client has this, everything the server sent before it has been handled.
    bool synced(QTcpSocket &b_client, const QByteArray &marker)
    {
        sim->send_uplink(eui_b, marker);
        return receive(b_client, marker.size()) == marker;
    }

    // A group whose first packet was lost is never completed with the next group's packets.
    void lost_packet_never_joins_groups_data()
    {
        QTest::addColumn<bool>("had_a_group");
        QTest::newRow("before any group") << false;
        QTest::newRow("after a group") << true;
    }
    void lost_packet_never_joins_groups()
    {
        QFETCH(bool, had_a_group);
        Echo_options echo;
        echo.packet_size = 2;
        auto client = start_with_client(echo);
        QVERIFY(client);
        if (had_a_group) {
            sim->send_uplink(eui_a, "zz");
            QCOMPARE(receive(*client, 2), QByteArray("zz"));
        }
        QVERIFY(sim->lose_packet(eui_a, 0));
        sim->send_uplink(eui_a, "abcdef");
        sim->send_uplink(eui_a, "ABCDEF");
        sim->send_uplink(eui_a, "ghijkl");
        if (had_a_group) {
            // Its data now have a gap: the client goes, having had whole groups only.
            QTRY_COMPARE_WITH_TIMEOUT(client->state(), QAbstractSocket::UnconnectedState, 5000);
            QCOMPARE(client->readAll(), QByteArray());
        } else {
            QCOMPARE(receive(*client, 12), QByteArray("ABCDEFghijkl"));
            QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
        }
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(QStringLiteral("Неполная группа из 3 ")), 5000);
        QVERIFY(!log_contents().contains(QStringLiteral("Неправильн")));
    }

    // A client that comes while a group is half delivered, or replaces one that was half sent
    // a group, gets the next group whole and nothing of the cut one.
    void client_arriving_mid_group_data()
    {
        QTest::addColumn<bool>("replacing");
        QTest::newRow("first client") << false;
        QTest::newRow("replacing a client") << true;
    }
    void client_arriving_mid_group()
    {
        QFETCH(bool, replacing);
        sim->add_modem(echo_modem(eui_a));
        sim->add_modem(echo_modem(eui_b));
        const quint16 port = serve(eui_a);
        const quint16 port_b = serve(eui_b);
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a) && has_server(eui_b), 5000);
        auto b_client = connect_client(port_b);
        QVERIFY(b_client);
        std::unique_ptr<QTcpSocket> old;
        if (replacing) {
            old = connect_client(port);
            QVERIFY(old);
        }
        QTRY_COMPARE_WITH_TIMEOUT(clients(), replacing ? 2 : 1, 5000);
        send_packets(eui_a, "abcdef", 2, 100, {0, 1});
        QVERIFY(synced(*b_client, "sync"));
        auto client = connect_client(port);
        QVERIFY(client);
        if (replacing)
            QTRY_COMPARE_WITH_TIMEOUT(old->state(), QAbstractSocket::UnconnectedState, 5000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(clients(), 2, 5000);
        QVERIFY(synced(*b_client, "sync"));
        send_packets(eui_a, "abcdef", 2, 100, {2});
        send_packets(eui_a, "ABCDEF", 2, 103, {1, 0, 2});
        send_packets(eui_a, "ghij", 2, 106, {0, 1});
        QCOMPARE(receive(*client, 10), QByteArray("ABCDEFghij"));
        QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
        if (replacing)
            QCOMPARE(old->readAll(), QByteArray());
    }

    // A modem that restarts and counts from 1 again is heard; a true repeat is still dropped.
    void restarted_modem_is_heard()
    {
        auto client = start_with_client();
        QVERIFY(client);
        sim->send_uplink(eui_a, "hello");
        sim->send_uplink(eui_a, "world");
        QCOMPARE(receive(*client, 10), QByteArray("helloworld"));
        QVERIFY(sim->restart_modem(eui_a));
        sim->send_uplink(eui_a, "fresh");
        send_packets(eui_a, "fresh", 40, 1, {0});
        sim->send_uplink(eui_a, "again");
        QCOMPARE(receive(*client, 10), QByteArray("freshagain"));
        const QString log = log_contents();
        QCOMPARE(log.count(QStringLiteral("начал отсчёт номеров кадров заново")), 1);
        QVERIFY(log.contains(QStringLiteral("Радиомодем с EUI=0x0011223344556677 начал отсчёт номеров кадров "
                                            "заново: пакет с fcnt=1 ")));
    }

    // A client that never reads is cut at the cap while the other modem's client goes on; one
    // that has less than the cap waiting is closed at the exit and cut after the bounded wait,
    // so that it does not hold the exit.
    void non_reading_clients()
    {
        Echo_options echo;
        echo.packet_size = 255;
        sim->add_modem(echo_modem(eui_a, echo));
        sim->add_modem(echo_modem(eui_b));
        const quint16 port = serve(eui_a);
        const quint16 port_b = serve(eui_b);
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a) && has_server(eui_b), 5000);
        const int fd = non_reading_client(port);
        QVERIFY(fd >= 0);
        auto b_client = connect_client(port_b);
        QVERIFY(b_client);
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 2, 5000);
        const QString cut = QStringLiteral("Клиент на порту %1 не принимает данные").arg(port);
        // Rounds of 240,000 bytes, each handled before the next: what the system buffers is not
        // known, so the rounds to the cap also tell how many leave less than the cap waiting.
        const auto round = [&] {
            for (int i = 0; i < 4; ++i)
                sim->send_uplink(eui_a, QByteArray(60000, 'x'));
            return synced(*b_client, "sync");
        };
        int rounds = 0;
        while (rounds < 60 && !log_contents().contains(cut)) {
            QVERIFY(round());
            ++rounds;
        }
        QVERIFY(log_contents().contains(cut));
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 1, 5000);
        b_client->write("still here");
        QCOMPARE(receive(*b_client, 10), QByteArray("still here"));
        ::close(fd);

        const int second = non_reading_client(port);
        QVERIFY(second >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 2, 5000);
        QVERIFY(rounds > 2);
        for (int i = 0; i < rounds - 2; ++i)
            QVERIFY(round());
        QCOMPARE(log_contents().count(cut), 1);
        QVERIFY(engine->stop(4 * close_wait_ms));
        engine.reset();
        QVERIFY(log_contents().contains(
            QStringLiteral("Клиент на порту %1 не принял отправленные ему данные (").arg(port)));
        ::close(second);
    }

    // The last bytes of a client that leaves go out while uplinks keep coming.
    void leaving_client_bytes_sent_during_uplink()
    {
        auto client = start_with_client();
        QVERIFY(client);
        client->write("bye");
        QVERIFY(client->waitForBytesWritten(1000));
        for (int i = 0; i < 5; ++i)
            sim->send_uplink(eui_a, "uplink");
        client->disconnectFromHost();
        for (int i = 0; i < 5; ++i)
            sim->send_uplink(eui_a, "uplink");
        QTRY_COMPARE_WITH_TIMEOUT(downlinks->count(), 1, 5000);
        QCOMPARE(downlink_payloads(), QList<QByteArray>{"bye"});
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 0, 5000);
        QVERIFY(!log_contents().contains(QStringLiteral("Ошибка при записи в сокет")));
    }
    // Time-outs of 0 wait as long as it takes; a list period of 0 asks for the list once.
    void zero_means_no_time_out()
    {
        settings.ws_connect_timeout = 0;
        settings.ws_auth_timeout = 0;
        settings.ws_devlist_timeout = 0;
        settings.ws_data_timeout = 0;
        settings.ws_devlist_period = 0;
        sim->faults().auth.delay_ms = 300;
        sim->faults().devlist.delay_ms = 300;
        sim->faults().send_data.delay_ms = 300;
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        auto client = connect_client(port);
        QVERIFY(client);
        client->write("slow");
        QCOMPARE(receive(*client, 4), QByteArray("slow"));
        client->write("again");
        QCOMPARE(receive(*client, 5), QByteArray("again"));
        QCOMPARE(sim->received(QStringLiteral("get_device_appdata_req")), 1);
        QCOMPARE(sim->connections_accepted(), 1);
        QVERIFY(!log_contents().contains(QStringLiteral("Ошибка")));
    }

    // ---- Sharing the link ----

    // Replies take a while and one client floods its modem: another modem's message waits
    // for at most one of the flood's, and the device list keeps its period.
    void flood_leaves_room_for_others()
    {
        constexpr int reply_ms = 150;
        settings.interframe_delay = 15;
        settings.ws_devlist_period = 3 * reply_ms;
        settings.trace_ws = Trace_level::all;
        auto [port_a, port_b, a, b] = start_flood_pair(reply_ms);
        QVERIFY(a && b);

        QTimer flooding;
        flood(flooding, *a, 50);
        // Enough of the flood waits that a queue in arrival order would hold b up for long.
        const QString read_a = QStringLiteral("tcp%1.recv").arg(port_a);
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().count(read_a) >= sim->received(send_data_req) + 8, 10000);
        b->write("b");
        QCOMPARE(receive(*b, 1), QByteArray("b"));
        QTRY_VERIFY_WITH_TIMEOUT(sim->received(send_data_req) >= 16, 10000);
        flooding.stop();

        const QStringList seen = events();
        const QString send_a = QStringLiteral("send ") + eui_hex(eui_a);
        const int b_read = seen.indexOf(QStringLiteral("recv %1").arg(port_b));
        const int b_sent = seen.indexOf(QStringLiteral("send ") + eui_hex(eui_b), b_read);
        QVERIFY(b_read >= 0 && b_sent > b_read);
        QVERIFY2(seen.mid(b_read, b_sent - b_read).count(send_a) <= 1, qPrintable(seen.join(QLatin1Char(','))));

        // Between two device-list requests at most a period's worth of the flood's replies
        // (and two for the timers' slack).
        const int flood_start = seen.indexOf(send_a);
        int lists = 0;
        int since_list = -1;
        for (int i = flood_start; i < seen.size(); ++i) {
            if (seen[i] == QLatin1String("list")) {
                if (since_list >= 0)
                    QVERIFY2(since_list <= 3 + 2, qPrintable(seen.mid(flood_start).join(QLatin1Char(','))));
                since_list = 0;
                ++lists;
            } else if (seen[i] == send_a && since_list >= 0) {
                ++since_list;
            }
        }
        QVERIFY2(lists >= 3, qPrintable(seen.mid(flood_start).join(QLatin1Char(','))));
        QCOMPARE(a->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(sim->max_outstanding_send_data(), 1);
        QCOMPARE(sim->bad_commands(), 0);
    }

    // A client that goes past its modem's share is cut off and its waiting messages are not
    // sent; the other modem's client and the link go on.
    void client_past_the_cap_is_disconnected()
    {
        settings.interframe_delay = 5;
        auto [port_a, port_b, a, b] = start_flood_pair(300);
        QVERIFY(a && b);

        QSignalSpy a_gone(a.get(), &QTcpSocket::disconnected);
        QTimer flooding;
        flood(flooding, *a, 20);
        b->write("b1");
        QCOMPARE(receive(*b, 2), QByteArray("b1"));
        QVERIFY(a_gone.count() || a_gone.wait(20000));
        flooding.stop();
        QVERIFY(log_contents().contains(queue_full_text(port_a)));
        QTRY_COMPARE(clients(), 1);

        // Only the message that was on the wire may still be answered for a.
        const int a_at_cut = downlinks_of(eui_a);
        b->write("b2");
        QCOMPARE(receive(*b, 2), QByteArray("b2"));
        b->write("b3");
        QCOMPARE(receive(*b, 2), QByteArray("b3"));
        QVERIFY(downlinks_of(eui_a) <= a_at_cut + 1);
        QCOMPARE(b->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(sim->connections_accepted(), 1);

        // The modem's next client starts afresh.
        auto again = connect_client(port_a);
        QVERIFY(again);
        QTRY_COMPARE(clients(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(sim->outstanding_send_data(), 0, 5000);
        const int before = downlinks_of(eui_a);
        again->write("again");
        QTRY_COMPARE_WITH_TIMEOUT(downlinks_of(eui_a), before + 1, 5000);
    }

    // Far more messages than the cap, each after the reply to the one before: never cut off.
    void client_waiting_for_each_reply_stays()
    {
        settings.interframe_delay = 5;
        auto client = start_with_slow_replies(5);
        QVERIFY(client);
        for (int i = 0; i < 2 * Send_queue::default_modem_cap + 8; ++i) {
            const QByteArray message = QByteArray::number(i);
            client->write(message);
            QCOMPARE(receive(*client, message.size()), message);
        }
        QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
        QVERIFY(!log_contents().contains(QStringLiteral("ждут отправки")));
    }

    // A positive reply with junk after it is a bad message and nothing else: the next
    // downlink is not sent, so that it cannot be at the server while the link frees it unsent.
    void reply_followed_by_junk_completes_nothing()
    {
        sim->add_modem(echo_modem(eui_a));
        const quint16 port = serve(eui_a);
        settings.interframe_delay = 20;
        settings.trace_ws = Trace_level::all;
        // No device-list request comes between: the next command would be the next downlink.
        settings.ws_devlist_period = 60000;
        start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        Reply_fault &fault = sim->faults().send_data;
        fault.reply = Reply::custom;
        fault.delay_ms = 400;
        fault.times = 1;
        fault.custom_text = QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":true,\"append_status\":"
                                           "[{\"devEui\":\"%1\",\"status\":true}]} x")
                                .arg(eui_hex(eui_a));
        auto client = connect_client(port);
        QVERIFY(client);
        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        client->write("1");
        QTRY_COMPARE_WITH_TIMEOUT(sim->received(send_data_req), 1, 5000);
        client->write("2");
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(QStringLiteral(".recv 0x{32}")), 5000);
        QVERIFY(gone.wait(5000));
        QTRY_COMPARE_WITH_TIMEOUT(sim->connections_accepted(), 2, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui_a), 5000);
        const QString log = log_contents();
        QVERIFY(log.contains(QStringLiteral("Не удалось обработать сообщение от сервера QUVO-LoRa.")));
        const int junk = log.indexOf(QStringLiteral("]} x»"));
        const int next_link = log.indexOf(QStringLiteral("Установлено соединение"), junk);
        QVERIFY(junk > 0 && next_link > junk);
        QVERIFY2(!log.mid(junk, next_link - junk).contains(QStringLiteral("to(QUVO-LoRa)")), qPrintable(log));
        QCOMPARE(log.count(QStringLiteral("\"data\":\"04")), 1);
        QCOMPARE(sim->received(send_data_req), 1);
        QVERIFY(downlinks->isEmpty());
    }
};

QTEST_GUILESS_MAIN(Tst_tcp_bridge)
#include "tst_tcp_bridge.moc"
