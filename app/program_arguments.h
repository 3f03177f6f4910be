#pragma once

#include <QByteArray>
#include <QList>

// The arguments after the program's own name, as the user typed them, in UTF-8; the
// application object must exist and have taken its own options out of argv.
QList<QByteArray> program_arguments(int argc, char *argv[]);
