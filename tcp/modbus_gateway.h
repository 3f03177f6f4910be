#pragma once

#include "shared/downlink.h"
#include "tcp/exchange_monitor.h"
#include "tcp/modbus_frames.h"
#include "tcp/modem_port.h"
#include "tcp/packet_group.h"

#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class QTcpSocket;
class Tcp_link;

// The port of a modem declared a Modbus gateway. Up to max_masters Modbus TCP masters may
// use it at once: each sends self-contained MBAP requests, so none replaces another. Every
// request goes to the modem as one RTU frame, at once and without waiting for a pause, and
// the modem's serial line serves one request at a time: the requests of all masters wait in
// arrival order, at most max_outstanding of them, beyond which a request is answered "device
// busy". The uplink group that answers the request on the wire goes back to its master with
// its transaction id; what does not answer it is logged and the wait goes on, up to
// modbus_timeout ("target failed to respond"). A downlink that the network server refuses is
// answered "path unavailable". A broadcast (unit 0) is sent and nobody waits for an answer.
//
// It counts references as Tcp_server does: one of its own, given up by shutdown_server, and one
// for every accepted socket until that socket is destroyed; the last one gone deletes it.
// Lives in the exchange thread.
class Modbus_gateway : public QObject, public Modem_port {
    Q_OBJECT
    Q_DISABLE_COPY(Modbus_gateway)

public:
    static constexpr int max_masters = 8;
    static constexpr int max_outstanding = 16;

    // Starts listening; throws Err when the port cannot be opened, Out_of_descriptors when
    // the system has none left. Its requests go to downlinks (dropped without).
    Modbus_gateway(Tcp_link &keeper, Downlinks *downlinks, Eui eui, const Device_params &params);
    ~Modbus_gateway() override;

    // Modem_port
    void shutdown_server() override;
    void on_modem_data(const QByteArray &data, bool has_fcnt, std::uint32_t fcnt) override;
    void forget_link() override;
    Eui modem() const override { return eui; }
    std::uint16_t port() const override { return params.tcp_port; }
    bool serves(const Device_params &wanted) const override
    {
        return wanted.mode == Device_mode::modbus_tcp && wanted.tcp_port == params.tcp_port
               && wanted.max_frame == params.max_frame;
    }

    int masters_count() const { return int(masters.size()); }

private slots:
    void on_next_request();
    void on_new_connection();
    void on_accept_error(QAbstractSocket::SocketError error);
    void on_ready_read();
    void on_master_disconnected();
    void on_connection_destroyed(QObject *object);
    void on_timeout();

private:
    struct Master {
        QTcpSocket *socket = nullptr;
        Mbap_reader reader;
        QString peer;
    };
    struct Waiting {
        QTcpSocket *master = nullptr;  // none once its master has gone
        Modbus_request request;
    };
    // The request on the wire, as the link knows its origin.
    class In_flight : public Downlink_origin {
    public:
        In_flight(Modbus_gateway &gateway, Waiting waiting, quint64 serial)
            : gateway(gateway), waiting(std::move(waiting)), serial(serial)
        {
        }
        Q_DISABLE_COPY(In_flight)
        // Whatever ends it, the link must not call it back any more.
        ~In_flight()
        {
            if (gateway.downlinks)
                gateway.downlinks->detach_messages_of(this);
        }
        void downlink_accepted() override { gateway.on_link_outcome(this, true); }
        void downlink_refused() override { gateway.on_link_outcome(this, false); }

        Modbus_gateway &gateway;
        Waiting waiting;
        const quint64 serial;  // tells a later request from one refused meanwhile
    };

    void accept_master(QTcpSocket *socket);
    void read_master(QTcpSocket *socket);
    void take_request(QTcpSocket *socket, Modbus_request request);
    void send_next();
    void on_link_outcome(const In_flight *request, bool appended);
    void link_outcome(quint64 serial, bool appended);
    void on_reply(const QByteArray &frame);
    void finish(const QByteArray &pdu);
    QByteArray exception_pdu(Modbus_exception code) const;
    void answer(QTcpSocket *master, const Modbus_request &request, const QByteArray &pdu);
    // Takes a QObject: a socket being destroyed is no QTcpSocket any more.
    void master_gone(const QObject *socket);
    void close_master(QTcpSocket *socket);
    void note_in_use(bool in_use);
    Master *master_of(const QObject *socket);
    QString prefix() const;

    Tcp_link *keeper;
    Downlinks *downlinks;
    const Eui eui;
    const Device_params params;
    int refs = 1;
    QTcpServer listener;
    QSet<QObject *> sockets;
    std::vector<Master> masters;
    std::deque<Waiting> waiting;
    std::unique_ptr<In_flight> in_flight;
    quint64 sent = 0;
    QTimer reply_timer;
    Exchange_monitor monitor;
    Packet_group group;
    bool shut = false;  // no longer listening: nothing read, nothing sent
};
