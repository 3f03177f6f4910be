#pragma once

// Commands typed into the running simulator program (one per line on its standard input), so that a
// trial can change the device list, inject messages and switch faults without a restart.

#include <QString>

class Sim_server;

// Carries out one command line and returns the answer to print (several lines for "help" and
// "stats"). Unknown or bad commands give an answer starting with "error:".
QString execute_console_command(Sim_server &sim, const QString &line);
