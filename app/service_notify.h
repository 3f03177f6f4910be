#pragma once

#include <QByteArray>

#include <chrono>

// What a service manager hears of the program, in systemd's notification protocol: where a
// manager that listens started it (NOTIFY_SOCKET), one datagram of lines such as "READY=1"
// per call; elsewhere, and where the build has no such sockets, nothing at all.
bool service_manager_listens();
void notify_service_manager(const QByteArray &lines);

// The watchdog period the manager set for this process (WatchdogSec=), zero for none.
std::chrono::milliseconds service_watchdog_period();
