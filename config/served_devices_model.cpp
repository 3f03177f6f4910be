#include "config/served_devices_model.h"

#include "base/err.h"
#include "base/log.h"
#include "base/state_mutex.h"
#include "config/devices.h"

#include <QCoreApplication>
#include <QMutexLocker>

Served_devices_model served_model;
// Bound after served_model in this file, so before any use.
const Served_devices &served_devices = served_model.devices();

namespace {

// The codes of the list's dialog and of the edit dialog, where these checks began.
constexpr unsigned list_module = 3;
constexpr unsigned edit_module = 5;

Clash_error eui_taken(Eui eui)
{
    return {Served_devices_model::Clash::eui,
            QCoreApplication::translate("add_device",
                                        "Радиомодем с адресом 0x%1 уже есть в списке радиомодемов, "
                                        "подлежащих обслуживанию.")
                .arg(format_eui(eui))};
}

Clash_error port_taken(std::uint16_t port)
{
    return {Served_devices_model::Clash::port,
            QCoreApplication::translate("add_device",
                                        "Порт TCP %1 уже занят (другим радиомодемом из списка радиомодемов, "
                                        "подлежащих обслуживанию).")
                .arg(port)};
}

} // namespace

Served_devices_model::Clash Served_devices_model::try_add(const Device_entry &entry)
{
    if (by_eui.count(entry.eui) != 0)
        return Clash::eui;
    if (by_port.count(entry.params.tcp_port) != 0)
        return Clash::port;
    insert(entry);
    return Clash::none;
}

void Served_devices_model::add(const Device_entry &entry)
{
    switch (try_add(entry)) {
    case Clash::none:
        return;
    case Clash::eui:
        throw eui_taken(entry.eui);
    case Clash::port:
        throw port_taken(entry.params.tcp_port);
    }
}

void Served_devices_model::replace(Eui old_eui, const Device_entry &entry)
{
    const auto record = by_eui.find(old_eui);
    if (record == by_eui.end())
        throw Debug(place_code(edit_module, 3));
    const Device_params old = record->second;
    const bool port_changed = entry.params.tcp_port != old.tcp_port;
    if (port_changed && by_port.count(entry.params.tcp_port) != 0)
        throw port_taken(entry.params.tcp_port);
    const bool eui_changed = entry.eui != old_eui;
    if (!eui_changed && !port_changed && entry.params.max_frame == old.max_frame
        && entry.params.mode == old.mode)
        throw Err(QCoreApplication::translate(
            "edit_device",
            "Ничего не изменилось.\n"
            "Если вы не хотите ничего менять, закройте диалог кнопкой «Отмена»."));
    if (eui_changed && by_eui.count(entry.eui) != 0)
        throw eui_taken(entry.eui);

    // Found before the record may go away, so that no stale entry is compared.
    const auto old_port_entry = by_port.find(old.tcp_port);
    const bool old_port_known = old_port_entry != by_port.end() && old_port_entry->second == record;
    Served_devices::iterator edited = record;
    {
        QMutexLocker lock(&state_mutex);
        if (eui_changed) {
            by_eui.erase(record);
            edited = by_eui.emplace(entry.eui, entry.params).first;
        } else {
            edited->second = entry.params;
        }
    }
    if (port_changed || eui_changed) {
        if (!old_port_known)
            log_unexpected(place_code(edit_module, 1));
        else if (port_changed)
            by_port.erase(old_port_entry);
        by_port[entry.params.tcp_port] = edited;
    }
}

void Served_devices_model::remove(Eui eui)
{
    const auto record = by_eui.find(eui);
    if (record == by_eui.end())
        throw Debug(place_code(list_module, 9));
    const auto port = by_port.find(record->second.tcp_port);
    if (port != by_port.end() && port->second == record)
        by_port.erase(port);
    else
        log_unexpected(place_code(list_module, 6));
    QMutexLocker lock(&state_mutex);
    by_eui.erase(record);
}

void Served_devices_model::clear()
{
    by_port.clear();
    QMutexLocker lock(&state_mutex);
    by_eui.clear();
}

int Served_devices_model::first_free_port(int first) const
{
    int port = first;
    for (auto it = by_port.lower_bound(static_cast<std::uint16_t>(port));
         it != by_port.end() && it->first == port; ++it)
        ++port;
    return port <= 65535 ? port : -1;
}

bool Served_devices_model::consistent() const
{
    if (by_port.size() != by_eui.size())
        return false;
    for (const auto &port : by_port)
        if (port.second->second.tcp_port != port.first)
            return false;
    return true;
}

void Served_devices_model::insert(const Device_entry &entry)
{
    Served_devices::iterator record;
    {
        QMutexLocker lock(&state_mutex);
        record = by_eui.emplace(entry.eui, entry.params).first;
    }
    by_port.emplace(entry.params.tcp_port, record);
}
