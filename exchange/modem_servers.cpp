#include "exchange/modem_servers.h"

#include "base/log.h"
#include "config/devices.h"
#include "shared/shared_state.h"
#include "tcp/modbus_gateway.h"
#include "tcp/tcp_server.h"
#include "tcp/tcp_sockets.h"

#include <QCoreApplication>
#include <QMutexLocker>

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

namespace {

// The servers were the link's until they got a class of their own; their place codes stayed.
constexpr unsigned module = 7;

QString tr_log(const char *text)
{
    return QCoreApplication::translate("log", text);
}

} // namespace

Modem_servers::~Modem_servers()
{
    for (Modem_port *server : qAsConst(live))
        server->forget_link();
}

void Modem_servers::update()
{
    try {
        reconcile(false, false);
    } catch (const std::exception &e) {
        log_exception(e, tr_log("Не удалось обновить список блоков управления устройствами."));
    } catch (...) {
        log_unexpected(place_code(module, 7));
    }
}

void Modem_servers::reconcile(bool after_list, bool list_changed)
{
    bool changed = false;
    bool notify = false;
    int without_port = 0;
    // Counted only when a port is to open: the count reads a folder of every descriptor.
    long room = -1;
    QMutexLocker lock(&state_mutex);
    // The servers, the served devices and the reachable modems are all in EUI order: one walk
    // along them finds what to change, in time linear in a network's thousands of modems.
    auto reach = reachable_modems.cbegin();
    const auto reachable = [&reach](Eui eui) {
        while (reach != reachable_modems.cend() && reach->eui < eui)
            ++reach;
        return reach != reachable_modems.cend() && reach->eui == eui;
    };
    auto served = served_devices.cbegin();
    // While servers exist the link holds its own share of alive_count, so none of these
    // shutdowns can end the thread (which would read the shared state again).
    for (auto it = tcp_servers.begin(); it != tcp_servers.end();) {
        while (served != served_devices.cend() && served->first < it.key())
            ++served;
        if (served != served_devices.cend() && served->first == it.key() && reachable(it.key())) {
            ++it;
            continue;
        }
        it.value()->shutdown_server();
        port_views.remove(it.key());
        it = tcp_servers.erase(it);
        changed = true;
    }

    struct Start {
        Eui eui;
        Device_params params;
        Modem_port *running;  // with other parameters
    };
    std::vector<Start> starts;
    reach = reachable_modems.cbegin();
    auto running = tcp_servers.cbegin();
    for (const auto &[eui, params] : served_devices) {
        if (!reachable(eui) || !is_servable(params))
            continue;
        while (running != tcp_servers.cend() && running.key() < eui)
            ++running;
        Modem_port *server = running != tcp_servers.cend() && running.key() == eui ? running.value() : nullptr;
        if (!server || !server->serves(params))
            starts.push_back({eui, params, server});
    }

    const auto start_server = [this](const Start &start) {
        Modem_port *port = nullptr;
        if (start.params.mode == Device_mode::modbus_tcp)
            port = new Modbus_gateway(*this, downlinks, start.eui, start.params);
        else
            port = new Tcp_server(*this, downlinks, start.eui, start.params);
        tcp_servers.insert(start.eui, port);
        port_views.insert(start.eui, Port_view{start.params.tcp_port, false});
    };
    for (const Start &start : starts) {
        if (start.running) {
            // The old server gives up its port before the new one listens on it.
            start.running->shutdown_server();
            tcp_servers.remove(start.eui);
            port_views.remove(start.eui);
            changed = true;
            try {
                start_server(start);
            } catch (const Out_of_descriptors &) {
                ++without_port;
                room = 0;
            } catch (const std::exception &e) {
                log_exception(e, tr_log("Не удалось создать отредактированный блок управления устройством."));
            } catch (...) {
                log_unexpected(place_code(module, 4));
            }
            continue;
        }
        if (room < 0)
            room = ports_that_fit();
        if (room == 0) {
            ++without_port;
            continue;
        }
        try {
            start_server(start);
            changed = true;
            --room;
        } catch (const Out_of_descriptors &) {
            ++without_port;
            room = 0;
        } catch (const std::exception &e) {
            log_exception(e, tr_log("Не удалось создать блок управления устройством."));
        } catch (...) {
            const bool after_last = tcp_servers.upperBound(start.eui) == tcp_servers.end();
            log_unexpected(place_code(module, after_last ? 6 : 5));
        }
    }
    shortage.modems_without_port(without_port);
    if (after_list && !(state_flags & link_ready)) {
        notify = note_link_state(link_started | link_ready);
    } else if (changed || list_changed) {
        notify = note_servers_changed();
        note_clients_changed();
    }
    lock.unlock();
    if (notify)
        emit servers_changed();
}

void Modem_servers::link_dropped()
{
    QVector<Server_device> old_modems;
    QMap<Eui, Modem_port *> old_servers;
    bool notify = false;
    {
        QMutexLocker lock(&state_mutex);
        notify = note_link_state(0);
        old_modems.swap(reachable_modems);
        port_views.clear();
    }
    old_servers.swap(tcp_servers);
    for (Modem_port *server : qAsConst(old_servers))
        server->shutdown_server();
    if (notify)
        emit servers_changed();
}

bool Modem_servers::deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt)
{
    Modem_port *server = tcp_servers.value(eui, nullptr);
    if (!server)
        return false;
    server->on_modem_data(data, has_fcnt, fcnt);
    return true;
}

void Modem_servers::link_at_rest()
{
    decrement_alive_count();
}

void Modem_servers::note_client(const Modem_port *server, bool connected)
{
    const auto it = port_views.find(server->modem());
    // A server shut down for its successor no longer speaks for the modem.
    if (it != port_views.end() && tcp_servers.value(server->modem()) == server)
        it->client = connected;
}

void Modem_servers::client_count_changed()
{
    bool link_up = false;
    {
        QMutexLocker lock(&state_mutex);
        link_up = state_flags & link_started;
    }
    if (link_up)
        emit clients_changed();
}

void Modem_servers::server_started(Modem_port *server)
{
    live.insert(server);
    ++alive_count;
}

void Modem_servers::server_destroyed(Modem_port *server)
{
    live.remove(server);
    decrement_alive_count();
}

void Modem_servers::out_of_descriptors()
{
    shortage.client_not_accepted();
}

// The link gives up its share only once it has come to rest after shutdown, so a count of 0
// means that shutdown is complete.
void Modem_servers::decrement_alive_count()
{
    if (--alive_count == 0)
        emit wound_up();
}
