#include "base/log.h"

#include "base/descriptors.h"
#include "base/err.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace {

const char default_log_file_name[] = "quvo_vevi2zar.log";

// A leaf lock: nothing else is ever locked while it is held.
QMutex log_mutex;
QByteArray current_log_file_name = default_log_file_name;

constexpr std::size_t hex_limit = 100000;
constexpr std::size_t text_limit = 300000;

// Writes one entry from UTF-8 bytes, so that dumped text reaches the file unchanged.
bool write_entry(const QByteArray &utf8_text)
{
    // The C locale keeps the digits ASCII whatever the user's locale.
    QByteArray line =
        QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("[d.M.yyyy h:mm:ss.zzz] ")).toUtf8();
    line += utf8_text;
    line += "\n\n";

    QMutexLocker lock(&log_mutex);
    // Opened and closed for every line, so each entry is in the file when we return.
    QFile file(QString::fromUtf8(current_log_file_name));
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered;
    keep_descriptor_reserve();
    bool opened = file.open(mode);
    if (!opened) {
        // Servers and clients may have taken every other descriptor: the log must still
        // say so. Should another thread take this one meanwhile, the next line tries again.
        release_descriptor_reserve();
        opened = file.open(mode);
    }
    if (opened) {
        file.write(line);
        file.close();
    }
    keep_descriptor_reserve();
    if (!opened) {
        std::fputs("Error in logging.\n", stdout);
        std::fflush(stdout);
    }
    return opened;
}

const char hex_digits[] = "0123456789ABCDEF";

// The whole hexadecimal line; the caller has ruled out a null prefix.
void write_hex(const char *prefix, const void *data, std::size_t size, unsigned short overflow_code,
               const char *no_memory)
{
    const std::size_t prefix_size = std::strlen(prefix);
    const std::size_t max_bytes = (std::numeric_limits<std::size_t>::max() - 4 - prefix_size) / 3;
    const std::size_t shown = size > hex_limit ? hex_limit - 1 : size;
    // Room for "0x{", the bytes and "..." followed by "}" without growing.
    const std::size_t room = size > hex_limit ? hex_limit : size;
    if (room > max_bytes) {
        log_unexpected(overflow_code);
        return;
    }
    std::string line;
    try {
        line.reserve(prefix_size + 3 * room + 4);
    } catch (const std::bad_alloc &) {
        log_text(no_memory);
        return;
    }
    line.append(prefix, prefix_size);
    if (size == 0) {
        line += "{}";
    } else if (!data) {
        line += "NULL";
    } else {
        const auto *bytes = static_cast<const unsigned char *>(data);
        line += "0x{";
        for (std::size_t i = 0; i < shown; ++i) {
            if (i)
                line += ' ';
            line += hex_digits[bytes[i] >> 4];
            line += hex_digits[bytes[i] & 15];
        }
        if (shown < size)
            line += "...";
        line += '}';
    }
    write_entry(QByteArray::fromRawData(line.data(), int(line.size())));
}

bool is_continuation(unsigned char b)
{
    return b >= 0x80 && b <= 0xBF;
}

} // namespace

QByteArray log_file_name()
{
    QMutexLocker lock(&log_mutex);
    return current_log_file_name;
}

void set_log_file_name(const QByteArray &name)
{
    QMutexLocker lock(&log_mutex);
    current_log_file_name = name;
}

void reset_log_file_name()
{
    set_log_file_name(default_log_file_name);
}

bool log_line(const QString &text)
{
    return write_entry(text.toUtf8());
}

bool log_text(const char *text)
{
    return log_line(QString::fromUtf8(text));
}

QString unexpected_error_text(unsigned short code)
{
    static const QString text = QCoreApplication::translate("log", "Неожиданная ошибка №%1.%2.");
    return text.arg(code >> 8).arg(code & 0xFF);
}

void log_unexpected(unsigned short code)
{
    log_line(unexpected_error_text(code));
}

void log_data(const char *prefix, const void *data, std::size_t size)
{
    if (!prefix) {
        log_unexpected(place_code(0, 1));
        return;
    }
    write_hex(prefix, data, size, place_code(0, 2), "log_data: insufficient memory.");
}

void log_utf8(const char *prefix, const void *data, std::size_t size)
{
    if (!prefix) {
        log_unexpected(place_code(0, 3));
        return;
    }
    if (size == 0) {
        write_entry(QByteArray(prefix) + "«»");
        return;
    }
    if (!data || size > text_limit || !is_printable_utf8(data, size)) {
        write_hex(prefix, data, size, place_code(0, 4), "log_utf8: insufficient memory.");
        return;
    }
    const std::size_t prefix_size = std::strlen(prefix);
    std::string line;
    try {
        line.reserve(prefix_size + size + 4);
    } catch (const std::bad_alloc &) {
        log_text("log_utf8: insufficient memory.");
        return;
    }
    line.append(prefix, prefix_size);
    line += "«";
    line.append(static_cast<const char *>(data), size);
    line += "»";
    write_entry(QByteArray::fromRawData(line.data(), int(line.size())));
}

bool is_printable_utf8(const void *data, std::size_t size)
{
    if (!data)
        return size == 0;
    const auto *p = static_cast<const unsigned char *>(data);
    std::size_t i = 0;
    while (i < size) {
        const unsigned char b = p[i];
        if (b < 0x20 || b == 0x7F)
            return false;
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b <= 0xBF)
            return false;
        if (b <= 0xDF) {
            if (size - i < 2 || !is_continuation(p[i + 1]))
                return false;
            // C1 controls and the quotation marks that delimit the text in the log.
            if (b == 0xC2 && (p[i + 1] < 0xA0 || p[i + 1] == 0xAB || p[i + 1] == 0xBB))
                return false;
            i += 2;
        } else if (b <= 0xEF) {
            if (size - i < 3 || !is_continuation(p[i + 1]) || !is_continuation(p[i + 2]))
                return false;
            if (b == 0xE2 && p[i + 1] == 0x80 && (p[i + 2] == 0xA8 || p[i + 2] == 0xA9))
                return false;
            if (b == 0xEF && p[i + 1] == 0xBB && p[i + 2] == 0xBF)
                return false;
            i += 3;
        } else {
            if (size - i < 4 || b > 0xF7 || !is_continuation(p[i + 1]) || !is_continuation(p[i + 2])
                || !is_continuation(p[i + 3]))
                return false;
            i += 4;
        }
    }
    return true;
}

void log_exception(const std::exception &e, const QString &context)
{
    if (is_err(e)) {
        log_line(context);
        return;
    }
    static const QString text = QCoreApplication::translate("log", "%1 Ошибка (std::exception): «%2».");
    log_line(text.arg(context, QString::fromUtf8(e.what())));
}

void log_exception(const std::exception &e, const char *context)
{
    log_exception(e, context ? QString::fromUtf8(context) : QStringLiteral("Exception handler (NULL)."));
}
