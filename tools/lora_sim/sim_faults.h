#pragma once

// Faults the simulated network server can be told to commit, so that the program's handling of a
// misbehaving server can be tried. Changes take effect from the next received message.

#include <QSet>
#include <QString>
#include <QtGlobal>

#include <optional>

// What the server does with one command instead of (or before) its normal reply.
enum class Reply {
    normal,      // the proper reply
    none,        // no reply at all
    reject,      // "status":false, with "err_string" when Sim_faults::err_string is not empty
    incomplete,  // positive reply without its main field ("status", "devices_list" or "append_status")
    malformed,   // text that is not valid JSON
    binary,      // the proper reply sent as a binary frame
    close,       // the server closes the connection instead of replying
    custom       // Reply_fault::custom_text sent as it is
};

struct Reply_fault {
    Reply reply = Reply::normal;
    int delay_ms = 0;     // the reply (or the close) comes this much later
    int times = -1;       // commands the fault applies to before it turns itself off; -1 = all
    QString custom_text;  // for Reply::custom
};

struct Sim_faults {
    Reply_fault auth;        // auth_req
    Reply_fault devlist;     // get_device_appdata_req
    Reply_fault send_data;   // send_data_req
    QString err_string = QStringLiteral("Simulated failure");
    QSet<quint64> append_false;  // downlinks to these modems get "append_status" false
    int close_after = 0;         // close a connection on its N-th received message, unanswered; 0 = never
    bool lowercase_eui = false;  // write EUIs in lowercase in the device list and "rx" messages
};

// Reads "MODE[:DELAY_MS[:TIMES]]" with MODE one of normal, none, reject, incomplete, malformed,
// binary, close. Returns nothing on a bad text.
std::optional<Reply_fault> parse_reply_fault(const QString &text);
