#pragma once

#include "link/link_events.h"
#include "link/send_queue.h"
#include "shared/downlink.h"

#include <QBasicTimer>
#include <QObject>
#include <QString>

class Link_servers;
class Link_wire;

// What an authorised link carries: the device list, at once and then at every period tick,
// and the modems' messages in their turns, one command on the wire at a time; and what the
// replies report, handed on to the servers and the messages' origins.
class Link_traffic : public QObject, public Link_events, public Downlinks {
    Q_OBJECT
    Q_DISABLE_COPY(Link_traffic)

public:
    Link_traffic(Link_wire &wire, Link_servers &servers);

    // Downlinks; before authorisation and after a failure a message is dropped unsent.
    bool enqueue_message(Downlink message) override;
    void drop_messages_of(const Downlink_origin *origin) override { queue.drop_of(origin); }
    void detach_messages_of(const Downlink_origin *origin) override { queue.detach_of(origin); }
    int modem_cap() const override { return queue.modem_cap(); }

    const Send_queue &send_queue() const { return queue; }

    // No more device lists fall due (the link shuts down).
    void stop_polling() { period_timer.stop(); }
    // The link went down: every message goes unsent, the command on the wire included, and
    // nothing falls due until the next authorisation.
    void clear();

    // Link_events
    void authorised() override;
    void devices_listed(QVector<Server_device> devices) override;
    void devices_list_complete() override;
    void command_complete(bool status) override;
    bool in_flight_owner(quint64 &eui) const override;

    // A device list is due, unless one still waits or is on the wire.
    void on_period_tick();

signals:
    // The link cannot go on (the polling could not be started): the text says why.
    void fatal(const QString &text);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void send_next();

    Link_wire &wire;
    Link_servers &servers;
    Send_queue queue;
    QBasicTimer period_timer;
    bool carrying = false;
    // From the request of a device list until its reply has been read.
    bool devlist_queued = false;
    // The list read differs from the one it replaced.
    bool list_changed = false;
};
