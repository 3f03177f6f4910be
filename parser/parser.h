#pragma once

#include "base/err.h"
#include "parser/source_str_zero_terminated.h"

#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <type_traits>

// The value of a code unit without sign extension of `char`.
template <typename T>
constexpr unsigned unit_value(T unit)
{
    return static_cast<std::make_unsigned_t<T>>(unit);
}

// 10 to 15 for a-f and A-F.
constexpr bool hex_letter_value(unsigned unit, unsigned &value)
{
    if (unit >= 'a' && unit <= 'f') {
        value = unit - 'a' + 10;
        return true;
    }
    if (unit >= 'A' && unit <= 'F') {
        value = unit - 'A' + 10;
        return true;
    }
    return false;
}

constexpr bool hex_digit_value(unsigned unit, unsigned &value)
{
    if (unit >= '0' && unit <= '9') {
        value = unit - '0';
        return true;
    }
    return hex_letter_value(unit, value);
}

// The value of every ASCII unit as a hexadecimal digit; 16 for the units that are none.
struct Hex_digit_values {
    unsigned char value[128];

    constexpr Hex_digit_values()
        : value()
    {
        for (unsigned unit = 0; unit < 128; ++unit) {
            unsigned digit = 16;
            hex_digit_value(unit, digit);
            value[unit] = static_cast<unsigned char>(digit);
        }
    }

    constexpr unsigned operator()(unsigned unit) const { return unit < 128 ? value[unit] : 16; }
};

inline constexpr Hex_digit_values hex_digit_values{};

// The base of every hand-written parser: the token readers over a zero-terminated text.
// The derived class decides what whitespace is and how an error shows its position.
template <typename T>
class Parser : public Source_str_zero_terminated<T> {
public:
    Parser() = default;
    virtual ~Parser() = default;

    // Moves `cur` to the first unit that can begin a token, or to the terminating zero.
    virtual void skip_spaces() = 0;
    // The message decorated with the current position.
    virtual Err make_error(const QString &message) = 0;

    [[noreturn]] void fail(const QString &message) { throw make_error(message); }

    void expect_char(char c);
    // Matches `name` as a prefix at `cur`, then "=": true with `cur` at the value.
    bool begin_param(const char *name, bool &defined);
    std::uint16_t read_uint16(std::uint16_t max);
    std::uint32_t read_uint32(std::uint32_t min, std::uint32_t max);
    // Exactly sixteen hexadecimal digits.
    std::uint64_t read_hex64();

    using Source_str_zero_terminated<T>::cur;

private:
    Q_DISABLE_COPY(Parser)

    [[noreturn]] void fail_expected(char c);

    template <typename U>
    U read_decimal(U max);
};

template <typename T>
void Parser<T>::expect_char(char c)
{
    if (unit_value(*cur) != static_cast<unsigned char>(c))
        fail_expected(c);
    ++cur;
}

template <typename T>
void Parser<T>::fail_expected(char c)
{
    fail(QCoreApplication::translate("parser", "ожидается символ «%1».").arg(QLatin1Char(c)));
}

template <typename T>
bool Parser<T>::begin_param(const char *name, bool &defined)
{
    const T *p = cur;
    for (const char *n = name; *n; ++n, ++p) {
        if (unit_value(*p) != static_cast<unsigned char>(*n))
            return false;
    }
    cur = p;
    if (defined)
        fail(QCoreApplication::translate("parser", "параметр «%1» уже определён выше по тексту.").arg(QLatin1String(name)));
    skip_spaces();
    expect_char('=');
    skip_spaces();
    defined = true;
    return true;
}

template <typename T>
template <typename U>
U Parser<T>::read_decimal(U max)
{
    U value = 0;
    for (;;) {
        const unsigned c = unit_value(*cur);
        if (c < '0' || c > '9')
            return value;
        const U d = static_cast<U>(c - '0');
        if (value > max / 10 || (value == max / 10 && d > max % 10))
            fail(QCoreApplication::translate("parser", "число слишком большое (должно быть не более %1)").arg(max));
        value = static_cast<U>(value * 10 + d);
        ++cur;
    }
}

template <typename T>
std::uint16_t Parser<T>::read_uint16(std::uint16_t max)
{
    const unsigned c = unit_value(*cur);
    if (c < '0' || c > '9')
        fail(QCoreApplication::translate("parser", "ожидается десятичное число"));
    return read_decimal<std::uint16_t>(max);
}

template <typename T>
std::uint32_t Parser<T>::read_uint32(std::uint32_t min, std::uint32_t max)
{
    const unsigned c = unit_value(*cur);
    if (c < '0' || c > '9')
        fail(QCoreApplication::translate("parser", "ожидается десятичное число."));
    const T *start = cur;
    const std::uint32_t value = read_decimal<std::uint32_t>(max);
    if (value < min) {
        cur = start;
        fail(QCoreApplication::translate("parser", "число слишком маленькое (должно быть не менее %1).").arg(min));
    }
    return value;
}

template <typename T>
std::uint64_t Parser<T>::read_hex64()
{
    std::uint64_t value = 0;
    for (int i = 0; i < 16; ++i) {
        // A zero unit is no digit, so this never looks past the end of the text.
        const unsigned digit = hex_digit_values(unit_value(cur[i]));
        if (digit > 15)
            fail(QCoreApplication::translate("parser", "ожидается %1-значное шестнадцатиричное число.").arg(16));
        value = value << 4 | digit;
    }
    cur += 16;
    return value;
}
