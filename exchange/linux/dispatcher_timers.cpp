#include "exchange/linux/dispatcher_timers.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include <algorithm>
#include <climits>
#include <ctime>

namespace {

constexpr qint64 ms_ns = 1000000;
constexpr qint64 second_ns = 1000000000;

// The clock of QElapsedTimer and of Qt's own timers.
qint64 now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * second_ns + ts.tv_nsec;
}

qint64 next_second(qint64 ns)
{
    return (ns + second_ns - 1) / second_ns * second_ns;
}

}

void Dispatcher_timers::add(int timer_id, qint64 interval_ms, Qt::TimerType type, QObject *object)
{
    Timer timer{timer_id, interval_ms, type, object, now_ns() + interval_ms * ms_ns};
    if (type == Qt::VeryCoarseTimer)
        timer.deadline_ns = next_second(timer.deadline_ns);
    schedule(timer);
}

bool Dispatcher_timers::remove(int timer_id)
{
    const auto it = find(timer_id);
    if (it == timers.end())
        return false;
    timers.erase(it);
    return true;
}

bool Dispatcher_timers::remove_all_of(const QObject *object)
{
    const auto end = std::remove_if(timers.begin(), timers.end(),
                                    [object](const Timer &t) { return t.object == object; });
    const bool found = end != timers.end();
    timers.erase(end, timers.end());
    return found;
}

QList<QAbstractEventDispatcher::TimerInfo> Dispatcher_timers::of(const QObject *object) const
{
    QList<QAbstractEventDispatcher::TimerInfo> list;
    for (const Timer &t : timers) {
        if (t.object == object)
            list.append(QAbstractEventDispatcher::TimerInfo(t.id, int(t.interval_ms), t.type));
    }
    return list;
}

int Dispatcher_timers::remaining_ms(int timer_id) const
{
    const auto it = find(timer_id);
    if (it == timers.end())
        return -1;
    const qint64 left = it->deadline_ns - now_ns();
    return left <= 0 ? 0 : int(std::min<qint64>((left + ms_ns / 2) / ms_ns, INT_MAX));
}

int Dispatcher_timers::wait_ms() const
{
    for (const Timer &t : timers) {
        if (t.active)
            continue;
        const qint64 left = t.deadline_ns - now_ns();
        // Rounded up: a timer never fires early.
        return left <= 0 ? 0 : int(std::min<qint64>((left + ms_ns - 1) / ms_ns, INT_MAX));
    }
    return -1;
}

int Dispatcher_timers::activate_due()
{
    const qint64 now = now_ns();
    // Only what was due on entry: a receiver that starts timers cannot keep this pass going.
    std::vector<int> due;
    for (const Timer &t : timers) {
        if (t.deadline_ns > now)
            break;
        if (!t.active)
            due.push_back(t.id);
    }
    int activated = 0;
    for (int id : due) {
        auto it = find(id);
        // Killed meanwhile, or its number given to a timer started since.
        if (it == timers.end() || it->active || it->deadline_ns > now)
            continue;
        Timer timer = *it;
        timers.erase(it);
        timer.deadline_ns = next_deadline(timer, now);
        timer.active = true;
        schedule(timer);
        QTimerEvent event(id);
        QCoreApplication::sendEvent(timer.object, &event);
        // As in Qt: a zero timer runs whenever the loop is idle, and counting it would keep
        // processEvents(flags, maxtime) going until maxtime.
        if (timer.interval_ms > 0)
            ++activated;
        it = find(id);
        if (it != timers.end())
            it->active = false;
    }
    return activated;
}

void Dispatcher_timers::schedule(const Timer &timer)
{
    const auto at = std::upper_bound(timers.begin(), timers.end(), timer.deadline_ns,
                                     [](qint64 deadline, const Timer &t) { return deadline < t.deadline_ns; });
    timers.insert(at, timer);
}

// As Qt's timers: the next period after the one that was due, or a whole period from now
// for a timer that fell behind.
qint64 Dispatcher_timers::next_deadline(const Timer &timer, qint64 now)
{
    qint64 deadline = timer.deadline_ns + timer.interval_ms * ms_ns;
    if (deadline < now)
        deadline = now + timer.interval_ms * ms_ns;
    return timer.type == Qt::VeryCoarseTimer ? next_second(deadline) : deadline;
}

std::vector<Dispatcher_timers::Timer>::iterator Dispatcher_timers::find(int timer_id)
{
    return std::find_if(timers.begin(), timers.end(), [timer_id](const Timer &t) { return t.id == timer_id; });
}

std::vector<Dispatcher_timers::Timer>::const_iterator Dispatcher_timers::find(int timer_id) const
{
    return std::find_if(timers.begin(), timers.end(), [timer_id](const Timer &t) { return t.id == timer_id; });
}
