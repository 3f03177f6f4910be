#include "link/link_servers.h"
#include "link/link_traffic.h"
#include "link/link_wire.h"

#include <QtTest>

#include <utility>

// The traffic of an authorised link between recording stand-ins for the connection and the
// servers: no socket, no thread, no TCP server.

namespace {

class Recording_wire : public Link_wire {
public:
    QStringList calls;
    bool polling = true;

    void send_devlist() override { calls << QStringLiteral("devlist"); }
    void send_downlink(const Downlink &message) override
    {
        calls << QStringLiteral("downlink %1 %2").arg(message.eui).arg(QString::fromLatin1(message.data));
    }
    void wire_free() override { calls << QStringLiteral("free"); }
    void reply_read() override { calls << QStringLiteral("read"); }
    bool start_polling() override
    {
        calls << QStringLiteral("poll");
        return polling;
    }
    void notify_servers_changed() override { calls << QStringLiteral("servers changed"); }
};

class Recording_servers : public Link_servers {
public:
    QStringList calls;

    bool reconcile(bool after_list) override
    {
        calls << QStringLiteral("reconcile %1").arg(after_list);
        return true;
    }
    bool link_dropped() override { return false; }
    bool deliver_modem_data(quint64 eui, const QByteArray &data, bool, quint32) override
    {
        calls << QStringLiteral("deliver %1 %2").arg(eui).arg(QString::fromLatin1(data));
        return eui == 7;
    }
    void link_at_rest() override {}
};

class Origin : public Downlink_origin {
public:
    int refused = 0;
    void downlink_refused() override { ++refused; }
};

} // namespace

class Tst_link_traffic : public QObject {
    Q_OBJECT

private:
    Recording_wire wire;
    Recording_servers servers;

    QStringList take_calls() { return std::exchange(wire.calls, QStringList()); }

private slots:
    void init()
    {
        wire = Recording_wire();
        servers = Recording_servers();
    }

    // The first list goes at once; a tick while a list waits or is on the wire is dropped.
    void device_list_once_per_tick()
    {
        Link_traffic traffic(wire, servers);
        traffic.authorised();
        QCOMPARE(take_calls(), QStringList({"read", "poll", "devlist"}));
        traffic.on_period_tick();
        QVERIFY(wire.calls.isEmpty());
        traffic.devices_list_complete();
        QCOMPARE(take_calls(), QStringList({"read", "servers changed", "free"}));
        QCOMPARE(servers.calls, QStringList{"reconcile 1"});
        traffic.on_period_tick();
        traffic.on_period_tick();
        QCOMPARE(take_calls(), QStringList{"devlist"});
    }

    // Polling that cannot start sends nothing: the link has stopped.
    void no_list_when_polling_fails()
    {
        wire.polling = false;
        Link_traffic traffic(wire, servers);
        traffic.authorised();
        QCOMPARE(take_calls(), QStringList({"read", "poll"}));
    }

    // Messages wait for the wire; a refusal reaches the origin of the message, unless that
    // has been detached meanwhile.
    void downlinks_one_at_a_time()
    {
        Link_traffic traffic(wire, servers);
        Origin first;
        Origin second;
        traffic.authorised();
        take_calls();
        QVERIFY(traffic.enqueue_message(Downlink{1, "a", &first}));
        QVERIFY(traffic.enqueue_message(Downlink{2, "b", &second}));
        QVERIFY(wire.calls.isEmpty());
        traffic.devices_list_complete();
        QCOMPARE(take_calls(), QStringList({"read", "servers changed", "downlink 1 a"}));
        quint64 eui = 0;
        QVERIFY(traffic.in_flight_owner(eui));
        QCOMPARE(eui, quint64(1));
        traffic.command_complete(false);
        QCOMPARE(first.refused, 1);
        QCOMPARE(take_calls(), QStringList({"read", "downlink 2 b"}));
        traffic.detach_messages_of(&second);
        QVERIFY(!traffic.in_flight_owner(eui));
        traffic.command_complete(false);
        QCOMPARE(second.refused, 0);
        QCOMPARE(take_calls(), QStringList({"read", "free"}));
    }

    // A link that went down forgets its messages and asks for the list afresh.
    void clear_forgets_everything()
    {
        Link_traffic traffic(wire, servers);
        Origin origin;
        traffic.authorised();
        QVERIFY(traffic.enqueue_message(Downlink{1, "a", &origin}));
        traffic.clear();
        QCOMPARE(traffic.send_queue().waiting(), 0);
        take_calls();
        traffic.on_period_tick();
        QCOMPARE(take_calls(), QStringList{"devlist"});
    }

    // Uplink data go to the servers, which say whether a server took them.
    void uplink_goes_to_the_servers()
    {
        Link_traffic traffic(wire, servers);
        QVERIFY(traffic.deliver_modem_data(7, "up", false, 0));
        QVERIFY(!traffic.deliver_modem_data(8, "up", false, 0));
        QCOMPARE(servers.calls, QStringList({"deliver 7 up", "deliver 8 up"}));
    }
};

QTEST_GUILESS_MAIN(Tst_link_traffic)
#include "tst_link_traffic.moc"
