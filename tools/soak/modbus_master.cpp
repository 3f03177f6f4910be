#include "soak/modbus_master.h"

#include "soak/soak_tally.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <limits>

namespace {

constexpr quint8 read_holding = 3;
constexpr quint8 write_single = 6;
constexpr quint8 write_multiple = 16;

QRandomGenerator generator_for(quint32 seed, int index)
{
    const quint32 seeds[] = {seed, quint32(index), 0x4D424150};
    return QRandomGenerator(seeds);
}

int word(const QByteArray &bytes, int at)
{
    return quint8(bytes.at(at)) << 8 | quint8(bytes.at(at + 1));
}

void append_word(QByteArray &bytes, int value)
{
    bytes.append(char(value >> 8 & 0xFF));
    bytes.append(char(value & 0xFF));
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.left(24).toHex(' ')) + (bytes.size() > 24 ? QStringLiteral(" ...") : QString());
}

}  // namespace

Modbus_master::Modbus_master(int index, quint16 tcp_port, const Master_setup &master_setup, Soak_tally &soak_tally,
                             QObject *parent)
    : Soak_peer(index, parent)
    , port(tcp_port)
    , setup(master_setup)
    , tally(soak_tally)
    , random(generator_for(master_setup.seed, index))
    , blocks(master_setup.pipeline)
{
    reply_timer.setSingleShot(true);
    connect(&reply_timer, &QTimer::timeout, this, &Modbus_master::on_reply_timeout);
}

Modbus_master::~Modbus_master()
{
    if (socket)
        socket->disconnect(this);
}

void Modbus_master::start()
{
    closed_since.start();
    connect_now();
}

void Modbus_master::stop_sending()
{
    stopping = true;
    check_finished();
}

void Modbus_master::abandon()
{
    stopping = true;
    for (const quint16 transaction : outstanding.keys())
        settle(transaction, Outcome::lost, QStringLiteral("no reply when the time was up"));
    reply_timer.stop();
    drop_connection(true);
    check_finished();
}

void Modbus_master::halt()
{
    halted = true;
    stopping = true;
    reply_timer.stop();
    if (socket)
        socket->disconnect(this);
}

bool Modbus_master::done() const
{
    if (gave_up)
        return true;
    return outstanding.isEmpty() && (stopping || (setup.requests >= 0 && next_request >= setup.requests));
}

bool Modbus_master::connected() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

int Modbus_master::requests_left() const
{
    return setup.requests < 0 ? std::numeric_limits<int>::max() : int(setup.requests - next_request);
}

void Modbus_master::doom()
{
    doomed = true;
    doomed_from = next_request;
}

void Modbus_master::kill(bool reset)
{
    doom();
    settle_all(QStringLiteral("the master left"));
    drop_connection(reset);
    closed_since.start();
    reconnect_soon(0);
}

void Modbus_master::connect_now()
{
    if (halted || done() || socket)
        return;
    auto *fresh = new QTcpSocket(this);
    socket = fresh;
    connect(fresh, &QTcpSocket::connected, this, &Modbus_master::on_connected);
    connect(fresh, &QTcpSocket::readyRead, this, &Modbus_master::on_ready_read);
    connect(fresh, &QTcpSocket::disconnected, this, &Modbus_master::on_closed);
    connect(fresh, &QAbstractSocket::errorOccurred, this, [this, fresh] {
        if (fresh == socket && fresh->state() != QAbstractSocket::ConnectedState && !socket_up)
            on_connect_failed();
    });
    socket_up = false;
    fresh->connectToHost(QHostAddress::LocalHost, port);
}

void Modbus_master::on_connected()
{
    socket_up = true;
    closed_since.invalidate();
    buffer.clear();
    // Replies of the last connection have no business on this one.
    given_up.clear();
    send_more();
}

void Modbus_master::on_ready_read()
{
    if (!socket)
        return;
    const QByteArray bytes = socket->readAll();
    tally.bytes_received += bytes.size();
    buffer.append(bytes);
    while (read_frame()) {
    }
    send_more();
}

// Takes one MBAP frame off the buffer and settles the request it answers; false when there is no
// whole frame, or the stream cannot be read on.
bool Modbus_master::read_frame()
{
    if (buffer.size() < 7)
        return false;
    const quint16 transaction = quint16(word(buffer, 0));
    const int length = word(buffer, 4);
    if (word(buffer, 2) != 0 || length < 2 || length > 254) {
        ++tally.mismatched;
        tally.note(QStringLiteral("master %1: not an MBAP header: %2").arg(number).arg(hex(buffer)));
        settle_all(QStringLiteral("the stream was out of step"));
        drop_connection(true);
        reconnect_soon(0);
        return false;
    }
    if (buffer.size() < 6 + length)
        return false;
    const quint8 unit = quint8(buffer.at(6));
    const QByteArray pdu = buffer.mid(7, length - 1);
    const QByteArray frame = buffer.left(6 + length);
    buffer.remove(0, 6 + length);
    const auto it = outstanding.constFind(transaction);
    if (it == outstanding.constEnd()) {
        if (given_up.remove(transaction)) {
            ++tally.late;
            return true;
        }
        ++tally.mismatched;
        tally.note(QStringLiteral("master %1: a reply to transaction %2, which it does not await: %3")
                       .arg(number)
                       .arg(transaction)
                       .arg(hex(frame)));
        return true;
    }
    const Request &request = *it;
    if (unit == setup.unit && pdu == request.reply) {
        settle(transaction, Outcome::passed);
    } else if (unit == setup.unit && pdu.size() == 2 && quint8(pdu.at(0)) == (request.function | 0x80)) {
        const quint8 code = quint8(pdu.at(1));
        ++tally.exceptions[code];
        const bool excused = doomed || (code == modbus_device_busy && setup.busy_allowed);
        settle(transaction, excused ? Outcome::excused : Outcome::exception,
               QStringLiteral("exception 0x%1").arg(code, 2, 16, QLatin1Char('0')));
    } else {
        settle(transaction, Outcome::mismatch,
               QStringLiteral("unit %1, PDU %2; awaited unit %3, PDU %4")
                   .arg(unit)
                   .arg(hex(pdu))
                   .arg(setup.unit)
                   .arg(hex(request.reply)));
    }
    return true;
}

void Modbus_master::on_closed()
{
    if (sender() != socket)
        return;
    if (!outstanding.isEmpty()) {
        settle_all(QStringLiteral("the program closed the connection"));
    } else if (!doomed && !done()) {
        ++tally.unexplained_closes;
        tally.note(QStringLiteral("master %1: the program closed the connection with nothing outstanding").arg(number));
    }
    drop_connection(true);
    reconnect_soon(20);
}

void Modbus_master::on_connect_failed()
{
    drop_connection(true);
    if (closed_since.isValid() && closed_since.elapsed() > setup.reconnect_limit_ms) {
        gave_up = true;
        ++tally.stuck_clients;
        tally.note(QStringLiteral("master %1: port %2 stayed closed for %3 s").arg(number).arg(port).arg(
            setup.reconnect_limit_ms / 1000));
        check_finished();
        return;
    }
    reconnect_soon(100);
}

void Modbus_master::on_reply_timeout()
{
    for (const quint16 transaction : outstanding.keys()) {
        if (outstanding.value(transaction).sent.elapsed() >= setup.reply_timeout_ms) {
            given_up.insert(transaction);
            settle(transaction, doomed ? Outcome::excused : Outcome::lost,
                   QStringLiteral("no reply within %1 ms").arg(setup.reply_timeout_ms));
        }
    }
    send_more();
}

void Modbus_master::send_more()
{
    for (int block = 0; block < blocks.size() && connected() && !halted; ++block) {
        if (stopping || (setup.requests >= 0 && next_request >= setup.requests))
            break;
        if (!blocks.at(block).busy)
            send(block);
    }
    check_finished();
}

// A block whose values are not known is written whole; a written one is read back; otherwise a
// single register or a stretch of the block is written.
void Modbus_master::send(int index)
{
    Block &block = blocks[index];
    const int base = setup.first_register + index * registers_per_block;
    Request request;
    request.block = index;
    request.sequence = next_request++;
    request.written = block.values;
    QByteArray pdu;
    if (block.known && block.read_next) {
        request.function = read_holding;
        pdu.append(char(read_holding));
        append_word(pdu, base);
        append_word(pdu, registers_per_block);
        request.reply.append(char(read_holding));
        request.reply.append(char(2 * registers_per_block));
        for (const quint16 v : qAsConst(block.values))
            append_word(request.reply, v);
    } else if (block.known && random.bounded(2) == 0) {
        const int k = int(random.bounded(registers_per_block));
        request.function = write_single;
        request.written[k] = value(request.sequence, k);
        pdu.append(char(write_single));
        append_word(pdu, base + k);
        append_word(pdu, request.written.at(k));
        request.reply = pdu;
    } else {
        const int first = block.known ? int(random.bounded(registers_per_block)) : 0;
        const int count = block.known ? 1 + int(random.bounded(registers_per_block - first)) : registers_per_block;
        request.function = write_multiple;
        pdu.append(char(write_multiple));
        append_word(pdu, base + first);
        append_word(pdu, count);
        pdu.append(char(2 * count));
        for (int k = first; k < first + count; ++k) {
            request.written[k] = value(request.sequence, k);
            append_word(pdu, request.written.at(k));
        }
        request.reply = pdu.left(5);
    }
    const quint16 transaction = next_transaction++;
    given_up.remove(transaction);
    QByteArray frame;
    append_word(frame, transaction);
    append_word(frame, 0);
    append_word(frame, 1 + pdu.size());
    frame.append(char(setup.unit));
    frame.append(pdu);
    request.sent.start();
    outstanding.insert(transaction, request);
    block.busy = true;
    socket->write(frame);
    ++tally.sent;
    tally.bytes_sent += frame.size();
    arm_reply_timer();
}

void Modbus_master::settle(quint16 transaction, Outcome outcome, const QString &detail)
{
    const Request request = outstanding.take(transaction);
    Block &block = blocks[request.block];
    block.busy = false;
    if (outcome == Outcome::passed) {
        ++tally.passed;
        ++passes;
        tally.latencies_us.append(qint32(std::min<qint64>(request.sent.nsecsElapsed() / 1000, 2000000000)));
        block.values = request.written;
        block.known = true;
        block.read_next = request.function != read_holding;
        if (doomed && request.sequence >= doomed_from)
            doomed = false;
        if (!doomed)
            emit served(number);
    } else {
        // A write may or may not have been carried out; a read that failed proves nothing.
        block.known = false;
        if (outcome == Outcome::excused) {
            ++tally.lost_to_faults;
        } else {
            ++(outcome == Outcome::lost        ? tally.lost
               : outcome == Outcome::exception ? tally.unexcused_exceptions
                                               : tally.mismatched);
            tally.note(QStringLiteral("master %1 transaction %2 (function %3): %4")
                           .arg(number)
                           .arg(transaction)
                           .arg(request.function)
                           .arg(detail));
        }
    }
    arm_reply_timer();
}

void Modbus_master::settle_all(const QString &why)
{
    for (const quint16 transaction : outstanding.keys())
        settle(transaction, doomed ? Outcome::excused : Outcome::lost, why);
}

void Modbus_master::arm_reply_timer()
{
    qint64 oldest = -1;
    for (const Request &request : qAsConst(outstanding))
        oldest = std::max(oldest, request.sent.elapsed());
    if (oldest < 0)
        reply_timer.stop();
    else
        reply_timer.start(int(std::max<qint64>(0, setup.reply_timeout_ms - oldest)));
}

void Modbus_master::drop_connection(bool reset)
{
    if (socket) {
        QTcpSocket *old = socket;
        old->disconnect(this);
        socket = nullptr;
        if (!reset)
            old->disconnectFromHost();
        release_socket(old, reset);
    }
    buffer.clear();
    if (!closed_since.isValid())
        closed_since.start();
}

void Modbus_master::reconnect_soon(int delay_ms)
{
    if (done()) {
        check_finished();
        return;
    }
    QTimer::singleShot(delay_ms, this, &Modbus_master::connect_now);
}

void Modbus_master::check_finished()
{
    if (done() && !finish_told) {
        finish_told = true;
        emit finished(number);
    }
}

// Values differ from master to master and request to request, so that a reply carrying another
// request's values cannot pass.
quint16 Modbus_master::value(qint64 sequence, int k) const
{
    quint32 x = setup.seed * 0x9E3779B1U ^ quint32(number) * 0x85EBCA77U ^ quint32(sequence) * 0xC2B2AE3DU ^
                quint32(k) * 0x27D4EB2FU;
    x ^= x >> 15;
    x *= 0x2C1B3C6DU;
    x ^= x >> 12;
    return quint16(x ^ x >> 16);
}
