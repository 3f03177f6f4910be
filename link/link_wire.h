#pragma once

#include "link/command_table.h"

#include <QString>

// Where the link's traffic puts its commands: the one place on the wire (Command_wire; tests
// use a recording stand-in). Everything runs in the exchange thread.
class Link_wire {
public:
    // Sends the command, whose reply is awaited from now on. False when the link cannot go
    // on (the wait could not be timed).
    virtual bool send(Command_kind kind, const QString &text) = 0;
    // The awaited reply has been read: its wait is over.
    virtual void reply_read() = 0;
    // Nothing is on the wire: whatever the server sends now comes unasked.
    virtual void free() = 0;

protected:
    ~Link_wire() = default;
};
