#pragma once

#include "shared/downlink.h"

// What Link_traffic needs from the connection under it. Ws_connection implements it; every
// call runs in the exchange thread.
class Link_wire {
public:
    // Put the command on the wire and wait for its reply.
    virtual void send_devlist() = 0;
    virtual void send_downlink(const Downlink &message) = 0;
    // Nothing is on the wire: whatever the server sends now comes unasked.
    virtual void wire_free() = 0;
    // The reply to the command on the wire has been read: its wait ends.
    virtual void reply_read() = 0;
    // Starts asking for the device list every ws_devlist_period. False when the link has
    // stopped instead.
    virtual bool start_polling() = 0;
    // What the window shows of the servers has changed and it has not been told yet.
    virtual void notify_servers_changed() = 0;

protected:
    ~Link_wire() = default;
};
