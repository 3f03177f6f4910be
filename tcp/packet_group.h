#pragma once

#include "config/devices.h"
#include "tcp/fcnt_filter.h"

#include <QByteArray>

#include <array>
#include <cstdint>

// Joins the uplink packets of one modem into the groups its external device sent.
// A modem cuts what arrives on its RS-232/RS-485 port into up to 255 packets of
// type 0x03 or 0x13; they may come in any order and more than once.
class Packet_group {
public:
    enum class Outcome {
        ignored,    // not a data packet, a repeat, or empty
        waiting,    // stored; the group is not complete yet
        complete,   // the group is in joined (empty for a group of size 0)
        dropped,    // faulty and logged; no group had been started, the client stays
        lost        // faulty and logged after a group was started: the client must go
    };

    explicit Packet_group(Eui eui);

    Outcome add(const QByteArray &packet, bool has_fcnt, std::uint32_t fcnt, QByteArray &joined);
    // A new client starts with nothing remembered.
    void reset();

    bool started() const { return group_started; }
    int received() const { return group_received; }

private:
    Outcome store(const QByteArray &packet);
    Outcome join(int header_size, QByteArray &joined);
    Outcome too_much_data();
    Outcome fault();
    void discard();

    Eui eui;
    Fcnt_filter fcnt_filter;
    std::array<QByteArray, 256> packets;
    std::uint16_t group_size = 0;
    std::uint8_t group_packets = 0;
    std::uint8_t group_received = 0;
    bool group_started = false;
};
