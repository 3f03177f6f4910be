#include "app/engine.h"

#include "app/err.h"
#include "app/log.h"
#include "app/shared_state.h"
#include "link/ws_connection.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutexLocker>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

// Long enough for peers to see their connections closed, short enough not to hang an exit.
constexpr unsigned long stop_timeout_ms = 5000;

}

Engine::~Engine()
{
    wind_up(0);
}

void Engine::wind_up(int exit_code)
{
    if (isRunning() && !stop(stop_timeout_ms)) {
        std::fflush(nullptr);
        std::_Exit(exit_code);
    }
}

bool Engine::stop(unsigned long timeout_ms)
{
    {
        QMutexLocker lock(&state_mutex);
        state_flags |= shutdown_requested;
        // Under the lock the registered link cannot go away; the call is only posted.
        if (registered_ws_connection)
            QMetaObject::invokeMethod(registered_ws_connection, &Ws_connection::on_shutdown,
                                      Qt::QueuedConnection);
    }
    return wait(timeout_ms);
}

void Engine::run()
{
    try {
        Ws_connection link(*this);
        link.start_connect();
        exec();
    } catch (const The_end &) {
    } catch (const std::exception &e) {
        log_exception(e, QCoreApplication::translate("log", "Аварийное завершение нити обмена."));
    } catch (...) {
        log_unexpected(place_code(9, 1));
    }
    ended.store(true);
}
