#include "link/link_traffic.h"

#include "link/link_servers.h"
#include "link/link_wire.h"

#include <utility>

Link_traffic::Link_traffic(Link_wire &wire, Link_servers &servers)
    : wire(wire), servers(servers)
{
}

bool Link_traffic::enqueue_message(Downlink message)
{
    if (!queue.push(std::move(message)))
        return false;
    if (queue.on_wire() == Send_queue::Command::none)
        send_next();
    return true;
}

void Link_traffic::clear()
{
    queue.clear();
    devlist_queued = false;
}

void Link_traffic::send_next()
{
    switch (queue.take_next()) {
    case Send_queue::Command::none:
        wire.wire_free();
        break;
    case Send_queue::Command::devlist:
        wire.send_devlist();
        break;
    case Send_queue::Command::downlink:
        wire.send_downlink(queue.wire_downlink());
        break;
    }
}

void Link_traffic::authorised()
{
    wire.reply_read();
    if (!wire.start_polling())
        return;
    // The first request is on the wire like any other, so that a period tick can only
    // queue the next one behind it.
    devlist_queued = true;
    queue.request_devlist();
    send_next();
}

void Link_traffic::devices_list_complete()
{
    devlist_queued = false;
    wire.reply_read();
    queue.finish();
    if (servers.reconcile(true))
        wire.notify_servers_changed();
    send_next();
}

void Link_traffic::command_complete(bool status)
{
    wire.reply_read();
    const Downlink done = queue.finish();
    if (done.origin && !status)
        done.origin->downlink_refused();
    send_next();
}

bool Link_traffic::in_flight_owner(quint64 &eui) const
{
    if (queue.on_wire() != Send_queue::Command::downlink || !queue.wire_downlink().origin)
        return false;
    eui = queue.wire_downlink().eui;
    return true;
}

bool Link_traffic::deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt)
{
    return servers.deliver_modem_data(eui, data, has_fcnt, fcnt);
}

void Link_traffic::on_period_tick()
{
    if (devlist_queued)
        return;
    devlist_queued = true;
    queue.request_devlist();
    if (queue.on_wire() == Send_queue::Command::none)
        send_next();
}
