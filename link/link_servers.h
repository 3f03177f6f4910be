#pragma once

#include <QByteArray>
#include <QtGlobal>

// Where the server protocol hands an uplink packet: the running server of its modem.
class Modem_uplinks {
public:
    // Hands one uplink packet to the running server of eui; false, and nothing done, when
    // none runs.
    virtual bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) = 0;

protected:
    ~Modem_uplinks() = default;
};

// What the link needs from whoever keeps the modems' TCP servers. Modem_servers implements
// it and tells the window itself of what changes; everything runs in the exchange thread.
class Link_servers : public Modem_uplinks {
public:
    // Brings the servers in line with the served devices and the reachable modems. The first
    // device list of a connection (after_list) also marks the link started and ready; a list
    // that differs from the one before (list_changed) is news to the window however the
    // servers fare.
    virtual void reconcile(bool after_list, bool list_changed) = 0;
    // The link is down: nothing it listed is reachable any more, it is neither started nor
    // ready, and every server goes.
    virtual void link_dropped() = 0;
    // The link has come to rest after shutdown and gives up its share of what keeps the
    // exchange thread alive.
    virtual void link_at_rest() = 0;

protected:
    ~Link_servers() = default;
};
