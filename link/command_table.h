#pragma once

#include "link/server_protocol.h"

#include <QString>

#include <cstdint>

struct Settings;

// What the link waits for on its connection: the reply to one of its commands, or none.
// It decides how the next text message is read and how a failure meanwhile ends.
enum class Command_kind {
    // No message may come: the link is not authorised yet, or its connection failed.
    unready,
    auth_req,
    get_device_appdata_req,
    send_data_req,
    // The link is ready and no command is on the wire: only unsolicited messages come.
    idle,
};

// What a failure costs: before authorisation no server was started, after it every server stops.
enum class Failure_end { before_ready, link_lost };

// Which family of log lines tells a failure.
enum class Failure_texts { reply_awaited, connect_failed, link_lost };

// One row per kind: a new command is a row here plus its reply handler in Server_protocol.
struct Command_row {
    Server_protocol::Handler reply_handler;
    // How the log names the command; empty for the kinds without one.
    QString name;
    // The setting that bounds the wait for the reply; none for the kinds without a command.
    std::uint16_t Settings::*timeout;
    // The internal error when the time-out cannot be started.
    unsigned timer_place;
    Failure_end end;
    Failure_texts texts;
};

const Command_row &command_row(Command_kind kind);

// How messages name an outstanding command.
QString command_name(Command_kind kind);

// What went wrong with the connection while the link waited.
struct Link_failure {
    enum class Event { error, disconnected, timeout };

    // A socket error with its number and string.
    static Link_failure error(int code, const QString &text) { return {Event::error, code, text, false}; }
    static Link_failure disconnected(bool shutting_down) { return {Event::disconnected, 0, QString(), shutting_down}; }
    static Link_failure timeout() { return {Event::timeout, 0, QString(), false}; }

    Event event;
    int error_code;
    QString error_string;
    bool shutting_down;
};

// The line that tells the failure in the log; empty when none is written.
QString failure_line(Command_kind kind, const Link_failure &failure);

// "The connection could not be made", also written where no table row applies.
QString connect_failed_text();
