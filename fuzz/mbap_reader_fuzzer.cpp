// Feeds what a master might send to the reader of a Modbus gateway port, cut into pieces.
//
// The first byte says how many piece sizes follow (modulo 8); each of those bytes, plus one,
// is the size of a piece, in turn; none means the whole rest in one piece. The rest is the
// stream. The frames taken, written again, must be the stream's start; the reader may stop
// for more only short of a whole frame, and call the stream malformed only at a bad header,
// after which nothing more comes out of it.

#include "tcp/modbus_frames.h"

#include <QByteArray>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

int big_endian_at(const std::uint8_t *bytes)
{
    return bytes[0] << 8 | bytes[1];
}

// What a correct reader says about the bytes left at the front of the stream.
Mbap_reader::Outcome expected(const std::uint8_t *rest, std::size_t size)
{
    if (size < mbap_header_size - 1)
        return Mbap_reader::Outcome::need_more;
    const int length = big_endian_at(rest + 4);
    if (big_endian_at(rest + 2) != 0 || length < 2 || length > modbus_max_pdu + 1)
        return Mbap_reader::Outcome::malformed;
    return size < std::size_t(mbap_header_size - 1 + length) ? Mbap_reader::Outcome::need_more
                                                             : Mbap_reader::Outcome::frame;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t sizes = std::min<std::size_t>(data[0] % 8, size - 1);
    const std::uint8_t *piece_sizes = data + 1;
    const std::uint8_t *stream = data + 1 + sizes;
    const std::size_t stream_size = size - 1 - sizes;

    Mbap_reader reader;
    std::size_t fed = 0;
    std::size_t taken = 0;
    bool malformed = false;
    for (std::size_t piece = 0; fed < stream_size; ++piece) {
        const std::size_t wanted = sizes == 0 ? stream_size : std::size_t(piece_sizes[piece % sizes]) + 1;
        const std::size_t length = std::min(wanted, stream_size - fed);
        reader.append(QByteArray(reinterpret_cast<const char *>(stream + fed), int(length)));
        fed += length;
        Modbus_request request;
        Mbap_reader::Outcome outcome;
        while ((outcome = reader.next(request)) == Mbap_reader::Outcome::frame) {
            if (malformed || expected(stream + taken, fed - taken) != Mbap_reader::Outcome::frame)
                std::abort();
            if (request.pdu.isEmpty() || request.pdu.size() > modbus_max_pdu)
                std::abort();
            const QByteArray frame = mbap_frame(request.transaction, request.unit, request.pdu);
            if (std::size_t(frame.size()) > fed - taken || std::memcmp(frame.constData(), stream + taken, frame.size()))
                std::abort();
            taken += std::size_t(frame.size());
        }
        if (outcome == Mbap_reader::Outcome::malformed) {
            if (!malformed && expected(stream + taken, fed - taken) != Mbap_reader::Outcome::malformed)
                std::abort();
            malformed = true;
        } else if (malformed || expected(stream + taken, fed - taken) != Mbap_reader::Outcome::need_more
                   || std::size_t(reader.pending()) != fed - taken) {
            std::abort();
        }
        if (reader.pending() >= mbap_header_size + modbus_max_pdu)
            std::abort();
    }

    reader.clear();
    reader.append(mbap_frame(1, 1, QByteArray(1, '\x03')));
    Modbus_request request;
    if (reader.pending() != mbap_header_size + 1 || reader.next(request) != Mbap_reader::Outcome::frame)
        std::abort();
    return 0;
}
