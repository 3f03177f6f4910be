#pragma once

#include <QHash>
#include <QHostAddress>

#include <cstdint>
#include <functional>

// The address of a client as tcp_allow sees it: a port that listens on IPv4 and IPv6 at once
// reports an IPv4 client as ::ffff:a.b.c.d, which is that IPv4 address here.
QHostAddress client_address(const QHostAddress &peer);

// Whether tcp_allow lets a client from this peer address in; anyone when the file sets no list.
bool peer_allowed(const QHostAddress &peer);

// Writes the refusals of clients to the log at most once a minute per address, so that a scan
// cannot flood the log. It remembers at most `capacity` addresses; the newcomers that find no
// room within a minute of the last line about each remembered one share one line a minute.
// Used by the exchange thread only.
class Refusal_log {
public:
    // Milliseconds that never go back.
    using Clock = std::function<std::int64_t()>;

    static constexpr std::int64_t period_ms = 60000;
    static constexpr int default_capacity = 1024;

    static std::int64_t steady_ms();

    explicit Refusal_log(int capacity = default_capacity, Clock clock = steady_ms);

    // A connection from the peer to tcp_port was refused.
    void refused(std::uint16_t tcp_port, const QHostAddress &peer, std::uint16_t peer_port);

    void set_clock(Clock clock);
    int remembered() const { return last_line.size(); }

private:
    enum class Line { none, single, crowd };
    Line line_for(const QHostAddress &address, std::int64_t now);
    void forget_old(std::int64_t now);

    int capacity;
    Clock clock;
    // When the last line about each address was written.
    QHash<QHostAddress, std::int64_t> last_line;
    // No remembered line becomes a minute old before this moment.
    std::int64_t next_expiry = 0;
    bool crowd_written = false;
    std::int64_t crowd_line = 0;
};

// The one of the process; reset_refusal_log forgets every address and restores the clock.
Refusal_log &refusal_log();
void reset_refusal_log();
