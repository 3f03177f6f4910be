#include "parser/dst_utf16.h"

#include <QCoreApplication>

#include <limits>

namespace {

QString tr_parser(const char *source)
{
    return QCoreApplication::translate("parser", source);
}

} // namespace

void Dst_utf16::count_other(std::uint32_t cp)
{
    int cells = 1;
    if (cp >= 0xD800 && cp <= 0xDFFF) {
        parser.fail(tr_parser("внутри строкового литерала обнаружен недопустимый символ: U+%1 (этот символ невозможно перевести в кодировку UTF-16 - в ней он используется для кодирования суррогатных пар).")
                        .arg(cp, 4, 16, QLatin1Char('0')));
    } else if (cp > 0x10FFFF) {
        parser.fail(tr_parser("внутри строкового литерала обнаружен недопустимый символ: U+%1 (этот символ невозможно перевести в кодировку UTF-16 - его код слишком большой).")
                        .arg(cp, 0, 16));
    } else if (cp >= 0x10000) {
        cells = 2;
    }
    if (reserved > std::numeric_limits<std::int32_t>::max() - cells)
        parser.fail(tr_parser("Слишком длинный строковый литерал."));
    reserved += cells;
}

void Dst_utf16::allocate()
{
    // Exactly the counted cells, in one allocation; an empty literal needs none.
    result = reserved == 0 ? QString(QLatin1String("")) : QString(reserved, Qt::Uninitialized);
    write = result.data();
    end = write + reserved;
}

void Dst_utf16::put_other(std::uint32_t cp)
{
    if (cp <= 0xFFFF) {
        if (write == end) {
            throw Err(tr_parser("переполнение строки-результата при добавлении символа U+%1. Под строку было зарезервировано %2 16-битных ячеек.")
                          .arg(cp, 4, 16, QLatin1Char('0'))
                          .arg(reserved));
        }
        *write++ = QChar(static_cast<ushort>(cp));
        return;
    }
    const auto left = end - write;
    if (left < 2) {
        throw Err(tr_parser("переполнение строки-результата при добавлении символа U+%1 (в виде суррогатной пары). Под строку было зарезервировано %2 16-битных ячеек. Не хватает %3 ячеек.")
                      .arg(cp, 6, 16, QLatin1Char('0'))
                      .arg(reserved)
                      .arg(2 - left));
    }
    *write++ = QChar(static_cast<ushort>(0xD800 + ((cp - 0x10000) >> 10)));
    *write++ = QChar(static_cast<ushort>(0xDC00 + (cp & 0x3FF)));
}

void Dst_printable_utf16::count_unusual(std::uint32_t cp)
{
    if (cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
        parser.fail(tr_parser("в строке обнаружен недопустимый символ с кодом 0x%1 (эта строка не должна содержать управляющие символы).")
                        .arg(cp, 2, 16, QLatin1Char('0')));
    }
    count_cell(cp);
}
