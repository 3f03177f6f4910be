#pragma once

#include "base/state_mutex.h"
#include "shared/server_device.h"

#include <QMap>
#include <QVector>
#include <QtGlobal>

class QObject;

// State shared by the main thread and the exchange thread. Every variable here is
// guarded by state_mutex.

// What the window and the dialogs show of a modem's running TCP server.
struct Port_view {
    quint16 port = 0;
    bool client = false;
};

// Bits of state_flags.
constexpr quint8 link_started = 0x01;
constexpr quint8 link_ready = 0x02;
constexpr quint8 servers_changed_pending = 0x04;
constexpr quint8 clients_changed_pending = 0x08;
// Set when the user asks to exit; never cleared.
constexpr quint8 shutdown_requested = 0x10;

extern quint8 state_flags;
extern QObject *registered_main_window;
extern QObject *registered_ws_connection;
// The running server of every reachable served modem, by EUI, as the exchange thread keeps
// it up to date for the window (the servers themselves are Modem_servers').
extern QMap<quint64, Port_view> port_views;
// How many of the port_views have a client at the moment.
extern int clients_count;
// The modems of the last device list, by ascending EUI, without duplicates.
extern QVector<Server_device> reachable_modems;

// Back to the state of a fresh process; for tests that run many cases in one process.
void reset_shared_state();

// Registration of the one window and the one link, so that others can reach them.
// Both throw Debug when one of the kind is already registered; the link also throws
// The_end when shutdown has been requested.
void register_main_window(QObject *window);
void unregister_main_window(QObject *window);
void register_ws_connection(QObject *link);
void unregister_ws_connection(QObject *link);

// Exchange-thread side of the change notifications. Call with state_mutex held, after
// changing what the window shows; true means no notification is on its way yet, so the
// caller must emit the signal once it has unlocked.
bool note_servers_changed();
bool note_clients_changed();
// link_started and link_ready become as in bits, and both notifications are noted; returns
// what note_servers_changed returns.
bool note_link_state(quint8 bits);

// Main-thread side: what the window shows, copied under the lock.
struct Link_view {
    quint8 flags = 0;
    int servers = 0;
    int clients = 0;
};
// Copies flags, the number of servers and clients, and clears both pending bits.
Link_view take_servers_view();
// Copies flags and the number of clients (servers stays 0) and clears clients_changed_pending.
Link_view take_clients_view();
