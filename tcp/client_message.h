#pragma once

#include <QByteArray>
#include <QtGlobal>

class QIODevice;

// The bytes a client has sent since its last pause, bound for its modem as one downlink.
// It holds only what has come, grown as it comes, and at most one byte more than the
// modem's frame limit, so that an overlong message shows without reading on.
class Client_message {
public:
    explicit Client_message(int max_frame);

    // Bytes that still fit, the one past the limit included.
    qint64 space() const { return limit - bytes.size(); }
    // Appends what one read of at most `wanted` bytes (no more than space()) gives, and
    // returns the read's result. Throws Err when the memory cannot be had.
    qint64 read_from(QIODevice &device, qint64 wanted);

    bool overlong() const { return bytes.size() >= limit; }
    bool empty() const { return bytes.isEmpty(); }
    int size() const { return bytes.size(); }
    const char *data() const { return bytes.constData(); }

    // The bytes so far, in a block of their own size; the message starts again empty.
    QByteArray take();
    void clear() { bytes.clear(); }

private:
    QByteArray bytes;
    const int limit;
};
