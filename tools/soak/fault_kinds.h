#pragma once

// The faults a soak run can inject, one row each. A fault either hits the whole server link (every
// client's connection is doomed: the program drops them all and serves them again once the link is
// back) or one client (only that client's connection is doomed). A new fault is a new row here and
// a case in Soak_run::apply.

#include <QString>
#include <QVector>

#include <optional>

enum class Fault_kind {
    link_close,       // the server closes the link with a closing handshake
    link_abort,       // the server drops the link's TCP connection
    late_reply,       // one send_data_resp comes after ws_data_timeout
    refused_send,     // one downlink of a client's modem gets "append_status" false
    client_killed,    // a client drops its connection (FIN or RST) while its reply is under way
    client_replaced,  // a second connection to the port replaces a client while its reply is under way
    packet_lost,      // one packet of a client's reply is lost on the radio
    modem_restarted,  // a client's modem counts fcnt from 1 again as its reply goes out
};

struct Fault_kind_info {
    Fault_kind kind;
    QString name;
    bool whole_link;  // false: one client
};

const QVector<Fault_kind_info> &fault_kinds();
const Fault_kind_info &fault_info(Fault_kind kind);
// A comma-separated list of names; "all" stands for every kind.
std::optional<QVector<Fault_kind>> parse_fault_kinds(const QString &names, QString *error);
