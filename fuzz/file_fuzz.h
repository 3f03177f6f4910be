#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdlib>

#include <unistd.h>

// A file of this process in memory-backed storage where there is one.
inline QString fuzz_file_name(const char *name)
{
    const QString dir = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    return QStringLiteral("%1/quvo_fuzz_%2_%3").arg(dir).arg(getpid()).arg(QLatin1String(name));
}

inline void write_fuzz_file(const QString &name, const std::uint8_t *data, std::size_t size)
{
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
        abort();
}
