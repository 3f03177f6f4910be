#pragma once

#include <QString>
#include <QtGlobal>

#include <cstddef>

// The commands the link sends to the network server.
enum class Command_kind { auth_req, get_device_appdata_req, send_data_req };

// How messages name an outstanding command.
QString command_name(Command_kind command);

// The login and password are escaped as JSON strings, so that any text stays inside them.
QString auth_req_text(const QString &login, const QString &password);
QString devlist_req_text();
// Downlink data for one modem: the byte 0x04 before the client's bytes, on LoRa port 2.
QString send_data_req_text(quint64 eui, const char *data, std::size_t size);

// The text as the contents of a JSON string: quotation mark, backslash and control
// characters escaped.
QString json_escaped(const QString &text);
