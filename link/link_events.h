#pragma once

#include <QByteArray>
#include <QtGlobal>

// What the reply handlers of the server protocol need from the link. Link_traffic
// implements it; tests and fuzzers use a recording stand-in. Everything runs in the
// exchange thread. in_flight_owner is asked while a message is being read; the other
// calls come once it has been read to its end and found well formed, at most one per
// message. A call may throw, and the exception then counts as a fault of the message.
class Link_events {
public:
    virtual ~Link_events() = default;

    // A positive auth_resp arrived.
    virtual void authorised() = 0;

    // A positive get_device_appdata_resp arrived; its list is already installed in
    // reachable_modems.
    virtual void devices_list_complete() = 0;

    // A positive send_data_resp arrived; status is that of its single append_status entry.
    virtual void command_complete(bool status) = 0;

    // The EUI of the TCP server that owns the command in flight. False when the
    // command has lost its server (the reply's EUI is then not checked).
    virtual bool in_flight_owner(quint64 &eui) const = 0;

    // Hands one uplink packet to on_modem_data of the running Tcp_server of eui
    // (through Link_servers); false, and nothing done, when none runs.
    virtual bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) = 0;
};
