#pragma once

#include "parser/text_parser.h"

#include <QString>

#include <cstdint>
#include <vector>

// UTF-8 text: its whitespace, line breaks, comments and double-quoted string literals.
// Outside literals the text is ASCII apart from a few Unicode blanks and line breaks;
// the literals themselves are decoded by Utf8_literal_reader.
class Utf8_text_parser : public Text_parser<char> {
public:
    // Where a decoded literal goes: its code points one by one, in order, each checked as it
    // comes (and refused if the destination cannot hold it), then the end of the literal.
    class Dst {
    public:
        explicit Dst(Utf8_text_parser &parser) : parser(parser) {}

        virtual void put(std::uint32_t cp) = 0;
        virtual void finish() = 0;

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

    // Where the UTF-16 destinations build a literal before it is copied into its string of
    // exactly the right size; kept from one literal to the next, so that reading one costs
    // a single allocation.
    std::vector<char16_t> literal_cells;

private:
    void at_line_break(int length);
};
