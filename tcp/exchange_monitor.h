#pragma once

#include "config/devices.h"
#include "shared/modem_traffic.h"
#include "tcp/packet_group.h"

#include <QByteArray>
#include <QString>

class QTcpSocket;

// What a modem's port, raw or gateway, tells of its exchange: it keeps the modem's counts in
// modem_traffic and, while a monitor watches the modem, the rows for it. Each call takes
// state_mutex for a short update, so none may be made with it held. Lives in the exchange thread.
class Exchange_monitor : public Group_events {
public:
    explicit Exchange_monitor(Eui eui) : eui(eui) {}

    static QString peer_of(const QTcpSocket &socket);

    // A message handed to the link for the modem, and one the network server refused.
    void to_modem(const QByteArray &data);
    void refused();
    // A group from the modem delivered to its client.
    void to_client(const QByteArray &data);
    // A client came, took the place of another, or went (connected, replaced, disconnected);
    // current is the client shown for the port afterwards, clients how many it has.
    void client_event(Monitor_row::Kind kind, const QString &peer, const QString &current, int clients);

    // Group_events
    void group_abandoned() override;
    void repeat_dropped() override;
    void restart_heard() override;

private:
    template <typename Update>
    void record(Update update, Monitor_row::Kind kind, const QByteArray &data = QByteArray(),
                const QString &peer = QString());

    const Eui eui;
};
