#pragma once

#include <QtGlobal>

class Tcp_server;
class Ws_connection;

// One entry of the link's send queue: at most one command is on the wire at a time, and
// the next one is sent only after the reply to the previous one has been handled.
class Command {
    Q_DISABLE_COPY(Command)
public:
    Command() = default;
    virtual ~Command() = default;

    // Sends the command through the link and arms the wait for its reply.
    virtual void send(Ws_connection &link) = 0;
    // Called once the link is done with the command (answered or dropped unsent).
    virtual void release() = 0;

    // The queue's link; the queue owns the command while it is enqueued or in flight.
    Command *next = nullptr;
    // The server whose client produced the command, or none once it is detached.
    Tcp_server *owner = nullptr;
};
