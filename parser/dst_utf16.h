#pragma once

#include "parser/utf8_text_parser.h"

#include <QString>

#include <cstdint>

// Builds a QString with one allocation of exactly the needed size.
class Dst_utf16 : public Utf8_text_parser::Dst {
public:
    explicit Dst_utf16(Utf8_text_parser &parser) : Dst(parser) {}

    void count(std::uint32_t cp) override;
    void allocate() override;
    void put(std::uint32_t cp) override;

    QString result;
    std::int32_t reserved = 0;      // 16-bit cells
    QChar *write = nullptr;
    QChar *end = nullptr;
};

// The same without control characters and line separators.
class Dst_printable_utf16 final : public Dst_utf16 {
public:
    explicit Dst_printable_utf16(Utf8_text_parser &parser) : Dst_utf16(parser) {}

    void count(std::uint32_t cp) override;
};
