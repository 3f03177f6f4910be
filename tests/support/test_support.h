#pragma once

#include <QString>
#include <QtGlobal>

class QTemporaryDir;

// Fixtures shared by the test programs.

// The whole current log file; empty when there is none yet.
QString log_contents();

// Logs to a file of its own in dir for the current test function (and data row).
void log_per_test(const QTemporaryDir &dir);

// A TCP port that was free a moment ago on every address, as a server of the program binds it.
quint16 free_port();

// Settings, served devices and the state shared with the exchange thread back to those
// of a fresh process, for test programs that run many cases in one process.
void reset_process_state();
