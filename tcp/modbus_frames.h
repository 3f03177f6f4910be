#pragma once

#include <QByteArray>

#include <cstdint>

// The frames of a Modbus gateway port: MBAP frames from and to its TCP masters, RTU frames to
// and from the serial device behind the modem.

// Longest PDU that an MBAP length (at most 254, the unit id included) can carry.
constexpr int modbus_max_pdu = 253;
// MBAP header: transaction id, protocol id, length, unit id.
constexpr int mbap_header_size = 7;

// Exception codes that the gateway answers itself.
enum class Modbus_exception : std::uint8_t {
    device_busy = 0x06,
    path_unavailable = 0x0A,
    target_failed = 0x0B
};

// The CRC-16 of RTU frames (polynomial 0xA001 reflected, start 0xFFFF); sent low byte first.
std::uint16_t modbus_crc16(const char *data, int size);

// One request of a master, as its MBAP frame carried it.
struct Modbus_request {
    std::uint16_t transaction = 0;
    std::uint8_t unit = 0;
    QByteArray pdu;  // function code and data, 1..modbus_max_pdu bytes
};

// Cuts what a master sends into MBAP frames. Bytes may come in any pieces; what it keeps
// stays below one frame plus what was appended last.
class Mbap_reader {
public:
    enum class Outcome {
        frame,      // request holds the next frame
        need_more,  // no whole frame yet
        malformed   // a header with a protocol id other than 0 or a length under 2 or over 254:
                    // nothing more of this master can be read
    };

    void append(const QByteArray &bytes);
    // Takes the next whole frame off the front. Once malformed, stays malformed.
    Outcome next(Modbus_request &request);
    void clear();
    // Bytes kept that do not make a whole frame yet.
    int pending() const;

private:
    QByteArray buffer;
    int start = 0;  // bytes at the front of buffer already taken
    bool broken = false;
};

// unit, pdu and the CRC, low byte first.
QByteArray rtu_frame(std::uint8_t unit, const QByteArray &pdu);

// What an uplink packet group is, held against the request it is to answer.
enum class Rtu_check {
    good,           // a reply to it: same unit, same function code or its exception form
    too_short,      // fewer than 4 bytes (unit, function, CRC), or an exception not of 5 (its code alone)
    bad_crc,
    other_unit,
    other_function
};
Rtu_check check_rtu_reply(const QByteArray &frame, std::uint8_t unit, std::uint8_t function);
// The PDU of a reply that check_rtu_reply found good: the frame without unit and CRC.
QByteArray rtu_pdu(const QByteArray &frame);
// Whether a reply of the right unit and function answers this very request rather than an
// earlier one that timed out: for the common functions, a write's echo and a read's byte
// count.
bool reply_answers(const QByteArray &request_pdu, const QByteArray &reply_pdu);

// transaction id, protocol id 0, length, unit, pdu.
QByteArray mbap_frame(std::uint16_t transaction, std::uint8_t unit, const QByteArray &pdu);
// The exception form of a function: function | 0x80, then the code.
QByteArray modbus_exception_pdu(std::uint8_t function, std::uint8_t code);
