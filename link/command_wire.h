#pragma once

#include "link/command_table.h"
#include "link/link_wire.h"

#include <QBasicTimer>
#include <QObject>
#include <QString>

class QWebSocket;

// The link's one place on the wire: sends a command (traced as trace_ws asks), remembers
// which reply it awaits, and times the wait as the command's row says. Lives in the
// exchange thread, beside the socket it sends on.
class Command_wire : public QObject, public Link_wire {
    Q_OBJECT
    Q_DISABLE_COPY(Command_wire)

public:
    explicit Command_wire(QWebSocket &socket);

    // Sends the command, whose reply is awaited from now on. False, after fatal, when the
    // wait cannot be timed.
    bool send(Command_kind kind, const QString &text) override;
    // The reply awaited, which decides how the next message is read and what a failure
    // costs.
    Command_kind awaited() const { return kind; }
    // The awaited reply has been read: its wait is over.
    void reply_read() override { timer.stop(); }
    // Nothing is on the wire: whatever the server sends now comes unasked.
    void free() override { kind = Command_kind::idle; }
    // The connection failed or is not ready yet: no message may come.
    void reset();

signals:
    // The awaited reply did not come in time.
    void timed_out();
    // The link cannot go on (a timer could not be started): the text says why.
    void fatal(const QString &text);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    QWebSocket &socket;
    QBasicTimer timer;
    Command_kind kind = Command_kind::unready;
};
