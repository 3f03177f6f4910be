#pragma once

#include "shared/downlink.h"
#include "tcp/client_message.h"

#include <cstdint>

class Exchange_monitor;
class QTcpSocket;

// The downlink side of a modem's client: what it sends, gathered into one Client_message
// until it pauses, checked against the frame limit and then handed to the link.
class Client_reader {
public:
    // The monitor, when given, hears of every message the link takes.
    Client_reader(int max_frame, std::uint16_t tcp_port, Exchange_monitor *monitor = nullptr);

    // Reads what the client offers. True when bytes came, so that the pause starts again;
    // false (logged) when the client must go: a read error or a message past the limit.
    bool read(QTcpSocket &client);
    // The client paused or left: what it sent since the last pause goes to the link as one
    // message (dropped unsent without a link). False (logged) when the link already holds
    // as many messages of this modem as it takes: the client sends faster than the modem's
    // share of the link carries them.
    bool hand_over(Downlinks *downlinks, Downlink_origin *origin, Eui eui);
    // What came since the last pause is forgotten.
    void clear() { message.clear(); }

private:
    Client_message message;
    const int max_frame;
    const std::uint16_t tcp_port;
    Exchange_monitor *monitor;
};
