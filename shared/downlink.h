#pragma once

#include "config/devices.h"

#include <QByteArray>

// Whom the link tells what the network server did with a downlink: the TCP server whose
// client sent it, or the gateway's request it carries.
class Downlink_origin {
public:
    // The network server refused one of this origin's downlinks (append status false).
    virtual void downlink_refused() = 0;
    // The network server took one of this origin's downlinks (append status true).
    virtual void downlink_accepted() {}

protected:
    ~Downlink_origin() = default;
};

// One client message bound for one modem, as it waits in the send queue; the link turns
// it into a send_data_req.
struct Downlink {
    Eui eui = 0;
    QByteArray data;
    // None once its client has left: the message is still sent, and nobody hears of its reply.
    Downlink_origin *origin = nullptr;
};

// Where the modems' servers hand their clients' messages: the link's send queue. Link_traffic
// keeps it; everything runs in the exchange thread.
class Downlinks {
public:
    // Appends a client message to the send queue. False, and the message is not kept, when
    // its modem has as many messages waiting as it may (modem_cap); while the link carries
    // nothing a message is dropped unsent and counts as taken.
    virtual bool enqueue_message(Downlink message) = 0;
    // The origin's waiting messages go unsent; one on the wire only loses its origin.
    virtual void drop_messages_of(const Downlink_origin *origin) = 0;
    // The origin's messages are still sent, but nobody is told of their replies.
    virtual void detach_messages_of(const Downlink_origin *origin) = 0;
    virtual int modem_cap() const = 0;

protected:
    ~Downlinks() = default;
};
