#include "app/program_arguments.h"

#include <QCoreApplication>
#include <QStringList>

// Here argv is in the ANSI code page, which has no Cyrillic letters on many PCs; the toolkit
// reads the wide command line, the names as typed.
QList<QByteArray> program_arguments(int, char *[])
{
    QList<QByteArray> arguments;
    const QStringList typed = QCoreApplication::arguments();
    for (int i = 1; i < typed.size(); ++i)
        arguments.append(typed.at(i).toUtf8());
    return arguments;
}
