#pragma once

#include "parser/text_parser.h"

#include <QString>

#include <cstdint>
#include <initializer_list>

class Dst_utf16;

// UTF-8 text: its whitespace, line breaks, comments and double-quoted string literals.
// Outside literals the text is ASCII apart from a few Unicode blanks and line breaks.
class Utf8_text_parser : public Text_parser<char> {
public:
    // Where a decoded literal goes. The literal is read twice: first every code point is
    // counted (and refused if the destination cannot hold it), then space is allocated once,
    // then the code points are put.
    class Dst {
    public:
        explicit Dst(Utf8_text_parser &parser) : parser(parser) {}

        virtual void count(std::uint32_t cp) = 0;
        virtual void allocate() = 0;
        virtual void put(std::uint32_t cp) = 0;

    protected:
        ~Dst() = default;

        Utf8_text_parser &parser;
    };

    // Starts at `text`; a leading byte order mark is stepped over, UTF-16 is refused.
    void begin_text(const char *text);

    void skip_spaces() override;
    // Steps over the rest of the line, its line break included, without looking at it.
    void skip_line();

    // False when no literal starts at `cur`. Adjacent literals are read as one.
    bool read_string_literal(Dst &dst);
    // A required literal without control characters.
    QString read_string();

private:
    // The code point at `cur` inside a literal and its length in bytes; never moves `cur`.
    struct Decoded {
        std::uint32_t cp;
        int length;
    };
    Decoded decode_checked();
    Decoded decode_unchecked();
    Decoded decode_escape();
    // Steps over one decoded character; a multi-byte one counts as one column.
    void step_over(const Decoded &d);
    template <typename D>
    bool read_literal(D &dst);
    bool count_run(Dst_utf16 &dst);
    bool put_run(Dst_utf16 &dst);
    void at_line_break(int length);

    // A malformed UTF-8 sequence: the message names the bytes seen so far.
    [[noreturn]] void fail_utf8(const char *source, std::initializer_list<unsigned> bytes);
};
