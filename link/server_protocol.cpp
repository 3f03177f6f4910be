#include "link/server_protocol.h"

#include "base/err.h"
#include "base/log.h"
#include "config/devices.h"
#include "link/eui_sort.h"
#include "link/link_events.h"
#include "link/link_servers.h"
#include "link/server_message.h"
#include "shared/server_device.h"

#include <QCoreApplication>
#include <QVector>

#include <algorithm>
#include <utility>

namespace {

QString proto_text(const char *source)
{
    return QCoreApplication::translate("proto", source);
}

} // namespace

Server_protocol::Server_protocol(Link_events &link, Modem_uplinks &uplinks)
    : link(link), uplinks(uplinks)
{
}

void Server_protocol::read(const QString &text, Handler handler)
{
    found = Finding();
    reader.read_message(text.utf16(), [this, handler] { (this->*handler)(); });
    act();
}

// Only a message read to its end and found well formed reaches the link.
void Server_protocol::act()
{
    Finding finding = std::exchange(found, Finding());
    switch (finding.kind) {
    case Finding::Kind::nothing:
        break;
    case Finding::Kind::authorised:
        link.authorised();
        break;
    case Finding::Kind::devices_list:
        link.devices_list_complete();
        break;
    case Finding::Kind::command_complete:
        link.command_complete(finding.append_status);
        break;
    case Finding::Kind::modem_data:
        uplinks.deliver_modem_data(finding.eui, finding.data, finding.has_fcnt, finding.fcnt);
        break;
    }
}

template <typename Own>
void Server_protocol::read_object(Server_message &message, Own &&own)
{
    reader.expect_char('{');
    if (!reader.first_field())
        return;
    do {
        if (!own())
            read_message_field(reader, message);
    } while (reader.next_field());
}

void Server_protocol::handle_auth_resp()
{
    Server_message message;
    read_object(message, [] { return false; });
    if (check_reply(message, "auth_resp"))
        found.kind = Finding::Kind::authorised;
}

void Server_protocol::handle_devlist_resp()
{
    Server_message message;
    bool has_list = false;
    read_object(message, [this, &has_list] {
        if (!reader.match_field("devices_list", has_list))
            return false;
        read_devices_list();
        return true;
    });
    if (!check_reply(message, "get_device_appdata_resp")) {
        process_rx(message);
        return;
    }
    if (!has_list)
        throw Err(proto_text("Ответ сервера QUVO-LoRa \"get_device_appdata_resp\" помечен как успешный "
                             "(\"status\":true), но в нём нет поля \"devices_list\"."));
    found.kind = Finding::Kind::devices_list;
}

void Server_protocol::handle_send_data_resp()
{
    Server_message message;
    bool has_status = false;
    bool append_status = false;
    read_object(message, [this, &has_status, &append_status] {
        if (!reader.match_field("append_status", has_status))
            return false;
        append_status = read_append_status();
        return true;
    });
    if (!check_reply(message, "send_data_resp")) {
        process_rx(message);
        return;
    }
    if (!has_status)
        throw Err(proto_text("Ответ сервера QUVO-LoRa \"send_data_resp\" неправильный: в нём отсутствует "
                             "обязательное поле \"append_status\"."));
    found.kind = Finding::Kind::command_complete;
    found.append_status = append_status;
}

void Server_protocol::handle_unsolicited()
{
    Server_message message;
    read_object(message, [] { return false; });
    process_rx(message);
}

void Server_protocol::handle_unexpected()
{
    throw Debug(place_code(7, 154));
}

bool Server_protocol::check_reply(const Server_message &message, const char *expected)
{
    const QLatin1String name(expected);
    if (!message.has(Server_message::has_cmd))
        reader.fail(proto_text("в сообщении сервера QUVO-LoRa отсутствует обязательное поле \"cmd\" "
                               "(ожидается сообщение \"%1\").")
                        .arg(name));
    if (message.cmd != name)
        return false;
    if (!message.has(Server_message::has_status))
        reader.fail(proto_text("в ответе сервера QUVO-LoRa \"%1\" отсутствует обязательное поле \"status\".").arg(name));
    if (message.status)
        return true;
    if (message.has(Server_message::has_err_string))
        throw Err(proto_text("Сервер QUVO-LoRa отверг нашу команду (в ответе \"%1\" \"status\" равен «false»). "
                             "Сообщение об ошибке (\"err_string\"): «%2».")
                      .arg(name, message.err_string));
    throw Err(proto_text("Сервер QUVO-LoRa отверг нашу команду (в ответе \"%1\" \"status\" равен «false»).").arg(name));
}

void Server_protocol::process_rx(const Server_message &message)
{
    if (!message.has(Server_message::has_cmd) || message.cmd != QLatin1String("rx"))
        return;
    static const struct {
        quint8 bit;
        const char *name;
    } required[] = {{Server_message::has_devEui, "devEui"},
                    {Server_message::has_port, "port"},
                    {Server_message::has_data, "data"}};
    for (const auto &field : required) {
        if (!message.has(field.bit))
            reader.fail(proto_text("в сообщении \"rx\" отсутствует обязательное поле \"%1\".")
                            .arg(QLatin1String(field.name)));
    }
    if (message.has(Server_message::has_type) && message.type.contains(QLatin1String("REPEAT")))
        return;
    if (message.port != 2)
        return;
    found.kind = Finding::Kind::modem_data;
    found.eui = message.devEui;
    found.data = message.data;
    found.has_fcnt = message.has(Server_message::has_fcnt);
    found.fcnt = message.fcnt;
}

bool Server_protocol::read_append_status()
{
    reader.expect_char('[');
    if (!reader.array_not_empty())
        reader.fail(proto_text("неправильное поле \"append_status\": посылали одну команду, но в массиве нет "
                               "ни одного ответа."));
    reader.expect_char('{');
    bool has_eui = false;
    bool has_status = false;
    quint64 eui = 0;
    bool status = false;
    if (reader.first_field()) {
        do {
            if (reader.match_field("devEui", has_eui))
                eui = read_quoted_eui(reader);
            else if (reader.match_field("status", has_status))
                status = reader.read_bool();
            else
                reader.skip_field();
        } while (reader.next_field());
    }
    if (!has_eui)
        reader.fail(proto_text("в структуре \"append_status\" отсутствует обязательное поле \"devEui\"."));
    if (!has_status)
        reader.fail(proto_text("в структуре \"append_status\" отсутствует обязательное поле \"status\"."));
    if (reader.next_element())
        reader.fail(proto_text("неправильное поле \"append_status\": посылали одну команду, но в массиве указано "
                               "два или более ответов."));
    quint64 owner;
    if (link.in_flight_owner(owner) && owner != eui)
        reader.fail(proto_text("неправильный ответ на нашу команду \"send_data_req\": посылали команду устройству "
                               "с EUI=0x%1, а пришёл \"send_data_resp\" про устройство с EUI=0x%2.")
                        .arg(format_eui(owner), format_eui(eui)));
    return status;
}

bool Server_protocol::read_device(Server_device &device)
{
    reader.expect_char('{');
    bool has_eui = false;
    bool has_name = false;
    if (reader.first_field()) {
        do {
            if (reader.match_field("devEui", has_eui))
                device.eui = read_quoted_eui(reader);
            else if (reader.match_field("devName", has_name))
                reader.read_required_json_string(device.name);
            else
                reader.skip_field();
        } while (reader.next_field());
    }
    return has_eui;
}

void Server_protocol::read_devices_list()
{
    reader.expect_char('[');

    // One pass takes every entry that reads without a fault. From the first one that does
    // not, the rest is read in two passes, the first of which only checks and counts; so a
    // faulty list is refused with the message, at the place, that a check of the whole list
    // before reading any of it gives.
    QVector<Server_device> devices;
    if (reader.array_not_empty()) {
        for (;;) {
            Server_device device;
            const bool read = reader.attempt([this, &device] {
                // As deep as the checking pass sees the entry.
                const Ws_parser::Nesting entry(reader);
                return read_device(device);
            });
            if (!read) {
                read_devices_checked(devices);
                break;
            }
            devices.append(std::move(device));
            if (!reader.next_element())
                break;
        }
    }

    sort_by_eui(devices);
    auto kept = devices.begin();
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        if (it != devices.begin() && it->eui == (kept - 1)->eui) {
            log_line(proto_text("В ответе сервера QUVO-LoRa на команду 'get_device_appdata_req' обнаружено несколько "
                                "записей с одним и тем же EUI: 0x%1. Все записи кроме первой игнорируются.")
                         .arg(format_eui(it->eui)));
            continue;
        }
        if (kept != it)
            *kept = std::move(*it);
        ++kept;
    }
    devices.erase(kept, devices.end());
    link.devices_listed(std::move(devices));
}

void Server_protocol::read_devices_checked(QVector<Server_device> &devices)
{
    const unsigned short *const start = reader.cur;
    const unsigned short *const start_line_start = reader.line_start;
    const auto start_line = reader.line;
    int count = 0;
    do {
        reader.skip_value();
        ++count;
    } while (reader.next_element());
    reader.cur = start;
    reader.line_start = start_line_start;
    reader.line = start_line;

    devices.reserve(devices.size() + count);
    for (int i = 0; i < count; ++i) {
        Server_device device;
        if (!read_device(device))
            reader.fail(proto_text("в возвращённом сервером QUVO-LoRa описании устройства отсутствует "
                                   "обязательное поле \"devEui\"."));
        devices.append(std::move(device));
        reader.next_element();
    }
}
