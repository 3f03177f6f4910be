#pragma once

#include <QHostAddress>
#include <QSsl>
#include <QSslCertificate>
#include <QString>

#include <cstdint>
#include <vector>

enum class Trace_level : int {
    err = 0,
    bad_frames = 1,
    all = 2
};

// A network of tcp_allow: its address, host bits clear, and the length of its prefix.
struct Ip_network {
    QHostAddress address;
    int prefix_length;
};

// The configuration of the process, read once at start-up and only read afterwards.
struct Settings {
    QString ws_url;
    QSslCertificate ws_cert;                 // null when no certificate is pinned
    QSsl::EncodingFormat ws_cert_format = QSsl::Pem;
    QString ws_login;
    QString ws_password;
    std::uint16_t ws_connect_timeout = 10000;
    std::uint16_t ws_auth_timeout = 3000;
    std::uint16_t ws_reconnect_delay = 3000;
    std::uint16_t ws_devlist_period = 10000;
    std::uint16_t ws_devlist_timeout = 3000;
    std::uint16_t ws_data_timeout = 3000;
    QString devices_file = QStringLiteral("devices.cfg");
    std::uint32_t default_max_frame = 51;
    std::uint32_t interframe_delay = 15;
    std::uint32_t modbus_timeout = 10000;    // a radio round trip takes seconds
    Trace_level trace_ws = Trace_level::bad_frames;
    Trace_level trace_tcp = Trace_level::bad_frames;
    QHostAddress tcp_listen{QHostAddress::Any};  // every local IPv4 and IPv6 address
    std::vector<Ip_network> tcp_allow;           // empty: a client may come from anywhere
};

// The one record of the process.
extern Settings settings;

// Back to the defaults; for tests that run many cases in one process.
void reset_settings();

// Reads the configuration file into `settings`; throws Err with a positioned message.
void read_config(const QString &file_name);
