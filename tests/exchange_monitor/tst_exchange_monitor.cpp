#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "lora_sim/sim_server.h"
#include "shared/modem_traffic.h"
#include "shared/shared_state.h"
#include "support/logged_cases.h"
#include "support/test_support.h"

#include <QMutexLocker>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

// What the ports count and the rows they keep for a monitor, over a known exchange with the
// simulated network server: the exchange thread runs for real, the clients in the test thread.

namespace {

const Eui eui_a = 0x0011223344556677ULL;
constexpr int wait_ms = 5000;

bool has_server(Eui eui)
{
    QMutexLocker lock(&state_mutex);
    return port_views.contains(eui);
}

Modem_traffic traffic_of(Eui eui)
{
    QMutexLocker lock(&state_mutex);
    return modem_traffic.value(eui);
}

std::unique_ptr<QTcpSocket> connect_client(quint16 port)
{
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, port);
    if (!client->waitForConnected(wait_ms))
        return nullptr;
    return client;
}

QString peer_of(const QTcpSocket &client)
{
    return QStringLiteral("127.0.0.1:%1").arg(client.localPort());
}

// The rows as "kind data-or-peer", one each.
QStringList described(const std::vector<Monitor_row> &rows)
{
    static const char *const names[] = {"to_modem", "to_client", "connected", "replaced", "disconnected",
                                        "refused", "abandoned", "restart", "rows_lost"};
    QStringList out;
    for (const Monitor_row &row : rows) {
        QString text = QString::fromLatin1(names[int(row.kind)]);
        if (!row.data.isEmpty())
            text += QLatin1Char(' ') + QString::fromLatin1(row.data);
        if (!row.peer.isEmpty())
            text += QLatin1Char(' ') + row.peer;
        out << text;
    }
    return out;
}

} // namespace

class Tst_exchange_monitor : public Logged_cases {
    Q_OBJECT

private:
    std::unique_ptr<Sim_server> sim;
    std::unique_ptr<Engine> engine;

    bool start(const Sim_modem &modem, quint16 port, Device_mode mode)
    {
        sim->add_modem(modem);
        served_model.add({modem.eui, Device_params{51, port, mode}});
        settings.ws_url = sim->url().toString();
        engine.reset(new Engine);
        engine->start();
        return QTest::qWaitFor([&] { return has_server(modem.eui); }, wait_ms);
    }

private slots:
    void init()
    {
        reset_process_state();
        settings.ws_reconnect_delay = 100;
        settings.interframe_delay = 20;
        sim.reset(new Sim_server);
        QVERIFY(sim->listen());
    }

    void cleanup()
    {
        if (engine)
            QVERIFY(engine->stop(10000));
        engine.reset();
        sim.reset();
        reset_process_state();
    }

    // A raw port's round trip, a repeat, a restart, a lost packet, a refused downlink and a
    // replaced client: the counts and the rows, the same whatever trace_tcp says.
    void raw_port()
    {
        settings.trace_tcp = Trace_level::err;
        Sim_modem modem{eui_a, QStringLiteral("meter"), Modem_behaviour::echo, {}, 1, {}};
        modem.echo.packet_size = 2;
        const quint16 port = free_port();
        QVERIFY(start(modem, port, Device_mode::raw));
        watch_modem(eui_a, true);

        auto first = connect_client(port);
        QVERIFY(first);
        const QString first_peer = peer_of(*first);
        first->write("ping");
        QCOMPARE(receive(*first, 4), QByteArray("ping"));
        sim->send_rx({eui_a, packet("dup"), 500});
        sim->send_rx({eui_a, packet("dup"), 500});
        QVERIFY(sim->restart_modem(eui_a));
        sim->send_uplink(eui_a, "fr");
        QCOMPARE(receive(*first, 5), QByteArray("dupfr"));
        // A gap after whole groups: the client goes.
        QVERIFY(sim->lose_packet(eui_a, 0));
        sim->send_uplink(eui_a, "abcdef");
        sim->send_uplink(eui_a, "gh");
        QTRY_COMPARE_WITH_TIMEOUT(first->state(), QAbstractSocket::UnconnectedState, wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(traffic_of(eui_a).counters.clients, 0, wait_ms);

        auto second = connect_client(port);
        QVERIFY(second);
        const QString second_peer = peer_of(*second);
        QTRY_COMPARE_WITH_TIMEOUT(traffic_of(eui_a).counters.clients, 1, wait_ms);
        sim->faults().append_false.insert(eui_a);
        second->write("no");
        QTRY_COMPARE_WITH_TIMEOUT(second->state(), QAbstractSocket::UnconnectedState, wait_ms);
        sim->faults().append_false.clear();
        QTRY_COMPARE_WITH_TIMEOUT(traffic_of(eui_a).counters.clients, 0, wait_ms);

        auto third = connect_client(port);
        QVERIFY(third);
        const QString third_peer = peer_of(*third);
        QTRY_COMPARE_WITH_TIMEOUT(traffic_of(eui_a).counters.client, third_peer, wait_ms);
        auto fourth = connect_client(port);
        QVERIFY(fourth);
        QTRY_COMPARE_WITH_TIMEOUT(traffic_of(eui_a).counters.client, peer_of(*fourth), wait_ms);

        const Monitor_batch batch = take_monitor_batch(eui_a);
        const Modem_counters &c = batch.counters;
        QCOMPARE(c.messages_to_modem, quint64(2));
        QCOMPARE(c.bytes_to_modem, quint64(6));
        QCOMPARE(c.downlinks_refused, quint64(1));
        QCOMPARE(c.groups_to_client, quint64(3));
        QCOMPARE(c.bytes_to_client, quint64(9));
        QCOMPARE(c.groups_abandoned, quint64(1));
        QCOMPARE(c.repeats_dropped, quint64(1));
        QCOMPARE(c.restarts_heard, quint64(1));
        QVERIFY(c.last_downlink > 0 && c.last_uplink > 0 && c.last_uplink <= c.client_since);
        QCOMPARE(c.clients, 1);
        QCOMPARE(described(batch.rows),
                 QStringList({"connected " + first_peer, "to_modem ping", "to_client ping", "to_client dup",
                              "restart", "to_client fr", "abandoned", "disconnected " + first_peer,
                              "connected " + second_peer, "to_modem no", "refused",
                              "disconnected " + second_peer, "connected " + third_peer,
                              "replaced " + peer_of(*fourth)}));
        QCOMPARE(sim->bad_commands(), 0);
    }

    // A gateway counts RTU requests sent and replies delivered; its client is the first master,
    // with the count of masters beside it. Edited, its port starts anew and the counts go on.
    void gateway_port()
    {
        Sim_modem modem{eui_a, QStringLiteral("plc"), Modem_behaviour::modbus, {}, 1, {}};
        const quint16 port = free_port();
        QVERIFY(start(modem, port, Device_mode::modbus_tcp));
        auto first = connect_client(port);
        auto second = connect_client(port);
        QVERIFY(first && second);
        QTRY_COMPARE_WITH_TIMEOUT(traffic_of(eui_a).counters.clients, 2, wait_ms);
        QCOMPARE(traffic_of(eui_a).counters.client, peer_of(*first));
        // Read one holding register of unit 1.
        second->write(QByteArray::fromHex("000700000006010300000001"));
        QCOMPARE(receive(*second, 11).toHex(), QByteArray("0007000000050103020000"));
        first->abort();
        QTRY_COMPARE_WITH_TIMEOUT(traffic_of(eui_a).counters.client, peer_of(*second), wait_ms);
        Modem_counters c = traffic_of(eui_a).counters;
        QCOMPARE(c.clients, 1);
        QCOMPARE(c.messages_to_modem, quint64(1));
        QCOMPARE(c.bytes_to_modem, quint64(8));
        QCOMPARE(c.groups_to_client, quint64(1));
        QCOMPARE(c.bytes_to_client, quint64(7));

        const quint16 moved = free_port();
        served_model.replace(eui_a, {eui_a, Device_params{51, moved, Device_mode::modbus_tcp}});
        engine->update_servers();
        QTRY_COMPARE_WITH_TIMEOUT(port_view_of(eui_a).port, moved, wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(traffic_of(eui_a).counters.clients, 0, wait_ms);
        auto third = connect_client(moved);
        QVERIFY(third);
        third->write(QByteArray::fromHex("000800000006010300000001"));
        QCOMPARE(receive(*third, 11).size(), 11);
        c = traffic_of(eui_a).counters;
        QCOMPARE(c.messages_to_modem, quint64(2));
        QCOMPARE(c.groups_to_client, quint64(2));
        QCOMPARE(c.client, peer_of(*third));
        QVERIFY(traffic_of(eui_a).rows.empty());
    }
};

QTEST_MAIN(Tst_exchange_monitor)
#include "tst_exchange_monitor.moc"
