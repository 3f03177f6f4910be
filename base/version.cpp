#include "base/version.h"

#include "base/build_info.h"

#include <QCoreApplication>

QString version_text()
{
    return QCoreApplication::translate("about",
               "%1, версия %2 (%3), сборка %4 %5\n\n"
               "Эта программа через соединение WebSocket подключается к серверу QUVO-LoRa, а к этой программе, "
               "но уже через соединения TCP, подключаются клиенты, желающие получить доступ к устройствам, "
               "подключенным через RS-232 или RS-485 к радиомодемам, доступным через этот сервер QUVO-LoRa.")
        .arg(QString::fromUtf8(build_info::program_name), QString::fromUtf8(build_info::version),
             QString::fromUtf8(build_info::release_date), QString::fromUtf8(build_info::build_date),
             QString::fromUtf8(build_info::build_time));
}

QString startup_line()
{
    return QCoreApplication::translate("log", "%1, версия %2 (%3), сборка %4 %5: программа запускается...")
        .arg(QString::fromUtf8(build_info::program_name), QString::fromUtf8(build_info::version),
             QString::fromUtf8(build_info::release_date), QString::fromUtf8(build_info::build_date),
             QString::fromUtf8(build_info::build_time));
}
