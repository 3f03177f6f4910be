#pragma once

#include <QCoreApplication>
#include <QString>

// The parsers' messages are looked up in the "parser" context.
inline QString tr_parser(const char *source)
{
    return QCoreApplication::translate("parser", source);
}

// Two lowercase hexadecimal digits, as the messages name bytes.
inline QString hex_byte(unsigned b)
{
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
}
