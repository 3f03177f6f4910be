#pragma once

#include "shared/server_device.h"

#include <QVector>
#include <QtGlobal>

// What the reply handlers of the server protocol tell the link's traffic (Link_traffic);
// tests and fuzzers use a recording stand-in. Everything runs in the exchange thread.
// in_flight_owner is asked, and a device list handed over, while a message is being read;
// the other calls come once it has been read to its end and found well formed, at most one
// per message. A call may throw, and the exception then counts as a fault of the message.
class Link_events {
public:
    virtual ~Link_events() = default;

    // A positive auth_resp arrived.
    virtual void authorised() = 0;

    // The list of a get_device_appdata_resp has been read in full, sorted by EUI without
    // repeats; it is installed even if the rest of the reply fails.
    virtual void devices_listed(QVector<Server_device> devices) = 0;
    // A positive get_device_appdata_resp arrived.
    virtual void devices_list_complete() = 0;

    // A positive send_data_resp arrived; status is that of its single append_status entry.
    virtual void command_complete(bool status) = 0;

    // The EUI of the TCP server that owns the command in flight. False when the
    // command has lost its server (the reply's EUI is then not checked).
    virtual bool in_flight_owner(quint64 &eui) const = 0;
};
