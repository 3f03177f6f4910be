#pragma once

// One TCP client of a modem's port as a soak run drives it: an echo client (soak_client.h) or a
// Modbus TCP master (modbus_master.h). Each connects again whenever its connection is gone.

#include <QObject>

class QTcpSocket;

class Soak_peer : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Soak_peer)

public:
    explicit Soak_peer(int index, QObject *parent = nullptr);

    int index() const { return number; }

    virtual void start() = 0;
    virtual void stop_sending() = 0;  // what is in flight is still awaited
    virtual void abandon() = 0;       // at the time limit: what is in flight counts as lost
    virtual void halt() = 0;          // the run is over: nothing more is sent, counted or connected

    virtual bool done() const = 0;
    virtual bool connected() const = 0;
    virtual int requests_left() const = 0;
    virtual bool has_passed() const = 0;

    // Faults. doom(): a fault is about to cost replies (and perhaps the connection): what it costs
    // is excused until the peer is served again. kill(): the peer drops its connection (FIN or RST)
    // and connects again.
    virtual void doom() = 0;
    virtual void kill(bool reset) = 0;

signals:
    // A reply passed that no fault had doomed.
    void served(int client);
    void finished(int client);

protected:
    const int number;
};

// A connection we let go of is kept until the program closes it, or aborted after a while; a
// reset one goes at once.
void release_socket(QTcpSocket *socket, bool reset);
