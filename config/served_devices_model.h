#pragma once

#include "base/err.h"

#include <cstdint>
#include <map>

// How a modem's port speaks to its clients.
enum class Device_mode : std::uint8_t {
    raw,        // one client; its bytes cut into messages at its pauses
    modbus_tcp  // up to eight Modbus TCP masters; each request goes to the modem as an RTU frame
};

// What is kept for one served modem.
struct Device_params {
    std::int32_t max_frame = 0;     // 1 to 9999
    std::uint16_t tcp_port = 0;
    Device_mode mode = Device_mode::raw;
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

// One served modem: its EUI and what is kept for it.
struct Device_entry {
    Eui eui = 0;
    Device_params params;
};

// The list of served modems by EUI, with the TCP ports in use beside it, and the rules
// for changing it: no EUI and no port twice. Changed only by the user interface thread;
// the list itself is changed under state_mutex, as the exchange thread reads it under
// that lock. The port index belongs to the user interface thread alone.
class Served_devices_model {
public:
    // What a modem to be added collides with; the EUI is looked at first.
    enum class Clash { none, eui, port };

    Served_devices_model() = default;
    Served_devices_model(const Served_devices_model &) = delete;
    Served_devices_model &operator=(const Served_devices_model &) = delete;

    // In unsigned EUI order.
    const Served_devices &devices() const { return by_eui; }

    // Adds the modem unless it collides with one in the list.
    Clash try_add(const Device_entry &entry);
    // Adds the modem; a taken EUI or port throws Err with the text for the user.
    void add(const Device_entry &entry);
    // Gives the modem old_eui the entry's EUI and parameters. Throws Err, in this order,
    // for a port of another modem, for an entry that changes nothing and for an EUI of
    // another modem; Debug when there is no modem old_eui.
    void replace(Eui old_eui, const Device_entry &entry);
    // Takes the modem off the list; Debug when there is none such.
    void remove(Eui eui);
    // Empties the list.
    void clear();

    // The smallest port from first up that no modem uses, or -1 when all are used.
    int first_free_port(int first) const;
    // Whether the port index names every modem by its own port and nothing else.
    bool consistent() const;

private:
    void insert(const Device_entry &entry);

    Served_devices by_eui;
    Served_ports by_port;
};

// A modem that collides with one in the list, and with which of its values.
class Clash_error : public Err {
public:
    Clash_error(Served_devices_model::Clash clash, const QString &message) : Err(message), clash(clash) {}

    Served_devices_model::Clash clash;
};

// The served modems of the process, filled from the devices file.
extern Served_devices_model served_model;
// Its list, for reading: on the user interface thread at any time, on the exchange
// thread under state_mutex.
extern const Served_devices &served_devices;
