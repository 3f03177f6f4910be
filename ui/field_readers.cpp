#include "ui/field_readers.h"

#include "base/err.h"

#include <QCoreApplication>

namespace {

QString msgbox_text(const char *text)
{
    return QCoreApplication::translate("msgbox", text);
}

int hex_value(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    return -1;
}

}

QString read_required(const QString &text, const QString &label)
{
    if (text.isEmpty())
        throw Err(msgbox_text("Не указано значение параметра «%1».").arg(label));
    return text;
}

std::uint32_t read_decimal(const QString &text, const QString &label,
                           std::uint32_t minimum, std::uint32_t maximum)
{
    read_required(text, label);
    // Counted in 64 bits and stopped once past the maximum, so no length can overflow it.
    std::uint64_t value = 0;
    for (const QChar c : text) {
        if (c.unicode() < '0' || c.unicode() > '9')
            throw Err(msgbox_text("Значение параметра «%1» должно быть целым десятичным числом, "
                                  "не превышающим %2.")
                          .arg(label, QString::number(maximum)));
        if (value <= maximum)
            value = value * 10 + (c.unicode() - '0');
    }
    if (value > maximum)
        throw Err(msgbox_text("Значение параметра «%1» не должно превышать %2.").arg(label, QString::number(maximum)));
    if (value < minimum)
        throw Err(msgbox_text("Значение параметра «%1» не должно быть меньше %2.").arg(label, QString::number(minimum)));
    return static_cast<std::uint32_t>(value);
}

Eui read_hex64(const QString &text, const QString &label, Eui maximum)
{
    read_required(text, label);
    if (text.size() != 16)
        throw Err(msgbox_text("Значение параметра «%1» должно быть шестнадцатизначным целым "
                              "шестнадцатиричным числом без знака (а вы ввели %2 символов).")
                      .arg(label, QString::number(text.size())));
    Eui value = 0;
    for (const QChar c : text) {
        const int digit = hex_value(c);
        if (digit < 0)
            throw Err(msgbox_text("Значение параметра «%1» должно быть целым шестнадцатиричным "
                                  "числом без знака, не превышающим %2.")
                          .arg(label, QString::number(maximum)));
        value = (value << 4) | static_cast<Eui>(digit);
    }
    if (value > maximum)
        throw Err(msgbox_text("Значение параметра «%1» не должно превышать 0x%2.")
                      .arg(label, format_eui(maximum)));
    return value;
}
