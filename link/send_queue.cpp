#include "link/send_queue.h"

#include <algorithm>
#include <utility>

Send_queue::Send_queue(int modem_cap)
    : cap(modem_cap)
{
}

bool Send_queue::push(Downlink message)
{
    auto found = turn_of.find(message.eui);
    if (found == turn_of.end()) {
        const Eui eui = message.eui;
        turns.push_back(Modem_turn{eui, {}});
        found = turn_of.insert(eui, std::prev(turns.end()));
    } else if (int(found.value()->waiting.size()) >= cap) {
        return false;
    }
    found.value()->waiting.push_back(std::move(message));
    return true;
}

void Send_queue::request_devlist()
{
    devlist_waiting = true;
}

Send_queue::Command Send_queue::take_next()
{
    if (wire != Command::none)
        return wire;
    if (devlist_waiting) {
        devlist_waiting = false;
        wire = Command::devlist;
        return wire;
    }
    if (served_last) {
        const auto last = turn_of.constFind(*served_last);
        if (last != turn_of.cend())
            turns.splice(turns.end(), turns, last.value());
        served_last.reset();
    }
    if (turns.empty())
        return Command::none;
    Modem_turn &turn = turns.front();
    wire_message = std::move(turn.waiting.front());
    turn.waiting.pop_front();
    if (turn.waiting.empty())
        remove_turn(turns.begin());
    else
        served_last = turn.eui;
    wire = Command::downlink;
    return wire;
}

Downlink Send_queue::finish()
{
    wire = Command::none;
    return std::exchange(wire_message, Downlink());
}

void Send_queue::remove_turn(Turn turn)
{
    turn_of.remove(turn->eui);
    turns.erase(turn);
}

void Send_queue::drop_of(const Downlink_origin *origin)
{
    if (!origin)
        return;
    for (Turn turn = turns.begin(); turn != turns.end();) {
        std::deque<Downlink> &waiting = turn->waiting;
        waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                     [origin](const Downlink &m) { return m.origin == origin; }),
                      waiting.end());
        const Turn next = std::next(turn);
        if (waiting.empty())
            remove_turn(turn);
        turn = next;
    }
    if (wire_message.origin == origin)
        wire_message.origin = nullptr;
}

void Send_queue::detach_of(const Downlink_origin *origin)
{
    if (!origin)
        return;
    for (Modem_turn &turn : turns) {
        for (Downlink &message : turn.waiting) {
            if (message.origin == origin)
                message.origin = nullptr;
        }
    }
    if (wire_message.origin == origin)
        wire_message.origin = nullptr;
}

void Send_queue::clear()
{
    turns.clear();
    turn_of.clear();
    served_last.reset();
    devlist_waiting = false;
    finish();
}

int Send_queue::waiting(Eui eui) const
{
    const auto found = turn_of.constFind(eui);
    return found == turn_of.cend() ? 0 : int(found.value()->waiting.size());
}

int Send_queue::waiting() const
{
    int n = 0;
    for (const Modem_turn &turn : turns)
        n += int(turn.waiting.size());
    return n;
}
