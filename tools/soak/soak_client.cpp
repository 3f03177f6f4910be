#include "soak/soak_client.h"

#include "soak/payload.h"
#include "soak/soak_tally.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

QString hex_start(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.left(16).toHex(' ')) + (bytes.size() > 16 ? QStringLiteral(" ...") : QString());
}

}  // namespace

Soak_client::Soak_client(int index, quint16 tcp_port, const Client_setup &client_setup, Soak_tally &soak_tally,
                         Payload_history &payloads, QObject *parent)
    : Soak_peer(index, parent)
    , port(tcp_port)
    , setup(client_setup)
    , tally(soak_tally)
    , history(payloads)
{
    reply_timer.setSingleShot(true);
    connect(&reply_timer, &QTimer::timeout, this, &Soak_client::on_reply_timeout);
}

Soak_client::~Soak_client()
{
    if (socket)
        socket->disconnect(this);
}

void Soak_client::start()
{
    closed_since.start();
    connect_now();
}

void Soak_client::stop_sending()
{
    stopping = true;
    check_finished();
}

void Soak_client::abandon()
{
    stopping = true;
    if (current >= 0) {
        ++tally.lost;
        tally.note(QStringLiteral("client %1 request %2: no reply when the time was up").arg(number).arg(current));
        current = -1;
    }
    reply_timer.stop();
    drop_connection();
    check_finished();
}

void Soak_client::halt()
{
    halted = true;
    stopping = true;
    reply_timer.stop();
    if (socket)
        socket->disconnect(this);
}

bool Soak_client::done() const
{
    if (gave_up)
        return true;
    return current < 0 && (stopping || (setup.requests >= 0 && next_request >= setup.requests));
}

bool Soak_client::connected() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

int Soak_client::requests_left() const
{
    return setup.requests < 0 ? std::numeric_limits<int>::max() : setup.requests - next_request;
}

void Soak_client::doom()
{
    doomed = true;
}

void Soak_client::give_up_reply(int wait_ms)
{
    doom();
    if (current >= 0)
        reply_timer.start(wait_ms);
}

void Soak_client::kill(bool reset)
{
    leave_connection(reset ? Leave::reset : Leave::close);
    reconnect_soon(0);
}

void Soak_client::replace()
{
    leave_connection(Leave::keep_open);
    connect_now();
}

void Soak_client::leave_connection(Leave how)
{
    doom();
    if (current >= 0) {
        late_candidate = payload;
        settle_lost();
    }
    if (socket) {
        QTcpSocket *old = socket;
        old->disconnect(this);
        socket = nullptr;
        if (how == Leave::close)
            old->disconnectFromHost();
        release_socket(old, how == Leave::reset);
    }
    stream.clear();
    closed_since.start();
}

void Soak_client::connect_now()
{
    if (halted || done() || socket)
        return;
    auto *fresh = new QTcpSocket(this);
    socket = fresh;
    connect(fresh, &QTcpSocket::connected, this, &Soak_client::on_connected);
    connect(fresh, &QTcpSocket::readyRead, this, &Soak_client::on_ready_read);
    connect(fresh, &QTcpSocket::disconnected, this, &Soak_client::on_closed);
    connect(fresh, &QAbstractSocket::errorOccurred, this, [this, fresh] {
        if (fresh == socket && fresh->state() != QAbstractSocket::ConnectedState && !socket_up)
            on_connect_failed();
    });
    socket_up = false;
    fresh->connectToHost(QHostAddress::LocalHost, port);
}

void Soak_client::on_connected()
{
    socket_up = true;
    doomed = false;
    closed_since.invalidate();
    stream.clear();
    if (!late_candidate.isEmpty())
        stream.tolerate_late(std::exchange(late_candidate, {}));
    send_next();
}

void Soak_client::on_ready_read()
{
    if (!socket)
        return;
    const QByteArray bytes = socket->readAll();
    tally.bytes_received += bytes.size();
    stream.add(bytes);
    evaluate();
}

void Soak_client::evaluate()
{
    for (;;) {
        const int late_before = stream.late_replies();
        const Reply_stream::Verdict verdict = stream.check();
        tally.late += stream.late_replies() - late_before;
        if (verdict == Reply_stream::Verdict::waiting)
            return;
        reply_timer.stop();
        if (verdict == Reply_stream::Verdict::passed) {
            ++tally.passed;
            tally.latencies_us.append(qint32(std::min<qint64>(sent_at.nsecsElapsed() / 1000, 2000000000)));
            ++passes;
            current = -1;
            if (!doomed)
                emit served(number);
            send_next();
            continue;
        }
        const QByteArray wrong = stream.wrong_bytes();
        const bool mixed = history.belongs_elsewhere(wrong, number, current);
        ++(mixed ? tally.mixed : tally.corrupted);
        tally.note(QStringLiteral("client %1 request %2: %3 reply, %4 bytes awaited, wrong from: %5")
                       .arg(number)
                       .arg(current)
                       .arg(mixed ? QStringLiteral("mixed") : QStringLiteral("corrupted"))
                       .arg(payload.size())
                       .arg(hex_start(wrong)));
        current = -1;
        // The stream is out of step now: start again on a fresh connection.
        drop_connection();
        reconnect_soon(0);
        return;
    }
}

void Soak_client::on_closed()
{
    if (sender() != socket)
        return;
    if (current >= 0) {
        late_candidate = payload;
        settle_lost();
    } else if (!doomed && !done()) {
        ++tally.unexplained_closes;
        tally.note(QStringLiteral("client %1: the program closed the connection between requests").arg(number));
    }
    drop_connection();
    reconnect_soon(20);
}

void Soak_client::on_connect_failed()
{
    drop_connection();
    if (closed_since.isValid() && closed_since.elapsed() > setup.reconnect_limit_ms) {
        gave_up = true;
        ++tally.stuck_clients;
        tally.note(QStringLiteral("client %1: port %2 stayed closed for %3 s").arg(number).arg(port).arg(
            setup.reconnect_limit_ms / 1000));
        check_finished();
        return;
    }
    reconnect_soon(100);
}

void Soak_client::on_reply_timeout()
{
    if (current < 0)
        return;
    late_candidate = payload;
    settle_lost();
    drop_connection();
    reconnect_soon(0);
}

void Soak_client::send_next()
{
    if (done()) {
        check_finished();
        return;
    }
    if (!connected())
        return;
    current = next_request++;
    payload = request_payload(setup.seed, number, current, setup.max_length);
    history.add(number, current, payload);
    stream.expect(payload);
    socket->write(payload);
    ++tally.sent;
    tally.bytes_sent += payload.size();
    sent_at.start();
    reply_timer.start(setup.reply_timeout_ms);
}

void Soak_client::settle_lost()
{
    reply_timer.stop();
    if (doomed) {
        ++tally.lost_to_faults;
    } else {
        ++tally.lost;
        tally.note(QStringLiteral("client %1 request %2: no reply (%3 bytes sent %4 ms before)")
                       .arg(number)
                       .arg(current)
                       .arg(payload.size())
                       .arg(sent_at.elapsed()));
    }
    current = -1;
}

void Soak_client::drop_connection()
{
    if (socket) {
        QTcpSocket *old = socket;
        old->disconnect(this);
        socket = nullptr;
        release_socket(old, true);
    }
    stream.clear();
    if (!closed_since.isValid())
        closed_since.start();
}

void Soak_client::reconnect_soon(int delay_ms)
{
    if (done()) {
        check_finished();
        return;
    }
    QTimer::singleShot(delay_ms, this, &Soak_client::connect_now);
}

void Soak_client::check_finished()
{
    if (done() && !finish_told) {
        finish_told = true;
        emit finished(number);
    }
}
