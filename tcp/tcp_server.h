#pragma once

#include "config/devices.h"
#include "link/downlink.h"
#include "tcp/client_message.h"
#include "tcp/packet_group.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTcpServer>

#include <cstdint>

class QTcpSocket;
class Ws_connection;

// The TCP face of one radio modem. It listens on the modem's port, serves one client
// at a time (a newcomer replaces the one being served), cuts the client's bytes into
// messages at every pause of interframe_delay and hands them to the link; uplink
// packets of the modem come back through on_modem_data and go to the client whole.
// The port listens at tcp_listen; a peer that tcp_allow keeps out is closed at once.
// A client that sends faster than its modem's share of the link carries its messages
// is cut off once the link holds as many of them as it takes for one modem.
//
// It counts references: one of its own, given up by shutdown_server, and one for every
// accepted socket until that socket is destroyed; the last one gone deletes it.
// Lives in the exchange thread.
class Tcp_server : public QObject, public Downlink_origin {
    Q_OBJECT
    Q_DISABLE_COPY(Tcp_server)

public:
    // Bytes waiting to be written to a client beyond which it counts as not reading:
    // far above a day of LoRa traffic, far below what would strain the program.
    static constexpr qint64 write_limit = 1 << 20;
    // How long a socket the program closes may take to hand over what it still has to
    // send before it is cut: a peer that never reads must not hold the server.
    static constexpr int close_wait_ms = 5000;

    // Starts listening; throws Err when the port cannot be opened.
    Tcp_server(Ws_connection &owner, Eui eui, const Device_params &params);
    ~Tcp_server() override;

    void shutdown_server();
    // One uplink packet of this modem, as decoded from an "rx" message.
    void on_modem_data(const QByteArray &data, bool has_fcnt, std::uint32_t fcnt);
    // Ends the service of the client from the program's side; its waiting messages go unsent.
    void shutdown_client();
    // The network server refused a message of this client: the client goes.
    void downlink_refused() override;

    Eui modem_eui() const { return eui; }
    std::int32_t frame_limit() const { return max_frame; }
    std::uint16_t port() const { return tcp_port; }
    // Read by the user interface thread under state_mutex.
    bool has_client() const { return client != nullptr; }

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void on_new_connection();
    void on_ready_read();
    void on_connection_destroyed(QObject *object);
    void on_client_disconnected();

private:
    QTcpSocket *accept_next();
    void refuse(QTcpSocket *socket);
    void serve(QTcpSocket *socket);
    void replace_client(QTcpSocket *socket);
    void finish_message();
    bool enqueue(QByteArray data);
    void read_client();
    void write_client(const QByteArray &data);
    void end_client_state();
    void client_gone();
    void client_left();
    void stop_timer();
    void close_socket(QTcpSocket *socket);
    void notify_clients_changed(bool needed);
    QString prefix() const;
    QString peer_prefix(const QTcpSocket *socket) const;

    Packet_group group;
    QPointer<Ws_connection> owner;
    const Eui eui;
    const std::int32_t max_frame;
    const std::uint16_t tcp_port;
    int refs = 1;
    QTcpServer listener;
    QSet<QObject *> sockets;
    QTcpSocket *client = nullptr;
    const QObject *departed = nullptr;  // the last client that left on its own, until destroyed
    Client_message message;
    bool serving = false;
    int timer_id = 0;
};
