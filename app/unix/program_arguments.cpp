#include "app/program_arguments.h"

// Here argv holds the bytes as typed.
QList<QByteArray> program_arguments(int argc, char *argv[])
{
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    return arguments;
}
