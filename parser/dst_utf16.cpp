#include "parser/dst_utf16.h"

#include "parser/parser_texts.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::int32_t max_cells = std::numeric_limits<std::int32_t>::max();

} // namespace

Dst_utf16::Dst_utf16(Utf8_text_parser &parser)
    : Dst(parser)
    , write(parser.literal_cells.data())
    , end(write + parser.literal_cells.size())
    , begin(write)
{
}

void Dst_utf16::put_other(std::uint32_t cp)
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
    make_room(cells);
    if (cells == 1) {
        *write++ = static_cast<char16_t>(cp);
    } else {
        *write++ = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        *write++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

void Dst_utf16::make_room(int cells)
{
    const std::int32_t used = size();
    if (used > max_cells - cells)
        parser.fail(tr_parser("Слишком длинный строковый литерал."));
    if (end - write >= cells)
        return;
    // Doubled, so that a long literal costs few copies; never more cells than a literal
    // may have, so that a run of common characters stops at that limit too.
    std::vector<char16_t> &cells_kept = parser.literal_cells;
    const std::size_t doubled = std::max<std::size_t>(256, 2 * cells_kept.size());
    cells_kept.resize(std::max<std::size_t>(std::min<std::size_t>(doubled, max_cells), used + cells));
    begin = cells_kept.data();
    write = begin + used;
    end = begin + cells_kept.size();
}

void Dst_utf16::finish()
{
    // One allocation of exactly the decoded cells; an empty literal needs none.
    result = write == begin ? QString(QLatin1String(""))
                            : QString(reinterpret_cast<const QChar *>(begin), size());
}

void Dst_printable_utf16::put_unusual(std::uint32_t cp)
{
    if (cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
        parser.fail(tr_parser("в строке обнаружен недопустимый символ с кодом 0x%1 (эта строка не должна содержать управляющие символы).")
                        .arg(cp, 2, 16, QLatin1Char('0')));
    }
    put_cell(cp);
}
