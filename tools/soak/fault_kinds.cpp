#include "soak/fault_kinds.h"

#include <QStringList>

const QVector<Fault_kind_info> &fault_kinds()
{
    static const QVector<Fault_kind_info> kinds = {
        {Fault_kind::link_close, QStringLiteral("close"), true},
        {Fault_kind::link_abort, QStringLiteral("abort"), true},
        {Fault_kind::late_reply, QStringLiteral("late"), true},
        {Fault_kind::refused_send, QStringLiteral("refuse"), false},
        {Fault_kind::client_killed, QStringLiteral("kill"), false},
        {Fault_kind::client_replaced, QStringLiteral("replace"), false},
        {Fault_kind::packet_lost, QStringLiteral("lose"), false},
        {Fault_kind::modem_restarted, QStringLiteral("restart"), false},
    };
    return kinds;
}

const Fault_kind_info &fault_info(Fault_kind kind)
{
    for (const Fault_kind_info &info : fault_kinds()) {
        if (info.kind == kind)
            return info;
    }
    return fault_kinds().front();
}

std::optional<QVector<Fault_kind>> parse_fault_kinds(const QString &names, QString *error)
{
    QVector<Fault_kind> kinds;
    for (const QString &name : names.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (name == QLatin1String("all")) {
            for (const Fault_kind_info &info : fault_kinds())
                kinds.append(info.kind);
            continue;
        }
        bool known = false;
        for (const Fault_kind_info &info : fault_kinds()) {
            if (info.name == name) {
                kinds.append(info.kind);
                known = true;
            }
        }
        if (!known) {
            QStringList all;
            for (const Fault_kind_info &info : fault_kinds())
                all.append(info.name);
            *error = QStringLiteral("unknown fault \"%1\" (known: %2, all)").arg(name, all.join(QStringLiteral(", ")));
            return std::nullopt;
        }
    }
    if (kinds.isEmpty()) {
        *error = QStringLiteral("no fault kinds given");
        return std::nullopt;
    }
    return kinds;
}
