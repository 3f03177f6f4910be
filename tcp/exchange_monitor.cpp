#include "tcp/exchange_monitor.h"

#include "base/state_mutex.h"

#include <QDateTime>
#include <QHostAddress>
#include <QMutexLocker>
#include <QTcpSocket>

QString Exchange_monitor::peer_of(const QTcpSocket &socket)
{
    QHostAddress address = socket.peerAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
        : address.toString();
    return host + QLatin1Char(':') + QString::number(socket.peerPort());
}

template <typename Update>
void Exchange_monitor::record(Update update, Monitor_row::Kind kind, const QByteArray &data, const QString &peer)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QMutexLocker lock(&state_mutex);
    Modem_traffic &traffic = modem_traffic[eui];
    update(traffic.counters, now);
    if (traffic.watchers > 0)
        keep_monitor_row(traffic, Monitor_row{now, kind, data, peer, 0});
}

void Exchange_monitor::to_modem(const QByteArray &data)
{
    record([&data](Modem_counters &c, qint64 now) {
        ++c.messages_to_modem;
        c.bytes_to_modem += quint64(data.size());
        c.last_downlink = now;
    }, Monitor_row::Kind::to_modem, data);
}

void Exchange_monitor::refused()
{
    record([](Modem_counters &c, qint64) { ++c.downlinks_refused; }, Monitor_row::Kind::refused);
}

void Exchange_monitor::to_client(const QByteArray &data)
{
    record([&data](Modem_counters &c, qint64 now) {
        ++c.groups_to_client;
        c.bytes_to_client += quint64(data.size());
        c.last_uplink = now;
    }, Monitor_row::Kind::to_client, data);
}

void Exchange_monitor::client_event(Monitor_row::Kind kind, const QString &peer, const QString &current, int clients)
{
    record([&current, clients](Modem_counters &c, qint64 now) {
        if (c.client != current || c.clients == 0)
            c.client_since = current.isEmpty() ? 0 : now;
        c.client = current;
        c.clients = clients;
    }, kind, QByteArray(), peer);
}

void Exchange_monitor::group_abandoned()
{
    record([](Modem_counters &c, qint64) { ++c.groups_abandoned; }, Monitor_row::Kind::abandoned);
}

void Exchange_monitor::repeat_dropped()
{
    // Only counted: a repeat changes nothing the client sees.
    QMutexLocker lock(&state_mutex);
    ++modem_traffic[eui].counters.repeats_dropped;
}

void Exchange_monitor::restart_heard()
{
    record([](Modem_counters &c, qint64) { ++c.restarts_heard; }, Monitor_row::Kind::restart);
}
