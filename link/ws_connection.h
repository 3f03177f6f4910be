#pragma once

#include "link/certificate_check.h"
#include "link/command_table.h"
#include "link/command_wire.h"
#include "link/link_servers.h"
#include "link/link_traffic.h"
#include "link/server_protocol.h"

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QWebSocket>

// The program's one link to the network server. It lives in the exchange thread: it
// connects, checks the pinned certificate, authorises, and hands every message it reads to
// the server protocol, whose reports go to the link's traffic (the device list, whose modems
// `servers` serve, and the modems' messages); after any failure it drops everything that
// depends on the link and reconnects.
class Ws_connection : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Ws_connection)

public:
    // Registers the link as the last step; throws Debug when another link exists and
    // The_end when shutdown was requested.
    explicit Ws_connection(Link_servers &servers);
    ~Ws_connection() override;

    // The first attempt, and every attempt after a reconnect delay.
    void start_connect();

    // Where the servers' clients hand their messages.
    Downlinks &downlinks() { return traffic; }

signals:
    // The link's state as the window shows it has changed.
    void servers_changed();
    // Everything that depends on the link is dropped and nothing more will happen: the
    // program must end. The receiver is told after the log line is written.
    void fatal_error();

public slots:
    void on_shutdown();

private slots:
    void on_connected();
    void on_disconnected();
    void on_binary_message(const QByteArray &message);
    void on_text_message(const QString &message);
    void on_error(QAbstractSocket::SocketError error);
    void on_ssl_error(const QList<QSslError> &errors);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    static constexpr quint8 connecting = 0x01;
    static constexpr quint8 connected = 0x02;
    static constexpr quint8 expect_disconnected = 0x08;
    static constexpr quint8 expect_error = 0x10;
    static constexpr quint8 reconnect_wait = 0x20;
    static constexpr quint8 shutting_down = 0x40;

    void on_attempt_timeout();
    void on_reply_timeout();
    void read_reply(const QString &message);
    void bad_message();
    // A failure of a connected link, told and ended as the row of the awaited reply says.
    void fail_connected(const Link_failure &failure);

    void close_socket();
    void fail_before_ready();
    // link_started and link_ready of state_flags become bits; the window hears of it.
    void show_link_state(quint8 bits);
    void link_lost();
    void drop_link();
    void after_failure();
    void fatal_stop(const QString &text);

    // False (after fatal_stop with the place code) when the timer cannot be started.
    // A time-out of 0 waits as long as it takes: no timer runs.
    bool start_connect_timer(int milliseconds, unsigned place);
    // Runs even for 0, which then fires at the next turn of the event loop.
    bool start_delay_timer(int milliseconds, unsigned place);

    Link_servers &servers;
    QWebSocket socket{QString(), QWebSocketProtocol::Version13};
    Command_wire wire{socket};
    Link_traffic traffic{wire, servers};
    Server_protocol protocol{traffic, servers};
    Certificate_check certificate;
    // The connection attempt's time-out, or the delay before the next attempt.
    QBasicTimer attempt_timer;
    quint8 flags = 0;
};
