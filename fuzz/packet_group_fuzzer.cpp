// Feeds arbitrary uplink packets to the reassembly of one modem.
// Input: records of one length byte, one flag byte (bit 0: the packet has an fcnt),
// two bytes of fcnt (a small range, so that repeats occur) and the packet itself.

#include "fuzz/quiet_log.h"
#include "tcp/packet_group.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    quiet_log();
    Packet_group group(0x0011223344556677ULL);
    std::size_t at = 0;
    while (at + 4 <= size) {
        const std::size_t length = data[at];
        const bool has_fcnt = data[at + 1] & 1;
        const std::uint32_t fcnt = data[at + 2] | data[at + 3] << 8;
        at += 4;
        if (length > size - at)
            break;
        const QByteArray packet(reinterpret_cast<const char *>(data + at), int(length));
        at += length;
        QByteArray joined;
        switch (group.add(packet, has_fcnt, fcnt, joined)) {
        case Packet_group::Outcome::complete:
            if (group.received() != 0 || joined.size() > 65535)
                std::abort();
            break;
        case Packet_group::Outcome::lost:
            // What the end of the client's service does.
            group.reset();
            break;
        case Packet_group::Outcome::dropped:
            if (group.received() != 0 || group.started())
                std::abort();
            break;
        default:
            if (!joined.isEmpty())
                std::abort();
            break;
        }
    }
    return 0;
}
