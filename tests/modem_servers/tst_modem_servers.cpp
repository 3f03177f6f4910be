#include "exchange/modem_servers.h"

#include "base/log.h"
#include "config/devices.h"
#include "config/served_devices_model.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "lora_sim/sim_server.h"
#include "shared/shared_state.h"
#include "support/logged_cases.h"
#include "support/test_support.h"
#include "tcp/tcp_server.h"

#include <QMutexLocker>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <functional>
#include <memory>

// The modems' servers, first in this thread without a link: which servers the served devices
// and the reachable modems call for, their end with the link, and the count that keeps the
// exchange thread alive until the last of them is gone. Then live, in the exchange thread
// against the simulated network server, with real clients on their ports.

namespace {

constexpr Eui eui_a = 0x0011223344556677u;
constexpr Eui eui_b = 0x00112233445566AAu;
constexpr Eui eui_c = 0x00112233445566BBu;
constexpr Eui eui_d = 0x00112233445566CCu;

void list(const QVector<Eui> &euis)
{
    QMutexLocker lock(&state_mutex);
    reachable_modems.clear();
    for (Eui eui : euis)
        reachable_modems.push_back(Server_device{eui, QString()});
}

int clients()
{
    QMutexLocker lock(&state_mutex);
    return clients_count;
}

// Adds the modem, or changes it when it is served already.
void serve(quint64 eui, quint16 port, int max_frame = 100)
{
    const Device_entry entry{eui, Device_params{max_frame, port}};
    if (served_devices.count(eui) != 0)
        served_model.replace(eui, entry);
    else
        served_model.add(entry);
}

Sim_modem modem(quint64 eui)
{
    Sim_modem m;
    m.eui = eui;
    m.name = QStringLiteral("modem");
    return m;
}

std::unique_ptr<QTcpSocket> connect_client(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket;
}

} // namespace

class Tst_modem_servers : public Logged_cases {
    Q_OBJECT

private:
    QPointer<Tcp_server> server;
    QTcpSocket client;
    // The live cases' network server and exchange thread; the others leave both idle.
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Sim_server> sim;

    // One served and listed modem, its server running and serving `client`.
    void serve_a_client(Modem_servers &servers)
    {
        const quint16 port = free_port();
        QVERIFY(port);
        add_served(eui_a, port);
        list({eui_a});
        servers.reconcile(true, false);
        server = dynamic_cast<Tcp_server *>(servers.server_of(eui_a));
        QVERIFY(server);
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        QTRY_VERIFY(server->has_client());
    }

    // Starts the exchange thread and waits for the first device list.
    void start_ready()
    {
        engine->start();
        QTRY_COMPARE_WITH_TIMEOUT(link_state(), quint8(link_started | link_ready), 5000);
    }

    // Two echo modems served and listed, each port with a client; `before_start` runs before
    // the thread starts. The clients are null when that did not come about.
    struct Two_clients {
        quint16 port_a;
        quint16 port_b;
        std::unique_ptr<QTcpSocket> client_a;
        std::unique_ptr<QTcpSocket> client_b;
    };
    Two_clients start_two_clients(const std::function<void()> &before_start = {})
    {
        Two_clients two{free_port(), free_port(), nullptr, nullptr};
        serve(eui_a, two.port_a);
        serve(eui_b, two.port_b);
        sim->add_modem(modem(eui_a));
        sim->add_modem(modem(eui_b));
        if (before_start)
            before_start();
        engine->start();
        if (!QTest::qWaitFor([] { return link_state() == quint8(link_started | link_ready); }, 5000))
            return two;
        auto a = connect_client(two.port_a);
        auto b = connect_client(two.port_b);
        if (a && b && QTest::qWaitFor([] { return clients() == 2; }, 5000)) {
            two.client_a = std::move(a);
            two.client_b = std::move(b);
        }
        return two;
    }

private slots:
    void init()
    {
        log_per_test(dir);
        reset_process_state();
        settings.ws_connect_timeout = 2000;
        settings.ws_auth_timeout = 2000;
        settings.ws_reconnect_delay = 300;
        settings.ws_devlist_period = 150;
        settings.ws_devlist_timeout = 2000;
        settings.ws_data_timeout = 2000;
        settings.interframe_delay = 20;
        settings.trace_tcp = Trace_level::all;
        sim = std::make_unique<Sim_server>();
        QVERIFY(sim->listen());
        settings.ws_url = sim->url().toString();
        engine = std::make_unique<Engine>();
    }

    void cleanup()
    {
        client.abort();
        if (engine->isRunning())
            QVERIFY(engine->stop(5000));
        engine.reset();
        sim.reset();
        reset_process_state();
    }

    // A server runs for every modem that is both served and listed; a new port replaces it,
    // a modem no longer listed loses it. The first list marks the link ready.
    void servers_follow_the_lists()
    {
        const quint16 port_a = free_port();
        const quint16 port_b = free_port();
        QVERIFY(port_a && port_b && port_a != port_b);
        add_served(eui_a, port_a);
        add_served(eui_b, port_b);
        list({eui_a});
        Modem_servers servers;
        QSignalSpy changed(&servers, &Modem_servers::servers_changed);
        servers.reconcile(true, false);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(link_state(), quint8(link_started | link_ready));
        QCOMPARE(server_euis(), QList<quint64>{eui_a});
        QCOMPARE(servers.alive(), 2);

        list({eui_a, eui_b});
        servers.reconcile(false, false);
        QCOMPARE(server_euis(), QList<quint64>({eui_a, eui_b}));
        QCOMPARE(servers.alive(), 3);

        const QPointer<Tcp_server> old_a = dynamic_cast<Tcp_server *>(servers.server_of(eui_a));
        const quint16 moved = free_port();
        QVERIFY(moved && moved != port_b);
        served_model.replace(eui_a, {eui_a, Device_params{51, moved}});
        servers.reconcile(false, false);
        QVERIFY(!old_a);
        QCOMPARE(servers.server_of(eui_a)->port(), moved);
        QCOMPARE(port_view_of(eui_a).port, moved);

        list({eui_b});
        servers.reconcile(false, false);
        QCOMPARE(server_euis(), QList<quint64>{eui_b});
        QCOMPARE(servers.alive(), 2);

        QVERIFY(servers.deliver_modem_data(eui_b, packet("x"), false, 0));
        QVERIFY(!servers.deliver_modem_data(eui_a, packet("x"), false, 0));

        // Once the window has taken what it shows, a list of other names is news to it even
        // where no server changes; the same list is not.
        take_servers_view();
        const int told = changed.count();
        servers.reconcile(false, false);
        QCOMPARE(changed.count(), told);
        servers.reconcile(false, true);
        QCOMPARE(changed.count(), told + 1);

        servers.link_dropped();
        QVERIFY(server_euis().isEmpty());
        QCOMPARE(link_state(), quint8(0));
        QCOMPARE(servers.alive(), 1);
    }

    // After shutdown the thread may end only once the link is at rest and the last server,
    // which waits for its client's socket, is gone.
    void wound_up_after_the_last_server()
    {
        Modem_servers servers;
        QSignalSpy wound_up(&servers, &Modem_servers::wound_up);
        serve_a_client(servers);
        if (QTest::currentTestFailed())
            return;
        servers.link_dropped();
        servers.link_at_rest();
        QVERIFY(server);
        QCOMPARE(servers.alive(), 1);
        QCOMPARE(wound_up.count(), 0);
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(!server);
        QCOMPARE(servers.alive(), 0);
        QCOMPARE(wound_up.count(), 1);
    }

    // A server that still waits for its client's socket when the thread's body ends outlives
    // Modem_servers, and must not call back into it.
    void server_outlives_its_keeper()
    {
        auto servers = std::make_unique<Modem_servers>();
        serve_a_client(*servers);
        if (QTest::currentTestFailed())
            return;
        servers->link_dropped();
        QVERIFY(server);
        servers.reset();
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(!server);
    }

    // The window's view of a server follows its client, but not once a successor has taken
    // the modem over.
    void views_follow_clients()
    {
        Modem_servers servers;
        serve_a_client(servers);
        QVERIFY(port_view_of(eui_a).client);
        served_model.replace(eui_a, {eui_a, Device_params{60, port_view_of(eui_a).port}});
        servers.reconcile(false, false);
        QVERIFY(!port_view_of(eui_a).client);
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!port_view_of(eui_a).client);
        servers.link_dropped();
        QTRY_COMPARE(servers.alive(), 1);
    }

    // Served and reachable modems get a server each; the next lists take one away and add one.
    void servers_follow_device_lists()
    {
        const quint16 port_b = free_port();
        serve(eui_a, free_port());
        serve(eui_b, port_b);
        serve(eui_c, free_port());
        sim->add_modem(modem(eui_a));
        sim->add_modem(modem(eui_b));
        sim->add_modem(modem(eui_d));
        start_ready();
        QCOMPARE(server_euis(), (QList<quint64>{eui_a, eui_b}));

        sim->remove_modem(eui_b);
        sim->add_modem(modem(eui_c));
        QTRY_COMPARE_WITH_TIMEOUT(server_euis(), (QList<quint64>{eui_a, eui_c}), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(QStringLiteral("] tcp%1.shutdown_server_ok\n").arg(port_b)),
                                 5000);
        QCOMPARE(link_state(), quint8(link_started | link_ready));
    }

    void no_served_devices_still_ready()
    {
        sim->add_modem(modem(eui_a));
        start_ready();
        QVERIFY(server_euis().isEmpty());
    }

    // A port in use costs that modem its server until a later list finds the port free.
    void server_that_cannot_listen_is_retried()
    {
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::Any, 0));
        const quint16 port_a = blocker.serverPort();
        serve(eui_a, port_a);
        serve(eui_b, free_port());
        sim->add_modem(modem(eui_a));
        sim->add_modem(modem(eui_b));
        start_ready();
        QCOMPARE(server_euis(), (QList<quint64>{eui_b}));
        const QStringList log = log_contents().split(QStringLiteral("\n\n"));
        const int at = log.indexOf(QRegularExpression(
            QStringLiteral("^\\[.*\\] Не удалось создать серверный сокет, слушающий порт TCP %1\\. .*").arg(port_a)));
        QVERIFY(at >= 0);
        QVERIFY(log.value(at + 1).endsWith(QStringLiteral("] Не удалось создать блок управления устройством.")));

        blocker.close();
        QTRY_COMPARE_WITH_TIMEOUT(server_euis(), (QList<quint64>{eui_a, eui_b}), 5000);
    }

    // A changed port or frame limit replaces the server and its client; no change keeps both.
    void edit_replaces_only_changed_server()
    {
        auto [port_a, port_b, client_a, client_b] = start_two_clients();
        QVERIFY(client_a && client_b);
        QVERIFY(port_view_of(eui_a).client && port_view_of(eui_b).client);

        serve(eui_a, port_a, 60);
        QSignalSpy a_closed(client_a.get(), &QTcpSocket::disconnected);
        engine->update_servers();
        QVERIFY(a_closed.wait(5000));
        // The new server of a has no client; b's kept its own.
        QTRY_VERIFY_WITH_TIMEOUT(!port_view_of(eui_a).client, 5000);
        QCOMPARE(port_view_of(eui_a).port, port_a);
        QVERIFY(port_view_of(eui_b).client);
        QCOMPARE(client_b->state(), QAbstractSocket::ConnectedState);
        QTRY_COMPARE_WITH_TIMEOUT(log_contents().count(QStringLiteral("] tcp%1.shutdown_server_ok\n").arg(port_a)), 1,
                                  5000);
        QVERIFY(!log_contents().contains(QStringLiteral("] tcp%1.shutdown_server\n").arg(port_b)));

        // The new server listens on the same port.
        auto again = connect_client(port_a);
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 2, 5000);
    }

    // "append_status" false for one modem costs that modem's client only.
    void refused_downlink_closes_only_its_client()
    {
        auto [port_a, port_b, client_a, client_b] =
            start_two_clients([this] { sim->faults().append_false.insert(eui_a); });
        QVERIFY(client_a && client_b);

        QSignalSpy a_closed(client_a.get(), &QTcpSocket::disconnected);
        client_a->write("refused");
        QVERIFY(a_closed.wait(5000));

        client_b->write("echoed");
        QTRY_COMPARE_WITH_TIMEOUT(client_b->bytesAvailable(), qint64(6), 5000);
        QCOMPARE(client_b->readAll(), QByteArray("echoed"));
        QCOMPARE(sim->connections_accepted(), 1);
        QCOMPARE(port_view_of(eui_a).port, port_a);
    }

    // Late replies: the downlinks of two clients and the device-list requests take turns.
    void downlinks_one_at_a_time()
    {
        const quint16 port_a = free_port();
        const quint16 port_b = free_port();
        serve(eui_a, port_a);
        serve(eui_b, port_b);
        Sim_modem silent_a = modem(eui_a);
        silent_a.behaviour = Modem_behaviour::silent;
        Sim_modem silent_b = modem(eui_b);
        silent_b.behaviour = Modem_behaviour::silent;
        sim->add_modem(silent_a);
        sim->add_modem(silent_b);
        sim->faults().send_data.delay_ms = 40;
        sim->faults().devlist.delay_ms = 40;
        start_ready();
        auto client_a = connect_client(port_a);
        auto client_b = connect_client(port_b);
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 2, 5000);

        // Each pair goes out before the next is written: bytes written within the end-of-message
        // pause would join into one message, which a fixed sleep cannot rule out on a busy machine.
        for (int i = 1; i <= 4; ++i) {
            client_a->write("a");
            client_b->write("b");
            QTRY_COMPARE_WITH_TIMEOUT(sim->received(QStringLiteral("send_data_req")), 2 * i, 10000);
        }
        QCOMPARE(sim->max_outstanding_send_data(), 1);
        QCOMPARE(sim->bad_commands(), 0);
        QCOMPARE(sim->connections_accepted(), 1);
    }

    void lost_link_stops_servers()
    {
        const quint16 port_a = free_port();
        serve(eui_a, port_a);
        sim->add_modem(modem(eui_a));
        start_ready();
        auto client = connect_client(port_a);
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 1, 5000);
        QSignalSpy closed(client.get(), &QTcpSocket::disconnected);
        settings.ws_reconnect_delay = 60000;
        sim->close_connections();
        QVERIFY(closed.wait(5000));
        QTRY_VERIFY_WITH_TIMEOUT(server_euis().isEmpty(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 0, 5000);
        QCOMPARE(link_state(), quint8(0));
        QMutexLocker lock(&state_mutex);
        QVERIFY(reachable_modems.isEmpty());
    }

    // The thread ends only after every server and its client are gone.
    void shutdown_with_clients()
    {
        auto [port_a, port_b, client_a, client_b] = start_two_clients();
        QVERIFY(client_a && client_b);
        QSignalSpy a_closed(client_a.get(), &QTcpSocket::disconnected);
        QSignalSpy b_closed(client_b.get(), &QTcpSocket::disconnected);
        QSignalSpy finished(engine.get(), &QThread::finished);
        engine->on_shutdown();
        QTRY_COMPARE_WITH_TIMEOUT(a_closed.count(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(b_closed.count(), 1, 5000);
        // The clients close their side; the servers go and the thread ends.
        client_a->close();
        client_b->close();
        QVERIFY(engine->wait(5000));
        QVERIFY(server_euis().isEmpty());
        QCOMPARE(clients(), 0);
        const QString log = log_contents();
        QVERIFY(log.contains(QStringLiteral("] tcp%1.shutdown_server_ok\n").arg(port_a)));
        QVERIFY(log.contains(QStringLiteral("] tcp%1.shutdown_server_ok\n").arg(port_b)));
        QVERIFY(!log.contains(QStringLiteral("Неожиданная")));
    }
};

QTEST_GUILESS_MAIN(Tst_modem_servers)
#include "tst_modem_servers.moc"
