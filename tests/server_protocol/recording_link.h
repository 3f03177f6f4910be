#pragma once

#include "link/link_events.h"
#include "link/link_servers.h"
#include "shared/shared_state.h"

#include <QByteArray>
#include <QSet>
#include <QStringList>

// Stands in for the link and the servers: records every call the handlers make, and
// installs a device list as the link does.
class Recording_link : public Link_events, public Modem_uplinks {
public:
    void authorised() override { calls << QStringLiteral("authorised"); }
    void devices_listed(QVector<Server_device> devices) override { reachable_modems.swap(devices); }
    void devices_list_complete() override { calls << QStringLiteral("devices_list_complete"); }
    void command_complete(bool status) override
    {
        calls << QStringLiteral("command_complete %1").arg(status ? QLatin1String("true") : QLatin1String("false"));
    }
    bool in_flight_owner(quint64 &eui) const override
    {
        eui = owner;
        return has_owner;
    }
    bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) override
    {
        if (!running.contains(eui))
            return false;
        calls << QStringLiteral("modem_data %1 %2 %3 %4")
                     .arg(eui, 16, 16, QLatin1Char('0'))
                     .arg(QString::fromLatin1(data.toHex()))
                     .arg(has_fcnt ? QLatin1String("fcnt") : QLatin1String("no-fcnt"))
                     .arg(fcnt);
        return true;
    }

    QStringList calls;
    bool has_owner = true;
    quint64 owner = 0x0011223344556677;
    // EUIs with a running TCP server.
    QSet<quint64> running{0x0011223344556677};
};
