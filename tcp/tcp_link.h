#pragma once

class Tcp_server;

// What a Tcp_server tells whoever keeps the servers (Modem_servers; tests use a recording
// stand-in); its clients' messages go to the link through Downlinks. Everything runs in the
// exchange thread.
class Tcp_link {
public:
    // The server's client came (connected) or went, with state_mutex held by the caller:
    // what the window shows of the server follows.
    virtual void note_client(const Tcp_server *server, bool connected) = 0;
    // A client came or went and clients_changed_pending was clear: the window is told while
    // the link is connected.
    virtual void client_count_changed() = 0;

    // A server listens and keeps the exchange thread alive until it is destroyed; after
    // server_destroyed it is never called back.
    virtual void server_started(Tcp_server *server) = 0;
    virtual void server_destroyed(Tcp_server *server) = 0;
    // A client could not be accepted for want of descriptors.
    virtual void out_of_descriptors() = 0;

protected:
    ~Tcp_link() = default;
};
