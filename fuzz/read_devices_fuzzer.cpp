// The devices reader over arbitrary file contents; whatever it accepts must survive a
// write and a second read unchanged.
#include "config/devices.h"
#include "config/settings.h"

#include "base/err.h"
#include "fuzz/file_fuzz.h"
#include "fuzz/quiet_log.h"

#include <cstdint>
#include <algorithm>
#include <cstdlib>

namespace {

bool maps_agree()
{
    if (!served_model.consistent())
        return false;
    for (const auto &device : served_devices) {
        if (device.second.max_frame < 1 || device.second.max_frame > 9999)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    quiet_log();
    static const QString name = fuzz_file_name("devices.cfg");
    write_fuzz_file(name, data, size);

    reset_settings();
    reset_devices();
    settings.devices_file = name;
    try {
        read_devices();
    } catch (const Err &) {
        return 0;
    }
    if (!maps_agree())
        std::abort();

    const Served_devices first = served_devices;
    settings.devices_file = fuzz_file_name("devices_written.cfg");
    try {
        write_devices();
        reset_devices();
        read_devices();
    } catch (const Err &) {
        std::abort();
    }
    if (!maps_agree() || served_devices.size() != first.size()
        || !std::equal(first.begin(), first.end(), served_devices.begin(), [](const auto &a, const auto &b) {
               return a.first == b.first && a.second.max_frame == b.second.max_frame
                   && a.second.tcp_port == b.second.tcp_port;
           }))
        std::abort();
    return 0;
}
