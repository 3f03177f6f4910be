#pragma once

#include "base/err.h"
#include "config/served_devices_model.h"
#include "shared/shared_state.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>

class QProcess;
class QTcpSocket;
class QTemporaryDir;

// Fixtures shared by the test programs.

// The whole current log file; empty when there is none yet.
QString log_contents();

// Logs to test.log in dir; false when dir could not be made.
bool log_in(const QTemporaryDir &dir);

// Logs to an empty test.log in dir and gives its name; "" when dir could not be made.
QString fresh_log_in(const QTemporaryDir &dir);

// Logs to a file of its own in dir for the current test function (and data row).
void log_per_test(const QTemporaryDir &dir);

// A TCP port that was free a moment ago on every address, as a server of the program binds it,
// and not given by an earlier call; 0 when none was found.
quint16 free_port();

// Read under state_mutex: link_started and link_ready of state_flags, the EUIs of the running
// TCP servers in ascending order, and what the window shows of one of them (port 0 when none
// runs).
quint8 link_state();
QList<quint64> server_euis();
Port_view port_view_of(quint64 eui);

// The modems that the server's device list names, as the link installs it.
void set_reachable(const QVector<Server_device> &modems);

// Settings, served devices and the state shared with the exchange thread back to those
// of a fresh process, for test programs that run many cases in one process.
void reset_process_state();

// The toolkit remembers an asked end of the application until its next event loop has run,
// and meanwhile ends every modal loop at once: cases that exit the program call this after.
void forget_application_exit();

// The real program as a process of its own, started in the folder under the offscreen platform
// with the arguments and the environment variables more ("NAME=value"). A bash command line in
// `shell` runs first and then gives way to the program (to set its limits). None when it did not
// start.
std::unique_ptr<QProcess> start_program(const QString &folder, const QStringList &arguments,
                                        const QStringList &environment = QStringList(),
                                        const QString &shell = QString());
// Kills the program, should it still run, and waits for its end.
void end_program(QProcess *program);

// Adds a modem to the served ones, as the add dialog does; throws Err on a taken EUI or port.
void add_served(quint64 eui, quint16 port, int max_frame = 51, Device_mode mode = Device_mode::raw);

// Runs read and gives the message of the Err it throws, or "" when none is thrown.
template <typename F>
QString error_of(F read)
{
    try {
        read();
    } catch (const Err &e) {
        return e.message();
    }
    return QString();
}

// The error text of a server message that is wrong at this column and line.
QString positioned(int column, int line, const QString &text);

// Waits for n bytes from the peer (or the time-out) and returns what has come.
QByteArray receive(QTcpSocket &socket, int n);

// A whole uplink group in one packet of type 0x03, as the simulator's modems send it.
QByteArray packet(const QByteArray &data);
