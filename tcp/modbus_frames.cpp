#include "tcp/modbus_frames.h"

namespace {

// The MBAP length counts what follows its own field: the unit id and the PDU.
constexpr int mbap_length_end = mbap_header_size - 1;

std::uint8_t byte_at(const QByteArray &bytes, int i)
{
    return static_cast<std::uint8_t>(bytes[i]);
}

std::uint16_t big_endian_at(const QByteArray &bytes, int i)
{
    return std::uint16_t(byte_at(bytes, i) << 8 | byte_at(bytes, i + 1));
}

void append_big_endian(QByteArray &bytes, std::uint16_t value)
{
    bytes += char(value >> 8);
    bytes += char(value & 0xFF);
}

} // namespace

std::uint16_t modbus_crc16(const char *data, int size)
{
    std::uint16_t crc = 0xFFFF;
    for (int i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint8_t>(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
    }
    return crc;
}

void Mbap_reader::append(const QByteArray &bytes)
{
    // A master that sent a bad header is not read any more: what it sends is not kept.
    if (broken)
        return;
    // Moving the rest forward only once half is taken keeps many small frames, or one
    // frame in many small pieces, linear.
    if (start > buffer.size() / 2) {
        buffer.remove(0, start);
        start = 0;
    }
    buffer += bytes;
}

Mbap_reader::Outcome Mbap_reader::next(Modbus_request &request)
{
    if (broken)
        return Outcome::malformed;
    const int available = buffer.size() - start;
    if (available < mbap_length_end)
        return Outcome::need_more;
    const int length = big_endian_at(buffer, start + 4);
    if (big_endian_at(buffer, start + 2) != 0 || length < 2 || length > modbus_max_pdu + 1) {
        broken = true;
        buffer = QByteArray();
        start = 0;
        return Outcome::malformed;
    }
    if (available < mbap_length_end + length)
        return Outcome::need_more;
    request.transaction = big_endian_at(buffer, start);
    request.unit = byte_at(buffer, start + mbap_length_end);
    request.pdu = buffer.mid(start + mbap_header_size, length - 1);
    start += mbap_length_end + length;
    return Outcome::frame;
}

void Mbap_reader::clear()
{
    buffer = QByteArray();
    start = 0;
    broken = false;
}

int Mbap_reader::pending() const
{
    return buffer.size() - start;
}

QByteArray rtu_frame(std::uint8_t unit, const QByteArray &pdu)
{
    QByteArray frame;
    frame.reserve(pdu.size() + 3);
    frame += char(unit);
    frame += pdu;
    const std::uint16_t crc = modbus_crc16(frame.constData(), frame.size());
    frame += char(crc & 0xFF);
    frame += char(crc >> 8);
    return frame;
}

Rtu_check check_rtu_reply(const QByteArray &frame, std::uint8_t unit, std::uint8_t function)
{
    const int size = frame.size();
    if (size < 4)
        return Rtu_check::too_short;
    const std::uint8_t replied = byte_at(frame, 1);
    // An exception carries one code and nothing else.
    if ((replied & 0x80) && size != 5)
        return Rtu_check::too_short;
    const std::uint16_t crc = modbus_crc16(frame.constData(), size - 2);
    if (byte_at(frame, size - 2) != (crc & 0xFF) || byte_at(frame, size - 1) != crc >> 8)
        return Rtu_check::bad_crc;
    if (byte_at(frame, 0) != unit)
        return Rtu_check::other_unit;
    if (replied != function && replied != (function | 0x80))
        return Rtu_check::other_function;
    return Rtu_check::good;
}

QByteArray rtu_pdu(const QByteArray &frame)
{
    return frame.mid(1, frame.size() - 3);
}

bool reply_answers(const QByteArray &request_pdu, const QByteArray &reply_pdu)
{
    if (reply_pdu.size() == 2 && (byte_at(reply_pdu, 0) & 0x80))
        return true;
    const auto quantity = [&request_pdu] { return request_pdu.size() >= 5 ? big_endian_at(request_pdu, 3) : -1; };
    const auto read_of = [&reply_pdu](int bytes) {
        return reply_pdu.size() >= 2 && byte_at(reply_pdu, 1) == bytes && reply_pdu.size() == 2 + bytes;
    };
    switch (byte_at(request_pdu, 0)) {
    case 0x01:  // read coils
    case 0x02:  // read discrete inputs
        return read_of((quantity() + 7) / 8);
    case 0x03:  // read holding registers
    case 0x04:  // read input registers
        return read_of(2 * quantity());
    case 0x05:  // write single coil
    case 0x06:  // write single register
        return reply_pdu == request_pdu;
    case 0x0F:  // write multiple coils
    case 0x10:  // write multiple registers
        return reply_pdu.size() == 5 && request_pdu.startsWith(reply_pdu);
    default:
        return true;
    }
}

QByteArray mbap_frame(std::uint16_t transaction, std::uint8_t unit, const QByteArray &pdu)
{
    QByteArray frame;
    frame.reserve(mbap_header_size + pdu.size());
    append_big_endian(frame, transaction);
    append_big_endian(frame, 0);
    append_big_endian(frame, std::uint16_t(pdu.size() + 1));
    frame += char(unit);
    frame += pdu;
    return frame;
}

QByteArray modbus_exception_pdu(std::uint8_t function, std::uint8_t code)
{
    QByteArray pdu;
    pdu += char(function | 0x80);
    pdu += char(code);
    return pdu;
}
