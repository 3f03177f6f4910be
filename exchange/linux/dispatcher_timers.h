#pragma once

#include <QAbstractEventDispatcher>

#include <vector>

// The timers of one thread's event dispatcher, kept by deadline. Coarse timers are kept
// as precise ones (never early, Qt allows them to be late), very coarse ones fire on the
// whole second after they are due. Not thread-safe: the dispatcher's own thread only.
class Dispatcher_timers {
public:
    void add(int timer_id, qint64 interval_ms, Qt::TimerType type, QObject *object);
    bool remove(int timer_id);
    bool remove_all_of(const QObject *object);
    QList<QAbstractEventDispatcher::TimerInfo> of(const QObject *object) const;
    // Milliseconds left until the timer is due (0 when it is), -1 for an unknown timer.
    int remaining_ms(int timer_id) const;
    // Milliseconds until the first timer not being delivered is due, -1 for none.
    int wait_ms() const;
    // Sends a QTimerEvent to the object of every timer that is due; gives the number of
    // those with an interval.
    int activate_due();

private:
    struct Timer {
        int id;
        qint64 interval_ms;
        Qt::TimerType type;
        QObject *object;
        qint64 deadline_ns;
        // While its event is being delivered: a nested event loop must not fire it again.
        bool active = false;
    };

    void schedule(const Timer &timer);
    static qint64 next_deadline(const Timer &timer, qint64 now);
    std::vector<Timer>::iterator find(int timer_id);
    std::vector<Timer>::const_iterator find(int timer_id) const;

    // Sorted by deadline; timers due at the same moment keep their order of registration.
    std::vector<Timer> timers;
};
