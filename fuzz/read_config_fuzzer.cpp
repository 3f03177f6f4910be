// The configuration reader over arbitrary file contents: it either fills the settings or
// throws Err, and nothing else.
#include "config/settings.h"

#include "base/err.h"
#include "fuzz/file_fuzz.h"
#include "fuzz/quiet_log.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    quiet_log();
    static const QString name = fuzz_file_name("quvo_vevi2zar.cfg");
    write_fuzz_file(name, data, size);

    reset_settings();
    try {
        read_config(name);
        // Whatever was accepted lies within the documented ranges.
        if (settings.ws_connect_timeout > 60000 || settings.default_max_frame < 1
            || settings.default_max_frame > 9999 || settings.interframe_delay < 1
            || settings.interframe_delay > 60000)
            std::abort();
    } catch (const Err &) {
    }
    return 0;
}
