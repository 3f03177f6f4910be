#pragma once

#include "config/devices.h"
#include "tcp/fcnt_filter.h"

#include <QByteArray>

#include <array>
#include <bitset>
#include <cstdint>

// Who hears of what a Packet_group drops on its way (counted for the modem's monitor).
class Group_events {
public:
    virtual void group_abandoned() = 0;
    virtual void repeat_dropped() = 0;
    virtual void restart_heard() = 0;

protected:
    ~Group_events() = default;
};

// Joins the uplink packets of one modem into the groups its external device sent.
// A modem cuts what arrives on its RS-232/RS-485 port into up to 255 packets of
// type 0x03 or 0x13; they may come in any order and more than once.
//
// The modem sends a group's packets in number order, each uplink with the next frame
// counter. So where the messages carry counters, a packet whose counter does not rise from
// a stored packet's by their distance in numbers (give or take fewer than the group's packet
// count, for uplinks of other ports in between) belongs to another group: the group in
// progress has lost a packet and is abandoned rather than completed with bytes of the next one.
class Packet_group {
public:
    enum class Outcome {
        ignored,    // not a data packet, a repeat, or empty
        waiting,    // stored; the group is not complete yet
        complete,   // the group is in joined (empty for a group of size 0)
        dropped,    // faulty and logged; no group had been started, the client stays
        lost        // faulty and logged after a group was started, or a group abandoned
                    // after one was delivered: the client must go
    };

    explicit Packet_group(Eui eui, Group_events *events = nullptr);

    Outcome add(const QByteArray &packet, bool has_fcnt, std::uint32_t fcnt, QByteArray &joined);
    // A new client starts with nothing remembered.
    void reset();

    bool started() const { return group_started; }
    // A group has been completed for this client since the last reset.
    bool delivered() const { return group_delivered; }
    int received() const { return group_received; }

private:
    Outcome store(const QByteArray &packet, bool has_fcnt, std::uint32_t fcnt);
    bool belongs_elsewhere(unsigned number, std::uint32_t fcnt) const;
    bool abandon(unsigned number, std::uint32_t fcnt);
    Outcome join(int header_size, QByteArray &joined);
    Outcome completed();
    Outcome too_much_data();
    Outcome fault();
    void discard();

    Eui eui;
    Group_events *events;
    Fcnt_filter fcnt_filter;
    std::array<QByteArray, 256> packets;
    std::array<std::uint32_t, 256> packet_fcnt;  // valid where packet_has_fcnt is set
    std::bitset<256> packet_has_fcnt;
    std::uint16_t group_size = 0;
    std::uint8_t group_packets = 0;
    std::uint8_t group_received = 0;
    bool group_started = false;
    bool group_delivered = false;
};
