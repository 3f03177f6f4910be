#pragma once

#include "app/downlink.h"
#include "link/certificate_check.h"
#include "link/command_table.h"
#include "link/link_events.h"
#include "link/link_servers.h"
#include "link/send_queue.h"
#include "link/server_protocol.h"

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QWebSocket>

// The program's one link to the network server. It lives in the exchange thread: it
// connects, checks the pinned certificate, authorises, polls the device list (whose modems
// `servers` then serve), carries the modems' downlink data one command at a time, and after
// any failure drops everything that depends on the link and reconnects.
class Ws_connection : public QObject, public Link_events {
    Q_OBJECT
    Q_DISABLE_COPY(Ws_connection)

public:
    // Registers the link as the last step; throws Debug when another link exists and
    // The_end when shutdown was requested.
    explicit Ws_connection(Link_servers &servers);
    ~Ws_connection() override;

    // The first attempt, and every attempt after a reconnect delay.
    void start_connect();

    // Send queue. False, and the message is not kept, when its modem has as many messages
    // waiting as it may; while the link is down a message is dropped unsent.
    bool enqueue_message(Downlink message);
    // The origin's waiting messages go unsent; one in flight only loses its origin.
    void drop_messages_of(const Downlink_origin *origin);
    // The origin's messages are still sent, but nobody is told of their replies.
    void detach_messages_of(const Downlink_origin *origin);
    const Send_queue &send_queue() const { return queue; }

    bool is_connected() const { return flags & connected; }

    // Link_events: what the reply handlers report.
    void authorised() override;
    void devices_list_complete() override;
    void command_complete(bool status) override;
    bool in_flight_owner(quint64 &eui) const override;
    bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) override;

signals:
    void servers_changed();
    void clients_changed();
    // Everything that depends on the link is dropped and nothing more will happen: the
    // program must end. The receiver is told after the log line is written.
    void fatal_error();

public slots:
    // Brings the TCP servers in line with the served devices and the reachable modems.
    void update_servers();
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
    static constexpr quint8 devlist_queued = 0x04;
    static constexpr quint8 expect_disconnected = 0x08;
    static constexpr quint8 expect_error = 0x10;
    static constexpr quint8 reconnect_wait = 0x20;
    static constexpr quint8 shutting_down = 0x40;

    void send_text(const QString &text);
    // False (after fatal_stop) when the time-out of the command's reply cannot be started.
    bool start_reply_timer(Command_kind kind);
    // The reply of kind is read from now on.
    void send_command(Command_kind kind, const QString &text);
    void send_devlist();
    // One send_data_req with 0x04 and the bytes on port 2.
    void send_downlink(const Downlink &message);
    void send_next();
    void on_period_tick();
    void on_response_timeout();
    void read_reply(const QString &message);
    void bad_message();
    // A failure of a connected link, told and ended as the row of the awaited reply says.
    void fail_connected(const Link_failure &failure);

    void close_socket();
    void fail_before_ready();
    void link_lost();
    void drop_link();
    void after_failure();
    void fatal_stop(const QString &text);

    // False (after fatal_stop with the place code) when the timer cannot be started.
    // A time-out of 0 waits as long as it takes: no timer runs.
    bool start_response_timer(int milliseconds, unsigned place);
    // Runs even for 0, which then fires at the next turn of the event loop.
    bool start_delay_timer(int milliseconds, unsigned place);
    void stop_response_timer();
    void stop_period_timer();

    Link_servers &servers;
    QWebSocket socket{QString(), QWebSocketProtocol::Version13};
    Send_queue queue;
    Server_protocol protocol{*this};
    Certificate_check certificate;
    // Whose reply the next text message is read as (its row in the command table).
    Command_kind reply_handler = Command_kind::unready;
    int period_timer = 0;
    int response_timer = 0;
    quint8 flags = 0;
};
