#pragma once

#include <QByteArray>
#include <QList>

// Process exit codes.
enum Exit_code {
    exit_ok = 0,
    exit_command_line_error = 1,
    exit_log_not_writable = 2,
    exit_failure = 3,
};

// The whole run of the program in the application object that the caller has
// made: command line, start-up, event loop, teardown. Returns the exit code.
int run_program(const QList<QByteArray> &arguments);

// The help box; returns when the user has closed it.
void show_help();

class Engine;
class Main_window;

// Start-up's wiring of the window to the exchange thread: the counts it shows, its shutdown
// request, and the error box and end of the program after a fatal stop of the link.
void wire_window(Main_window &window, Engine &engine);
