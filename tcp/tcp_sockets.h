#pragma once

#include <QString>

#include <cstdint>
#include <exception>

class QTcpServer;
class QTcpSocket;

// The trace lines of a modem's TCP server, its listening and the closing of its sockets.

// trace_tcp is "all".
bool tcp_tracing();
// Writes the line to the log when tcp_tracing.
void tcp_trace(const QString &line);
// "tcp<port>"
QString tcp_prefix(std::uint16_t tcp_port);
// "tcp<port>(peer=[<address>]:<port>)"
QString peer_prefix(std::uint16_t tcp_port, const QTcpSocket *socket);

// How long a socket the program closes may take to hand over what it still has to send
// before it is cut: a peer that never reads must not hold the server.
constexpr int close_wait_ms = 5000;

// Closes the connection from the program's side, after what is still to be sent, but
// within close_wait_ms.
void close_client(QTcpSocket *socket, std::uint16_t tcp_port);
// Closed and deleted at once: a client that tcp_allow keeps out is neither counted nor
// served. The refusal is logged, as often as the refusal log lets it.
void refuse_client(QTcpSocket *socket, std::uint16_t tcp_port);

// Thrown instead of Err when a port cannot listen for want of descriptors (or of other
// resources of the system): that is told once for every modem it strikes, not for each.
class Out_of_descriptors : public std::exception {
public:
    const char *what() const noexcept override { return "Out of descriptors."; }
};

// After a failed accept, which stops the toolkit accepting: logs the error unless it is a want
// of descriptors (true, for the caller to tell once), and takes up accepting again a second
// later, so that the port does not stay deaf once the cause has passed. The client waits in the
// system's queue meanwhile.
bool retry_accepting(QTcpServer &listener, int error, std::uint16_t tcp_port);

// Listens on tcp_port at tcp_listen; throws Err naming the port (and the address, unless it
// is every address) when that cannot be done, Out_of_descriptors when the system has none left.
void listen_for_clients(QTcpServer &listener, std::uint16_t tcp_port);
