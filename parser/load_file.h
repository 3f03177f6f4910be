#pragma once

#include <QByteArray>
#include <QString>

// The largest file that is read into memory.
constexpr qint64 MAX_FILE_SIZE = 67108864;

// Reads the whole file in one call; `content` keeps QByteArray's zero after the data.
// False when the file does not exist; every other failure throws Err.
bool load_file(const QString &file_name, QByteArray &content);
// The same, and a zero byte anywhere refuses the file.
bool load_text_file(const QString &file_name, QByteArray &content);
// The same, and a missing file is an error too.
void load_text_file_or_fail(const QString &file_name, QByteArray &content);
