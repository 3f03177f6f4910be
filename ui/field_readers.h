#pragma once

#include "config/devices.h"

#include <QString>

#include <cstdint>

// Readers of the fields of the device dialogs. Each throws Err with a message that
// names the field by its label.

// The text itself; an empty field is an error.
QString read_required(const QString &text, const QString &label);

// An unsigned decimal number from minimum to maximum.
std::uint32_t read_decimal(const QString &text, const QString &label,
                           std::uint32_t minimum, std::uint32_t maximum);

// Exactly sixteen hexadecimal digits, either case, not above maximum.
Eui read_hex64(const QString &text, const QString &label, Eui maximum);
