#include "parser/utf8_text_parser.h"

#include "parser/dst_utf16.h"
#include "parser/parser_texts.h"
#include "parser/utf8_literal_reader.h"

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

bool Utf8_text_parser::read_string_literal(Dst &dst)
{
    return Utf8_literal_reader(*this).read(dst);
}

QString Utf8_text_parser::read_string()
{
    Dst_printable_utf16 dst(*this);
    // The destination's type is known here, so its calls need no virtual dispatch.
    if (!Utf8_literal_reader(*this).read(dst))
        fail(tr_parser("здесь должна быть строка в двойных кавычках."));
    return std::move(dst.result);
}
