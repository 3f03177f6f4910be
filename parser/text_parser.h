#pragma once

#include "parser/parser.h"

#include <cstdint>

// A parser that knows lines: errors are placed by line and column.
template <typename T>
class Text_parser : public Parser<T> {
public:
    const T *line_start = nullptr;
    std::uint32_t line = 1;

    using Parser<T>::cur;

    // Counted in code units from 1.
    std::uint32_t column() const { return static_cast<std::uint32_t>(cur - line_start) + 1; }

protected:
    // A line break ends at `next`.
    void new_line(const T *next)
    {
        cur = next;
        line_start = next;
        ++line;
    }
};
