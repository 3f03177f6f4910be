#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class Ws_parser;

// The fields of one received object that its handler does not read itself.
// `presence` tells which of them the object carried.
struct Server_message {
    static constexpr quint8 has_cmd = 0x01;
    static constexpr quint8 has_status = 0x02;
    static constexpr quint8 has_err_string = 0x04;
    static constexpr quint8 has_devEui = 0x08;
    static constexpr quint8 has_port = 0x10;
    static constexpr quint8 has_data = 0x20;
    static constexpr quint8 has_type = 0x40;
    static constexpr quint8 has_fcnt = 0x80;

    quint8 presence = 0;
    QString cmd;
    bool status = false;
    QString err_string;
    quint64 devEui = 0;
    quint32 fcnt = 0;
    quint8 port = 0;
    QByteArray data;
    QString type;

    bool has(quint8 bit) const { return presence & bit; }
};

// With the reader at the first unit of a field name: reads a field of the record
// (twice is an error) or skips any other field.
void read_message_field(Ws_parser &parser, Server_message &message);

// A quotation mark, sixteen hexadecimal digits and a quotation mark.
quint64 read_quoted_eui(Ws_parser &parser);
