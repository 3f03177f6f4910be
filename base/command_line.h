#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The configuration file named by --cfg (bytes as typed, decoded as UTF-8 when used).
QByteArray config_file_name();
void set_config_file_name(const QByteArray &name);
// Back to the default name; for tests that run many cases in one process.
void reset_config_file_name();

constexpr const char default_config_file_name[] = "quvo_vevi2zar.cfg";
constexpr const char default_log_file_name[] = "quvo_vevi2zar.log";

// The word after "-", "--" or "/" asks for help; letter case exactly as listed.
bool is_help_word(const QByteArray &word);

// What the command line asks for. Reading it shows nothing, so that the
// caller decides how to show the help or the error.
struct Command_line {
    enum class Kind { run, help, error };

    Kind kind = Kind::run;
    // The error message for Kind::error.
    QString message;
    // The names to use for Kind::run: the defaults unless given.
    QByteArray config_file = default_config_file_name;
    QByteArray log_file = default_log_file_name;
};

// Reads the arguments after the program's own name.
Command_line read_command_line(const QList<QByteArray> &arguments);

QString help_title();
QString help_text();
