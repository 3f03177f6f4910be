#pragma once

#include "config/served_devices_model.h"

#include <QByteArray>

#include <cstdint>

// One served modem's port as its keeper sees it, whichever way it speaks to its clients:
// a Tcp_server (raw) or a Modbus_gateway. Lives in the exchange thread.
class Modem_port {
public:
    // Stops listening; the port deletes itself once its last client is gone.
    virtual void shutdown_server() = 0;
    // One uplink packet of this modem, as decoded from an "rx" message.
    virtual void on_modem_data(const QByteArray &data, bool has_fcnt, std::uint32_t fcnt) = 0;
    // The link and the keeper are gone: nothing is handed to them or told to them any more.
    virtual void forget_link() = 0;

    virtual Eui modem() const = 0;
    virtual std::uint16_t port() const = 0;
    // Whether it runs as the parameters say; otherwise a successor takes its place.
    virtual bool serves(const Device_params &params) const = 0;

protected:
    ~Modem_port() = default;
};
