#pragma once

#include "parser/text_parser.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstring>
#include <utility>

// A pull reader over one JSON text message of the server link, in UTF-16 and
// zero-terminated. The caller walks the message field by field and reads what it
// knows; everything else is skipped without building anything. The first fault
// throws Err with a text that says where in the message the reader stood.
class Ws_parser final : public Text_parser<unsigned short> {
public:
    Ws_parser() = default;
    ~Ws_parser() override;

    // Blanks, tabs and line breaks (CR LF counts once, LF CR twice). Inline: it runs
    // between all tokens, and mostly finds nothing to skip.
    void skip_spaces() override
    {
        // Every blank lies at or below the space: one comparison passes most tokens on.
        while (*cur <= ' ') {
            switch (*cur) {
            case ' ':
            case '\t':
                ++cur;
                break;
            case '\n':
                new_line(cur + 1);
                break;
            case '\r':
                new_line(cur[1] == '\n' ? cur + 2 : cur + 1);
                break;
            default:
                return;
            }
        }
    }
    Err make_error(const QString &message) override;

    // After "{": true at the first unit of the first name, false for an empty object.
    bool first_field();
    // After a value: true at the first unit of the next name, false after "}".
    bool next_field();
    // After "[": false for an empty array, else true at the first element.
    bool array_not_empty();
    // After an element: true at the next element, false after "]".
    bool next_element();

    // At the first unit of a field name: on a match, true with the position at the
    // value; a second match of the same field is an error.
    bool match_field(const char *name, bool &seen);
    bool match_field_bit(const char *name, quint8 &flags, quint8 bit);

    bool read_json_string(QString &destination);
    void read_required_json_string(QString &destination);
    bool read_bool();
    quint32 read_decimal(quint32 limit);
    void read_hex_bytes(QByteArray &destination);

    // At the first unit of an unknown field's name.
    void skip_field();
    void skip_value();
    void skip_number();

    // Runs `read`, which returns whether it is content with what it read. When it is not,
    // or when it meets anything that would be a fault, nothing is logged or thrown: the
    // position goes back to where it was and the result is false. A caller can so take
    // the common case in one pass and leave the rest to a reading that reports faults.
    template <typename Read>
    bool attempt(Read &&read)
    {
        const unsigned short *const at = cur;
        const unsigned short *const at_line_start = line_start;
        const auto at_line = line;
        trying = true;
        bool content = false;
        try {
            content = std::forward<Read>(read)();
        } catch (const Unsure &) {
        } catch (...) {
            trying = false;
            throw;
        }
        trying = false;
        if (!content) {
            cur = at;
            line_start = at_line_start;
            line = at_line;
        }
        return content;
    }

    // One level of nested arrays and objects; more than max_depth of them are a fault.
    class Nesting {
    public:
        explicit Nesting(Ws_parser &parser);
        ~Nesting() { --parser.depth; }
        Q_DISABLE_COPY(Nesting)

    private:
        Ws_parser &parser;
    };

    // Reads the one value of the message with the handler, then requires the end of text.
    template <typename Handler>
    void read_message(const unsigned short *text, Handler &&handler)
    {
        start(text);
        skip_spaces();
        std::forward<Handler>(handler)();
        skip_spaces();
        if (*cur)
            fail_trailing();
    }

    // The deepest nesting of arrays and objects that skip_value goes into.
    static constexpr unsigned max_depth = 32;

private:
    Q_DISABLE_COPY(Ws_parser)

    void start(const unsigned short *text);
    // At the first unit after the opening quote; steps past the closing one.
    void skip_string();
    bool match_name(const char *name) const;
    void enter_field(const char *name);
    // The faults of the inline readers, out of their way.
    [[noreturn]] void fail_first_field();
    [[noreturn]] void fail_next_field();
    [[noreturn]] void fail_next_element();
    [[noreturn]] void fail_duplicate(const char *name);
    [[noreturn]] void fail_unclosed_string();
    [[noreturn]] void fail_trailing();
    [[noreturn]] void fail_with_code(const QString &message, unsigned code);

    // What make_error throws inside attempt.
    class Unsure {
    };

    unsigned depth = 0;
    bool trying = false;
};

// The readers that run at every token are inline; their faults are not.

inline bool Ws_parser::first_field()
{
    skip_spaces();
    if (*cur == '"') {
        ++cur;
        return true;
    }
    if (*cur != '}')
        fail_first_field();
    ++cur;
    return false;
}

inline bool Ws_parser::next_field()
{
    skip_spaces();
    if (*cur == ',') {
        ++cur;
        skip_spaces();
        expect_char('"');
        return true;
    }
    if (*cur != '}')
        fail_next_field();
    ++cur;
    return false;
}

inline bool Ws_parser::array_not_empty()
{
    skip_spaces();
    if (*cur == ']') {
        ++cur;
        return false;
    }
    return true;
}

inline bool Ws_parser::next_element()
{
    skip_spaces();
    if (*cur == ',') {
        ++cur;
        skip_spaces();
        return true;
    }
    if (*cur != ']')
        fail_next_element();
    ++cur;
    return false;
}

// Names are compared raw, so one written with escapes never matches.
inline bool Ws_parser::match_name(const char *name) const
{
    const unsigned short *p = cur;
    for (; *name; ++name, ++p) {
        if (*p != static_cast<unsigned char>(*name))
            return false;
    }
    return *p == '"';
}

inline void Ws_parser::enter_field(const char *name)
{
    cur += std::strlen(name) + 1;
    skip_spaces();
    expect_char(':');
    skip_spaces();
}

inline bool Ws_parser::match_field(const char *name, bool &seen)
{
    if (!match_name(name))
        return false;
    if (seen)
        fail_duplicate(name);
    enter_field(name);
    seen = true;
    return true;
}

inline void Ws_parser::skip_string()
{
    const unsigned short *p = cur;
    for (;;) {
        unsigned c = *p;
        // Nearly every unit lies above the quotation mark and is no backslash.
        while (c > '"' && c != '\\')
            c = *++p;
        if (c == '"')
            break;
        // A backslash hides the unit after it, but never the end of the text.
        if (c == 0 || (c == '\\' && p[1] == 0))
            fail_unclosed_string();
        p += c == '\\' ? 2 : 1;
    }
    cur = p + 1;
}

inline void Ws_parser::skip_field()
{
    skip_string();
    skip_spaces();
    expect_char(':');
    skip_spaces();
    skip_value();
}
