#pragma once

#include <QString>
#include <QtGlobal>

// One modem as the network server knows it.
struct Server_device {
    quint64 eui = 0;
    // Empty when the server gave no name.
    QString name;
};
