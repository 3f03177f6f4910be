#include "lora_sim/modbus_slave.h"

namespace {

constexpr quint8 illegal_function = 0x01;
constexpr quint8 illegal_address = 0x02;
constexpr quint8 illegal_value = 0x03;

int word(const QByteArray &bytes, int at)
{
    return quint8(bytes.at(at)) << 8 | quint8(bytes.at(at + 1));
}

void append_word(QByteArray &bytes, int value)
{
    bytes.append(char(value >> 8));
    bytes.append(char(value & 0xFF));
}

QByteArray exception(quint8 function, quint8 code)
{
    QByteArray pdu;
    pdu.append(char(function | 0x80));
    pdu.append(char(code));
    return pdu;
}

}  // namespace

quint16 slave_rtu_crc(const QByteArray &bytes)
{
    quint16 crc = 0xFFFF;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 1 ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

QByteArray slave_rtu_frame(quint8 unit, const QByteArray &pdu)
{
    QByteArray frame;
    frame.append(char(unit));
    frame.append(pdu);
    const quint16 crc = slave_rtu_crc(frame);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

Modbus_slave::Modbus_slave(int unit_id, int count)
    : unit(quint8(unit_id))
    , registers(count, 0)
{
}

QByteArray Modbus_slave::answer(const QByteArray &frame)
{
    if (frame.size() < 4)
        return {};
    const QByteArray body = frame.left(frame.size() - 2);
    if (slave_rtu_crc(body) != (quint8(frame.at(frame.size() - 2)) | quint8(frame.at(frame.size() - 1)) << 8))
        return {};
    const quint8 to = quint8(frame.at(0));
    if (to != unit && to != 0)
        return {};
    const QByteArray reply = execute(body.mid(1));
    return to == 0 ? QByteArray() : slave_rtu_frame(unit, reply);
}

// Checks in the order a slave is expected to make them: function, then quantity and length, then
// the address range.
QByteArray Modbus_slave::execute(const QByteArray &pdu)
{
    const quint8 function = quint8(pdu.at(0));
    const int size = registers.size();
    switch (function) {
    case 3: {
        if (pdu.size() != 5 || word(pdu, 3) < 1 || word(pdu, 3) > 125)
            return exception(function, illegal_value);
        const int start = word(pdu, 1);
        const int count = word(pdu, 3);
        if (start + count > size)
            return exception(function, illegal_address);
        QByteArray reply;
        reply.append(char(function));
        reply.append(char(2 * count));
        for (int i = start; i < start + count; ++i)
            append_word(reply, registers.at(i));
        return reply;
    }
    case 6:
        if (pdu.size() != 5)
            return exception(function, illegal_value);
        if (word(pdu, 1) >= size)
            return exception(function, illegal_address);
        registers[word(pdu, 1)] = quint16(word(pdu, 3));
        return pdu;
    case 16: {
        if (pdu.size() < 6)
            return exception(function, illegal_value);
        const int start = word(pdu, 1);
        const int count = word(pdu, 3);
        if (count < 1 || count > 123 || quint8(pdu.at(5)) != 2 * count || pdu.size() != 6 + 2 * count)
            return exception(function, illegal_value);
        if (start + count > size)
            return exception(function, illegal_address);
        for (int i = 0; i < count; ++i)
            registers[start + i] = quint16(word(pdu, 6 + 2 * i));
        return pdu.left(5);
    }
    default:
        return exception(function, illegal_function);
    }
}
