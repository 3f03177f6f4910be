#include "app/session_end.h"

#include "base/err.h"
#include "base/log.h"
#include "config/devices.h"
#include "exchange/engine.h"

#include <QCoreApplication>
#include <QThread>

void stop_at_session_end(Engine &engine)
{
    const bool connected = QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &engine, [&engine] {
        if (QThread::currentThread()->loopLevel() == 0 || !engine.isRunning())
            return;
        log_line(QCoreApplication::translate("log", "Сеанс пользователя завершается: программа закрывает соединения и завершается."));
        log_devices_lost();
        engine.stop(Engine::stop_timeout_ms);
    });
    if (!connected)
        log_unexpected(place_code(1, 6));
}
