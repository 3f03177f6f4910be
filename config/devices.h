#pragma once

#include <QString>

#include <cstdint>
#include <map>

// What is kept for one served modem.
struct Device_params {
    std::int32_t max_frame = 0;     // 1 to 9999
    std::uint16_t tcp_port = 0;
};

// Port 0 would let the system pick a port that no client knows of, so the smallest
// port a modem is served on is 1.
constexpr std::uint16_t min_served_port = 1;

// Whether the link gives the modem a TCP server. A devices file may still name port 0:
// that modem stays in the list, but is not served.
inline bool is_servable(const Device_params &params)
{
    return params.tcp_port >= min_served_port;
}

using Eui = std::uint64_t;
using Served_devices = std::map<Eui, Device_params>;
using Served_ports = std::map<std::uint16_t, Served_devices::iterator>;

// The served modems by EUI, in unsigned EUI order. Shared with the exchange thread:
// changed only by the user interface thread under state_mutex, read by the
// exchange thread under it.
extern Served_devices served_devices;
// The TCP ports in use, each pointing at its entry of served_devices; user interface thread only.
extern Served_ports served_ports;

// Sixteen upper-case hexadecimal digits, no prefix.
QString format_eui(Eui eui);

// Empties both maps; for tests that run many cases in one process.
void reset_devices();

// Fills both maps from the devices file named in the settings; throws Err with a
// positioned message. A repeated EUI or port is logged and the later statement dropped;
// a modem that cannot be served is kept and logged.
void read_devices();
// Replaces the devices file with the maps' content in one step; throws Err on failure,
// and the old file stays as it was.
void write_devices();
