// Feeds uplink packets to the reassembly of one modem, in two ways chosen by the first byte.
//
// Arbitrary packets (bit 0 clear): records of one length byte, one flag byte (bit 0: the packet
// has an fcnt), two bytes of fcnt (a small range, so that repeats occur) and the packet itself.
// Nothing may crash and the state must stay consistent.
//
// A modem on a bad radio (bit 0 set): records of four bytes make the modem send a group (of a
// size and packet size taken from the record, its packets with rising counters), restart its
// counter, or have its client replaced; one byte per packet then says whether the radio loses,
// repeats or reorders it. Every write to the client must be one whole group as the modem sent it.

#include "fuzz/quiet_log.h"
#include "tcp/packet_group.h"

#include <QByteArray>
#include <QSet>
#include <QVector>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

const Eui eui = 0x0011223344556677ULL;

void arbitrary_packets(const std::uint8_t *data, std::size_t size)
{
    Packet_group group(eui);
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
}

// Data no other group has: the group's serial number leads it.
QByteArray group_data(std::uint32_t serial, int size)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i < 4 ? serial >> (8 * i) : serial * 31 + std::uint32_t(i));
    return bytes;
}

QByteArray packet_of(const QByteArray &bytes, int packet_size, int number, int count)
{
    const QByteArray slice = bytes.mid(number * packet_size, packet_size);
    QByteArray p;
    p += char(0x03);
    p += char(bytes.size() & 0xFF);
    p += char(bytes.size() >> 8);
    p += char(slice.size());
    p += char(number);
    p += char(count);
    return p + slice;
}

void modem_on_a_bad_radio(const std::uint8_t *data, std::size_t size)
{
    Packet_group group(eui);
    QSet<QByteArray> sent;
    std::uint32_t next_fcnt = 1;
    std::uint32_t serial = 0;
    // A restart may reuse the very counters of packets the radio lost, so the first group
    // completed after it cannot be told from one mixed with what was stored before.
    bool restarted = false;
    std::size_t at = 0;
    while (at + 4 <= size) {
        const unsigned op = data[at] % 4;
        const unsigned a = data[at + 1] | data[at + 2] << 8;
        const unsigned b = data[at + 3];
        at += 4;
        if (op == 1) {
            next_fcnt = a;
            restarted = true;
            continue;
        }
        if (op == 2) {
            group.reset();
            continue;
        }
        const int bytes_size = 4 + int(a % 1500);
        const int packet_size = std::max(1 + int(b), (bytes_size + 254) / 255);
        const int count = (bytes_size + packet_size - 1) / packet_size;
        const QByteArray bytes = group_data(serial++, bytes_size);
        sent.insert(bytes);
        struct Delivery {
            QByteArray packet;
            std::uint32_t fcnt;
        };
        QVector<Delivery> air;
        for (int n = 0; n < count; ++n) {
            const Delivery d{packet_of(bytes, packet_size, n, count), next_fcnt++};
            const std::uint8_t radio = at < size ? data[at++] : 0;
            if (radio & 1)
                continue;
            air.append(d);
            if (radio & 2)
                air.append(d);
            if (radio & 4 && air.size() > 1)
                std::swap(air.last(), air[int(radio >> 3) % air.size()]);
        }
        for (const Delivery &d : qAsConst(air)) {
            QByteArray joined;
            switch (group.add(d.packet, true, d.fcnt, joined)) {
            case Packet_group::Outcome::complete:
                if (!sent.contains(joined) && !restarted)
                    std::abort();
                restarted = false;
                break;
            case Packet_group::Outcome::lost:
                group.reset();
                break;
            default:
                break;
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    quiet_log();
    if (size == 0)
        return 0;
    if (data[0] & 1)
        modem_on_a_bad_radio(data + 1, size - 1);
    else
        arbitrary_packets(data + 1, size - 1);
    return 0;
}
