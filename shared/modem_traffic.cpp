#include "shared/modem_traffic.h"

#include "base/state_mutex.h"

#include <QMutexLocker>

#include <iterator>
#include <utility>

QMap<quint64, Modem_traffic> modem_traffic;

void keep_monitor_row(Modem_traffic &traffic, Monitor_row row)
{
    if (traffic.watchers == 0)
        return;
    // One place stays for the row that tells how many were dropped.
    if (traffic.rows.size() >= std::size_t(monitor_rows_kept - 1)) {
        traffic.rows.pop_front();
        ++traffic.rows_lost;
    }
    traffic.rows.push_back(std::move(row));
}

void watch_modem(quint64 eui, bool watching)
{
    std::deque<Monitor_row> dropped;
    QMutexLocker lock(&state_mutex);
    Modem_traffic &traffic = modem_traffic[eui];
    traffic.watchers += watching ? 1 : -1;
    if (traffic.watchers > 0)
        return;
    traffic.watchers = 0;
    traffic.rows_lost = 0;
    dropped.swap(traffic.rows);
    lock.unlock();
    // The rows are released here, outside the lock.
}

Monitor_batch take_monitor_batch(quint64 eui)
{
    Monitor_batch batch;
    std::deque<Monitor_row> rows;
    quint64 lost = 0;
    {
        QMutexLocker lock(&state_mutex);
        const auto it = modem_traffic.find(eui);
        if (it == modem_traffic.end())
            return batch;
        batch.counters = it->counters;
        rows.swap(it->rows);
        lost = std::exchange(it->rows_lost, 0);
    }
    batch.rows.reserve(rows.size() + 1);
    if (lost > 0) {
        Monitor_row gap;
        gap.kind = Monitor_row::Kind::rows_lost;
        gap.time = rows.empty() ? 0 : rows.front().time;
        gap.count = lost;
        batch.rows.push_back(std::move(gap));
    }
    batch.rows.insert(batch.rows.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    return batch;
}
