#include "tcp/client_message.h"

#include "base/err.h"

#include <QCoreApplication>
#include <QIODevice>

#include <algorithm>
#include <new>
#include <utility>

Client_message::Client_message(int max_frame)
    : limit(max_frame + 1)
{
}

qint64 Client_message::read_from(QIODevice &device, qint64 wanted)
{
    const int before = bytes.size();
    wanted = std::clamp<qint64>(wanted, 0, space());
    try {
        bytes.resize(before + int(wanted));
    } catch (const std::bad_alloc &) {
        static const QString text = QCoreApplication::translate(
            "log", "Не удалось выделить буфер размером %1 байтов для работы с сообщениями.");
        throw Err(text.arg(before + wanted));
    }
    const qint64 got = device.read(bytes.data() + before, wanted);
    bytes.resize(before + int(std::clamp<qint64>(got, 0, wanted)));
    return got;
}

QByteArray Client_message::take()
{
    QByteArray out = std::exchange(bytes, QByteArray());
    out.squeeze();
    return out;
}
