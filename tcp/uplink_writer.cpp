#include "tcp/uplink_writer.h"

#include "base/log.h"
#include "tcp/exchange_monitor.h"
#include "tcp/tcp_sockets.h"

#include <QCoreApplication>
#include <QTcpSocket>

Uplink_writer::Uplink_writer(Eui eui, std::uint16_t tcp_port, Exchange_monitor *monitor)
    : monitor(monitor), group(eui, monitor), eui(eui), tcp_port(tcp_port)
{
}

Uplink_writer::Outcome Uplink_writer::add(QTcpSocket &client, const QByteArray &data, bool has_fcnt,
                                          std::uint32_t fcnt)
{
    QByteArray joined;
    switch (group.add(data, has_fcnt, fcnt, joined)) {
    case Packet_group::Outcome::complete: {
        const Outcome written = write(client, joined);
        if (written == Outcome::fine && monitor)
            monitor->to_client(joined);
        return written;
    }
    case Packet_group::Outcome::lost:
        return Outcome::end_client;
    default:
        return Outcome::fine;
    }
}

Uplink_writer::Outcome Uplink_writer::write(QTcpSocket &client, const QByteArray &data)
{
    if (tcp_tracing())
        log_data((tcp_prefix(tcp_port) + QStringLiteral(".send ")).toUtf8().constData(), data.constData(),
                 std::size_t(data.size()));
    if (data.isEmpty())
        return Outcome::fine;
    if (client.bytesToWrite() + data.size() > write_limit) {
        static const QString text = QCoreApplication::translate(
            "log", "Клиент на порту %1 не принимает данные от радиомодема с EUI=0x%2: ожидают отправки ему %3 "
                   "байтов, вместе с новыми было бы больше предельных %4. Соединение с клиентом разорвано.");
        log_line(text.arg(tcp_port).arg(format_eui(eui)).arg(client.bytesToWrite()).arg(write_limit));
        // What waits for it could never be handed over: no orderly close.
        return Outcome::cut_client;
    }
    const qint64 written = client.write(data);
    if (written == data.size())
        return Outcome::fine;
    const QString eui_text = format_eui(eui);
    if (written < 0) {
        static const QString text = QCoreApplication::translate(
            "log", "Ошибка при записи в сокет для передачи клиенту данных, принятых от радиомодема с EUI=0x%1.");
        log_line(text.arg(eui_text));
    } else {
        static const QString text = QCoreApplication::translate(
            "log", "Ошибка при записи в сокет для передачи клиенту данных, принятых от радиомодема с EUI=0x%1: "
                   "пытались записать %2 байтов, а записали %3.");
        log_line(text.arg(eui_text).arg(data.size()).arg(written));
    }
    return Outcome::end_client;
}
