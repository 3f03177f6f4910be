#pragma once

// The packets in which a radio modem forwards what its external device sent: a group of packets
// that each carry a header (type, total size of the group, size of this packet's data, packet
// number counting from 0, number of packets) and a slice of the data. Multi-byte fields are
// little-endian. Type 0x03 has a 6-byte header; type 0x13 has one more byte after the type.

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

constexpr int max_group_bytes = 65535;
constexpr int max_group_packets = 255;

// One packet of a group, header included.
QByteArray make_uplink_packet(quint8 type, quint16 total_size, const QByteArray &slice, quint8 number,
                              quint8 total_packets);

// The packets of one group carrying `data` in slices of at most `packet_size` bytes, in order.
// Empty data give one header-only packet. Data that do not fit in one group give an empty vector.
QVector<QByteArray> make_uplink_group(const QByteArray &data, int packet_size, quint8 type);

// Cuts data into pieces that each fit in one group of packets of `packet_size` bytes.
QVector<QByteArray> split_for_groups(const QByteArray &data, int packet_size);
