#pragma once

#include "link/link_events.h"
#include "link/send_queue.h"
#include "shared/downlink.h"

class Link_servers;
class Link_wire;

// What an authorised link carries: the device list, at once and then at every period tick,
// and the modems' messages in their turns, one command on the wire at a time; and what the
// replies report, handed on to the servers and the messages' origins.
class Link_traffic : public Link_events {
public:
    Link_traffic(Link_wire &wire, Link_servers &servers);

    // False, and the message is not kept, when its modem has as many messages waiting as it
    // may.
    bool enqueue_message(Downlink message);
    // The origin's waiting messages go unsent; one on the wire only loses its origin.
    void drop_messages_of(const Downlink_origin *origin) { queue.drop_of(origin); }
    // The origin's messages are still sent, but nobody is told of their replies.
    void detach_messages_of(const Downlink_origin *origin) { queue.detach_of(origin); }
    const Send_queue &send_queue() const { return queue; }

    // A device list is due, unless one still waits or is on the wire.
    void on_period_tick();
    // The link went down: every message goes unsent, the command on the wire included.
    void clear();

    // Link_events
    void authorised() override;
    void devices_list_complete() override;
    void command_complete(bool status) override;
    bool in_flight_owner(quint64 &eui) const override;
    bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) override;

private:
    void send_next();

    Link_wire &wire;
    Link_servers &servers;
    Send_queue queue;
    // From the request of a device list until its reply has been read.
    bool devlist_queued = false;
};
