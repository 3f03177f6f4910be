#include "link/link_traffic.h"

#include "base/err.h"
#include "base/log.h"
#include "config/settings.h"
#include "link/link_wire.h"
#include "link/link_servers.h"
#include "link/server_commands.h"
#include "shared/shared_state.h"

#include <QMutexLocker>
#include <QTimerEvent>

#include <utility>

namespace {

constexpr unsigned module = 7;

}

Link_traffic::Link_traffic(Link_wire &wire, Link_servers &servers)
    : wire(wire), servers(servers)
{
}

void Link_traffic::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == period_timer.timerId()) {
        on_period_tick();
        return;
    }
    log_unexpected(place_code(module, 33));
    killTimer(event->timerId());
}

bool Link_traffic::enqueue_message(Downlink message)
{
    // Only an authorised link carries downlinks; whatever arrives otherwise is dropped.
    if (!carrying)
        return true;
    if (!queue.push(std::move(message)))
        return false;
    if (queue.on_wire() == Send_queue::Command::none)
        send_next();
    return true;
}

void Link_traffic::clear()
{
    period_timer.stop();
    queue.clear();
    carrying = false;
    devlist_queued = false;
}

void Link_traffic::send_next()
{
    switch (queue.take_next()) {
    case Send_queue::Command::none:
        wire.free();
        break;
    case Send_queue::Command::devlist:
        wire.send(Command_kind::get_device_appdata_req, devlist_req_text());
        break;
    case Send_queue::Command::downlink: {
        const Downlink &message = queue.wire_downlink();
        wire.send(Command_kind::send_data_req,
                  send_data_req_text(message.eui, message.data.constData(), std::size_t(message.data.size())));
        break;
    }
    }
}

void Link_traffic::authorised()
{
    wire.reply_read();
    // A period of 0 asks for the list once per connection and never polls.
    if (settings.ws_devlist_period != 0) {
        period_timer.start(settings.ws_devlist_period, Qt::CoarseTimer, this);
        if (!period_timer.isActive()) {
            emit fatal(unexpected_error_text(place_code(module, 190)));
            return;
        }
    }
    carrying = true;
    // The first request is on the wire like any other, so that a period tick can only
    // queue the next one behind it.
    devlist_queued = true;
    queue.request_devlist();
    send_next();
}

void Link_traffic::devices_listed(QVector<Server_device> devices)
{
    QMutexLocker lock(&state_mutex);
    list_changed = reachable_modems != devices;
    reachable_modems.swap(devices);
    lock.unlock();
    // The old list is released here, outside the lock.
}

void Link_traffic::devices_list_complete()
{
    devlist_queued = false;
    wire.reply_read();
    queue.finish();
    servers.reconcile(true, std::exchange(list_changed, false));
    send_next();
}

void Link_traffic::command_complete(bool status)
{
    wire.reply_read();
    const Downlink done = queue.finish();
    if (done.origin && !status)
        done.origin->downlink_refused();
    else if (done.origin)
        done.origin->downlink_accepted();
    send_next();
}

bool Link_traffic::in_flight_owner(quint64 &eui) const
{
    if (queue.on_wire() != Send_queue::Command::downlink || !queue.wire_downlink().origin)
        return false;
    eui = queue.wire_downlink().eui;
    return true;
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
