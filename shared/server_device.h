#pragma once

#include <QString>
#include <QtGlobal>

// One modem as the network server knows it.
struct Server_device {
    quint64 eui = 0;
    // Empty when the server gave no name.
    QString name;
};
// A list of them grows by moving its memory.
Q_DECLARE_TYPEINFO(Server_device, Q_MOVABLE_TYPE);
