#include "tcp/peer_access.h"

#include "base/log.h"
#include "config/settings.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <limits>

QHostAddress client_address(const QHostAddress &peer)
{
    if (peer.protocol() != QAbstractSocket::IPv6Protocol)
        return peer;
    bool mapped = false;
    const quint32 ip4 = peer.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ip4) : peer;
}

bool peer_allowed(const QHostAddress &peer)
{
    if (settings.tcp_allow.empty())
        return true;
    const QHostAddress address = client_address(peer);
    return std::any_of(settings.tcp_allow.begin(), settings.tcp_allow.end(), [&](const Ip_network &network) {
        return address.isInSubnet(network.address, network.prefix_length);
    });
}

std::int64_t Refusal_log::steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Refusal_log::Refusal_log(int capacity, Clock clock) : capacity(capacity), clock(std::move(clock))
{
}

void Refusal_log::set_clock(Clock new_clock)
{
    clock = std::move(new_clock);
}

void Refusal_log::refused(std::uint16_t tcp_port, const QHostAddress &peer, std::uint16_t peer_port)
{
    const QHostAddress address = client_address(peer);
    const Line line = line_for(address, clock());
    if (line == Line::none)
        return;
    static const QString refusal = QCoreApplication::translate(
        "log", "Отклонено соединение с клиентом [%1]:%2, пришедшее на порт TCP %3: адреса клиента нет в списке "
               "разрешённых (параметр «tcp_allow» файла конфигурации).");
    static const QString single = QCoreApplication::translate(
        "log", "О следующих попытках соединения с этого адреса в течение минуты сообщаться не будет.");
    static const QString crowd = QCoreApplication::translate(
        "log", "Попытки соединения идут со столь многих адресов, что о попытках с ещё не упомянутых адресов в "
               "течение минуты сообщаться не будет.");
    log_line(refusal.arg(address.toString(), QString::number(peer_port), QString::number(tcp_port)) + QLatin1Char(' ')
             + (line == Line::single ? single : crowd));
}

Refusal_log::Line Refusal_log::line_for(const QHostAddress &address, std::int64_t now)
{
    const auto known = last_line.find(address);
    if (known != last_line.end()) {
        if (now - known.value() < period_ms)
            return Line::none;
        known.value() = now;
        return Line::single;
    }
    if (last_line.size() >= capacity)
        forget_old(now);
    if (last_line.size() < capacity) {
        last_line.insert(address, now);
        return Line::single;
    }
    if (crowd_written && now - crowd_line < period_ms)
        return Line::none;
    crowd_written = true;
    crowd_line = now;
    return Line::crowd;
}

// Only when the table is full, and only once its oldest line can be a minute old, so that
// a scan from ever new addresses does not walk the table at every attempt.
void Refusal_log::forget_old(std::int64_t now)
{
    if (now < next_expiry)
        return;
    std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
    for (auto it = last_line.begin(); it != last_line.end();) {
        if (now - it.value() >= period_ms) {
            it = last_line.erase(it);
        } else {
            earliest = std::min(earliest, it.value());
            ++it;
        }
    }
    next_expiry = last_line.isEmpty() ? now : earliest + period_ms;
}

namespace {

Refusal_log the_refusal_log;

} // namespace

Refusal_log &refusal_log()
{
    return the_refusal_log;
}

void reset_refusal_log()
{
    the_refusal_log = Refusal_log();
}
