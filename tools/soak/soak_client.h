#pragma once

// One TCP client of one modem's port: it sends its requests one at a time, each only after the
// reply to the previous one is checked, and connects again whenever its connection is gone.

#include "soak/reply_stream.h"
#include "soak/soak_peer.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

class QTcpSocket;
class Payload_history;
struct Soak_tally;

struct Client_setup {
    quint32 seed = 1;
    int requests = 100;          // -1: until stop_sending()
    int max_length = 255;
    int reply_timeout_ms = 20000;
    int reconnect_limit_ms = 60000;  // how long the port may stay closed before the client gives up
};

class Soak_client : public Soak_peer {
    Q_OBJECT
    Q_DISABLE_COPY(Soak_client)

public:
    Soak_client(int index, quint16 port, const Client_setup &setup, Soak_tally &tally, Payload_history &history,
                QObject *parent = nullptr);
    ~Soak_client() override;

    void start() override;
    void stop_sending() override;
    void abandon() override;
    void halt() override;

    bool done() const override;
    bool connected() const override;
    int requests_left() const override;
    bool has_passed() const override { return passes > 0; }

    // Faults. doom(): the program is about to close the current connection, so a reply lost on it
    // is the fault's doing; it is served again by a reply on a connection of its own. kill() and
    // replace() doom it themselves. give_up_reply(): the reply in flight can never come whole (the
    // program waits for the rest of its group): it is lost to the fault after `wait_ms`, and the
    // client connects again.
    void doom() override;
    void give_up_reply(int wait_ms);
    void kill(bool reset) override;
    void replace();

private:
    // How a fault lets go of the current connection: reset, closed, or left for the program to close.
    enum class Leave { reset, close, keep_open };

    void leave_connection(Leave how);
    void connect_now();
    void attach(QTcpSocket *socket);
    void on_connected();
    void on_ready_read();
    void evaluate();
    void on_closed();
    void on_connect_failed();
    void on_reply_timeout();
    void send_next();
    void settle_lost();
    void drop_connection();
    void reconnect_soon(int delay_ms);
    void check_finished();

    const quint16 port;
    const Client_setup setup;
    Soak_tally &tally;
    Payload_history &history;

    QPointer<QTcpSocket> socket;
    bool doomed = false;
    bool socket_up = false;  // the current socket has connected
    bool stopping = false;
    bool gave_up = false;
    bool halted = false;
    bool finish_told = false;
    int next_request = 0;
    int current = -1;  // the request in flight, -1 = none
    int passes = 0;
    QByteArray payload;
    QByteArray late_candidate;  // the request that was in flight when the last connection went
    QElapsedTimer sent_at;
    QElapsedTimer closed_since;
    QTimer reply_timer;
    Reply_stream stream;
};
