#include "exchange/engine.h"

#include "base/err.h"
#include "base/log.h"
#include "exchange/exchange_dispatcher.h"
#include "exchange/modem_servers.h"
#include "link/ws_connection.h"
#include "shared/shared_state.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutexLocker>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

constexpr unsigned link_module = 7;
constexpr unsigned engine_module = 9;

qint64 steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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

void Engine::start(Priority priority)
{
    // The thread deletes its dispatcher when it ends; a running one keeps the one it has.
    if (!isRunning() && !eventDispatcher()) {
        if (auto dispatcher = new_exchange_dispatcher())
            setEventDispatcher(dispatcher.release());
    }
    QThread::start(priority);
}

bool Engine::stop(unsigned long timeout_ms)
{
    on_shutdown();
    return wait(timeout_ms);
}

void Engine::on_shutdown()
{
    QMutexLocker lock(&state_mutex);
    state_flags |= shutdown_requested;
    // Under the lock the registered link cannot go away; the call is only posted.
    if (auto *link = qobject_cast<Ws_connection *>(registered_ws_connection))
        QMetaObject::invokeMethod(link, &Ws_connection::on_shutdown, Qt::QueuedConnection);
}

void Engine::update_servers()
{
    QMutexLocker lock(&state_mutex);
    if (registered_ws_connection)
        QMetaObject::invokeMethod(registered_ws_connection, [servers = servers_in_thread] { servers->update(); },
                                  Qt::QueuedConnection);
}

void Engine::ping()
{
    // A thread that hangs while it holds the lock must not hang the caller as well: its
    // missing answer tells enough.
    if (!state_mutex.tryLock())
        return;
    if (registered_ws_connection)
        QMetaObject::invokeMethod(registered_ws_connection, [this] { answered_ms.store(steady_ms()); },
                                  Qt::QueuedConnection);
    state_mutex.unlock();
}

std::chrono::milliseconds Engine::since_answer() const
{
    return std::chrono::milliseconds(steady_ms() - answered_ms.load());
}

void Engine::relay(Ws_connection &link, Modem_servers &servers)
{
    // Direct, so that each report makes a single queued hop to the main thread's receivers.
    if (!connect(&link, &Ws_connection::servers_changed, this, &Engine::servers_changed, Qt::DirectConnection)
        || !connect(&servers, &Modem_servers::servers_changed, this, &Engine::servers_changed, Qt::DirectConnection))
        log_unexpected(place_code(link_module, 11));
    if (!connect(&servers, &Modem_servers::clients_changed, this, &Engine::clients_changed, Qt::DirectConnection))
        log_unexpected(place_code(link_module, 12));
    if (!connect(&link, &Ws_connection::fatal_error, this, &Engine::fatal_error, Qt::DirectConnection))
        log_unexpected(place_code(engine_module, 2));
    if (!connect(&servers, &Modem_servers::wound_up, &servers, [this] { exit(0); }))
        log_unexpected(place_code(engine_module, 3));
}

void Engine::run()
{
    answered_ms.store(steady_ms());
    try {
        // The servers outlive the link, whose end drops them.
        Modem_servers servers;
        servers_in_thread = &servers;
        Ws_connection link(servers);
        servers.attach(link.downlinks());
        relay(link, servers);
        link.start_connect();
        exec();
    } catch (const The_end &) {
    } catch (const std::exception &e) {
        log_exception(e, QCoreApplication::translate("log", "Аварийное завершение нити обмена."));
    } catch (...) {
        log_unexpected(place_code(engine_module, 1));
    }
    ended.store(true);
}
