#include "link/link_servers.h"
#include "link/link_traffic.h"
#include "link/link_wire.h"
#include "link/server_commands.h"
#include "shared/shared_state.h"

#include <QSignalSpy>
#include <QtTest>

#include <thread>
#include <utility>

// The traffic of an authorised link between recording stand-ins for the wire and the
// servers: no socket, no thread, no TCP server.

namespace {

class Recording_wire : public Link_wire {
public:
    QStringList calls;

    bool send(Command_kind kind, const QString &text) override
    {
        calls << (kind == Command_kind::get_device_appdata_req ? QStringLiteral("devlist") : text);
        return true;
    }
    void reply_read() override { calls << QStringLiteral("read"); }
    void free() override { calls << QStringLiteral("free"); }
};

class Recording_servers : public Link_servers {
public:
    QStringList calls;

    void reconcile(bool after_list, bool list_changed) override
    {
        calls << QStringLiteral("reconcile %1 %2").arg(after_list).arg(list_changed);
    }
    void link_dropped() override {}
    bool deliver_modem_data(quint64, const QByteArray &, bool, quint32) override { return false; }
    void link_at_rest() override {}
};

class Origin : public Downlink_origin {
public:
    int refused = 0;
    void downlink_refused() override { ++refused; }
};

QString downlink(quint64 eui, const char *data)
{
    return send_data_req_text(eui, data, qstrlen(data));
}

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
        reset_shared_state();
    }

    // The first list goes at once; a tick while a list waits or is on the wire is dropped.
    void device_list_once_per_tick()
    {
        Link_traffic traffic(wire, servers);
        traffic.authorised();
        QCOMPARE(take_calls(), QStringList({"read", "devlist"}));
        traffic.on_period_tick();
        QVERIFY(wire.calls.isEmpty());
        traffic.devices_list_complete();
        QCOMPARE(take_calls(), QStringList({"read", "free"}));
        QCOMPARE(servers.calls, QStringList{"reconcile 1 0"});
        traffic.on_period_tick();
        traffic.on_period_tick();
        QCOMPARE(take_calls(), QStringList{"devlist"});
    }

    // The list read is installed where the window and the servers find it; the servers hear
    // whether it differs from the one before.
    void device_list_installed()
    {
        Link_traffic traffic(wire, servers);
        for (int i = 0; i < 2; ++i) {
            traffic.devices_listed({{7, QStringLiteral("seven")}});
            traffic.devices_list_complete();
        }
        QCOMPARE(reachable_modems.size(), 1);
        QCOMPARE(reachable_modems.at(0).name, QStringLiteral("seven"));
        QCOMPARE(servers.calls, QStringList({"reconcile 1 1", "reconcile 1 0"}));
    }

    // Polling that cannot start (here: a thread without an event loop) sends nothing and
    // stops the link.
    void no_list_when_polling_fails()
    {
        std::thread([this] {
            Link_traffic traffic(wire, servers);
            QSignalSpy fatal(&traffic, &Link_traffic::fatal);
            traffic.authorised();
            QCOMPARE(fatal.count(), 1);
        }).join();
        QCOMPARE(take_calls(), QStringList{"read"});
    }

    // Messages wait for the wire; a refusal reaches the origin of the message, unless that
    // has been detached meanwhile. Before authorisation a message is dropped unsent.
    void downlinks_one_at_a_time()
    {
        Link_traffic traffic(wire, servers);
        Origin first;
        Origin second;
        QVERIFY(traffic.enqueue_message(Downlink{9, "early", &first}));
        QCOMPARE(traffic.send_queue().waiting(), 0);
        traffic.authorised();
        take_calls();
        QVERIFY(traffic.enqueue_message(Downlink{1, "a", &first}));
        QVERIFY(traffic.enqueue_message(Downlink{2, "b", &second}));
        QVERIFY(wire.calls.isEmpty());
        traffic.devices_list_complete();
        QCOMPARE(take_calls(), QStringList({"read", downlink(1, "a")}));
        quint64 eui = 0;
        QVERIFY(traffic.in_flight_owner(eui));
        QCOMPARE(eui, quint64(1));
        traffic.command_complete(false);
        QCOMPARE(first.refused, 1);
        QCOMPARE(take_calls(), QStringList({"read", downlink(2, "b")}));
        traffic.detach_messages_of(&second);
        QVERIFY(!traffic.in_flight_owner(eui));
        traffic.command_complete(false);
        QCOMPARE(second.refused, 0);
        QCOMPARE(take_calls(), QStringList({"read", "free"}));
    }

    // A link that went down forgets its messages, and carries nothing until authorised again.
    void clear_forgets_everything()
    {
        Link_traffic traffic(wire, servers);
        Origin origin;
        traffic.authorised();
        QVERIFY(traffic.enqueue_message(Downlink{1, "a", &origin}));
        traffic.clear();
        QCOMPARE(traffic.send_queue().waiting(), 0);
        take_calls();
        QVERIFY(traffic.enqueue_message(Downlink{1, "b", &origin}));
        QCOMPARE(traffic.send_queue().waiting(), 0);
        traffic.authorised();
        QCOMPARE(take_calls(), QStringList({"read", "devlist"}));
    }
};

QTEST_GUILESS_MAIN(Tst_link_traffic)
#include "tst_link_traffic.moc"
