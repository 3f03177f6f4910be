#include "tcp/pause_timer.h"

#include <QTimerEvent>

#include <utility>

Pause_timer::Pause_timer(std::function<void()> on_pause)
    : on_pause(std::move(on_pause))
{
}

bool Pause_timer::restart(int milliseconds)
{
    stop();
    timer_id = startTimer(milliseconds, Qt::CoarseTimer);
    return timer_id != 0;
}

void Pause_timer::stop()
{
    if (timer_id) {
        killTimer(timer_id);
        timer_id = 0;
    }
}

void Pause_timer::timerEvent(QTimerEvent *event)
{
    // A stale timer is stopped as well: each wait fires once at the most.
    killTimer(event->timerId());
    if (event->timerId() != timer_id)
        return;
    timer_id = 0;
    on_pause();
}
