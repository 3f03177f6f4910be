#include "exchange/descriptor_shortage.h"

#include "base/descriptors.h"
#include "base/log.h"

#include <QCoreApplication>

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 quiet_ms = 60 * 1000;

}

long ports_that_fit()
{
    const long limit = descriptor_limit();
    const long open = open_descriptor_count();
    if (limit <= 0 || open < 0)
        return std::numeric_limits<long>::max();
    const long headroom = std::max(32L, limit / 32);
    return std::max(0L, limit - open - headroom);
}

void Descriptor_shortage::modems_without_port(int count)
{
    without_port = count;
    if (count > 0)
        tell();
}

void Descriptor_shortage::client_not_accepted()
{
    tell();
}

void Descriptor_shortage::tell()
{
    if (since_told.isValid() && since_told.elapsed() < quiet_ms)
        return;
    since_told.start();
    const long limit = descriptor_limit();
    log_line(QCoreApplication::translate(
                 "log", "Не хватает дескрипторов файлов (ограничение процесса: %1). Обслуживаемых радиомодемов без "
                        "порта TCP: %2, новые клиенты могут не подключиться. Увеличьте ограничение (LimitNOFILE= в "
                        "службе systemd, ulimit -n перед запуском программы) или обслуживайте меньше радиомодемов; "
                        "порты откроются при следующем списке устройств, когда дескрипторы освободятся.")
                 .arg(limit > 0 ? QString::number(limit) : QCoreApplication::translate("log", "неизвестно"))
                 .arg(without_port));
}
