#include "lora_sim/uplink_packets.h"

#include <algorithm>

QByteArray make_uplink_packet(quint8 type, quint16 total_size, const QByteArray &slice, quint8 number,
                              quint8 total_packets)
{
    QByteArray packet;
    packet.reserve(7 + slice.size());
    packet.append(char(type));
    if (type == 0x13)
        packet.append(char(0));
    packet.append(char(total_size & 0xFF));
    packet.append(char(total_size >> 8));
    packet.append(char(quint8(slice.size())));
    packet.append(char(number));
    packet.append(char(total_packets));
    packet.append(slice);
    return packet;
}

QVector<QByteArray> make_uplink_group(const QByteArray &data, int packet_size, quint8 type)
{
    packet_size = std::clamp(packet_size, 1, 255);
    const int count = std::max(1, int((data.size() + packet_size - 1) / packet_size));
    if (data.size() > max_group_bytes || count > max_group_packets)
        return {};
    QVector<QByteArray> group;
    group.reserve(count);
    for (int i = 0; i < count; ++i)
        group.append(make_uplink_packet(type, quint16(data.size()), data.mid(i * packet_size, packet_size),
                                        quint8(i), quint8(count)));
    return group;
}

QVector<QByteArray> split_for_groups(const QByteArray &data, int packet_size)
{
    const int group_bytes = std::min(max_group_bytes, max_group_packets * std::clamp(packet_size, 1, 255));
    if (data.isEmpty())
        return {data};
    QVector<QByteArray> pieces;
    for (int at = 0; at < data.size(); at += group_bytes)
        pieces.append(data.mid(at, group_bytes));
    return pieces;
}
