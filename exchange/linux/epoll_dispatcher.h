#pragma once

#include "exchange/linux/dispatcher_timers.h"

#include <QAbstractEventDispatcher>

#include <atomic>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

// An event dispatcher for one thread, built on Linux's epoll: socket notifiers stay
// registered in one epoll set, so a wake-up costs what is ready rather than what is
// registered (Qt's own dispatchers hand every notifier to poll(2) each time, and a
// thread with a thousand idle listening servers pays for all of them on every event).
// Timers (Dispatcher_timers), posted events, wakeUp and interrupt behave as in Qt's UNIX
// dispatcher.
class Epoll_dispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
    Q_DISABLE_COPY(Epoll_dispatcher)

public:
    explicit Epoll_dispatcher(QObject *parent = nullptr);
    ~Epoll_dispatcher() override;

    // False when the kernel refused the epoll set or the wake-up descriptor; such a
    // dispatcher must not be installed.
    bool valid() const { return epoll_fd >= 0 && wake_fd >= 0; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    void registerTimer(int timer_id, qint64 interval, Qt::TimerType type, QObject *object) override;
#else
    void registerTimer(int timer_id, int interval, Qt::TimerType type, QObject *object) override;
    bool hasPendingEvents() override;
    void flush() override {}
#endif
    bool unregisterTimer(int timer_id) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timer_id) override;

    void wakeUp() override;
    void interrupt() override;

private:
    // The notifiers of one descriptor by QSocketNotifier::Type, and what the epoll set
    // was last told about it.
    struct Descriptor {
        QSocketNotifier *notifiers[3] = {nullptr, nullptr, nullptr};
        std::uint32_t kernel_events = 0;
        bool in_kernel = false;
        // epoll refuses regular files; poll(2) calls them always ready, and so do we.
        bool always_ready = false;
        bool dirty = false;
    };

    static std::uint32_t wanted_events(const Descriptor &d);
    void mark_dirty(int fd, Descriptor &d);
    void update_kernel();
    void update_kernel(int fd, Descriptor &d);
    void mark_ready(const Descriptor &d, std::uint32_t events);
    int activate_notifiers();
    void consume_wake_up();

    int epoll_fd = -1;
    int wake_fd = -1;
    std::atomic_bool wake_pending{false};
    std::atomic_bool interrupted{false};
    std::unordered_map<int, Descriptor> descriptors;
    std::vector<int> dirty_fds;
    int always_ready_count = 0;
    // Notifiers whose activation is due, in order; a notifier leaves it when unregistered.
    std::deque<QSocketNotifier *> pending;
    Dispatcher_timers timers;
};
