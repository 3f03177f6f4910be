#include "exchange/linux/dispatcher_timers.h"

#include <QThread>
#include <QtTest>

#include <ctime>
#include <functional>
#include <vector>

// The timers driven by hand, without a dispatcher: the clock is the real one, so a deadline is
// only known to lie between the readings of the clock before and after a call.

namespace {

constexpr qint64 ms_ns = 1000000;
constexpr qint64 second_ns = 1000 * ms_ns;

qint64 now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * second_ns + ts.tv_nsec;
}

// Notes each timer event it gets, and runs on_event inside it.
struct Receiver : QObject {
    void timerEvent(QTimerEvent *event) override
    {
        fired.push_back(event->timerId());
        if (on_event)
            on_event(event->timerId());
    }
    std::vector<int> fired;
    std::function<void(int)> on_event;
};

// Whether the timer's deadline, as remaining_ms tells it to the nearest millisecond, can lie
// between from and to.
bool due_between(const Dispatcher_timers &timers, int id, qint64 from, qint64 to)
{
    const qint64 before = now_ns();
    const qint64 left = timers.remaining_ms(id) * ms_ns;
    const qint64 after = now_ns();
    return before + left - ms_ns / 2 <= to && from <= after + left + ms_ns / 2;
}

} // namespace

class Tst_dispatcher_timers : public QObject {
    Q_OBJECT

private slots:
    void unknown_timers()
    {
        Dispatcher_timers timers;
        Receiver owner, other;
        QCOMPARE(timers.wait_ms(), -1);
        QCOMPARE(timers.activate_due(), 0);
        timers.add(1, 60000, Qt::PreciseTimer, &owner);
        QVERIFY(!timers.remove(2));
        QCOMPARE(timers.remaining_ms(2), -1);
        QVERIFY(!timers.remove_all_of(&other));
        QVERIFY(timers.of(&other).isEmpty());
        // Not due for a minute: nothing is delivered early.
        QCOMPARE(timers.activate_due(), 0);
        QVERIFY(owner.fired.empty());
    }

    // An event loop run inside a timer's event neither delivers that timer again nor waits for
    // it; a timer due meanwhile is delivered there, and not again by the outer pass.
    void nested_pass_skips_the_timer_being_delivered()
    {
        Dispatcher_timers timers;
        Receiver first, second;
        int nested_wait = 0;
        first.on_event = [&](int) {
            timers.activate_due();
            nested_wait = timers.wait_ms();
        };
        timers.add(1, 0, Qt::PreciseTimer, &first);
        timers.add(2, 5000, Qt::PreciseTimer, &second);
        // A zero timer is no event processed.
        QCOMPARE(timers.activate_due(), 0);
        QCOMPARE(first.fired, std::vector<int>{1});
        QVERIFY2(nested_wait > 4000 && nested_wait <= 5000, qPrintable(QString::number(nested_wait)));

        timers.add(3, 0, Qt::PreciseTimer, &second);
        timers.activate_due();
        QCOMPARE(first.fired, (std::vector<int>{1, 1}));
        QCOMPARE(second.fired, std::vector<int>{3});
    }

    // A timer killed by an earlier event of the same pass is not delivered, nor is one started
    // meanwhile under its number; that one comes in the next pass.
    void number_reused_within_a_pass()
    {
        Dispatcher_timers timers;
        Receiver killer, victim, newcomer;
        killer.on_event = [&](int) {
            QVERIFY(timers.remove_all_of(&victim));
            timers.add(2, 0, Qt::PreciseTimer, &newcomer);
        };
        timers.add(1, 0, Qt::PreciseTimer, &killer);
        timers.add(2, 0, Qt::PreciseTimer, &victim);
        timers.activate_due();
        QVERIFY(victim.fired.empty());
        QVERIFY(newcomer.fired.empty());
        killer.on_event = nullptr;
        timers.activate_due();
        QCOMPARE(newcomer.fired, std::vector<int>{2});
    }

    void wait_ends_with_the_timer_due_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("interval");
        QTest::newRow("precise 1 ms") << int(Qt::PreciseTimer) << 1;
        QTest::newRow("coarse 25 ms") << int(Qt::CoarseTimer) << 25;
        QTest::newRow("very coarse 10 ms") << int(Qt::VeryCoarseTimer) << 10;
    }

    // A dispatcher that sleeps for wait_ms finds its timer due: a wait that ended early would
    // make it spin through empty passes until the deadline.
    void wait_ends_with_the_timer_due()
    {
        QFETCH(int, type);
        QFETCH(int, interval);
        Dispatcher_timers timers;
        Receiver owner;
        const qint64 before = now_ns();
        timers.add(7, interval, Qt::TimerType(type), &owner);
        const int wait = timers.wait_ms();
        const int longest = type == Qt::VeryCoarseTimer ? 1000 + interval : interval;
        QVERIFY2(wait >= 0 && wait <= longest, qPrintable(QString::number(wait)));
        QThread::msleep(ulong(wait));
        QCOMPARE(timers.activate_due(), 1);
        QCOMPARE(owner.fired, std::vector<int>{7});
        const qint64 fired = now_ns();
        QVERIFY(fired - before >= interval * ms_ns);
        if (type == Qt::VeryCoarseTimer)
            QVERIFY(fired / second_ns > before / second_ns);
    }

    void next_period_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("late");  // milliseconds past the deadline before the pass
        QTest::newRow("fell behind") << 10 << 25;
        QTest::newRow("a little late") << 200 << 20;
    }

    // A repeating timer keeps its period from its first deadline, without drift, unless it fell
    // a whole period behind: then the next is a whole period after the pass.
    void next_period()
    {
        QFETCH(int, interval);
        QFETCH(int, late);
        const qint64 period = interval * ms_ns;
        Dispatcher_timers timers;
        Receiver owner;
        const qint64 added_from = now_ns();
        timers.add(3, interval, Qt::PreciseTimer, &owner);
        const qint64 added_to = now_ns();
        QThread::msleep(ulong(timers.wait_ms() + late));
        const qint64 pass_from = now_ns();
        QCOMPARE(timers.activate_due(), 1);
        const qint64 pass_to = now_ns();
        if (late > interval) {
            QVERIFY(due_between(timers, 3, pass_from + period, pass_to + period));
        } else {
            if (pass_to > added_from + 2 * period)
                QSKIP("the machine stood still for a whole period");
            QVERIFY(due_between(timers, 3, added_from + 2 * period, added_to + 2 * period));
        }
    }

    // Very coarse timers started together share their whole second and fire in the order they
    // were started.
    void very_coarse_ties_keep_their_order()
    {
        Dispatcher_timers timers;
        Receiver owner;
        owner.on_event = [&timers](int id) { timers.remove(id); };
        const std::vector<int> ids{5, 2, 9, 4};
        for (int id : ids)
            timers.add(id, 0, Qt::VeryCoarseTimer, &owner);
        // Two passes when a second began between two starts.
        for (int pass = 0; pass < 2 && owner.fired.size() < ids.size(); ++pass) {
            QThread::msleep(ulong(timers.wait_ms()));
            timers.activate_due();
        }
        QCOMPARE(owner.fired, ids);
    }
};

QTEST_GUILESS_MAIN(Tst_dispatcher_timers)
#include "tst_dispatcher_timers.moc"
