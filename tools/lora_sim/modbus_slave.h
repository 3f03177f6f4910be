#pragma once

// The serial device behind a modbus modem: an RTU slave with holding registers, answering read
// holding registers (3), write single register (6) and write multiple registers (16). It is the
// simulator's own, apart from the program's frames, so that each can catch the other's mistakes.

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

// The CRC-16 that ends an RTU frame (reflected polynomial 0xA001, start 0xFFFF).
quint16 slave_rtu_crc(const QByteArray &bytes);
// unit, pdu and the CRC, low byte first.
QByteArray slave_rtu_frame(quint8 unit, const QByteArray &pdu);

class Modbus_slave {
public:
    Modbus_slave(int unit, int registers);

    // The reply frame to one request frame; empty when a slave stays silent: a bad CRC, another
    // unit, or a broadcast (unit 0), whose writes are executed all the same.
    QByteArray answer(const QByteArray &frame);

private:
    QByteArray execute(const QByteArray &pdu);

    quint8 unit;
    QVector<quint16> registers;
};
