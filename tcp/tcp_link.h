#pragma once

#include "shared/downlink.h"

class Tcp_server;

// What a Tcp_server needs from the link and from whoever keeps the servers. Modem_servers
// implements it; tests use a recording stand-in. Everything runs in the exchange thread.
class Tcp_link {
public:
    // Appends a client message to the send queue. False, and the message is not kept, when
    // its modem has as many messages waiting as it may (modem_cap); while the link is down
    // a message is dropped unsent and counts as taken.
    virtual bool enqueue_message(Downlink message) = 0;
    // The origin's waiting messages go unsent; one on the wire only loses its origin.
    virtual void drop_messages_of(const Downlink_origin *origin) = 0;
    // The origin's messages are still sent, but nobody is told of their replies.
    virtual void detach_messages_of(const Downlink_origin *origin) = 0;
    virtual int modem_cap() const = 0;

    // A client came or went and clients_changed_pending was clear: the window is told
    // while the link is connected.
    virtual void clients_changed() = 0;

    // A server listens and keeps the exchange thread alive until it is destroyed; after
    // server_destroyed it is never called back.
    virtual void server_started(Tcp_server *server) = 0;
    virtual void server_destroyed(Tcp_server *server) = 0;
    // A client could not be accepted for want of descriptors.
    virtual void out_of_descriptors() = 0;

protected:
    ~Tcp_link() = default;
};
