#include "base/err.h"
#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "lora_sim/sim_server.h"
#include "shared/shared_state.h"
#include "support/recording_tcp_link.h"
#include "support/test_support.h"
#include "tcp/peer_access.h"
#include "tcp/tcp_server.h"
#include "ui/device_texts.h"

#include <QFile>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

// Who may reach a modem: the address its port listens on (tcp_listen), the clients it lets in
// (tcp_allow), the rate-limited log of refusals, and the port column's tool tip that says so.
// Clients come from other loopback addresses (127.0.0.2, ::1) to stand for outside peers.

namespace {

const Eui eui = 0x0011223344556677ULL;
const QString refusal_text = QStringLiteral("Отклонено соединение с клиентом [%1]:%2, пришедшее на порт TCP %3: "
                                            "адреса клиента нет в списке разрешённых (параметр «tcp_allow» файла "
                                            "конфигурации). ");
const QString single_text = QStringLiteral("О следующих попытках соединения с этого адреса в течение минуты "
                                           "сообщаться не будет.");
const QString crowd_text = QStringLiteral("Попытки соединения идут со столь многих адресов, что о попытках с ещё не "
                                          "упомянутых адресов в течение минуты сообщаться не будет.");

// Entries of tcp_allow as the configuration reader makes them.
std::vector<Ip_network> networks(const QStringList &entries)
{
    std::vector<Ip_network> out;
    for (const QString &entry : entries) {
        const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(entry);
        out.push_back(Ip_network{subnet.first, subnet.second});
    }
    return out;
}

int clients()
{
    QMutexLocker lock(&state_mutex);
    return clients_count;
}

bool has_server(Eui eui)
{
    QMutexLocker lock(&state_mutex);
    return port_views.contains(eui);
}

// A connected socket to `to`, from the local address `from` unless that is null.
std::unique_ptr<QTcpSocket> connect_from(const QHostAddress &from, const QHostAddress &to, quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    if (!from.isNull() && !socket->bind(from))
        return nullptr;
    socket->connectToHost(to, port);
    if (!socket->waitForConnected(5000))
        return nullptr;
    return socket;
}

} // namespace

class Tst_peer_access : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString log_path;
    bool ipv6 = false;
    // The clock of the process-wide refusal log, moved by the tests.
    std::atomic<std::int64_t> now_ms{1000000};
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Recording_tcp_link> link;
    QPointer<Tcp_server> server;
    std::unique_ptr<Sim_server> sim;
    quint16 port = 0;

    int refusals_logged() const { return log_contents().count(QStringLiteral("Отклонено соединение")); }

    // One Tcp_server in this thread beside a stand-in for the link.
    void start_server()
    {
        engine.reset(new Engine);
        link.reset(new Recording_tcp_link);
        port = free_port();
        QVERIFY(port);
        server = new Tcp_server(*link, link.get(), eui, Device_params{51, port});
    }

    // The whole program but the window: its link to the simulator and an echo modem behind it.
    void start_bridge()
    {
        sim.reset(new Sim_server);
        QVERIFY(sim->listen());
        Sim_modem modem;
        modem.eui = eui;
        modem.name = QStringLiteral("meter");
        sim->add_modem(modem);
        port = free_port();
        QVERIFY(port);
        served_model.add({eui, Device_params{51, port}});
        settings.ws_url = sim->url().toString();
        engine.reset(new Engine);
        engine->start();
        QTRY_VERIFY_WITH_TIMEOUT(has_server(eui), 5000);
    }

    void expect_refused(QTcpSocket &socket)
    {
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHostIPv6, 0)) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHostIPv6, probe.serverPort());
            ipv6 = socket.waitForConnected(5000);
        }
        if (!ipv6)
            qWarning("IPv6 loopback ::1 is not available here: its cases are skipped");
    }

    void init()
    {
        log_path = dir.filePath(QStringLiteral("access.log"));
        QFile::remove(log_path);
        set_log_file_name(log_path.toUtf8());
        reset_process_state();
        reset_refusal_log();
        refusal_log().set_clock([this] { return now_ms.load(); });
        settings.trace_tcp = Trace_level::all;
        settings.ws_reconnect_delay = 100;
        settings.ws_devlist_period = 150;
        settings.interframe_delay = 20;
    }

    void cleanup()
    {
        if (server)
            server->shutdown_server();
        QTRY_VERIFY(!server);
        link.reset();
        if (engine && engine->isRunning())
            QVERIFY(engine->stop(10000));
        engine.reset();
        sim.reset();
        reset_refusal_log();
        reset_process_state();
    }

    void cleanupTestCase() { reset_log_file_name(); }

    void listen_address_data()
    {
        QTest::addColumn<QString>("listen");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("reached");
        QTest::newRow("every address: 127.0.0.2") << "" << "127.0.0.2" << true;
        QTest::newRow("every address: ::1") << "" << "::1" << true;
        QTest::newRow("127.0.0.1: 127.0.0.1") << "127.0.0.1" << "127.0.0.1" << true;
        QTest::newRow("127.0.0.1: 127.0.0.2") << "127.0.0.1" << "127.0.0.2" << false;
        QTest::newRow("127.0.0.1: ::1") << "127.0.0.1" << "::1" << false;
        QTest::newRow("::1: ::1") << "::1" << "::1" << true;
        QTest::newRow("::1: 127.0.0.1") << "::1" << "127.0.0.1" << false;
    }
    // The port is reached at the address it listens on, and only there.
    void listen_address()
    {
        QFETCH(QString, listen);
        QFETCH(QString, target);
        QFETCH(bool, reached);
        if (!ipv6 && (listen.contains(':') || target.contains(':')))
            QSKIP("IPv6 loopback ::1 is not available on this machine");
        if (!listen.isEmpty())
            settings.tcp_listen = QHostAddress(listen);
        start_server();
        QTcpSocket client;
        client.connectToHost(QHostAddress(target), port);
        QCOMPARE(client.waitForConnected(5000), reached);
        if (reached)
            QTRY_VERIFY(server->has_client());
    }

    // An address that cannot be bound fails like a busy port, naming the address.
    void listen_address_not_here()
    {
        settings.tcp_listen = QHostAddress(QStringLiteral("192.0.2.1"));
        engine.reset(new Engine);
        link.reset(new Recording_tcp_link);
        port = free_port();
        try {
            new Tcp_server(*link, link.get(), eui, Device_params{51, port});
            QFAIL("no error for an address that is not this machine's");
        } catch (const Err &e) {
            QVERIFY2(e.message().startsWith(QStringLiteral("Не удалось создать серверный сокет, слушающий порт TCP %1 "
                                                           "на адресе 192.0.2.1. Qt говорит: «")
                                                .arg(port)),
                     qPrintable(e.message()));
            QVERIFY(!e.message().endsWith(QStringLiteral("«».")));
        }
        QCOMPARE(link->alive, 1);
    }

    void allowed_peers_data()
    {
        QTest::addColumn<QStringList>("allow");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("served");
        QTest::newRow("no list") << QStringList() << "127.0.0.2" << "127.0.0.1" << true;
        QTest::newRow("host listed") << QStringList{"127.0.0.1/32"} << "" << "127.0.0.1" << true;
        QTest::newRow("host not listed") << QStringList{"127.0.0.1/32"} << "127.0.0.2" << "127.0.0.1" << false;
        QTest::newRow("in a network") << QStringList{"10.0.0.0/8", "127.0.0.0/30"} << "127.0.0.2" << "127.0.0.1"
                                      << true;
        QTest::newRow("::1 allowed by ::1/128") << QStringList{"::1/128"} << "" << "::1" << true;
        QTest::newRow("::1 refused by 127.0.0.0/8") << QStringList{"127.0.0.0/8"} << "" << "::1" << false;
        QTest::newRow("IPv4 refused by ::1/128") << QStringList{"::1/128"} << "" << "127.0.0.1" << false;
        QTest::newRow("IPv4 not matched by ::/0") << QStringList{"::/0"} << "" << "127.0.0.1" << false;
    }
    // On a port of every address an IPv4 client shows as ::ffff:a.b.c.d and is matched as IPv4.
    void allowed_peers()
    {
        QFETCH(QStringList, allow);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, served);
        if (!ipv6 && to.contains(':'))
            QSKIP("IPv6 loopback ::1 is not available on this machine");
        settings.tcp_allow = networks(allow);
        start_server();
        auto client = connect_from(from.isEmpty() ? QHostAddress() : QHostAddress(from), QHostAddress(to), port);
        QVERIFY(client);
        const QString peer = QStringLiteral("tcp%1(peer=[").arg(port);
        if (served) {
            QTRY_VERIFY(server->has_client());
            QCOMPARE(clients(), 1);
            QVERIFY(log_contents().contains(QStringLiteral(").accept")));
            QCOMPARE(refusals_logged(), 0);
            return;
        }
        const quint16 client_port = client->localPort();
        expect_refused(*client);
        QTRY_COMPARE(refusals_logged(), 1);
        const QString shown = from.isEmpty() ? to : from;
        QVERIFY(log_contents().contains(refusal_text.arg(shown).arg(client_port).arg(port) + single_text));
        QVERIFY(log_contents().contains(QStringLiteral(").refused")));
        QVERIFY(!log_contents().contains(QStringLiteral(").accept")));
        QVERIFY(!server->has_client());
        QCOMPARE(clients(), 0);
        QCOMPARE(link->alive, 2);
    }

    // End to end: an outside peer is closed at once and logged once a minute, while the
    // allowed client's bytes keep going to the modem and back.
    void refused_peer_leaves_the_client_served()
    {
        settings.tcp_listen = QHostAddress::LocalHost;
        settings.tcp_allow = networks({"127.0.0.1/32"});
        start_bridge();
        if (ipv6)
            QVERIFY(!connect_from(QHostAddress(), QHostAddress::LocalHostIPv6, port));
        QVERIFY(!connect_from(QHostAddress(), QHostAddress(QStringLiteral("127.0.0.2")), port));

        auto client = connect_from(QHostAddress(), QHostAddress::LocalHost, port);
        QVERIFY(client);
        client->write("before");
        QCOMPARE(receive(*client, 6), QByteArray("before"));

        const QHostAddress outside(QStringLiteral("127.0.0.2"));
        auto intruder = connect_from(outside, QHostAddress::LocalHost, port);
        QVERIFY(intruder);
        const quint16 intruder_port = intruder->localPort();
        expect_refused(*intruder);
        for (int i = 0; i < 3; ++i) {
            auto again = connect_from(outside, QHostAddress::LocalHost, port);
            QVERIFY(again);
            expect_refused(*again);
        }
        QTRY_COMPARE(log_contents().count(QStringLiteral(").refused")), 4);
        QCOMPARE(refusals_logged(), 1);
        QVERIFY(log_contents().contains(refusal_text.arg("127.0.0.2").arg(intruder_port).arg(port) + single_text));

        QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(clients(), 1);
        client->write("after");
        QCOMPARE(receive(*client, 5), QByteArray("after"));

        // A minute on, the same peer is worth a line again.
        now_ms += Refusal_log::period_ms;
        auto later = connect_from(outside, QHostAddress::LocalHost, port);
        QVERIFY(later);
        expect_refused(*later);
        QTRY_COMPARE(refusals_logged(), 2);
        QCOMPARE(clients(), 1);
    }

    // One line per address and minute, whatever the number of attempts; the same client over
    // IPv4 and as ::ffff:a.b.c.d is one address.
    void refusal_log_once_a_minute()
    {
        std::int64_t now = 0;
        Refusal_log log(8, [&] { return now; });
        const QHostAddress a(QStringLiteral("192.0.2.1"));
        log.refused(4001, a, 50000);
        log.refused(4002, a, 50001);
        log.refused(4001, QHostAddress(QStringLiteral("::ffff:192.0.2.1")), 50002);
        QCOMPARE(refusals_logged(), 1);
        QVERIFY(log_contents().contains(refusal_text.arg("192.0.2.1").arg(50000).arg(4001) + single_text));
        log.refused(4001, QHostAddress(QStringLiteral("2001:db8::1")), 50003);
        QCOMPARE(refusals_logged(), 2);
        now = Refusal_log::period_ms - 1;
        log.refused(4001, a, 50004);
        QCOMPARE(refusals_logged(), 2);
        now = Refusal_log::period_ms;
        log.refused(4003, a, 50005);
        QCOMPARE(refusals_logged(), 3);
        QVERIFY(log_contents().contains(refusal_text.arg("192.0.2.1").arg(50005).arg(4003) + single_text));
        QCOMPARE(log.remembered(), 2);
    }

    // A scan from more addresses than are remembered: the newcomers share one line a minute,
    // and addresses are forgotten once their line is a minute old.
    void refusal_log_bounded()
    {
        std::int64_t now = 0;
        Refusal_log log(3, [&] { return now; });
        const auto address = [](int i) { return QHostAddress(QStringLiteral("2001:db8::%1").arg(i, 0, 16)); };
        const auto line = [&](int i, const QString &end) {
            return log_contents().contains(refusal_text.arg(address(i).toString()).arg(1).arg(4001) + end);
        };
        for (int i = 1; i <= 3; ++i) {
            now = 10 * (i - 1);
            log.refused(4001, address(i), 1);
        }
        QCOMPARE(refusals_logged(), 3);
        for (int i = 4; i <= 100; ++i)
            log.refused(4001, address(i), 1);
        QCOMPARE(refusals_logged(), 4);
        QVERIFY(line(4, crowd_text));
        QCOMPARE(log.remembered(), 3);
        log.refused(4001, address(2), 1);
        QCOMPARE(refusals_logged(), 4);

        // The first line is a minute old: its address makes room for one newcomer.
        now = Refusal_log::period_ms;
        log.refused(4001, address(101), 1);
        log.refused(4001, address(102), 1);
        QCOMPARE(refusals_logged(), 5);
        QVERIFY(line(101, single_text));

        // Two more are forgotten, and the shared line may come again.
        now = Refusal_log::period_ms + 20;
        for (int i = 103; i <= 106; ++i)
            log.refused(4001, address(i), 1);
        QCOMPARE(refusals_logged(), 8);
        QVERIFY(line(103, single_text));
        QVERIFY(line(104, single_text));
        QVERIFY(line(105, crowd_text));
        QCOMPARE(log.remembered(), 3);
    }

    void port_tip_data()
    {
        QTest::addColumn<QString>("listen");
        QTest::addColumn<QStringList>("allow");
        QTest::addColumn<QString>("text");
        QTest::newRow("defaults") << "" << QStringList()
            << "Порт слушается на всех адресах нашего компьютера (IPv4 и IPv6);\n"
               "один адрес можно задать параметром tcp_listen в файле\n"
               "конфигурации.\n"
               "\n"
               "Соединиться может клиент с любого адреса; новый клиент заменяет\n"
               "обслуживаемого. Список адресов, с которых разрешено соединяться,\n"
               "можно задать параметром tcp_allow в файле конфигурации.";
        QTest::newRow("both set") << "127.0.0.1" << QStringList{"127.0.0.1/32", "10.0.0.0/8", "fd00::/8"}
            << "Порт слушается только на адресе 127.0.0.1 (параметр tcp_listen\n"
               "в файле конфигурации).\n"
               "\n"
               "Соединиться могут только клиенты с адресов из списка tcp_allow\n"
               "в файле конфигурации:\n"
               "127.0.0.1, 10.0.0.0/8, fd00::/8.\n"
               "Соединение с другого адреса сразу же закрывается и не мешает\n"
               "обслуживаемому клиенту; новый клиент с разрешённого адреса\n"
               "заменяет обслуживаемого.";
    }
    // The port column's tool tip says where the ports listen and who may connect.
    void port_tip()
    {
        QFETCH(QString, listen);
        QFETCH(QStringList, allow);
        QFETCH(QString, text);
        const QHostAddress address = listen.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(listen);
        QCOMPARE(Device_texts::port_access_text(address, networks(allow)), text);
    }

    // A long list is wrapped like the other tips and cut short.
    void port_tip_long_list()
    {
        QStringList allow;
        for (int i = 0; i < 30; ++i)
            allow << QStringLiteral("192.168.%1.0/24").arg(i);
        const QString text = Device_texts::port_access_text(QHostAddress::Any, networks(allow));
        QVERIFY(text.contains(QStringLiteral("192.168.23.0/24 и ещё 6.\n")));
        QVERIFY(!text.contains(QStringLiteral("192.168.24.0")));
        for (const QString &line : text.split('\n'))
            QVERIFY2(line.size() <= 66, qPrintable(line));
        QVERIFY(Device_texts::get().port_tip.endsWith(
            "\n\n" + Device_texts::port_access_text(settings.tcp_listen, settings.tcp_allow)));
    }
};

QTEST_GUILESS_MAIN(Tst_peer_access)
#include "tst_peer_access.moc"
