#pragma once

#include <QString>
#include <QtGlobal>

// One modem as the network server knows it.
struct Server_device {
    quint64 eui = 0;
    // Empty when the server gave no name.
    QString name;
};
inline bool operator==(const Server_device &a, const Server_device &b)
{
    return a.eui == b.eui && a.name == b.name;
}
inline bool operator!=(const Server_device &a, const Server_device &b)
{
    return !(a == b);
}

// A list of them grows by moving its memory.
Q_DECLARE_TYPEINFO(Server_device, Q_MOVABLE_TYPE);
