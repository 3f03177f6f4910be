#include "exchange/linux/epoll_dispatcher.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace {

// A thread running its event loop on an Epoll_dispatcher; work is handed to it and
// waited for.
class Dispatcher_thread {
public:
    Dispatcher_thread() : dispatcher(new Epoll_dispatcher)
    {
        thread.setEventDispatcher(dispatcher);
        thread.start();
        context.moveToThread(&thread);
    }
    ~Dispatcher_thread()
    {
        thread.quit();
        thread.wait();
    }

    void run(const std::function<void()> &work)
    {
        QMetaObject::invokeMethod(&context, work, Qt::BlockingQueuedConnection);
    }

    QThread thread;
    Epoll_dispatcher *dispatcher;
    QObject context;
};

// Both ends of a connected pair of local stream sockets, closed at the end.
struct Socket_pair {
    Socket_pair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd); }
    ~Socket_pair()
    {
        for (int f : fd) {
            if (f >= 0)
                close(f);
        }
    }
    void send(const char *bytes = "x") { QCOMPARE(write(fd[1], bytes, strlen(bytes)), ssize_t(strlen(bytes))); }
    void close_peer()
    {
        close(fd[1]);
        fd[1] = -1;
    }
    int fd[2] = {-1, -1};
};

// A loopback TCP connection, for urgent data.
struct Tcp_pair {
    Tcp_pair()
    {
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(server, reinterpret_cast<sockaddr *>(&address), size);
        listen(server, 1);
        getsockname(server, reinterpret_cast<sockaddr *>(&address), &size);
        fd[1] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(fd[1], reinterpret_cast<sockaddr *>(&address), size);
        fd[0] = accept(server, nullptr, nullptr);
        close(server);
    }
    ~Tcp_pair()
    {
        close(fd[0]);
        close(fd[1]);
    }
    int fd[2] = {-1, -1};
};

void drain(int fd)
{
    char buffer[256];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

} // namespace

class Tst_epoll_dispatcher : public QObject {
    Q_OBJECT

private slots:
    void timers_fire_in_order_and_never_early_data();
    void timers_fire_in_order_and_never_early();
    void repeating_timer_keeps_its_period();
    void remaining_time_and_registered_timers();
    void notifier_types_data();
    void notifier_types();
    void notifier_is_level_triggered();
    void posted_events_from_another_thread_arrive_in_order();
    void wake_up_and_interrupt_end_a_wait();
    void excluded_notifiers_wait_for_a_later_pass();
    void zero_timer_is_no_activity();

    void notifier_deleted_inside_its_own_activation();
    void notifier_replaced_inside_its_activation();
    void descriptor_number_reused();
    void timer_killed_and_started_inside_its_event();
};

// Single-shot timers started in shuffled order fire by their deadlines, none before it
// is due. A deadline is known to lie between the clock before and after its start; two
// timers are ordered only where those spans do not overlap (the thread may be preempted
// while it starts them), very coarse ones only a whole second apart.
void Tst_epoll_dispatcher::timers_fire_in_order_and_never_early_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVector<int>>("intervals");
    QTest::newRow("precise") << int(Qt::PreciseTimer) << QVector<int>{30, 0, 15, 5, 1, 60};
    QTest::newRow("coarse") << int(Qt::CoarseTimer) << QVector<int>{40, 25, 0, 100, 2};
    QTest::newRow("very coarse") << int(Qt::VeryCoarseTimer) << QVector<int>{2500, 1000};
}

void Tst_epoll_dispatcher::timers_fire_in_order_and_never_early()
{
    QFETCH(int, type);
    QFETCH(QVector<int>, intervals);
    const int n = intervals.size();
    const qint64 slack_ns = type == Qt::VeryCoarseTimer ? 1000000000 : 0;
    Dispatcher_thread worker;
    // Per timer: the clock just before and just after its start, and when it fired.
    std::vector<qint64> before(n), after(n), fired_ns(n);
    std::vector<int> order;
    std::atomic<int> count{0};
    worker.run([&] {
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        for (int i = 0; i < n; ++i) {
            auto *timer = new QTimer(&worker.context);
            timer->setSingleShot(true);
            timer->setTimerType(Qt::TimerType(type));
            connect(timer, &QTimer::timeout, timer, [&, clock, i, timer] {
                fired_ns[i] = clock->nsecsElapsed();
                order.push_back(i);
                timer->deleteLater();
                ++count;
            });
            before[i] = clock->nsecsElapsed();
            timer->start(intervals[i]);
            after[i] = clock->nsecsElapsed();
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(count.load(), n, 10000);
    std::vector<int> position(n);
    for (int p = 0; p < n; ++p)
        position[order[p]] = p;
    for (int a = 0; a < n; ++a) {
        const qint64 due = before[a] + qint64(intervals[a]) * 1000000;
        QVERIFY2(fired_ns[a] >= due, qPrintable(QStringLiteral("%1 ms fired early").arg(intervals[a])));
        for (int b = 0; b < n; ++b) {
            if (after[a] + qint64(intervals[a]) * 1000000 + slack_ns < before[b] + qint64(intervals[b]) * 1000000)
                QVERIFY2(position[a] < position[b],
                         qPrintable(QStringLiteral("%1 ms after %2 ms").arg(intervals[a]).arg(intervals[b])));
        }
    }
}

// The n-th time-out of a repeating timer comes no earlier than n periods after its start.
void Tst_epoll_dispatcher::repeating_timer_keeps_its_period()
{
    constexpr int period = 7;
    Dispatcher_thread worker;
    std::atomic<int> count{0};
    std::atomic<int> early{0};
    worker.run([&] {
        auto *timer = new QTimer(&worker.context);
        timer->setTimerType(Qt::PreciseTimer);
        auto started = std::make_shared<QElapsedTimer>();
        connect(timer, &QTimer::timeout, timer, [&, started, timer] {
            if (started->nsecsElapsed() < qint64(count + 1) * period * 1000000)
                ++early;
            if (++count == 5)
                timer->stop();
        });
        started->start();
        timer->start(period);
    });
    QTRY_COMPARE_WITH_TIMEOUT(count.load(), 5, 10000);
    QCOMPARE(early.load(), 0);
}

void Tst_epoll_dispatcher::remaining_time_and_registered_timers()
{
    Dispatcher_thread worker;
    int slow = 0, fast = 0, remaining_slow = 0, remaining_fast = 0, remaining_killed = 0;
    QList<QAbstractEventDispatcher::TimerInfo> both, after_kill, after_all;
    bool some_unregistered = false, unregistered_again = true;
    worker.run([&] {
        QObject owner;
        slow = owner.startTimer(50000, Qt::PreciseTimer);
        fast = owner.startTimer(20, Qt::CoarseTimer);
        remaining_slow = worker.dispatcher->remainingTime(slow);
        remaining_fast = worker.dispatcher->remainingTime(fast);
        both = worker.dispatcher->registeredTimers(&owner);
        owner.killTimer(slow);
        remaining_killed = worker.dispatcher->remainingTime(slow);
        after_kill = worker.dispatcher->registeredTimers(&owner);
        some_unregistered = worker.dispatcher->unregisterTimers(&owner);
        after_all = worker.dispatcher->registeredTimers(&owner);
        unregistered_again = worker.dispatcher->unregisterTimer(fast);
    });
    QVERIFY2(remaining_slow > 40000 && remaining_slow <= 50000, QByteArray::number(remaining_slow));
    QVERIFY(remaining_fast >= 0 && remaining_fast <= 20);
    QCOMPARE(both.size(), 2);
    std::sort(both.begin(), both.end(), [](const auto &a, const auto &b) { return a.interval < b.interval; });
    QCOMPARE(both[0].timerId, fast);
    QCOMPARE(both[0].interval, 20);
    QCOMPARE(both[0].timerType, Qt::CoarseTimer);
    QCOMPARE(both[1].timerId, slow);
    QCOMPARE(both[1].interval, 50000);
    QCOMPARE(both[1].timerType, Qt::PreciseTimer);
    QCOMPARE(remaining_killed, -1);
    QCOMPARE(after_kill.size(), 1);
    QVERIFY(some_unregistered);
    QVERIFY(after_all.isEmpty());
    QVERIFY(!unregistered_again);
}

// What wakes each type of notifier, as poll(2) does in Qt's own dispatcher.
void Tst_epoll_dispatcher::notifier_types_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("event");
    QTest::newRow("read: data") << int(QSocketNotifier::Read) << "data";
    QTest::newRow("read: peer closed") << int(QSocketNotifier::Read) << "close";
    QTest::newRow("write: room to write") << int(QSocketNotifier::Write) << "none";
    QTest::newRow("exception: urgent data") << int(QSocketNotifier::Exception) << "urgent";
}

void Tst_epoll_dispatcher::notifier_types()
{
    QFETCH(int, type);
    QFETCH(QString, event);
    Dispatcher_thread worker;
    Socket_pair pair;
    Tcp_pair tcp;
    const int fd = event == "urgent" ? tcp.fd[0] : pair.fd[0];
    std::atomic<int> activations{0};
    worker.run([&] {
        auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Type(type), &worker.context);
        connect(notifier, &QSocketNotifier::activated, notifier, [&, notifier] {
            ++activations;
            notifier->setEnabled(false);
        });
    });
    if (event == "data")
        pair.send();
    else if (event == "close")
        pair.close_peer();
    else if (event == "urgent")
        QCOMPARE(send(tcp.fd[1], "u", 1, MSG_OOB), ssize_t(1));
    QTRY_COMPARE_WITH_TIMEOUT(activations.load(), 1, 5000);
    worker.run([] {});
    QCOMPARE(activations.load(), 1);
}

// A notifier whose data stays unread fires again; once read, it stops.
void Tst_epoll_dispatcher::notifier_is_level_triggered()
{
    Dispatcher_thread worker;
    Socket_pair pair;
    std::atomic<int> activations{0};
    worker.run([&] {
        auto *notifier = new QSocketNotifier(pair.fd[0], QSocketNotifier::Read, &worker.context);
        connect(notifier, &QSocketNotifier::activated, notifier, [&] {
            if (++activations == 3)
                drain(pair.fd[0]);
        });
    });
    pair.send("abc");
    QTRY_COMPARE_WITH_TIMEOUT(activations.load(), 3, 5000);
    // Two more passes through the loop: nothing is left to read.
    worker.run([] {});
    worker.run([] {});
    QCOMPARE(activations.load(), 3);
}

// Many posts from another thread, each calling wakeUp: all arrive in order, and then the
// thread waits again rather than spinning (a wake-up read away between setting and
// clearing its flag once left it never to wait again).
void Tst_epoll_dispatcher::posted_events_from_another_thread_arrive_in_order()
{
    constexpr int posts = 20000;
    Dispatcher_thread worker;
    std::vector<int> received;
    std::atomic<int> count{0};
    std::atomic<bool> waiting{false};
    connect(worker.dispatcher, &QAbstractEventDispatcher::awake, worker.dispatcher, [&] { waiting = false; },
            Qt::DirectConnection);
    connect(worker.dispatcher, &QAbstractEventDispatcher::aboutToBlock, worker.dispatcher, [&] { waiting = true; },
            Qt::DirectConnection);
    for (int i = 0; i < posts; ++i) {
        QMetaObject::invokeMethod(&worker.context, [&, i] {
            received.push_back(i);
            ++count;
        });
        // Now and then, so that the thread keeps waking while the posts go on.
        if (i % 64 == 0)
            QThread::yieldCurrentThread();
    }
    QTRY_COMPARE_WITH_TIMEOUT(count.load(), posts, 20000);
    for (int i = 0; i < posts; ++i)
        QCOMPARE(received[i], i);
    QTRY_VERIFY_WITH_TIMEOUT(waiting.load(), 5000);
}

// A wait with nothing to wait for ends on wakeUp or interrupt from another thread, and an
// event loop of the thread ends on exit.
void Tst_epoll_dispatcher::wake_up_and_interrupt_end_a_wait()
{
    Dispatcher_thread worker;
    for (const bool interrupt : {false, true}) {
        std::atomic<bool> waiting{false}, done{false};
        QMetaObject::invokeMethod(&worker.context, [&] {
            waiting = true;
            worker.dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(waiting.load(), 5000);
        if (interrupt)
            worker.dispatcher->interrupt();
        else
            worker.dispatcher->wakeUp();
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 5000);
    }
    std::atomic<bool> nested_ended{false};
    std::atomic<QEventLoop *> nested{nullptr};
    QMetaObject::invokeMethod(&worker.context, [&] {
        QEventLoop loop;
        // Known from inside the loop: an exit before exec() would be forgotten.
        QTimer::singleShot(0, &loop, [&] { nested = &loop; });
        loop.exec();
        nested_ended = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(nested.load() != nullptr, 5000);
    nested.load()->exit();
    QTRY_VERIFY_WITH_TIMEOUT(nested_ended.load(), 5000);
    worker.thread.quit();
    QVERIFY(worker.thread.wait(5000));
}

void Tst_epoll_dispatcher::excluded_notifiers_wait_for_a_later_pass()
{
    Dispatcher_thread worker;
    Socket_pair pair;
    pair.send();
    int while_excluded = -1, after = -1;
    bool processed = false;
    worker.run([&] {
        int activations = 0;
        QSocketNotifier notifier(pair.fd[0], QSocketNotifier::Read);
        connect(&notifier, &QSocketNotifier::activated, [&] {
            ++activations;
            drain(pair.fd[0]);
        });
        worker.dispatcher->processEvents(QEventLoop::ExcludeSocketNotifiers);
        while_excluded = activations;
        processed = worker.dispatcher->processEvents(QEventLoop::AllEvents);
        after = activations;
    });
    QCOMPARE(while_excluded, 0);
    QVERIFY(processed);
    QCOMPARE(after, 1);
}

// A zero timer fires at every pass but, as in Qt's dispatchers, is not counted as an
// event processed: else processEvents(flags, maxtime) would spin until maxtime.
void Tst_epoll_dispatcher::zero_timer_is_no_activity()
{
    Dispatcher_thread worker;
    int fired = 0, with_period = 0;
    bool zero_processed = true, period_processed = false;
    worker.run([&] {
        QObject owner;
        // The wake-up that brought this work counts as an event: read it first.
        worker.dispatcher->processEvents(QEventLoop::AllEvents);
        QTimer zero;
        connect(&zero, &QTimer::timeout, &owner, [&] { ++fired; });
        zero.start(0);
        zero_processed = worker.dispatcher->processEvents(QEventLoop::AllEvents);
        zero.stop();
        QTimer period;
        period.setTimerType(Qt::PreciseTimer);
        connect(&period, &QTimer::timeout, &owner, [&] { ++with_period; });
        period.start(1);
        QElapsedTimer waited;
        waited.start();
        while (with_period == 0 && waited.elapsed() < 5000)
            period_processed = worker.dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
    });
    QCOMPARE(fired, 1);
    QVERIFY(!zero_processed);
    QCOMPARE(with_period, 1);
    QVERIFY(period_processed);
}

// Two notifiers ready at the same wake-up: the first deletes both, and the other, already
// due, is never activated (a sanitizer build catches any use after the delete).
void Tst_epoll_dispatcher::notifier_deleted_inside_its_own_activation()
{
    Dispatcher_thread worker;
    Socket_pair first, second;
    first.send();
    second.send();
    std::atomic<int> activations{0};
    worker.run([&] {
        auto notifiers = std::make_shared<std::vector<QSocketNotifier *>>();
        for (int fd : {first.fd[0], second.fd[0]})
            notifiers->push_back(new QSocketNotifier(fd, QSocketNotifier::Read));
        for (QSocketNotifier *n : *notifiers) {
            connect(n, &QSocketNotifier::activated, &worker.context, [&, notifiers] {
                ++activations;
                qDeleteAll(*notifiers);
                notifiers->clear();
            });
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(activations.load(), 1, 5000);
    worker.run([] {});
    QCOMPARE(activations.load(), 1);
}

// Each activation deletes its notifier and puts a new one on the same descriptor, and one
// switches off and on again: the descriptor goes on being watched.
void Tst_epoll_dispatcher::notifier_replaced_inside_its_activation()
{
    Dispatcher_thread worker;
    Socket_pair pair;
    std::atomic<int> generations{0};
    std::function<void()> watch = [&] {
        auto *notifier = new QSocketNotifier(pair.fd[0], QSocketNotifier::Read, &worker.context);
        connect(notifier, &QSocketNotifier::activated, notifier, [&, notifier] {
            notifier->setEnabled(false);
            notifier->setEnabled(true);
            delete notifier;
            if (++generations < 4)
                watch();
            else
                drain(pair.fd[0]);
        });
    };
    worker.run(watch);
    pair.send();
    QTRY_COMPARE_WITH_TIMEOUT(generations.load(), 4, 5000);
}

// A notifier removed and its descriptor closed: the number, given to a new socket, is
// watched for the new one's notifier.
void Tst_epoll_dispatcher::descriptor_number_reused()
{
    Dispatcher_thread worker;
    auto old_pair = std::make_unique<Socket_pair>();
    auto new_pair = std::make_unique<Socket_pair>();
    const int number = old_pair->fd[0];
    std::atomic<int> activations{0};
    int reused = -1;
    worker.run([&] {
        auto *notifier = new QSocketNotifier(number, QSocketNotifier::Read);
        // Once through the loop, so that the epoll set has it.
        worker.dispatcher->processEvents(QEventLoop::AllEvents);
        delete notifier;
        old_pair.reset();
        new_pair = std::make_unique<Socket_pair>();
        reused = new_pair->fd[0];
        notifier = new QSocketNotifier(reused, QSocketNotifier::Read, &worker.context);
        connect(notifier, &QSocketNotifier::activated, notifier, [&, notifier] {
            ++activations;
            notifier->setEnabled(false);
        });
    });
    QCOMPARE(reused, number);
    new_pair->send();
    QTRY_COMPARE_WITH_TIMEOUT(activations.load(), 1, 5000);
}

// A repeating timer that kills itself and starts another inside its event, at once due:
// each fires once per pass, and the killed one never again.
void Tst_epoll_dispatcher::timer_killed_and_started_inside_its_event()
{
    Dispatcher_thread worker;
    struct Restarter : QObject {
        void timerEvent(QTimerEvent *event) override
        {
            fired.push_back(event->timerId());
            killTimer(event->timerId());
            if (fired.size() < 5)
                startTimer(0, Qt::PreciseTimer);
            else
                ++done;
        }
        std::vector<int> fired;
        std::atomic<int> done{0};
    };
    Restarter *restarter = nullptr;
    worker.run([&] {
        restarter = new Restarter;
        restarter->setParent(&worker.context);
        restarter->startTimer(1, Qt::PreciseTimer);
    });
    QTRY_COMPARE_WITH_TIMEOUT(restarter->done.load(), 1, 5000);
    bool none_left = false;
    worker.run([&] { none_left = worker.dispatcher->registeredTimers(restarter).isEmpty(); });
    QCOMPARE(restarter->fired.size(), size_t(5));
    QVERIFY(none_left);
}

QTEST_GUILESS_MAIN(Tst_epoll_dispatcher)
#include "tst_epoll_dispatcher.moc"
