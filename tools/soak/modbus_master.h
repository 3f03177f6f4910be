#pragma once

// One Modbus TCP master on a modem's gateway port. It keeps `pipeline` requests outstanding, each
// on a block of registers of its own, so that a block's write is answered before its read-back is
// asked for: each block writes values unique to the master and the request, reads them back and
// checks them. Every reply must answer its own request by transaction id, unit, function and
// content; a reply that does not is a mismatch.

#include "soak/soak_peer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>
#include <QVector>

class QTcpSocket;
struct Soak_tally;

constexpr int registers_per_block = 4;
constexpr quint8 modbus_device_busy = 0x06;

struct Master_setup {
    quint32 seed = 1;
    int requests = 100;          // -1: until stop_sending()
    int pipeline = 4;            // requests outstanding at once, one per block
    int first_register = 0;      // of this master's pipeline * registers_per_block registers
    quint8 unit = 1;
    int reply_timeout_ms = 30000;
    int reconnect_limit_ms = 60000;
    bool busy_allowed = false;   // the gateway's queue may overflow: "device busy" is no failure
};

class Modbus_master : public Soak_peer {
    Q_OBJECT
    Q_DISABLE_COPY(Modbus_master)

public:
    Modbus_master(int index, quint16 port, const Master_setup &setup, Soak_tally &tally, QObject *parent = nullptr);
    ~Modbus_master() override;

    void start() override;
    void stop_sending() override;
    void abandon() override;
    void halt() override;

    bool done() const override;
    bool connected() const override;
    int requests_left() const override;
    bool has_passed() const override { return passes > 0; }

    // What is outstanding now and what is sent until a request sent from now on passes is excused:
    // a refused downlink or a lost packet costs one request, whichever is in flight at the modem.
    void doom() override;
    void kill(bool reset) override;

private:
    struct Block {
        QVector<quint16> values = QVector<quint16>(registers_per_block, 0);
        bool known = false;      // values hold what the registers hold
        bool busy = false;
        bool read_next = false;  // a write has passed: read it back
    };
    struct Request {
        int block = 0;
        qint64 sequence = 0;       // counts the master's requests across connections
        quint8 function = 0;
        QByteArray reply;          // the awaited reply's PDU
        QVector<quint16> written;  // the block's values once a write has passed
        QElapsedTimer sent;
    };
    enum class Outcome {
        passed,
        excused,    // lost or refused, and a fault explains it
        exception,  // an exception reply that no fault explains
        mismatch,   // a reply that is not this request's
        lost
    };

    void connect_now();
    void on_connected();
    void on_ready_read();
    void on_closed();
    void on_connect_failed();
    void on_reply_timeout();
    bool read_frame();
    void send_more();
    void send(int block);
    void settle(quint16 transaction, Outcome outcome, const QString &detail = QString());
    void settle_all(const QString &why);
    void arm_reply_timer();
    void drop_connection(bool reset);
    void reconnect_soon(int delay_ms);
    void check_finished();
    quint16 value(qint64 sequence, int k) const;

    const quint16 port;
    const Master_setup setup;
    Soak_tally &tally;
    QRandomGenerator random;

    QPointer<QTcpSocket> socket;
    bool socket_up = false;
    bool stopping = false;
    bool gave_up = false;
    bool halted = false;
    bool finish_told = false;
    bool doomed = false;
    qint64 doomed_from = 0;  // the first request whose pass ends the doom
    qint64 next_request = 0;
    quint16 next_transaction = 0;
    int passes = 0;
    QVector<Block> blocks;
    QHash<quint16, Request> outstanding;  // by transaction id
    QSet<quint16> given_up;               // timed out: a reply may still come, late
    QByteArray buffer;
    QElapsedTimer closed_since;
    QTimer reply_timer;
};
