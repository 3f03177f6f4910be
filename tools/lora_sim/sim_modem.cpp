#include "lora_sim/sim_modem.h"

#include <QFile>
#include <QTextStream>

namespace {

bool parse_number(const QString &text, int min, int max, int *value)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (!ok || v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool parse_option(const QString &option, Sim_modem *modem, QString *error)
{
    const int eq = option.indexOf(QLatin1Char('='));
    const QString key = eq < 0 ? option : option.left(eq);
    const QString value = eq < 0 ? QString() : option.mid(eq + 1);
    Echo_options &echo = modem->echo;
    if (key == QLatin1String("shuffle") && eq < 0) {
        echo.shuffle = true;
        return true;
    }
    if (key == QLatin1String("dup") && eq < 0) {
        echo.duplicate = true;
        return true;
    }
    if (key == QLatin1String("repeat") && eq < 0) {
        echo.repeat_copy = true;
        return true;
    }
    if (key == QLatin1String("early") && eq < 0) {
        echo.early = true;
        return true;
    }
    Modbus_options &modbus = modem->modbus;
    if (key == QLatin1String("badcrc") && eq < 0) {
        modbus.bad_crc = true;
        return true;
    }
    if (key == QLatin1String("mute") && eq < 0) {
        modbus.mute = true;
        return true;
    }
    if (key == QLatin1String("unit") && parse_number(value, 1, 247, &modbus.unit))
        return true;
    if (key == QLatin1String("registers") && parse_number(value, 1, 65536, &modbus.registers))
        return true;
    if (key == QLatin1String("size") && parse_number(value, 1, 255, &echo.packet_size))
        return true;
    if (key == QLatin1String("delay") && parse_number(value, 0, 3600000, &echo.delay_ms))
        return true;
    if (key == QLatin1String("port") && parse_number(value, 0, 255, &echo.port))
        return true;
    if (key == QLatin1String("lose") && parse_number(value, 0, 254, &echo.lose))
        return true;
    if (key == QLatin1String("restart") && parse_number(value, 1, 1000000, &echo.restart_every))
        return true;
    if (key == QLatin1String("type") && (value == QLatin1String("03") || value == QLatin1String("13"))) {
        echo.packet_type = value == QLatin1String("03") ? 0x03 : 0x13;
        return true;
    }
    if (key == QLatin1String("fcnt")) {
        bool ok = false;
        const uint v = value.toUInt(&ok, 10);
        if (ok) {
            modem->first_fcnt = v;
            return true;
        }
    }
    *error = QStringLiteral("unknown or bad modem option \"%1\"").arg(option);
    return false;
}

}  // namespace

const char *behaviour_name(Modem_behaviour behaviour)
{
    switch (behaviour) {
    case Modem_behaviour::echo:
        return "echo";
    case Modem_behaviour::silent:
        return "silent";
    case Modem_behaviour::modbus:
        return "modbus";
    }
    return "";
}

QString eui_text(quint64 eui)
{
    return QStringLiteral("%1").arg(eui, 16, 16, QLatin1Char('0')).toUpper();
}

std::optional<Sim_modem> parse_modem(const QString &text, QString *error)
{
    const int first = text.indexOf(QLatin1Char(':'));
    const int last = text.lastIndexOf(QLatin1Char(':'));
    if (first < 0 || first == last) {
        *error = QStringLiteral("modem \"%1\": expected EUI:name:behaviour").arg(text);
        return std::nullopt;
    }
    const QString eui = text.left(first);
    bool ok = eui.size() == 16;
    Sim_modem modem;
    for (const QChar c : eui)
        ok = ok && (c.isDigit() || (c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')));
    if (ok)
        modem.eui = eui.toULongLong(&ok, 16);
    if (!ok) {
        *error = QStringLiteral("modem \"%1\": the EUI must be 16 hexadecimal digits").arg(text);
        return std::nullopt;
    }
    const QString name = text.mid(first + 1, last - first - 1);
    if (!name.isEmpty())
        modem.name = name;
    const QStringList behaviour = text.mid(last + 1).split(QLatin1Char(','), Qt::SkipEmptyParts);
    const QString kind = behaviour.value(0);
    bool known = false;
    for (const Modem_behaviour behaviour : {Modem_behaviour::echo, Modem_behaviour::silent, Modem_behaviour::modbus}) {
        if (kind == QLatin1String(behaviour_name(behaviour))) {
            modem.behaviour = behaviour;
            known = true;
        }
    }
    if (!known) {
        *error = QStringLiteral("modem \"%1\": the behaviour must be echo, silent or modbus").arg(text);
        return std::nullopt;
    }
    for (int i = 1; i < behaviour.size(); ++i) {
        if (!parse_option(behaviour.at(i).trimmed(), &modem, error)) {
            *error = QStringLiteral("modem \"%1\": %2").arg(text, *error);
            return std::nullopt;
        }
    }
    return modem;
}

std::optional<QVector<Sim_modem>> read_modems_file(const QString &file_name, QString *error)
{
    QFile file(file_name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read the modems file \"%1\": %2").arg(file_name, file.errorString());
        return std::nullopt;
    }
    QTextStream in(&file);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 streams are UTF-8 unless told otherwise.
    in.setCodec("UTF-8");
#endif
    QVector<Sim_modem> modems;
    for (int line_number = 1; !in.atEnd(); ++line_number) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const auto modem = parse_modem(line, error);
        if (!modem) {
            *error = QStringLiteral("%1:%2: %3").arg(file_name).arg(line_number).arg(*error);
            return std::nullopt;
        }
        modems.append(*modem);
    }
    return modems;
}
