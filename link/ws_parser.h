#pragma once

#include "parser/text_parser.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

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
        for (;;) {
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
    [[noreturn]] void fail_trailing();
    [[noreturn]] void fail_with_code(const QString &message, unsigned code);

    unsigned depth = 0;
};
