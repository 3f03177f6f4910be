#include "tcp/pause_timer.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <vector>

namespace {

// Waits until a precise timer started now has fired. Timers of one thread fire by their
// deadlines, so every wait shorter than ms started before has had its turn by then.
bool run_past(int ms)
{
    QObject context;
    bool done = false;
    QTimer::singleShot(ms, Qt::PreciseTimer, &context, [&done] { done = true; });
    return QTest::qWaitFor([&done] { return done; }, ms + 10000);
}

// Timers the object still has running: a stale one would wake its thread for nothing, for
// every one of thousands of modems.
int running_timers(QObject &object)
{
    return QAbstractEventDispatcher::instance()->registeredTimers(&object).size();
}

// A coarse timer may fire up to 5 % early, and the clock counts in whole milliseconds.
qint64 earliest(int interval)
{
    return interval * 95 / 100 - 1;
}

} // namespace

class Tst_pause_timer : public QObject {
    Q_OBJECT

private slots:
    void no_pause_after_stop_data();
    void no_pause_after_stop();
    void pause_after_the_last_restart_data();
    void pause_after_the_last_restart();
    void restarted_from_its_own_pause();
};

void Tst_pause_timer::no_pause_after_stop_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("stopped") << "stop";
    QTest::newRow("stopped twice") << "stop twice";
    // The caller logs the refusal; the wait that ran before must not fire late.
    QTest::newRow("restart refused") << "negative";
}

// A wait that was stopped never calls back, and the timer can be started again.
void Tst_pause_timer::no_pause_after_stop()
{
    QFETCH(QString, how);
    int pauses = 0;
    Pause_timer timer([&pauses] { ++pauses; });
    QVERIFY(timer.restart(10));
    if (how == QLatin1String("negative")) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("negative")));
        QVERIFY(!timer.restart(-1));
    } else {
        timer.stop();
        if (how == QLatin1String("stop twice"))
            timer.stop();
    }
    QCOMPARE(running_timers(timer), 0);
    QVERIFY(run_past(40));
    QCOMPARE(pauses, 0);

    QVERIFY(timer.restart(10));
    QTRY_COMPARE(pauses, 1);
}

void Tst_pause_timer::pause_after_the_last_restart_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::newRow("longer after shorter") << 20 << 150;
    QTest::newRow("shorter after longer") << 150 << 20;
    QTest::newRow("same again") << 60 << 60;
}

// Every read restarts the wait: one pause, a whole interval after the last restart.
void Tst_pause_timer::pause_after_the_last_restart()
{
    QFETCH(int, first);
    QFETCH(int, last);
    QElapsedTimer since_last;
    std::vector<qint64> pauses;
    Pause_timer timer([&] { pauses.push_back(since_last.elapsed()); });
    QVERIFY(timer.restart(first));
    QVERIFY(timer.restart(last));
    since_last.start();
    QVERIFY(run_past(2 * qMax(first, last) + 20));
    QCOMPARE(pauses.size(), size_t(1));
    QVERIFY2(pauses.front() >= earliest(last), qPrintable(QString::number(pauses.front())));
    QCOMPARE(running_timers(timer), 0);
}

// A pause that starts the next wait (the client goes on sending) is called back again.
void Tst_pause_timer::restarted_from_its_own_pause()
{
    int pauses = 0;
    bool restarted = true;
    Pause_timer *self = nullptr;
    Pause_timer timer([&] {
        if (++pauses < 3)
            restarted = restarted && self->restart(5);
    });
    self = &timer;
    QVERIFY(timer.restart(5));
    QTRY_COMPARE(pauses, 3);
    QVERIFY(restarted);
    QVERIFY(run_past(30));
    QCOMPARE(pauses, 3);
    QCOMPARE(running_timers(timer), 0);
}

QTEST_GUILESS_MAIN(Tst_pause_timer)
#include "tst_pause_timer.moc"
