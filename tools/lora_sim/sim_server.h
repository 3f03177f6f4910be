#pragma once

// A stand-in for the LoRa network server, for tests, the demo and trials. It listens on loopback
// only, plays the server side of the JSON text protocol (auth_req, get_device_appdata_req,
// send_data_req and unsolicited "rx" messages), simulates the radio modems behind it and can be
// told to misbehave (Sim_faults). Every text the program sends is checked against the command
// templates with QJsonDocument, independently of the program's own reader; a command that fails
// the check is counted and reported (bad_commands, bad_command) so that a test can assert that
// the program sent nothing malformed.
//
// Typical use in a test:
//     Sim_server sim;
//     sim.add_modem(modem);            // see sim_modem.h
//     QVERIFY(sim.listen());           // system-chosen port on 127.0.0.1
//     ... point the program at sim.url() ...
//     QTRY_COMPARE(sim.received("send_data_req"), 1);
//     QCOMPARE(sim.bad_commands(), 0);
//
// Everything runs in the thread that owns the object.

#include "lora_sim/modbus_slave.h"
#include "lora_sim/sim_faults.h"
#include "lora_sim/sim_modem.h"

#include <QHash>
#include <QSet>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QStringList>
#include <QUrl>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QWebSocket;
class QWebSocketServer;

// One "rx" message exactly as a test wants it on the wire.
struct Rx_message {
    quint64 eui = 0;
    QByteArray data;                            // written as lowercase hexadecimal
    std::optional<quint32> fcnt;                // absent: no "fcnt" field
    int port = 2;                               // may be out of range on purpose
    QString type = QStringLiteral("UNCONF_UP"); // a null string leaves "type" out
};

class Sim_server : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Sim_server)

public:
    explicit Sim_server(QObject *parent = nullptr);
    ~Sim_server() override;

    // ws:// on 127.0.0.1; port 0 lets the system choose. Returns false (see error_string) on failure.
    bool listen(quint16 port = 0);
    // wss:// on 127.0.0.1 with the given certificate and key (see tls_files.h).
    bool listen_secure(const QSslConfiguration &tls, quint16 port = 0);
    // Stops listening; open connections stay. listen() again (with the old port) brings it back.
    void stop_listening();
    // While not accepting, new connections wait in the system's queue without a WebSocket
    // handshake, so a client's connection attempt hangs until its own time-out.
    void set_accepting(bool accepting);
    quint16 port() const;  // of the last successful listen
    QUrl url() const;      // ws://127.0.0.1:PORT or wss://127.0.0.1:PORT
    QString error_string() const;

    // An empty login (the default) accepts any login and password.
    void set_credentials(const QString &login, const QString &password);

    // The device list. Entries keep their order; the same EUI may be added twice on purpose.
    void add_modem(const Sim_modem &modem);
    int remove_modem(quint64 eui);  // removes every entry of that EUI, returns how many
    QVector<Sim_modem> modems() const;

    // Faults; changes apply from the next received message.
    Sim_faults &faults();

    // Messages the server sends on its own. Each returns the number of connections reached:
    // "rx" messages go to authorised connections, raw texts and frames to every open one.
    int send_rx(const Rx_message &rx);
    int send_uplink(quint64 eui, const QByteArray &data);  // as the modem's echo would send data

    // Radio faults of a listed modem; each returns false when no modem of that EUI is listed.
    // The next packet group of the modem (echo or send_uplink) goes out without its packet of
    // this number, as if lost on the radio; its fcnt is spent all the same. Calls add up.
    bool lose_packet(quint64 eui, int number);
    // The modem restarts: its next uplink counts fcnt from `first_fcnt` again.
    bool restart_modem(quint64 eui, quint32 first_fcnt = 1);
    int send_text(const QString &text);
    int send_binary(const QByteArray &bytes);
    void close_connections();  // normal closing handshake
    void abort_connections();  // drops the TCP connections without a closing handshake

    // Observation. Counters run from construction or reset_counters().
    int received(const QString &cmd) const;  // texts received with this "cmd"; "" counts the rest
    int bad_commands() const;
    QString last_bad_reason() const;
    int outstanding_send_data() const;      // send_data_req received and not yet answered
    quint32 next_fcnt(quint64 eui) const;   // of the modem's next uplink; 0 for a modem not listed
    // The most there ever were at one moment. Immediate replies keep it at 1 whatever the client
    // does; delay them (faults().send_data.delay_ms) to see whether a client waits for each reply.
    int max_outstanding_send_data() const;
    int connections_accepted() const;
    int open_connections() const;
    int last_close_code() const;  // of the last connection that ended; 0 before any did
    QStringList last_texts() const;  // the last 100 received texts, oldest first
    void reset_counters();

signals:
    void text_received(const QString &text);
    void text_sent(const QString &text);
    void binary_sent(const QByteArray &bytes);
    void bad_command(const QString &text, const QString &reason);
    void connection_accepted();
    // close_code is the code of the closing handshake (1000 for a normal close, whoever began it),
    // or 1006 when the connection ended without one.
    void connection_closed(int close_code);
    // The bytes after 0x04 of a downlink that the server accepted ("append_status" true).
    void downlink(quint64 eui, const QByteArray &payload);

private:
    enum class Kind { auth, devlist, send_data };
    struct Session {
        QWebSocket *socket = nullptr;
        bool authorised = false;
        int received = 0;
        int outstanding = 0;
        bool handshake = false;  // a closing handshake has begun, from either side
        bool aborted = false;    // dropped by abort_connections
    };
    struct Modem_state {
        Sim_modem modem;
        quint32 next_fcnt = 0;
        QSet<int> lose_next;   // packet numbers the next group loses
        int groups_sent = 0;
        std::optional<Modbus_slave> slave;  // of a modbus modem
    };

    bool start(std::unique_ptr<QWebSocketServer> server, quint16 port);
    void on_new_connection();
    void on_text_message(const QString &text);
    void on_binary_message(const QByteArray &bytes);
    void on_disconnected();

    Session *session_of(QWebSocket *socket);
    void handle_auth(Session &session, const QString &text, const QJsonObject &command);
    void handle_devlist(Session &session, const QString &text, const QJsonObject &command);
    void handle_send_data(Session &session, const QString &text, const QJsonObject &command);
    void report_bad(const QString &text, const QString &reason);
    void answer(QWebSocket *socket, Kind kind, const QString &normal, const QString &incomplete,
                std::function<void()> on_normal);
    void reply_sent(QWebSocket *socket, Kind kind);
    void schedule_echo(QWebSocket *socket, quint64 eui, const QByteArray &payload);
    QVector<QByteArray> answers(Modem_state &state, const QByteArray &payload);
    QStringList uplink_texts(Modem_state &state, const QByteArray &data);
    void send_to(QWebSocket *socket, const QString &text);
    int send_uplink_texts(const QStringList &texts);
    QVector<QPointer<QWebSocket>> open_sockets(bool authorised_only) const;
    QString eui_on_wire(quint64 eui) const;
    QString rx_text(const Rx_message &rx) const;
    QString devices_list_text() const;
    Modem_state *modem_state(quint64 eui);

    std::unique_ptr<QWebSocketServer> server;
    std::vector<std::unique_ptr<QWebSocketServer>> retired_servers;
    bool secure = false;
    quint16 bound_port = 0;  // kept after stop_listening, so that url() still names the place
    QString last_error;
    QString login;
    QString password;
    QVector<Modem_state> modem_list;
    Sim_faults fault_set;
    QVector<Session> sessions;
    QRandomGenerator shuffler{1};

    QHash<QString, int> received_by_cmd;
    int bad_count = 0;
    QString bad_reason;
    QVector<std::pair<QString, QString>> bad_reports;  // text and reason, until the message is handled
    int max_outstanding = 0;
    int accepted = 0;
    int close_code = 0;
    QStringList recent_texts;
};
