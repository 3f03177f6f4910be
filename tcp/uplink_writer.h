#pragma once

#include "config/devices.h"
#include "tcp/packet_group.h"

#include <QByteArray>

#include <cstdint>

class Exchange_monitor;
class QTcpSocket;

// The uplink side of a modem's client: the modem's packets joined into their groups, and
// each complete group written to the client in one piece.
class Uplink_writer {
public:
    // Bytes waiting to be written to a client beyond which it counts as not reading:
    // far above a day of LoRa traffic, far below what would strain the program.
    static constexpr qint64 write_limit = 1 << 20;

    enum class Outcome {
        fine,
        end_client,  // a group was lost or a write failed: the client must go
        cut_client   // the client does not read: it must go without an orderly close
    };

    // The monitor, when given, hears of every group written and of what the group drops.
    Uplink_writer(Eui eui, std::uint16_t tcp_port, Exchange_monitor *monitor = nullptr);

    // One uplink packet of the modem, as decoded from an "rx" message.
    Outcome add(QTcpSocket &client, const QByteArray &data, bool has_fcnt, std::uint32_t fcnt);
    // A new client starts with nothing remembered.
    void reset() { group.reset(); }

private:
    Outcome write(QTcpSocket &client, const QByteArray &data);

    Exchange_monitor *monitor;
    Packet_group group;
    const Eui eui;
    const std::uint16_t tcp_port;
};
