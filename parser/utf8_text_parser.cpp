#include "parser/utf8_text_parser.h"

#include "parser/dst_utf16.h"

#include <QCoreApplication>

#include <type_traits>

namespace {

QString tr_parser(const char *source)
{
    return QCoreApplication::translate("parser", source);
}

QString hex_byte(unsigned b)
{
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
}

constexpr bool is_continuation(unsigned b)
{
    return (b & 0xC0) == 0x80;
}

// What a byte inside a literal can be, looked up at once.
struct Byte_kinds {
    enum Kind : unsigned char {
        // Stands for itself, and every destination takes it.
        plain,
        // Can begin a two-byte character that is not overlong.
        lead_of_two,
        other
    };
    Kind kind[256];

    constexpr Byte_kinds()
        : kind()
    {
        for (unsigned b = 0; b < 256; ++b) {
            const bool is_plain = b >= 0x20 && b < 0x7F && b != '"' && b != '\\';
            kind[b] = is_plain ? plain : b >= 0xC2 && b < 0xE0 ? lead_of_two : other;
        }
    }
};

constexpr Byte_kinds byte_kinds{};

const char utf8_prefix[] = QT_TRANSLATE_NOOP("parser",
    "разбираемый текст не является текстом в кодировке UTF-8. ");

} // namespace

void Utf8_text_parser::begin_text(const char *text)
{
    line = 1;
    cur = text;
    line_start = text;
    const unsigned b = static_cast<unsigned char>(text[0]);
    if (b == 0xEF && static_cast<unsigned char>(text[1]) == 0xBB
            && static_cast<unsigned char>(text[2]) == 0xBF) {
        cur = text + 3;
        line_start = cur;
    } else if (b == 0xFE || b == 0xFF) {
        fail(tr_parser("неправильная кодировка. Текст должен быть в кодировке UTF-8 (или ASCII)."));
    }
}

void Utf8_text_parser::at_line_break(int length)
{
    new_line(cur + length);
}

void Utf8_text_parser::skip_spaces()
{
    for (;;) {
        const auto b = static_cast<unsigned char>(cur[0]);
        switch (b) {
        case 0x00:
            return;
        case 0x20:
        case 0x09:
            ++cur;
            continue;
        case 0x0D:
            at_line_break(cur[1] == 0x0A ? 2 : 1);
            continue;
        case 0x0A:
        case 0x0B:
        case 0x0C:
            at_line_break(1);
            continue;
        case '#':
            ++cur;
            skip_line();
            continue;
        case '/':
            if (cur[1] != '/')
                return;
            cur += 2;
            skip_line();
            continue;
        case 0xC2:
        case 0xE2:
        case 0xE3:
        case 0xEF:
            break;
        default:
            if (b >= 0x21 && b <= 0x7E)
                return;
            fail(tr_parser("неожиданный байт 0x%1 (ожидаются пробельные символы или первый символ лексемы).")
                     .arg(hex_byte(b)));
        }

        const auto b2 = static_cast<unsigned char>(cur[1]);
        if (b2 == 0) {
            ++cur;
            fail(tr_parser("нарушение формата UTF-8: байт 0x%1, и за ним сразу конец разбираемого текста.")
                     .arg(hex_byte(b)));
        }
        if (b == 0xC2) {
            if (b2 == 0x85) {
                at_line_break(2);
                continue;
            }
            if (b2 == 0xA0) {
                cur += 2;
                continue;
            }
        }
        const bool three_bytes = (b == 0xE2 && (b2 == 0x80 || b2 == 0x81))
                || (b == 0xE3 && b2 == 0x80) || (b == 0xEF && b2 == 0xBB);
        if (!three_bytes) {
            ++cur;
            fail(tr_parser("неожиданный символ UTF-8: 0x%1 0x%2 (ожидаются пробельные символы или первый символ лексемы).")
                     .arg(hex_byte(b), hex_byte(b2)));
        }
        const auto b3 = static_cast<unsigned char>(cur[2]);
        if (b3 == 0) {
            cur += 2;
            fail(tr_parser("нарушение формата UTF-8: последовательность байтов 0x%1 0x%2, и за ней сразу конец разбираемого текста.")
                     .arg(hex_byte(b), hex_byte(b2)));
        }
        const std::uint32_t cp = (b & 0x0Fu) << 12 | (b2 & 0x3Fu) << 6 | (b3 & 0x3Fu);
        if (cp == 0x2028 || cp == 0x2029) {
            at_line_break(3);
            continue;
        }
        if ((cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F || cp == 0x2060
                || cp == 0x3000 || cp == 0xFEFF) {
            cur += 3;
            continue;
        }
        cur += 2;
        fail(tr_parser("неожиданный символ UTF-8: 0x%1 0x%2 0x%3 (ожидаются пробельные символы или первый символ лексемы).")
                 .arg(hex_byte(b), hex_byte(b2), hex_byte(b3)));
    }
}

void Utf8_text_parser::skip_line()
{
    for (;;) {
        // Only the zero, the ASCII breaks and the first bytes of U+0085, U+2028 and U+2029 end it.
        while (static_cast<unsigned char>(*cur) > 0x0D && static_cast<unsigned char>(*cur) != 0xC2
               && static_cast<unsigned char>(*cur) != 0xE2)
            ++cur;
        const auto b = static_cast<unsigned char>(cur[0]);
        switch (b) {
        case 0x00:
            return;
        case 0x0D:
            at_line_break(cur[1] == 0x0A ? 2 : 1);
            return;
        case 0x0A:
        case 0x0B:
        case 0x0C:
            at_line_break(1);
            return;
        case 0xC2:
            if (static_cast<unsigned char>(cur[1]) == 0x85) {
                at_line_break(2);
                return;
            }
            break;
        case 0xE2:
            if (static_cast<unsigned char>(cur[1]) == 0x80) {
                const auto b3 = static_cast<unsigned char>(cur[2]);
                if (b3 == 0xA8 || b3 == 0xA9) {
                    at_line_break(3);
                    return;
                }
            }
            break;
        default:
            break;
        }
        ++cur;
    }
}

void Utf8_text_parser::fail_utf8(const char *source, std::initializer_list<unsigned> bytes)
{
    QString message = tr_parser(source).arg(tr_parser(utf8_prefix));
    for (unsigned b : bytes)
        message = message.arg(hex_byte(b));
    fail(message);
}

Utf8_text_parser::Decoded Utf8_text_parser::decode_escape()
{
    const auto c = static_cast<unsigned char>(cur[1]);
    switch (c) {
    case 0:
        fail(tr_parser("в строке обнаружена неправильная escape-последовательность: сразу после escape-символа «\\» обнаружен конец разбираемого текста."));
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
            const auto h = static_cast<unsigned char>(cur[2 + i]);
            unsigned v;
            if (!hex_digit_value(h, v)) {
                if (h == 0) {
                    fail((c == 'u'
                              ? tr_parser("в строке обнаружена неправильная escape-последовательность \\uHHHH: вместо %1-й шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста.")
                              : tr_parser("в строке обнаружена неправильная escape-последовательность \\UHHHHHHHH: вместо %1-й шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста."))
                             .arg(i + 1));
                }
                fail((c == 'u'
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
        const char *p = cur + 2;
        unsigned v;
        if (!hex_digit_value(static_cast<unsigned char>(*p), v)) {
            if (*p == 0)
                fail(tr_parser("в строке обнаружена неправильная escape-последовательность \\xHH...H: вместо первой шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста."));
            fail(tr_parser("в строке обнаружена неправильная escape-последовательность \\xHH...H: вместо первой шестнадцатиричной цифры кода символа обнаружен байт 0x%1.")
                     .arg(hex_byte(static_cast<unsigned char>(*p))));
        }
        std::uint32_t cp = v;
        for (++p; hex_digit_value(static_cast<unsigned char>(*p), v); ++p) {
            if (cp > 0x0FFFFFFF)
                fail(tr_parser("в строке обнаружена неправильная escape-последовательность \\xHH...H: код символа слишком большой (не влезает в 32 бита)."));
            cp = cp << 4 | v;
        }
        return {cp, static_cast<int>(p - cur)};
    }
    default:
        if (c >= '0' && c <= '7') {
            std::uint32_t cp = c - '0';
            int length = 2;
            while (length < 4 && cur[length] >= '0' && cur[length] <= '7')
                cp = cp << 3 | static_cast<std::uint32_t>(cur[length++] - '0');
            return {cp, length};
        }
        fail(tr_parser("в строке обнаружена неправильная escape-последовательность: после escape-символа «\\» идёт байт 0x%1.")
                 .arg(hex_byte(c)));
    }
}

Utf8_text_parser::Decoded Utf8_text_parser::decode_checked()
{
    const auto b = static_cast<unsigned char>(cur[0]);
    if (b == 0)
        fail(tr_parser("ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен конец разбираемого текста."));
    if (b >= 0x0A && b <= 0x0D)
        fail(tr_parser("ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен перевод строки (0x%1).")
                 .arg(hex_byte(b)));
    if (b == '\\')
        return decode_escape();
    if (b < 0x80)
        return {b, 1};
    if (b < 0xC0)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружен байт 0x%2 (который, согласно UTF-8, должен быть последующим байтом многобайтного символа), хотя перед ним не было первого байта многобайтного символа."), {b});
    if (b >= 0xF8)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружен байт 0x%2 (запрещённый текущей версией формата UTF-8)."), {b});

    const auto b2 = static_cast<unsigned char>(cur[1]);
    if (b2 == 0)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байта 0x%2 (первый байт многобайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо второго байта многобайтного символа)."), {b});
    if (!is_continuation(b2))
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байта 0x%2 (первый байт многобайтного символа, согласно UTF-8) обнаружен байт 0x%3 (не являющийся вторым байтом многобайтного символа)."), {b, b2});
    if (b < 0xE0) {
        const std::uint32_t cp = (b & 0x1Fu) << 6 | (b2 & 0x3Fu);
        if (cp == 0x85)
            fail(tr_parser("ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен перевод строки (U+85)."));
        if (cp <= 0x7F)
            fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0x%2 0x%3 (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов)."), {b, b2});
        return {cp, 2};
    }

    const auto b3 = static_cast<unsigned char>(cur[2]);
    if (b3 == 0)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байтов 0x%2 и 0x%3 (первый и второй байты не менее чем трёхбайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо третьего байта символа)."), {b, b2});
    if (!is_continuation(b3))
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байтов 0x%2 и 0x%3 (первый и второй байты не менее чем трёхбайтного символа, согласно UTF-8) обнаружен байт 0x%4 (не являющийся третьим байтом символа)."), {b, b2, b3});
    if (b < 0xF0) {
        const std::uint32_t cp = (b & 0x0Fu) << 12 | (b2 & 0x3Fu) << 6 | (b3 & 0x3Fu);
        if (cp == 0x2028 || cp == 0x2029)
            fail(tr_parser("ожидается двойная кавычка, закрывающая строку, обнаружен перевод строки (U+%1).")
                     .arg(cp, 0, 16));
        if (cp <= 0x7FF)
            fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0x%2 0x%3 0x%4 (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов)."), {b, b2, b3});
        return {cp, 3};
    }

    const auto b4 = static_cast<unsigned char>(cur[3]);
    if (b4 == 0)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байтов 0x%2, 0x%3 и 0x%4 (первый, второй и третий байты четырёхбайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо четвёртого байта символа)."), {b, b2, b3});
    if (!is_continuation(b4))
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала, после байтов 0x%2, 0x%3 и 0x%4 (первый, второй и третий байты четырёхбайтного символа, согласно UTF-8) обнаружен байт 0x%5 (не являющийся четвёртым байтом символа)."), {b, b2, b3, b4});
    const std::uint32_t cp = (b & 0x07u) << 18 | (b2 & 0x3Fu) << 12 | (b3 & 0x3Fu) << 6 | (b4 & 0x3Fu);
    if (cp <= 0xFFFF)
        fail_utf8(QT_TRANSLATE_NOOP("parser", "%1Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0x%2 0x%3 0x%4 0x%5 (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов)."), {b, b2, b3, b4});
    return {cp, 4};
}

inline Utf8_text_parser::Decoded Utf8_text_parser::decode_unchecked()
{
    const auto b = static_cast<unsigned char>(cur[0]);
    if (b == '\\')
        return decode_escape();
    if (b < 0x80)
        return {b, 1};
    const auto b2 = static_cast<unsigned char>(cur[1]) & 0x3Fu;
    if (b < 0xE0)
        return {(b & 0x1Fu) << 6 | b2, 2};
    const auto b3 = static_cast<unsigned char>(cur[2]) & 0x3Fu;
    if (b < 0xF0)
        return {(b & 0x0Fu) << 12 | b2 << 6 | b3, 3};
    const auto b4 = static_cast<unsigned char>(cur[3]) & 0x3Fu;
    return {(b & 0x07u) << 18 | b2 << 12 | b3 << 6 | b4, 4};
}

inline void Utf8_text_parser::step_over(const Decoded &d)
{
    if (static_cast<unsigned char>(*cur) >= 0x80)
        line_start += d.length - 1;
    cur += d.length;
}

template <typename D>
bool Utf8_text_parser::read_literal(D &dst)
{
    if (*cur != '"')
        return false;
    ++cur;
    const char *const first = cur;
    const std::uint32_t first_line = line;
    const char *const first_line_start = line_start;
    // The destinations of UTF-16 text take runs of common characters at once.
    constexpr bool runs = std::is_base_of_v<Dst_utf16, D>;

    int joins = 0;
    for (;;) {
        if constexpr (runs) {
            if (count_run(dst))
                continue;
        }
        const auto b = static_cast<unsigned char>(*cur);
        if (b == '"') {
            ++cur;
            skip_spaces();
            if (*cur != '"')
                break;
            ++cur;
            ++joins;
        } else if (b >= 0x20 && b < 0x7F && b != '\\') {
            dst.count(b);
            ++cur;
        } else {
            const Decoded d = decode_checked();
            dst.count(d.cp);
            step_over(d);
        }
    }

    cur = first;
    line = first_line;
    line_start = first_line_start;
    dst.allocate();
    for (;;) {
        if constexpr (runs) {
            if (put_run(dst))
                continue;
        }
        const auto b = static_cast<unsigned char>(*cur);
        if (b == '"') {
            ++cur;
            if (joins == 0)
                return true;
            --joins;
            skip_spaces();
            ++cur;
        } else if (b < 0x80 && b != '\\') {
            dst.put(b);
            ++cur;
        } else {
            const Decoded d = decode_unchecked();
            dst.put(d.cp);
            step_over(d);
        }
    }
}

// Plain ASCII and two-byte characters from U+00A0 on: every destination takes them as one
// cell each. False when there is none at `cur`, or when they would make the literal too
// long; then the one-by-one reading finds the fault and its place.
bool Utf8_text_parser::count_run(Dst_utf16 &dst)
{
    const char *p = cur;
    const char *at_line_start = line_start;
    std::int32_t cells = 0;
    for (;; ++cells) {
        const unsigned kind = byte_kinds.kind[static_cast<unsigned char>(p[0])];
        if (kind == Byte_kinds::plain) {
            ++p;
        } else if (kind == Byte_kinds::lead_of_two && is_continuation(static_cast<unsigned char>(p[1]))
                   && (p[0] != '\xC2' || static_cast<unsigned char>(p[1]) >= 0xA0)) {
            p += 2;
            ++at_line_start;
        } else {
            break;
        }
    }
    if (cells == 0 || !dst.count_plain(cells))
        return false;
    cur = p;
    line_start = at_line_start;
    return true;
}

// The same characters in the second pass, checked already, while there is room for them.
bool Utf8_text_parser::put_run(Dst_utf16 &dst)
{
    const char *p = cur;
    const char *at_line_start = line_start;
    QChar *to = dst.write;
    QChar *const end = dst.end;
    for (; to != end; ++to) {
        const auto b = static_cast<unsigned char>(p[0]);
        const unsigned kind = byte_kinds.kind[b];
        if (kind == Byte_kinds::plain) {
            *to = QLatin1Char(static_cast<char>(b));
            ++p;
        } else if (kind == Byte_kinds::lead_of_two) {
            *to = QChar(static_cast<ushort>((b & 0x1Fu) << 6 | (static_cast<unsigned char>(p[1]) & 0x3Fu)));
            p += 2;
            ++at_line_start;
        } else {
            break;
        }
    }
    if (to == dst.write)
        return false;
    cur = p;
    line_start = at_line_start;
    dst.write = to;
    return true;
}

bool Utf8_text_parser::read_string_literal(Dst &dst)
{
    return read_literal(dst);
}

QString Utf8_text_parser::read_string()
{
    Dst_printable_utf16 dst(*this);
    // The destination's type is known here, so its calls need no virtual dispatch.
    if (!read_literal(dst))
        fail(tr_parser("здесь должна быть строка в двойных кавычках."));
    if (dst.write != dst.end) {
        throw Err(tr_parser("Ошибка в программе: неправильно выделено место под строку-результат. Выделили %1 16-битных ячеек, осталось %2 лишних ячеек.")
                      .arg(dst.reserved)
                      .arg(dst.end - dst.write));
    }
    return std::move(dst.result);
}
