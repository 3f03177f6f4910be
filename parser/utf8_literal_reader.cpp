#include "parser/utf8_literal_reader.h"

#include "parser/dst_utf16.h"
#include "parser/parser_texts.h"

#include <type_traits>

namespace {

constexpr bool is_continuation(unsigned b)
{
    return (b & 0xC0) == 0x80;
}

// For each byte, what second byte makes it a character that every destination takes as one
// cell: 0 for the printable ASCII that stands for itself (quote and backslash excepted),
// the least second byte for the first byte of a two-byte character from U+00A0 on, and
// 0xFF (which no second byte reaches) for the rest.
struct Common_characters {
    unsigned char least_second_byte[256];

    constexpr Common_characters()
        : least_second_byte()
    {
        for (unsigned b = 0; b < 256; ++b) {
            const bool plain = b >= 0x20 && b < 0x7F && b != '"' && b != '\\';
            least_second_byte[b] = plain ? 0 : b == 0xC2 ? 0xA0 : b > 0xC2 && b < 0xE0 ? 0x80 : 0xFF;
        }
    }
};

constexpr Common_characters common_characters{};

const char utf8_prefix[] = QT_TRANSLATE_NOOP("parser",
    "разбираемый текст не является текстом в кодировке UTF-8. ");

} // namespace

void Utf8_literal_reader::fail_utf8(const char *source, std::initializer_list<unsigned> bytes)
{
    QString message = tr_parser(source).arg(tr_parser(utf8_prefix));
    for (unsigned b : bytes)
        message = message.arg(hex_byte(b));
    p.fail(message);
}

Utf8_literal_reader::Decoded Utf8_literal_reader::decode_escape()
{
    const auto c = static_cast<unsigned char>(p.cur[1]);
    switch (c) {
    case 0:
        p.fail(tr_parser("в строке обнаружена неправильная escape-последовательность: сразу после escape-символа «\\» обнаружен конец разбираемого текста."));
    case '"':
    case '\'':
    case '/':
    case '?':
    case '\\':
        return {c, 2};
    case 'a':
        return {0x07, 2};
    case 'b':
        return {0x08, 2};
    case 'f':
        return {0x0C, 2};
    case 'n':
        return {0x0A, 2};
    case 'r':
        return {0x0D, 2};
    case 't':
        return {0x09, 2};
    case 'v':
        return {0x0B, 2};
    case 'u':
    case 'U': {
        const int digits = c == 'u' ? 4 : 8;
        std::uint32_t cp = 0;
        for (int i = 0; i < digits; ++i) {
            const auto h = static_cast<unsigned char>(p.cur[2 + i]);
            unsigned v;
            if (!hex_digit_value(h, v)) {
                if (h == 0) {
                    p.fail((c == 'u'
                              ? tr_parser("в строке обнаружена неправильная escape-последовательность \\uHHHH: вместо %1-й шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста.")
                              : tr_parser("в строке обнаружена неправильная escape-последовательность \\UHHHHHHHH: вместо %1-й шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста."))
                             .arg(i + 1));
                }
                p.fail((c == 'u'
                          ? tr_parser("в строке обнаружена неправильная escape-последовательность \\uHHHH: вместо %1-й шестнадцатиричной цифры кода символа обнаружен байт 0x%2.")
                          : tr_parser("в строке обнаружена неправильная escape-последовательность \\UHHHHHHHH: вместо %1-й шестнадцатиричной цифры кода символа обнаружен байт 0x%2."))
                         .arg(i + 1)
                         .arg(hex_byte(h)));
            }
            cp = cp << 4 | v;
        }
        return {cp, 2 + digits};
    }
    case 'x': {
        const char *q = p.cur + 2;
        unsigned v;
        if (!hex_digit_value(static_cast<unsigned char>(*q), v)) {
            if (*q == 0)
                p.fail(tr_parser("в строке обнаружена неправильная escape-последовательность \\xHH...H: вместо первой шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста."));
            p.fail(tr_parser("в строке обнаружена неправильная escape-последовательность \\xHH...H: вместо первой шестнадцатиричной цифры кода символа обнаружен байт 0x%1.")
                     .arg(hex_byte(static_cast<unsigned char>(*q))));
        }
        std::uint32_t cp = v;
        for (++q; hex_digit_value(static_cast<unsigned char>(*q), v); ++q) {
            if (cp > 0x0FFFFFFF)
                p.fail(tr_parser("в строке обнаружена неправильная escape-последовательность \\xHH...H: код символа слишком большой (не влезает в 32 бита)."));
            cp = cp << 4 | v;
        }
        return {cp, static_cast<int>(q - p.cur)};
    }
    default:
        if (c >= '0' && c <= '7') {
            std::uint32_t cp = c - '0';
            int length = 2;
            while (length < 4 && p.cur[length] >= '0' && p.cur[length] <= '7')
                cp = cp << 3 | static_cast<std::uint32_t>(p.cur[length++] - '0');
            return {cp, length};
        }
        p.fail(tr_parser("в строке обнаружена неправильная escape-последовательность: после escape-символа «\\» идёт байт 0x%1.")
                 .arg(hex_byte(c)));
    }
}

Utf8_literal_reader::Decoded Utf8_literal_reader::decode()
{
    const auto b = static_cast<unsigned char>(p.cur[0]);
    if (b == 0)
        p.fail(tr_parser("ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен конец разбираемого текста."));
    if (b >= 0x0A && b <= 0x0D)
        p.fail(tr_parser("ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен перевод строки (0x%1).")
                 .arg(hex_byte(b)));
    if (b == '\\')
        return decode_escape();
    if (b < 0x80)
        return {b, 1};
    if (b < 0xC0)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружен байт 0x%2 (который, согласно UTF-8, должен быть последующим байтом многобайтного символа), хотя перед ним не было первого байта многобайтного символа."), {b});
    if (b >= 0xF8)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружен байт 0x%2 (запрещённый текущей версией формата UTF-8)."), {b});

    const auto b2 = static_cast<unsigned char>(p.cur[1]);
    if (b2 == 0)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байта 0x%2 (первый байт многобайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо второго байта многобайтного символа)."), {b});
    if (!is_continuation(b2))
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байта 0x%2 (первый байт многобайтного символа, согласно UTF-8) обнаружен байт 0x%3 (не являющийся вторым байтом многобайтного символа)."), {b, b2});
    if (b < 0xE0) {
        const std::uint32_t cp = (b & 0x1Fu) << 6 | (b2 & 0x3Fu);
        if (cp == 0x85)
            p.fail(tr_parser("ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен перевод строки (U+85)."));
        if (cp <= 0x7F)
            fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0x%2 0x%3 (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов)."), {b, b2});
        return {cp, 2};
    }

    const auto b3 = static_cast<unsigned char>(p.cur[2]);
    if (b3 == 0)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байтов 0x%2 и 0x%3 (первый и второй байты не менее чем трёхбайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо третьего байта символа)."), {b, b2});
    if (!is_continuation(b3))
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байтов 0x%2 и 0x%3 (первый и второй байты не менее чем трёхбайтного символа, согласно UTF-8) обнаружен байт 0x%4 (не являющийся третьим байтом символа)."), {b, b2, b3});
    if (b < 0xF0) {
        const std::uint32_t cp = (b & 0x0Fu) << 12 | (b2 & 0x3Fu) << 6 | (b3 & 0x3Fu);
        if (cp == 0x2028 || cp == 0x2029)
            p.fail(tr_parser("ожидается двойная кавычка, закрывающая строку, обнаружен перевод строки (U+%1).")
                     .arg(cp, 0, 16));
        if (cp <= 0x7FF)
            fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0x%2 0x%3 0x%4 (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов)."), {b, b2, b3});
        return {cp, 3};
    }

    const auto b4 = static_cast<unsigned char>(p.cur[3]);
    if (b4 == 0)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байтов 0x%2, 0x%3 и 0x%4 (первый, второй и третий байты четырёхбайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо четвёртого байта символа)."), {b, b2, b3});
    if (!is_continuation(b4))
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байтов 0x%2, 0x%3 и 0x%4 (первый, второй и третий байты четырёхбайтного символа, согласно UTF-8) обнаружен байт 0x%5 (не являющийся четвёртым байтом символа)."), {b, b2, b3, b4});
    const std::uint32_t cp = (b & 0x07u) << 18 | (b2 & 0x3Fu) << 12 | (b3 & 0x3Fu) << 6 | (b4 & 0x3Fu);
    if (cp <= 0xFFFF)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0x%2 0x%3 0x%4 0x%5 (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов)."), {b, b2, b3, b4});
    return {cp, 4};
}

inline void Utf8_literal_reader::step_over(const Decoded &d)
{
    if (static_cast<unsigned char>(*p.cur) >= 0x80)
        p.line_start += d.length - 1;
    p.cur += d.length;
}

inline void Utf8_literal_reader::put_run(Dst_utf16 &dst)
{
    const char *s = p.cur;
    const char *line_start = p.line_start;
    char16_t *to = dst.write;
    char16_t *const end = dst.end;
    for (; to != end; ++to) {
        const auto b = static_cast<unsigned char>(s[0]);
        const unsigned least = common_characters.least_second_byte[b];
        if (least == 0) {
            *to = static_cast<char16_t>(b);
            ++s;
            continue;
        }
        // Past a first byte of two, which is not the terminating zero, the text goes on.
        if (least > 0xBF)
            break;
        const auto b2 = static_cast<unsigned char>(s[1]);
        if (b2 < least || b2 > 0xBF)
            break;
        *to = static_cast<char16_t>((b & 0x1Fu) << 6 | (b2 & 0x3Fu));
        s += 2;
        ++line_start;
    }
    p.cur = s;
    p.line_start = line_start;
    dst.write = to;
}

template <typename D>
bool Utf8_literal_reader::read(D &dst)
{
    if (*p.cur != '"')
        return false;
    ++p.cur;
    // The UTF-16 destinations take runs of common characters at once.
    constexpr bool runs = std::is_base_of_v<Dst_utf16, D>;
    for (;;) {
        if constexpr (runs)
            put_run(dst);
        const auto b = static_cast<unsigned char>(*p.cur);
        if (b == '"') {
            ++p.cur;
            // Blanks and comments may separate it from a literal that continues it; if none
            // does, the cursor and its line stay right after the quote.
            const char *const after = p.cur;
            const std::uint32_t line = p.line;
            const char *const line_start = p.line_start;
            p.skip_spaces();
            if (*p.cur != '"') {
                p.cur = after;
                p.line = line;
                p.line_start = line_start;
                break;
            }
            ++p.cur;
        } else if (b >= 0x20 && b < 0x7F && b != '\\') {
            dst.put(b);
            ++p.cur;
        } else {
            const Decoded d = decode();
            dst.put(d.cp);
            step_over(d);
        }
    }
    dst.finish();
    return true;
}

template bool Utf8_literal_reader::read(Utf8_text_parser::Dst &dst);
template bool Utf8_literal_reader::read(Dst_printable_utf16 &dst);
