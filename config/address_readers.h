#pragma once

#include "config/settings.h"

#include <vector>

class Utf8_file_parser;

// Addresses are written bare: IPv4 as four decimal numbers with dots, IPv6 in any of its
// usual forms (a scope may follow "%"). Errors stand at the first character of the address.

// The value of tcp_listen: one address.
QHostAddress read_listen_address(Utf8_file_parser &p);

// The value of tcp_allow: networks address[/prefix length] separated by commas; a comma at
// the end of a line continues the list on the next. Without a prefix the entry is one host.
std::vector<Ip_network> read_allowed_networks(Utf8_file_parser &p);
