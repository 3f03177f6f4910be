#pragma once

#include <QString>

// The program's name, version and build, then a paragraph on what it does;
// shown in the help box and the About dialog.
QString version_text();

// The first log entry of every run.
QString startup_line();
