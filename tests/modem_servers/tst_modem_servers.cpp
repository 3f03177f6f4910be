#include "config/devices.h"
#include "config/served_devices_model.h"
#include "exchange/modem_servers.h"
#include "shared/shared_state.h"
#include "support/logged_cases.h"
#include "support/test_support.h"
#include "tcp/tcp_server.h"

#include <QMutexLocker>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

// The modems' servers in this thread without a link: which servers the served devices and
// the reachable modems call for, their end with the link, and the count that keeps the
// exchange thread alive until the last of them is gone.

namespace {

const Eui eui_a = 0x00000000000000A1ULL;
const Eui eui_b = 0x00000000000000B2ULL;

void list(const QVector<Eui> &euis)
{
    QMutexLocker lock(&state_mutex);
    reachable_modems.clear();
    for (Eui eui : euis)
        reachable_modems.push_back(Server_device{eui, QString()});
}

} // namespace

class Tst_modem_servers : public Logged_cases {
    Q_OBJECT

private:
    QPointer<Tcp_server> server;
    QTcpSocket client;

    // One served and listed modem, its server running and serving `client`.
    void serve_a_client(Modem_servers &servers)
    {
        const quint16 port = free_port();
        QVERIFY(port);
        add_served(eui_a, port);
        list({eui_a});
        servers.reconcile(true);
        server = servers.server_of(eui_a);
        QVERIFY(server);
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        QTRY_VERIFY(server->has_client());
    }

private slots:
    void cleanup()
    {
        client.abort();
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
        servers.reconcile(true);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(link_state(), quint8(link_started | link_ready));
        QCOMPARE(server_euis(), QList<quint64>{eui_a});
        QCOMPARE(servers.alive(), 2);

        list({eui_a, eui_b});
        servers.reconcile(false);
        QCOMPARE(server_euis(), QList<quint64>({eui_a, eui_b}));
        QCOMPARE(servers.alive(), 3);

        const QPointer<Tcp_server> old_a = servers.server_of(eui_a);
        const quint16 moved = free_port();
        QVERIFY(moved && moved != port_b);
        served_model.replace(eui_a, {eui_a, Device_params{51, moved}});
        servers.reconcile(false);
        QVERIFY(!old_a);
        QCOMPARE(servers.server_of(eui_a)->port(), moved);
        QCOMPARE(port_view_of(eui_a).port, moved);

        list({eui_b});
        servers.reconcile(false);
        QCOMPARE(server_euis(), QList<quint64>{eui_b});
        QCOMPARE(servers.alive(), 2);

        QVERIFY(servers.deliver_modem_data(eui_b, packet("x"), false, 0));
        QVERIFY(!servers.deliver_modem_data(eui_a, packet("x"), false, 0));

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
        servers.reconcile(false);
        QVERIFY(!port_view_of(eui_a).client);
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!port_view_of(eui_a).client);
    }
};

QTEST_GUILESS_MAIN(Tst_modem_servers)
#include "tst_modem_servers.moc"
