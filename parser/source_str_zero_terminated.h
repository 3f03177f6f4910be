#pragma once

// A text in memory that ends with a zero code unit; `cur` is the unit being looked at.
// Every token reader stops at the zero, so no length is needed.
template <typename T>
class Source_str_zero_terminated {
public:
    const T *cur = nullptr;
};
