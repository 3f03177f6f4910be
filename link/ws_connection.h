#pragma once

#include "link/command.h"

#include <QObject>
#include <QWebSocket>

#include <cstddef>

class Engine;
class Tcp_server;

// The program's one link to the network server. It lives in the exchange thread and
// carries the downlink data of the TCP servers, one command at a time.
class Ws_connection : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Ws_connection)

public:
    // Registers the link as the last step; throws Debug when another link exists and
    // The_end when shutdown was requested.
    explicit Ws_connection(Engine &engine);
    ~Ws_connection() override;

    // Send queue. The queue owns a command from enqueue_message until it is released.
    void enqueue_message(Command *command);
    // Releases the queued commands of the server unsent; one in flight only loses its owner.
    void drop_messages_of(const Tcp_server *server);
    // The server's commands are still sent, but nobody is told of their replies.
    void detach_messages_of(const Tcp_server *server);

    // What keeps the exchange thread alive: the link itself and every listening Tcp_server.
    // The thread's event loop ends when the count reaches 0 once shutdown was requested.
    void increment_alive_count();
    void decrement_alive_count();
    int alive() const { return alive_count; }

    bool is_connected() const { return flags & connected; }

    // Send action of a client message: one send_data_req with 0x04 and the bytes on port 2.
    void send_downlink(quint64 eui, const unsigned char *data, std::size_t size);

signals:
    void servers_changed();
    void clients_changed();

public slots:
    void on_shutdown();

private:
    static constexpr quint8 connecting = 0x01;
    static constexpr quint8 connected = 0x02;
    static constexpr quint8 shutting_down = 0x40;

    void send_text(const QString &text);
    void send_next();
    void release_queue();

    Engine &engine;
    int alive_count = 1;
    QWebSocket socket{QString(), QWebSocketProtocol::Version13};
    Command *queue_head = nullptr;
    Command *queue_tail = nullptr;
    Command *in_flight = nullptr;
    quint8 flags = 0;
};
