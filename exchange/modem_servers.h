#pragma once

#include "exchange/descriptor_shortage.h"
#include "link/link_servers.h"
#include "shared/downlink.h"
#include "tcp/tcp_link.h"

#include <QMap>
#include <QObject>
#include <QSet>

// The modems' TCP servers as the exchange thread keeps them: one port for every served and
// reachable modem (a Tcp_server, or a Modbus_gateway for a modem so declared), brought in line
// after each device list and whenever the served devices change, all dropped with the link;
// what the window shows of them (port_views) goes with them. Uplink packets go to the server of their modem; the servers hand their clients'
// messages to the link's send queue themselves. It also counts what keeps the exchange
// thread alive: the link and every listening server. Lives in the exchange thread.
class Modem_servers : public QObject, public Link_servers, public Tcp_link {
    Q_OBJECT
    Q_DISABLE_COPY(Modem_servers)

public:
    Modem_servers() = default;
    // Servers that still wait for their sockets no longer call back.
    ~Modem_servers() override;

    // Client messages go to the link's send queue from now on; before, they are dropped unsent.
    void attach(Downlinks &queue) { downlinks = &queue; }

    // The link's share and one for every listening server. Once the link has given up its
    // share (only after shutdown), wound_up is emitted when the count reaches 0.
    int alive() const { return alive_count; }
    // The running server of the modem; none when it has none.
    Modem_port *server_of(Eui eui) const { return tcp_servers.value(eui, nullptr); }

    // Link_servers
    void reconcile(bool after_list, bool list_changed) override;
    void link_dropped() override;
    bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) override;
    void link_at_rest() override;

    // Tcp_link
    void note_client(const Modem_port *server, bool connected) override;
    void client_count_changed() override;
    void server_started(Modem_port *server) override;
    void server_destroyed(Modem_port *server) override;
    void out_of_descriptors() override;

public slots:
    // The served devices have changed: the servers follow at once.
    void update();

signals:
    // What the window shows of the servers or of their clients has changed.
    void servers_changed();
    void clients_changed();
    // Shutdown is complete: the thread that runs the link may end.
    void wound_up();

private:
    void decrement_alive_count();

    // The running server of every served and reachable modem, by EUI.
    QMap<Eui, Modem_port *> tcp_servers;
    Downlinks *downlinks = nullptr;
    QSet<Modem_port *> live;
    int alive_count = 1;
    Descriptor_shortage shortage;
};
