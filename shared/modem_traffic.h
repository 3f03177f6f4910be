#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QtGlobal>

#include <deque>
#include <vector>

// What went between a modem and its clients since the program started, counted by its port
// in the exchange thread; a port that replaces another goes on with the same counts. Times
// are milliseconds since the epoch, 0 for never.
struct Modem_counters {
    quint64 messages_to_modem = 0;
    quint64 bytes_to_modem = 0;
    quint64 downlinks_refused = 0;
    quint64 groups_to_client = 0;
    quint64 bytes_to_client = 0;
    quint64 groups_abandoned = 0;
    quint64 repeats_dropped = 0;
    quint64 restarts_heard = 0;
    qint64 last_downlink = 0;
    qint64 last_uplink = 0;
    // The client served (a gateway's first master), empty when none, and since when.
    QString client;
    qint64 client_since = 0;
    // How many clients it has: a gateway may have several masters.
    int clients = 0;
};

// One line of a modem's monitor: bytes that went one way, or an event.
struct Monitor_row {
    enum class Kind : quint8 {
        to_modem,
        to_client,
        connected,
        replaced,
        disconnected,
        refused,
        abandoned,
        restart,
        rows_lost  // count rows were dropped before the main thread took them
    };
    qint64 time = 0;
    Kind kind = Kind::to_modem;
    QByteArray data;
    QString peer;
    quint64 count = 0;
};

// Rows wait for the main thread up to this many, the count of older ones dropped included.
constexpr int monitor_rows_kept = 1000;

// A modem's counts and, while some monitor watches it, its rows not yet taken.
struct Modem_traffic {
    Modem_counters counters;
    int watchers = 0;
    std::deque<Monitor_row> rows;
    quint64 rows_lost = 0;
};

// Under state_mutex, by EUI; an entry stays for the whole run once its modem has been heard of.
extern QMap<quint64, Modem_traffic> modem_traffic;

// Exchange-thread side, with state_mutex held: the row is kept only while the modem is watched.
void keep_monitor_row(Modem_traffic &traffic, Monitor_row row);

// Main-thread side; each locks state_mutex for a copy or an update.
// A monitor of the modem opens (rows are kept from now on) or closes.
void watch_modem(quint64 eui, bool watching);
struct Monitor_batch {
    Modem_counters counters;
    std::vector<Monitor_row> rows;
};
// The counts, and the rows kept since the last call, oldest first.
Monitor_batch take_monitor_batch(quint64 eui);
