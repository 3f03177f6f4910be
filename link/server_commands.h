#pragma once

#include <QString>
#include <QtGlobal>

#include <cstddef>

// The messages of the commands the link sends to the network server; their kinds, names and
// reply handlers are rows of link/command_table.h.

// The login and password are escaped as JSON strings, so that any text stays inside them.
QString auth_req_text(const QString &login, const QString &password);
QString devlist_req_text();
// Downlink data for one modem: the byte 0x04 before the client's bytes, on LoRa port 2.
QString send_data_req_text(quint64 eui, const char *data, std::size_t size);

// The text as the contents of a JSON string: quotation mark, backslash and control
// characters escaped.
QString json_escaped(const QString &text);
