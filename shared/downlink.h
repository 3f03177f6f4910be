#pragma once

#include "config/devices.h"

#include <QByteArray>

// Whom the link tells when the network server refuses a downlink: the TCP server whose
// client sent it.
class Downlink_origin {
public:
    // The network server refused one of this origin's downlinks (append status false).
    virtual void downlink_refused() = 0;

protected:
    ~Downlink_origin() = default;
};

// One client message bound for one modem, as it waits in the send queue; the link turns
// it into a send_data_req.
struct Downlink {
    Eui eui = 0;
    QByteArray data;
    // None once its client has left: the message is still sent, and nobody hears of its reply.
    Downlink_origin *origin = nullptr;
};
