#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <exception>

// The log file name as given on the command line (bytes, decoded as UTF-8 when used).
QByteArray log_file_name();
void set_log_file_name(const QByteArray &name);
// Back to the default name; for tests that run many cases in one process.
void reset_log_file_name();

// Writes one time-stamped entry; false when the log file could not be opened.
bool log_line(const QString &text);
bool log_text(const char *text);

// Place codes: high byte the module, low byte the place, both shown in decimal.
constexpr unsigned short place_code(unsigned module, unsigned place)
{
    return static_cast<unsigned short>((module << 8) | place);
}

QString unexpected_error_text(unsigned short code);
void log_unexpected(unsigned short code);

// The prefix followed by the bytes in hexadecimal, at most 100000 of them.
void log_data(const char *prefix, const void *data, std::size_t size);
// The prefix followed by the bytes as quoted text when printable, else as log_data.
void log_utf8(const char *prefix, const void *data, std::size_t size);
bool is_printable_utf8(const void *data, std::size_t size);

void log_exception(const std::exception &e, const QString &context);
void log_exception(const std::exception &e, const char *context);
