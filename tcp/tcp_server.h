#pragma once

#include "config/devices.h"
#include "shared/downlink.h"
#include "tcp/client_reader.h"
#include "tcp/exchange_monitor.h"
#include "tcp/modem_port.h"
#include "tcp/pause_timer.h"
#include "tcp/tcp_sockets.h"
#include "tcp/uplink_writer.h"

#include <QObject>
#include <QSet>
#include <QTcpServer>

#include <cstdint>

class QTcpSocket;
class Tcp_link;

// The TCP face of one radio modem. It listens on the modem's port, serves one client
// at a time (a newcomer replaces the one being served), cuts the client's bytes into
// messages at every pause of interframe_delay and hands them to the link (Client_reader);
// uplink packets of the modem come back through on_modem_data and go to the client whole
// (Uplink_writer). The port listens at tcp_listen; a peer that tcp_allow keeps out is
// closed at once. A client that sends faster than its modem's share of the link carries
// its messages is cut off once the link holds as many of them as it takes for one modem.
//
// It counts references: one of its own, given up by shutdown_server, and one for every
// accepted socket until that socket is destroyed; the last one gone deletes it.
// Lives in the exchange thread.
class Tcp_server : public QObject, public Modem_port, public Downlink_origin {
    Q_OBJECT
    Q_DISABLE_COPY(Tcp_server)

public:
    // Starts listening; throws Err when the port cannot be opened, Out_of_descriptors when
    // the system has none left. Its clients' messages go to downlinks (dropped without).
    Tcp_server(Tcp_link &keeper, Downlinks *downlinks, Eui eui, const Device_params &params);
    ~Tcp_server() override;

    void shutdown_server() override;
    void on_modem_data(const QByteArray &data, bool has_fcnt, std::uint32_t fcnt) override;
    // Ends the service of the client from the program's side; its waiting messages go unsent.
    void shutdown_client();
    // The network server refused a message of this client: the client goes.
    void downlink_refused() override;
    void forget_link() override
    {
        keeper = nullptr;
        downlinks = nullptr;
    }

    Eui modem() const override { return eui; }
    std::uint16_t port() const override { return tcp_port; }
    bool serves(const Device_params &params) const override
    {
        return params.mode == Device_mode::raw && params.tcp_port == tcp_port && params.max_frame == max_frame;
    }
    bool has_client() const { return client != nullptr; }

private slots:
    void on_new_connection();
    void on_accept_error(QAbstractSocket::SocketError error);
    void on_ready_read();
    void on_connection_destroyed(QObject *object);
    void on_client_disconnected();

private:
    QTcpSocket *accept_next();
    void serve(QTcpSocket *socket);
    void replace_client(QTcpSocket *socket);
    void read_client();
    void on_pause();
    void finish_message();
    void end_client_state();
    void client_gone();
    void client_left();
    void notify_clients_changed(bool needed);
    QString prefix() const { return tcp_prefix(tcp_port); }

    Tcp_link *keeper;
    Downlinks *downlinks;
    const Eui eui;
    const std::int32_t max_frame;
    const std::uint16_t tcp_port;
    Exchange_monitor monitor;
    Uplink_writer uplink;
    Client_reader reader;
    int refs = 1;
    QTcpServer listener;
    QSet<QObject *> sockets;
    QTcpSocket *client = nullptr;
    QString client_peer;  // kept for the monitor: the socket may be gone when the client is
    const QObject *departed = nullptr;  // the last client that left on its own, until destroyed
    bool serving = false;
    Pause_timer pause_timer{[this] { on_pause(); }};
};
