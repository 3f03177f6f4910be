#include "link/command_wire.h"

#include "base/err.h"
#include "base/log.h"
#include "config/settings.h"
#include "link/link_log.h"

#include <QTimerEvent>
#include <QWebSocket>

namespace {

constexpr unsigned module = 7;

}

Command_wire::Command_wire(QWebSocket &socket)
    : socket(socket)
{
}

bool Command_wire::send(Command_kind next, const QString &text)
{
    const Command_row &row = command_row(next);
    // A time-out of 0 waits as long as it takes: no timer runs.
    const int milliseconds = settings.*row.timeout;
    if (milliseconds == 0) {
        timer.stop();
    } else {
        timer.start(milliseconds, Qt::CoarseTimer, this);
        if (!timer.isActive()) {
            emit fatal(unexpected_error_text(place_code(module, row.timer_place)));
            return false;
        }
    }
    kind = next;
    trace_sent(text);
    socket.sendTextMessage(text);
    return true;
}

void Command_wire::reset()
{
    timer.stop();
    kind = Command_kind::unready;
}

void Command_wire::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != timer.timerId()) {
        log_unexpected(place_code(module, 33));
        killTimer(event->timerId());
        return;
    }
    timer.stop();
    emit timed_out();
}
