#pragma once

// The bytes that came back on one client connection, checked against the reply that is awaited.
//
// Each request is answered by exactly its own bytes, in order. The one exception is the first reply
// on a connection that follows a dropped one: the modem may still answer the request that was in
// flight when the old connection went, and that reply then reaches the new connection first. It is
// tolerated only whole and only before anything else (a "late" reply).

#include <QByteArray>

class Reply_stream {
public:
    enum class Verdict {
        waiting,  // everything so far agrees with the awaited reply
        passed,   // the awaited reply is complete and byte-exact; its bytes are taken off the stream
        wrong     // a byte differs from the awaited reply (see wrong_bytes)
    };

    void expect(const QByteArray &reply);
    void tolerate_late(const QByteArray &reply);
    void add(const QByteArray &bytes);
    Verdict check();

    bool awaiting() const { return !expected.isEmpty(); }
    int late_replies() const { return late_count; }
    // From the first byte that differs from the awaited reply.
    QByteArray wrong_bytes() const;
    void clear();

private:
    QByteArray buffer;
    QByteArray expected;
    QByteArray late;
    int late_count = 0;
};
