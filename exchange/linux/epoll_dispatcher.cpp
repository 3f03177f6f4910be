#include "exchange/linux/epoll_dispatcher.h"

#include "base/log.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <climits>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr unsigned module = 10;
// What a wake-up reads at most; the rest stays ready for the next one.
constexpr int max_events = 64;

// What activates a notifier of each QSocketNotifier::Type, as with poll(2) in Qt.
constexpr std::uint32_t activating[3] = {
    EPOLLIN | EPOLLHUP | EPOLLERR,
    EPOLLOUT | EPOLLHUP | EPOLLERR,
    EPOLLPRI | EPOLLHUP | EPOLLERR,
};
constexpr std::uint32_t requested[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};

bool in_own_thread(const QObject *dispatcher, const QObject *object)
{
    return object->thread() == dispatcher->thread() && dispatcher->thread() == QThread::currentThread();
}

}

Epoll_dispatcher::Epoll_dispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent),
      epoll_fd(epoll_create1(EPOLL_CLOEXEC)),
      wake_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!valid())
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_fd;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &ev) < 0) {
        close(wake_fd);
        wake_fd = -1;
    }
}

Epoll_dispatcher::~Epoll_dispatcher()
{
    if (wake_fd >= 0)
        close(wake_fd);
    if (epoll_fd >= 0)
        close(epoll_fd);
}

bool Epoll_dispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted.store(false);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool include_timers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool include_notifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool can_wait = (flags & QEventLoop::WaitForMoreEvents) && !interrupted.load() && !wake_pending.load();
    if (can_wait)
        emit aboutToBlock();
    if (interrupted.load())
        return false;
    int timeout_ms = 0;
    if (can_wait && !(include_notifiers && always_ready_count > 0))
        timeout_ms = include_timers ? timers.wait_ms() : -1;

    int activated = 0;
    if (include_notifiers) {
        update_kernel();
        epoll_event events[max_events];
        int ready = epoll_wait(epoll_fd, events, max_events, timeout_ms);
        if (ready < 0) {
            if (errno != EINTR)
                log_unexpected(place_code(module, 1));
            ready = 0;
        }
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_fd) {
                consume_wake_up();
                ++activated;
                continue;
            }
            const auto it = descriptors.find(fd);
            if (it != descriptors.end())
                mark_ready(it->second, events[i].events);
        }
        if (always_ready_count > 0) {
            for (const auto &entry : descriptors) {
                if (entry.second.always_ready)
                    mark_ready(entry.second, wanted_events(entry.second));
            }
        }
        activated += activate_notifiers();
    } else {
        // The epoll set would report the excluded sockets at once, again and again.
        pollfd wake{wake_fd, POLLIN, 0};
        if (poll(&wake, 1, timeout_ms) > 0) {
            consume_wake_up();
            ++activated;
        }
    }
    if (include_timers)
        activated += timers.activate_due();
    return activated > 0;
}

// ---- Socket notifiers ----

std::uint32_t Epoll_dispatcher::wanted_events(const Descriptor &d)
{
    std::uint32_t events = 0;
    for (int type = 0; type < 3; ++type) {
        if (d.notifiers[type])
            events |= requested[type];
    }
    return events;
}

void Epoll_dispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const qintptr socket = notifier->socket();
    const int type = int(notifier->type());
    if (socket < 0 || socket > INT_MAX || type < 0 || type > 2 || !in_own_thread(this, notifier)) {
        log_unexpected(place_code(module, 2));
        return;
    }
    const int fd = int(socket);
    Descriptor &d = descriptors[fd];
    d.notifiers[type] = notifier;
    mark_dirty(fd, d);
}

void Epoll_dispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int type = int(notifier->type());
    const auto it = descriptors.find(int(notifier->socket()));
    if (type < 0 || type > 2 || it == descriptors.end() || it->second.notifiers[type] != notifier)
        return;
    Descriptor &d = it->second;
    d.notifiers[type] = nullptr;
    pending.erase(std::remove(pending.begin(), pending.end(), notifier), pending.end());
    if (wanted_events(d) != 0) {
        mark_dirty(it->first, d);
        return;
    }
    // At once, while the descriptor is still open: its owner closes it next.
    update_kernel(it->first, d);
    if (d.always_ready)
        --always_ready_count;
    descriptors.erase(it);
}

void Epoll_dispatcher::mark_dirty(int fd, Descriptor &d)
{
    if (d.dirty)
        return;
    d.dirty = true;
    dirty_fds.push_back(fd);
}

// Sockets switch their write notifier on and off with every write: the epoll set hears
// only of what still differs when the thread is about to wait.
void Epoll_dispatcher::update_kernel()
{
    for (int fd : dirty_fds) {
        const auto it = descriptors.find(fd);
        if (it == descriptors.end() || !it->second.dirty)
            continue;
        it->second.dirty = false;
        update_kernel(fd, it->second);
    }
    dirty_fds.clear();
}

void Epoll_dispatcher::update_kernel(int fd, Descriptor &d)
{
    const std::uint32_t wanted = wanted_events(d);
    if (d.always_ready || (d.in_kernel && wanted == d.kernel_events))
        return;
    if (wanted == 0) {
        // The kernel reports hang-ups and errors whatever it is asked for.
        if (d.in_kernel)
            epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        d.in_kernel = false;
        d.kernel_events = 0;
        return;
    }
    epoll_event ev{};
    ev.events = wanted;
    ev.data.fd = fd;
    int result = epoll_ctl(epoll_fd, d.in_kernel ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    // A descriptor number closed and opened again behind our back.
    if (result < 0 && errno == ENOENT)
        result = epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev);
    else if (result < 0 && errno == EEXIST)
        result = epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &ev);
    if (result < 0 && errno == EPERM) {
        d.always_ready = true;
        ++always_ready_count;
    } else if (result < 0) {
        log_unexpected(place_code(module, 3));
    }
    d.in_kernel = result == 0;
    d.kernel_events = d.in_kernel ? wanted : 0;
}

void Epoll_dispatcher::mark_ready(const Descriptor &d, std::uint32_t events)
{
    for (int type = 0; type < 3; ++type) {
        QSocketNotifier *notifier = d.notifiers[type];
        if (notifier && (events & activating[type]) &&
            std::find(pending.begin(), pending.end(), notifier) == pending.end())
            pending.push_back(notifier);
    }
}

int Epoll_dispatcher::activate_notifiers()
{
    int activated = 0;
    // A receiver may unregister any notifier, itself included, or run a nested loop
    // that takes from the same list.
    while (!pending.empty()) {
        QSocketNotifier *notifier = pending.front();
        pending.pop_front();
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++activated;
    }
    return activated;
}

// ---- Timers ----

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
void Epoll_dispatcher::registerTimer(int timer_id, qint64 interval, Qt::TimerType type, QObject *object)
#else
void Epoll_dispatcher::registerTimer(int timer_id, int interval, Qt::TimerType type, QObject *object)
#endif
{
    if (timer_id < 1 || interval < 0 || !object || !in_own_thread(this, object)) {
        log_unexpected(place_code(module, 4));
        return;
    }
    timers.add(timer_id, interval, type, object);
}

bool Epoll_dispatcher::unregisterTimer(int timer_id)
{
    return timers.remove(timer_id);
}

bool Epoll_dispatcher::unregisterTimers(QObject *object)
{
    return timers.remove_all_of(object);
}

QList<QAbstractEventDispatcher::TimerInfo> Epoll_dispatcher::registeredTimers(QObject *object) const
{
    return timers.of(object);
}

int Epoll_dispatcher::remainingTime(int timer_id)
{
    return timers.remaining_ms(timer_id);
}

// ---- Waking up ----

void Epoll_dispatcher::wakeUp()
{
    // Every posted event calls this: one write until the thread has woken.
    if (wake_pending.exchange(true))
        return;
    const std::uint64_t one = 1;
    if (write(wake_fd, &one, sizeof one) < 0 && errno != EAGAIN)
        log_unexpected(place_code(module, 5));
}

void Epoll_dispatcher::consume_wake_up()
{
    std::uint64_t count;
    if (read(wake_fd, &count, sizeof count) < 0 && errno != EAGAIN)
        log_unexpected(place_code(module, 6));
    // Cleared after the read: cleared before, a wakeUp that wrote in between would be read
    // away and leave the flag set with nothing to read, and the thread would never wait
    // again. A wakeUp that finds the flag still set has posted its event already, and the
    // next pass begins by sending the posted events.
    wake_pending.store(false);
}

void Epoll_dispatcher::interrupt()
{
    interrupted.store(true);
    wakeUp();
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
bool Epoll_dispatcher::hasPendingEvents()
{
    return wake_pending.load();
}
#endif
