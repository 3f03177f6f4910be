#pragma once

#include "link/ws_parser.h"

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

class Link_events;
class Modem_uplinks;
struct Server_device;
struct Server_message;

// Reads the messages of the network server. The link keeps one handler current,
// the one for the reply it waits for, and reads each text message with it; what a
// message means for the link is reported through Link_events, and an uplink packet goes
// to its modem through Modem_uplinks, once the message has been read to its end. A bad or
// refused message throws Err (logged where it arises) and nothing of it is acted on,
// except a device list read in full, which is handed to the link at once.
class Server_protocol {
public:
    using Handler = void (Server_protocol::*)();

    Server_protocol(Link_events &link, Modem_uplinks &uplinks);

    void read(const QString &text, Handler handler);

    void handle_auth_resp();
    void handle_devlist_resp();
    void handle_send_data_resp();
    void handle_unsolicited();
    // No message may arrive now.
    void handle_unexpected();

    Ws_parser &parser() { return reader; }

private:
    Q_DISABLE_COPY(Server_protocol)

    // What the message read so far asks of the link.
    struct Finding {
        enum class Kind { nothing, authorised, devices_list, command_complete, modem_data };
        Kind kind = Kind::nothing;
        bool append_status = false;
        quint64 eui = 0;
        QByteArray data;
        bool has_fcnt = false;
        quint32 fcnt = 0;
    };

    void act();

    // Reads the fields of one object into the record, offering each name first to
    // `own` (which returns whether it took the field).
    template <typename Own>
    void read_object(Server_message &message, Own &&own);
    bool check_reply(const Server_message &message, const char *expected);
    void process_rx(const Server_message &message);
    bool read_append_status();
    void read_devices_list();
    // The entry at the position; false when it has no "devEui".
    bool read_device(Server_device &device);
    // The entries from the position to the end of the list, checked before any is read.
    void read_devices_checked(QVector<Server_device> &devices);

    Ws_parser reader;
    Link_events &link;
    Modem_uplinks &uplinks;
    Finding found;
};
