#pragma once

#include "parser/utf8_text_parser.h"

#include <cstdint>
#include <initializer_list>

class Dst_utf16;

// Decodes the string literal at the parser's cursor, and those joined to it, into a
// destination in one pass: each character is checked and put before the next is looked
// at, so an error stands at the first offending character.
class Utf8_literal_reader {
public:
    explicit Utf8_literal_reader(Utf8_text_parser &parser) : p(parser) {}

    // False when no literal starts at the cursor; true with the cursor right after the last
    // closing quote.
    template <typename D>
    bool read(D &dst);

private:
    // The code point at the cursor inside a literal and its length in bytes; never moves it.
    struct Decoded {
        std::uint32_t cp;
        int length;
    };
    Decoded decode();
    Decoded decode_escape();
    // Steps over one decoded character; a multi-byte one counts as one column.
    void step_over(const Decoded &d);
    // Puts the common characters at the cursor, as many as there are free cells for.
    void put_run(Dst_utf16 &dst);

    // A malformed UTF-8 sequence: the message names the bytes seen so far.
    [[noreturn]] void fail_utf8(const char *source, std::initializer_list<unsigned> bytes);

    Utf8_text_parser &p;
};
