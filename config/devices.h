#pragma once

#include "config/served_devices_model.h"

#include <QString>

// Sixteen upper-case hexadecimal digits, no prefix.
QString format_eui(Eui eui);

// Empties the served modems; for tests that run many cases in one process.
void reset_devices();

// Fills served_model from the devices file named in the settings; throws Err with a
// positioned message. A repeated EUI or port is logged and the later statement dropped;
// a modem that cannot be served is kept and logged.
void read_devices();
// Replaces the devices file with the served modems in one step; throws Err on failure, with
// the cause and the file's full path, and the old file stays as it was.
void write_devices();

// Since a save failed and until one succeeds, the list in use differs from the file: the
// line that says so (the file and the cause), empty while the two agree.
QString devices_unsaved();
// As the program ends: logs, when the list in use is not saved, that its changes are lost.
void log_devices_lost();
