#pragma once

#include "parser/utf8_text_parser.h"

#include <QString>

#include <cstdint>

// Builds a QString with one allocation of exactly the needed size.
class Dst_utf16 : public Utf8_text_parser::Dst {
public:
    explicit Dst_utf16(Utf8_text_parser &parser) : Dst(parser) {}

    void count(std::uint32_t cp) override;
    // `n` printable ASCII characters at once; false, with nothing counted, when they
    // would make the literal too long.
    bool count_plain(std::int32_t n)
    {
        if (reserved > 0x7FFFFFFF - n)
            return false;
        reserved += n;
        return true;
    }
    void allocate() override;
    void put(std::uint32_t cp) override;

    QString result;
    std::int32_t reserved = 0;      // 16-bit cells
    QChar *write = nullptr;
    QChar *end = nullptr;

protected:
    // The common case inline: a code point of one cell with room to spare.
    void count_cell(std::uint32_t cp)
    {
        if (cp < 0xD800 && reserved < 0x7FFFFFFF)
            ++reserved;
        else
            count_other(cp);
    }

private:
    void count_other(std::uint32_t cp);
    void put_other(std::uint32_t cp);
};

inline void Dst_utf16::count(std::uint32_t cp)
{
    count_cell(cp);
}

inline void Dst_utf16::put(std::uint32_t cp)
{
    if (cp < 0xD800 && write != end)
        *write++ = QChar(static_cast<ushort>(cp));
    else
        put_other(cp);
}

// The same without control characters and line separators.
class Dst_printable_utf16 final : public Dst_utf16 {
public:
    explicit Dst_printable_utf16(Utf8_text_parser &parser) : Dst_utf16(parser) {}

    void count(std::uint32_t cp) override
    {
        if ((cp >= 0x20 && cp < 0x7F) || (cp >= 0xA0 && cp < 0x2028))
            count_cell(cp);
        else
            count_unusual(cp);
    }

private:
    void count_unusual(std::uint32_t cp);
};
