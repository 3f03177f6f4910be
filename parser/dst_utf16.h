#pragma once

#include "parser/utf8_text_parser.h"

#include <QString>

#include <cstdint>

// Builds a QString of exactly the needed size. The cells are gathered in the parser's
// `literal_cells`, which grows as a literal needs it, and copied once at the end; so a
// parser serves one such destination at a time.
class Dst_utf16 : public Utf8_text_parser::Dst {
public:
    explicit Dst_utf16(Utf8_text_parser &parser);

    void put(std::uint32_t cp) override;
    void finish() override;

    std::int32_t size() const { return static_cast<std::int32_t>(write - begin); }

    QString result;
    // The free cells; the literal reader fills them with runs of common characters itself.
    char16_t *write;
    char16_t *end;

protected:
    // The common case inline: a code point of one cell with room to spare.
    void put_cell(std::uint32_t cp)
    {
        if (cp < 0xD800 && write != end)
            *write++ = static_cast<char16_t>(cp);
        else
            put_other(cp);
    }

private:
    void put_other(std::uint32_t cp);
    void make_room(int cells);

    char16_t *begin;
};

inline void Dst_utf16::put(std::uint32_t cp)
{
    put_cell(cp);
}

// The same without control characters and line separators.
class Dst_printable_utf16 final : public Dst_utf16 {
public:
    explicit Dst_printable_utf16(Utf8_text_parser &parser) : Dst_utf16(parser) {}

    void put(std::uint32_t cp) override
    {
        if ((cp >= 0x20 && cp < 0x7F) || (cp >= 0xA0 && cp < 0x2028))
            put_cell(cp);
        else
            put_unusual(cp);
    }

private:
    void put_unusual(std::uint32_t cp);
};
