#pragma once

#include "shared/downlink.h"

#include <QHash>

#include <deque>
#include <list>
#include <optional>

// The commands that wait for the link's one place on the wire, and the one there. A device
// list that is due goes first; downlinks take turns by modem, so that a busy client only
// delays others by its own turns, and each modem's messages keep their order. A modem may
// have only so many downlinks waiting: memory stays bounded whatever a client writes.
// A plain container: the link sends what it hands out.
class Send_queue {
public:
    // What is on the wire.
    enum class Command { none, devlist, downlink };

    // A client that waits for each reply has one message waiting at most; this leaves room
    // for clients that send a few requests ahead and bounds what a flood costs.
    static constexpr int default_modem_cap = 64;

    // modem_cap: at least 1.
    explicit Send_queue(int modem_cap = default_modem_cap);

    // Appends the message behind its modem's earlier ones. False, and nothing is kept, when
    // the modem already has its cap of messages waiting.
    bool push(Downlink message);
    // The device list is due: it goes before any further downlink, once however often asked.
    void request_devlist();

    // With nothing on the wire, puts the next command there and says which it is.
    Command take_next();
    Command on_wire() const { return wire; }
    // Only while a downlink is on the wire.
    const Downlink &wire_downlink() const { return wire_message; }
    // The command on the wire was answered: the place is free. A downlink is handed back
    // (for the device list an empty one).
    Downlink finish();

    // The origin's waiting messages go unsent; one on the wire only loses its origin.
    void drop_of(const Downlink_origin *origin);
    // The origin's messages, waiting or on the wire, are still sent but lose their origin.
    void detach_of(const Downlink_origin *origin);
    // Everything goes, the command on the wire included.
    void clear();

    int modem_cap() const { return cap; }
    int waiting(Eui eui) const;
    int waiting() const;
    bool devlist_due() const { return devlist_waiting; }

private:
    struct Modem_turn {
        Eui eui;
        std::deque<Downlink> waiting;
    };
    using Turn = std::list<Modem_turn>::iterator;

    void remove_turn(Turn turn);

    const int cap;
    // Modems with waiting messages, the next to send first.
    std::list<Modem_turn> turns;
    QHash<Eui, Turn> turn_of;
    // The modem whose message went last; it goes behind the others at the next choice, so
    // that a modem that starts waiting meanwhile comes before it.
    std::optional<Eui> served_last;
    bool devlist_waiting = false;
    Command wire = Command::none;
    Downlink wire_message;
};
