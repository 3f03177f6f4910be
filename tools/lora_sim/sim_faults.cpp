#include "lora_sim/sim_faults.h"

#include <QStringList>

std::optional<Reply_fault> parse_reply_fault(const QString &text)
{
    static const QStringList modes = {
        QStringLiteral("normal"), QStringLiteral("none"), QStringLiteral("reject"), QStringLiteral("incomplete"),
        QStringLiteral("malformed"), QStringLiteral("binary"), QStringLiteral("close")};
    const QStringList parts = text.split(QLatin1Char(':'));
    const int mode = modes.indexOf(parts.at(0));
    if (mode < 0 || parts.size() > 3)
        return std::nullopt;
    Reply_fault fault;
    fault.reply = Reply(mode);
    bool ok = true;
    if (parts.size() > 1)
        fault.delay_ms = parts.at(1).toInt(&ok);
    if (ok && parts.size() > 2)
        fault.times = parts.at(2).toInt(&ok);
    if (!ok || fault.delay_ms < 0 || fault.times < -1)
        return std::nullopt;
    return fault;
}
