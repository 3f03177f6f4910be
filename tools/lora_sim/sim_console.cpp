#include "lora_sim/sim_console.h"

#include "lora_sim/sim_server.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

const char *help_text =
    "add EUI:name:behaviour[,option...]   list a new modem\n"
    "remove EUI                           take a modem off the list\n"
    "list                                 show the listed modems\n"
    "rx EUI HEX [FCNT|- [PORT [TYPE]]]    send one \"rx\" message with these data bytes\n"
    "uplink EUI HEX                       send data bytes as the modem's packet group\n"
    "lose EUI NUMBER                      the modem's next group loses its packet NUMBER\n"
    "restart EUI [FCNT]                   the modem counts fcnt from FCNT (default 1) again\n"
    "text TEXT                            send a raw text message\n"
    "binary HEX                           send a binary frame\n"
    "close | abort                        close the connections (handshake | TCP drop)\n"
    "fault auth|devlist|send-data MODE[:DELAY_MS[:TIMES]]\n"
    "append-false EUI on|off              \"append_status\" false for that modem\n"
    "close-after N                        close each connection on its N-th message (0: never)\n"
    "err-string [TEXT]                    \"err_string\" of rejections (none: left out)\n"
    "stats                                counters";

std::optional<quint64> parse_eui(const QString &text)
{
    static const QRegularExpression hex16(QStringLiteral("^[0-9A-Fa-f]{16}$"));
    if (!hex16.match(text).hasMatch())
        return std::nullopt;
    return text.toULongLong(nullptr, 16);
}

std::optional<QByteArray> parse_hex(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    if (!hex.match(text).hasMatch())
        return std::nullopt;
    return QByteArray::fromHex(text.toLatin1());
}

QString sent_to(int connections)
{
    return QStringLiteral("sent to %1 connection(s)").arg(connections);
}

QString rx_command(Sim_server &sim, const QStringList &words)
{
    const auto eui = parse_eui(words.value(1));
    const auto data = parse_hex(words.value(2));
    if (words.size() < 3 || !eui || !data)
        return QStringLiteral("error: rx EUI HEX [FCNT|- [PORT [TYPE]]]");
    Rx_message rx;
    rx.eui = *eui;
    rx.data = *data;
    bool ok = true;
    if (words.size() > 3 && words.at(3) != QLatin1String("-"))
        rx.fcnt = words.at(3).toUInt(&ok);
    if (ok && words.size() > 4)
        rx.port = words.at(4).toInt(&ok);
    if (words.size() > 5)
        rx.type = words.mid(5).join(QLatin1Char(' '));
    if (!ok)
        return QStringLiteral("error: bad number in rx");
    return sent_to(sim.send_rx(rx));
}

QString fault_command(Sim_server &sim, const QStringList &words)
{
    Sim_faults &faults = sim.faults();
    const QString kind = words.value(1);
    Reply_fault *target = kind == QLatin1String("auth")          ? &faults.auth
                          : kind == QLatin1String("devlist")     ? &faults.devlist
                          : kind == QLatin1String("send-data")   ? &faults.send_data
                                                                 : nullptr;
    const auto fault = parse_reply_fault(words.value(2));
    if (!target || !fault || words.size() != 3)
        return QStringLiteral("error: fault auth|devlist|send-data MODE[:DELAY_MS[:TIMES]]");
    *target = *fault;
    return QStringLiteral("ok");
}

QString stats(const Sim_server &sim)
{
    QStringList lines;
    for (const char *cmd : {"auth_req", "get_device_appdata_req", "send_data_req"})
        lines.append(QStringLiteral("%1 received: %2").arg(QLatin1String(cmd)).arg(sim.received(QLatin1String(cmd))));
    lines.append(QStringLiteral("other texts received: %1").arg(sim.received(QString())));
    lines.append(QStringLiteral("bad commands: %1%2")
                     .arg(sim.bad_commands())
                     .arg(sim.bad_commands() ? QStringLiteral(" (last: %1)").arg(sim.last_bad_reason()) : QString()));
    lines.append(QStringLiteral("send_data_req outstanding: %1, most at once: %2")
                     .arg(sim.outstanding_send_data())
                     .arg(sim.max_outstanding_send_data()));
    lines.append(QStringLiteral("connections accepted: %1, open: %2").arg(sim.connections_accepted()).arg(sim.open_connections()));
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

QString execute_console_command(Sim_server &sim, const QString &line)
{
    const QString trimmed = line.trimmed();
    const QStringList words = trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString command = words.value(0);
    const QString rest = trimmed.mid(command.size()).trimmed();
    if (command == QLatin1String("help"))
        return QString::fromLatin1(help_text);
    if (command == QLatin1String("add")) {
        QString error;
        const auto modem = parse_modem(rest, &error);
        if (!modem)
            return QStringLiteral("error: %1").arg(error);
        sim.add_modem(*modem);
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("remove")) {
        const auto eui = parse_eui(words.value(1));
        if (!eui || words.size() != 2)
            return QStringLiteral("error: remove EUI");
        return QStringLiteral("removed %1").arg(sim.remove_modem(*eui));
    }
    if (command == QLatin1String("list")) {
        QStringList lines;
        for (const Sim_modem &modem : sim.modems())
            lines.append(QStringLiteral("%1 %2 %3")
                             .arg(eui_text(modem.eui), QLatin1String(behaviour_name(modem.behaviour)), modem.name));
        return lines.isEmpty() ? QStringLiteral("no modems") : lines.join(QLatin1Char('\n'));
    }
    if (command == QLatin1String("rx"))
        return rx_command(sim, words);
    if (command == QLatin1String("uplink")) {
        const auto eui = parse_eui(words.value(1));
        const auto data = parse_hex(words.value(2));
        if (!eui || !data || words.size() != 3)
            return QStringLiteral("error: uplink EUI HEX (of a listed modem)");
        return sent_to(sim.send_uplink(*eui, *data));
    }
    if (command == QLatin1String("lose")) {
        const auto eui = parse_eui(words.value(1));
        bool ok = false;
        const int number = words.value(2).toInt(&ok);
        if (!eui || !ok || number < 0 || number > 254 || words.size() != 3)
            return QStringLiteral("error: lose EUI NUMBER (0..254, of a listed modem)");
        return sim.lose_packet(*eui, number) ? QStringLiteral("ok") : QStringLiteral("error: no such modem");
    }
    if (command == QLatin1String("restart")) {
        const auto eui = parse_eui(words.value(1));
        bool ok = words.size() == 2;
        const quint32 first = words.size() == 3 ? words.at(2).toUInt(&ok) : 1;
        if (!eui || !ok)
            return QStringLiteral("error: restart EUI [FCNT] (of a listed modem)");
        return sim.restart_modem(*eui, first) ? QStringLiteral("ok") : QStringLiteral("error: no such modem");
    }
    if (command == QLatin1String("text") && !rest.isEmpty())
        return sent_to(sim.send_text(rest));
    if (command == QLatin1String("binary")) {
        const auto data = parse_hex(words.value(1));
        if (!data || words.size() != 2)
            return QStringLiteral("error: binary HEX");
        return sent_to(sim.send_binary(*data));
    }
    if (command == QLatin1String("close") || command == QLatin1String("abort")) {
        const int open = sim.open_connections();
        if (command == QLatin1String("close"))
            sim.close_connections();
        else
            sim.abort_connections();
        return QStringLiteral("%1 connection(s)").arg(open);
    }
    if (command == QLatin1String("fault"))
        return fault_command(sim, words);
    if (command == QLatin1String("append-false")) {
        const auto eui = parse_eui(words.value(1));
        const QString state = words.value(2);
        if (!eui || words.size() != 3 || (state != QLatin1String("on") && state != QLatin1String("off")))
            return QStringLiteral("error: append-false EUI on|off");
        if (state == QLatin1String("on"))
            sim.faults().append_false.insert(*eui);
        else
            sim.faults().append_false.remove(*eui);
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("close-after")) {
        bool ok = false;
        const int count = words.value(1).toInt(&ok);
        if (!ok || count < 0 || words.size() != 2)
            return QStringLiteral("error: close-after N");
        sim.faults().close_after = count;
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("err-string")) {
        sim.faults().err_string = rest;
        return QStringLiteral("ok");
    }
    if (command == QLatin1String("stats"))
        return stats(sim);
    return QStringLiteral("error: unknown command \"%1\" (try help)").arg(trimmed);
}
