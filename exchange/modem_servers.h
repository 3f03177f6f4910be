#pragma once

#include "exchange/descriptor_shortage.h"
#include "link/link_servers.h"
#include "tcp/tcp_link.h"

#include <QObject>
#include <QPointer>
#include <QSet>

class Ws_connection;

// The modems' TCP servers as the exchange thread keeps them: one Tcp_server for every served
// and reachable modem (tcp_servers), brought in line after each device list and whenever the
// served devices change, all dropped with the link. Uplink packets go to the server of their
// modem, client messages to the link's send queue. It also counts what keeps the exchange
// thread alive: the link and every listening server. Lives in the exchange thread.
class Modem_servers : public QObject, public Link_servers, public Tcp_link {
    Q_OBJECT
    Q_DISABLE_COPY(Modem_servers)

public:
    Modem_servers() = default;
    // Servers that still wait for their sockets no longer call back.
    ~Modem_servers() override;

    // Client messages go to this link from now on; before, they are dropped unsent.
    void attach(Ws_connection &link);

    // The link's share and one for every listening server. Once the link has given up its
    // share (only after shutdown), wound_up is emitted when the count reaches 0.
    int alive() const { return alive_count; }

    // Link_servers
    bool reconcile(bool after_list) override;
    bool link_dropped() override;
    bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) override;
    void link_at_rest() override;

    // Tcp_link
    bool enqueue_message(Downlink message) override;
    void drop_messages_of(const Downlink_origin *origin) override;
    void detach_messages_of(const Downlink_origin *origin) override;
    int modem_cap() const override;
    void clients_changed() override;
    void server_started(Tcp_server *server) override;
    void server_destroyed(Tcp_server *server) override;
    void out_of_descriptors() override;

signals:
    // Shutdown is complete: the thread that runs the link may end.
    void wound_up();

private:
    void decrement_alive_count();

    QPointer<Ws_connection> link;
    QSet<Tcp_server *> live;
    int alive_count = 1;
    Descriptor_shortage shortage;
};
