#pragma once

class Modem_port;

// What a modem's port (Tcp_server, Modbus_gateway) tells whoever keeps the ports (Modem_servers;
// tests use a recording stand-in); its clients' messages go to the link through Downlinks.
// Everything runs in the exchange thread.
class Tcp_link {
public:
    // The port's first client came (connected) or its last went, with state_mutex held by the
    // caller: what the window shows of the port follows.
    virtual void note_client(const Modem_port *server, bool connected) = 0;
    // A client came or went and clients_changed_pending was clear: the window is told while
    // the link is connected.
    virtual void client_count_changed() = 0;

    // A server listens and keeps the exchange thread alive until it is destroyed; after
    // server_destroyed it is never called back.
    virtual void server_started(Modem_port *server) = 0;
    virtual void server_destroyed(Modem_port *server) = 0;
    // A client could not be accepted for want of descriptors.
    virtual void out_of_descriptors() = 0;

protected:
    ~Tcp_link() = default;
};
