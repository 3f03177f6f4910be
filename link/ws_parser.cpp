#include "link/ws_parser.h"

#include <QCoreApplication>

namespace {

// The reader's own texts; each is translated once, where it is first needed, and kept.
QString json_text(const char *source)
{
    return QCoreApplication::translate("log", source);
}

// Texts shared with the other readers of the program.
QString parser_text(const char *source)
{
    return QCoreApplication::translate("parser", source);
}

QString code_text(unsigned code)
{
    return QStringLiteral("%1").arg(code, 4, 16, QLatin1Char('0'));
}

bool is_digit(unsigned unit)
{
    return unit - '0' < 10u;
}

// The zero unit at the end of the text differs from every letter of the word.
bool word_at(const unsigned short *p, const char *word)
{
    for (; *word; ++word, ++p) {
        if (*p != static_cast<unsigned char>(*word))
            return false;
    }
    return true;
}

} // namespace

Ws_parser::~Ws_parser() = default;

void Ws_parser::start(const unsigned short *text)
{
    cur = text;
    line_start = text;
    line = 1;
    depth = 0;
}

Err Ws_parser::make_error(const QString &message)
{
    if (trying)
        throw Unsure();
    // The form has no %3: the position, then the reader's text.
    static const QString form = json_text(
        "Ошибка в %1-м символе %2-й строки текстового сообщения, пришедшего через соединение WebSocket: %4");
    return Err(form.arg(column()).arg(line).arg(message));
}

void Ws_parser::fail_with_code(const QString &message, unsigned code)
{
    fail(message.arg(code_text(code)));
}

void Ws_parser::fail_trailing()
{
    static const QString message = json_text("после чтения из сообщения сервера QUVO-LoRa корректной структуры JSON "
                                             "в сообщении остались ещё какие-то непонятные символы.");
    fail(message);
}

void Ws_parser::fail_first_field()
{
    static const QString message = json_text("ожидается кавычка, начинающая первое поле объекта JSON, "
                                             "или фигурная скобка, завершающая объект.");
    fail(message);
}

void Ws_parser::fail_next_field()
{
    static const QString message = json_text("ожидается запятая между полями объекта JSON, или фигурная скобка, "
                                             "завершающая объект. Вместо этого обнаружен символ 0x%1.");
    fail_with_code(message, *cur);
}

void Ws_parser::fail_next_element()
{
    static const QString message = json_text("ожидается запятая, разделяющая элементы массива JSON, "
                                             "или квадратная скобка, завершающая массив.");
    fail(message);
}

void Ws_parser::fail_duplicate(const char *name)
{
    static const QString message = json_text("поле \"%1\" уже есть в этой структуре JSON.");
    fail(message.arg(QLatin1String(name)));
}

bool Ws_parser::match_field_bit(const char *name, quint8 &flags, quint8 bit)
{
    bool seen = flags & bit;
    if (!match_field(name, seen))
        return false;
    flags |= bit;
    return true;
}

bool Ws_parser::read_json_string(QString &destination)
{
    if (*cur != '"')
        return false;
    // Errors inside the string are reported at its opening quote, so `cur` stays there.
    const unsigned short *const first = cur + 1;
    const unsigned short *p = first;
    while (*p != '"' && *p != '\\' && *p)
        ++p;
    QString result(reinterpret_cast<const QChar *>(first), static_cast<int>(p - first));
    for (;;) {
        const unsigned c = *p;
        if (c == '"')
            break;
        if (c == 0) {
            static const QString message =
                json_text("не найдена закрывающая кавычка, соответствующая этой открывающей кавычке.");
            fail(message);
        }
        if (c != '\\') {
            result += QChar(static_cast<ushort>(c));
            ++p;
            continue;
        }
        const unsigned escaped = p[1];
        switch (escaped) {
        case 0: {
            static const QString message = json_text("в строке JSON обнаружена неправильная escape-последовательность: "
                                                     "сразу после символа «\\» обнаружен конец разбираемого текста.");
            fail(message);
        }
        case '"':
        case '/':
        case '\\':
            result += QChar(static_cast<ushort>(escaped));
            break;
        case 'b':
            result += QChar(0x08);
            break;
        case 'f':
            result += QChar(0x0C);
            break;
        case 'n':
            result += QChar(0x0A);
            break;
        case 'r':
            result += QChar(0x0D);
            break;
        case 't':
            result += QChar(0x09);
            break;
        case 'u': {
            unsigned value = 0;
            // The units before p[i] are digits, so this stops at the end of the text.
            for (int i = 2; i < 6; ++i) {
                unsigned digit;
                if (!hex_digit_value(p[i], digit)) {
                    if (p[i] == 0) {
                        static const QString message =
                            json_text("в строке JSON обнаружена неправильная escape-последовательность \\uXXXX: "
                                      "ожидается очередная шестнадцатиричная цифра, обнаружен конец разбираемого текста.");
                        fail(message);
                    }
                    static const QString message =
                        json_text("в строке JSON обнаружена неправильная escape-последовательность \\uXXXX: "
                                  "вместо очередной шестнадцатиричной цифры обнаружен символ с кодом 0x%1.");
                    fail_with_code(message, p[i]);
                }
                value = value << 4 | digit;
            }
            result += QChar(static_cast<ushort>(value));
            p += 4;
            break;
        }
        default: {
            static const QString message = json_text("неправильная escape-последовательность в строке JSON: "
                                                     "после символа «\\» идёт недопустимый символ с кодом 0x%1.");
            fail_with_code(message, escaped);
        }
        }
        p += 2;
    }
    destination = std::move(result);
    cur = p + 1;
    return true;
}

void Ws_parser::read_required_json_string(QString &destination)
{
    if (!read_json_string(destination)) {
        static const QString message = json_text("ожидается строка в двойных кавычках.");
        fail(message);
    }
}

bool Ws_parser::read_bool()
{
    if (word_at(cur, "true")) {
        cur += 4;
        return true;
    }
    if (word_at(cur, "false")) {
        cur += 5;
        return false;
    }
    static const QString message = parser_text("ожидается слово «true» или «false».");
    fail(message);
}

quint32 Ws_parser::read_decimal(quint32 limit)
{
    if (!is_digit(*cur)) {
        static const QString message = parser_text("ожидается десятичное число");
        fail(message);
    }
    quint32 value = 0;
    while (is_digit(*cur)) {
        const quint32 digit = *cur - '0';
        if (value > limit / 10 || (value == limit / 10 && digit > limit % 10)) {
            static const QString message = parser_text("число слишком большое (должно быть не более %1)");
            fail(message.arg(limit));
        }
        value = value * 10 + digit;
        ++cur;
    }
    return value;
}

void Ws_parser::read_hex_bytes(QByteArray &destination)
{
    expect_char('"');
    const unsigned short *end = cur;
    unsigned digit;
    while (hex_digit_value(*end, digit))
        ++end;
    const qptrdiff digits = end - cur;
    if (digits % 2) {
        cur = end;
        static const QString message =
            parser_text("этот массив данных должен состоять из целого числа байтов "
                        "(а значит, из чётного числа шестнадцатиричных цифр).");
        fail(message);
    }
    destination.resize(static_cast<int>(digits / 2));
    char *out = destination.data();
    for (; cur != end; cur += 2) {
        unsigned high = 0;
        unsigned low = 0;
        hex_digit_value(cur[0], high);
        hex_digit_value(cur[1], low);
        *out++ = static_cast<char>(high << 4 | low);
    }
    expect_char('"');
}

void Ws_parser::fail_unclosed_string()
{
    static const QString message =
        json_text("нарушение формата JSON: обнаружена двойная кавычка, начинающая строку, но в оставшейся "
                  "части текста нет парной ей двойной кавычки, завершающей эту строку.");
    fail(message);
}

// Bounds the recursion of skip_value, so that no message can exhaust the stack.
Ws_parser::Nesting::Nesting(Ws_parser &parser)
    : parser(parser)
{
    if (parser.depth >= max_depth) {
        static const QString message = json_text("нарушение формата JSON: слишком глубокая вложенность массивов и "
                                                 "объектов (допускается не более %1 уровней).");
        parser.fail(message.arg(max_depth));
    }
    ++parser.depth;
}

void Ws_parser::skip_value()
{
    switch (*cur) {
    case '"':
        ++cur;
        skip_string();
        return;
    case '-':
        ++cur;
        if (!is_digit(*cur)) {
            static const QString message =
                json_text("нарушение формата JSON: обнаружен минус, но после него не идёт ни одной цифры.");
            fail(message);
        }
        skip_number();
        return;
    case '[': {
        const Nesting nesting(*this);
        ++cur;
        if (array_not_empty()) {
            do
                skip_value();
            while (next_element());
        }
        return;
    }
    case '{': {
        const Nesting nesting(*this);
        ++cur;
        if (first_field()) {
            do
                skip_field();
            while (next_field());
        }
        return;
    }
    case 't':
        if (word_at(cur, "true")) {
            cur += 4;
            return;
        }
        break;
    case 'f':
        if (word_at(cur, "false")) {
            cur += 5;
            return;
        }
        break;
    case 'n':
        if (word_at(cur, "null")) {
            cur += 4;
            return;
        }
        break;
    default:
        if (is_digit(*cur)) {
            skip_number();
            return;
        }
        break;
    }
    static const QString message =
        json_text("нарушение формата JSON: значение неизвестного типа (не строка, не число, не объект и т.д.). "
                  "Код первого символа значения: 0x%1.");
    fail_with_code(message, *cur);
}

void Ws_parser::skip_number()
{
    while (is_digit(*cur))
        ++cur;
    if (*cur == '.') {
        ++cur;
        if (!is_digit(*cur)) {
            static const QString message =
                json_text("нарушение формата JSON: обнаружена точка, разделяющая целую и дробную части десятичного "
                          "числа, но после неё нет ни одной цифры.");
            fail(message);
        }
        while (is_digit(*cur))
            ++cur;
    }
    if (*cur == 'e' || *cur == 'E') {
        ++cur;
        if (*cur == '+' || *cur == '-')
            ++cur;
        if (!is_digit(*cur)) {
            static const QString message =
                json_text("нарушение формата JSON: обнаружен символ «E», разделяющий мантиссу и порядок десятичного "
                          "числа, но после него нет ни одной цифры.");
            fail(message);
        }
        while (is_digit(*cur))
            ++cur;
    }
}
