#include "shared/shared_state.h"

#include "base/err.h"
#include "base/log.h"
#include "shared/modem_traffic.h"

#include <QMutexLocker>

quint8 state_flags = 0;
QObject *registered_main_window = nullptr;
QObject *registered_ws_connection = nullptr;
QMap<quint64, Port_view> port_views;
int clients_count = 0;
QVector<Server_device> reachable_modems;

namespace {

constexpr unsigned window_module = 2;
constexpr unsigned link_module = 7;

} // namespace

void reset_shared_state()
{
    QVector<Server_device> old_modems;
    QMap<quint64, Modem_traffic> old_traffic;
    QMutexLocker lock(&state_mutex);
    state_flags = 0;
    registered_main_window = nullptr;
    registered_ws_connection = nullptr;
    port_views.clear();
    clients_count = 0;
    old_modems.swap(reachable_modems);
    old_traffic.swap(modem_traffic);
}

void register_main_window(QObject *window)
{
    QMutexLocker lock(&state_mutex);
    if (registered_main_window)
        throw Debug(place_code(window_module, 203));
    registered_main_window = window;
    state_flags &= ~(servers_changed_pending | clients_changed_pending);
}

void unregister_main_window(QObject *window)
{
    QMutexLocker lock(&state_mutex);
    if (registered_main_window == window)
        registered_main_window = nullptr;
    else
        log_unexpected(place_code(window_module, 112));
}

void register_ws_connection(QObject *link)
{
    QMutexLocker lock(&state_mutex);
    if (registered_ws_connection)
        throw Debug(place_code(link_module, 108));
    if (state_flags & shutdown_requested)
        throw The_end();
    registered_ws_connection = link;
    state_flags &= ~(servers_changed_pending | clients_changed_pending);
}

void unregister_ws_connection(QObject *link)
{
    QMutexLocker lock(&state_mutex);
    if (registered_ws_connection == link)
        registered_ws_connection = nullptr;
    else
        log_unexpected(place_code(link_module, 112));
}

bool note_servers_changed()
{
    const bool was_clear = !(state_flags & servers_changed_pending);
    state_flags |= servers_changed_pending;
    return was_clear;
}

bool note_clients_changed()
{
    const bool was_clear = !(state_flags & clients_changed_pending);
    state_flags |= clients_changed_pending;
    return was_clear;
}

bool note_link_state(quint8 bits)
{
    state_flags = (state_flags & ~(link_started | link_ready)) | (bits & (link_started | link_ready));
    const bool notify = note_servers_changed();
    note_clients_changed();
    return notify;
}

Link_view take_servers_view()
{
    Link_view view;
    QMutexLocker lock(&state_mutex);
    view.flags = state_flags;
    state_flags &= ~(servers_changed_pending | clients_changed_pending);
    view.servers = port_views.size();
    view.clients = clients_count;
    return view;
}

Link_view take_clients_view()
{
    Link_view view;
    QMutexLocker lock(&state_mutex);
    view.flags = state_flags;
    state_flags &= ~clients_changed_pending;
    view.clients = clients_count;
    return view;
}
