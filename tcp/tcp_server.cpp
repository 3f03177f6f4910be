#include "tcp/tcp_server.h"

#include "app/err.h"
#include "app/log.h"
#include "app/shared_state.h"
#include "config/settings.h"
#include "link/ws_connection.h"
#include "tcp/peer_access.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

constexpr unsigned module = 8;

bool tracing()
{
    return settings.trace_tcp == Trace_level::all;
}

void trace(const QString &line)
{
    if (tracing())
        log_line(line);
}

} // namespace

Tcp_server::Tcp_server(Ws_connection &owner, Eui eui, const Device_params &params)
    : group(eui), owner(&owner), eui(eui), max_frame(params.max_frame), tcp_port(params.tcp_port),
      message(params.max_frame)
{
    if (!connect(&listener, &QTcpServer::newConnection, this, &Tcp_server::on_new_connection))
        throw Debug(place_code(module, 1));
    trace(prefix() + QStringLiteral(".listen"));
    if (!listener.listen(settings.tcp_listen, tcp_port)) {
        static const QString text = QCoreApplication::translate(
            "log", "Не удалось создать серверный сокет, слушающий порт TCP %1. Qt говорит: «%2».");
        static const QString text_at = QCoreApplication::translate(
            "log", "Не удалось создать серверный сокет, слушающий порт TCP %1 на адресе %2. Qt говорит: «%3».");
        if (settings.tcp_listen == QHostAddress::Any)
            throw Err(text.arg(QString::number(tcp_port), listener.errorString()));
        throw Err(text_at.arg(QString::number(tcp_port), settings.tcp_listen.toString(), listener.errorString()));
    }
    owner.increment_alive_count();
}

Tcp_server::~Tcp_server()
{
    // Only shutdown_server or the last socket going away gets here, so no socket is
    // left; should one be, it must not call back into a half-destroyed server.
    for (QObject *socket : qAsConst(sockets))
        socket->disconnect(this);
    trace(prefix() + QStringLiteral(".shutdown_server_ok"));
    if (owner) {
        // No message may name a server that is gone.
        owner->detach_messages_of(this);
        owner->decrement_alive_count();
    }
}

QString Tcp_server::prefix() const
{
    return QStringLiteral("tcp%1").arg(tcp_port);
}

QString Tcp_server::peer_prefix(const QTcpSocket *socket) const
{
    return QStringLiteral("tcp%1(peer=[%2]:%3)")
        .arg(tcp_port)
        .arg(socket->peerAddress().toString())
        .arg(socket->peerPort());
}

void Tcp_server::close_socket(QTcpSocket *socket)
{
    trace(peer_prefix(socket) + QStringLiteral(".shutdown"));
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        return;
    // Still handing over its unsent bytes; the timer dies with the socket.
    QTimer::singleShot(close_wait_ms, socket, [socket, port = tcp_port] {
        static const QString text = QCoreApplication::translate(
            "log", "Клиент на порту %1 не принял отправленные ему данные (%2 байтов) за %3 мс после закрытия "
                   "соединения. Соединение разорвано.");
        log_line(text.arg(port).arg(socket->bytesToWrite()).arg(close_wait_ms));
        socket->abort();
        socket->deleteLater();
    });
}

void Tcp_server::notify_clients_changed(bool needed)
{
    if (needed && owner && owner->is_connected())
        emit owner->clients_changed();
}

void Tcp_server::on_new_connection()
{
    try {
        QTcpSocket *socket = accept_next();
        if (socket)
            serve(socket);
    } catch (const std::exception &e) {
        log_exception(e, QCoreApplication::translate("log", "Не удалось принять соединение от клиента TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 120));
    }
}

// Takes every pending connection; all but the newest are closed at once.
QTcpSocket *Tcp_server::accept_next()
{
    QTcpSocket *candidate = nullptr;
    QTcpSocket *socket = listener.nextPendingConnection();
    if (!socket) {
        log_unexpected(place_code(module, 2));
        return nullptr;
    }
    for (; socket; socket = listener.nextPendingConnection()) {
        if (!peer_allowed(socket->peerAddress())) {
            refuse(socket);
            continue;
        }
        trace(peer_prefix(socket) + QStringLiteral(".accept"));
        if (!connect(socket, &QObject::destroyed, this, &Tcp_server::on_connection_destroyed)) {
            log_unexpected(place_code(module, 103));
            delete socket;
            continue;
        }
        ++refs;
        sockets.insert(socket);
        if (!connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater)) {
            log_unexpected(place_code(module, 4));
            socket->deleteLater();
            continue;
        }
        if (candidate)
            close_socket(candidate);
        candidate = socket;
    }
    return candidate;
}

// Closed at once: a client that tcp_allow keeps out is neither counted nor served, and the
// client being served stays.
void Tcp_server::refuse(QTcpSocket *socket)
{
    trace(peer_prefix(socket) + QStringLiteral(".refused"));
    refusal_log().refused(tcp_port, socket->peerAddress(), socket->peerPort());
    socket->abort();
    delete socket;
}

void Tcp_server::serve(QTcpSocket *socket)
{
    if (client) {
        replace_client(socket);
    } else {
        bool notify;
        {
            QMutexLocker lock(&state_mutex);
            ++clients_count;
            client = socket;
            notify = note_clients_changed();
        }
        notify_clients_changed(notify);
    }
    try {
        if (!connect(socket, &QTcpSocket::readyRead, this, &Tcp_server::on_ready_read))
            throw Debug(place_code(module, 3));
        if (!connect(socket, &QTcpSocket::disconnected, this, &Tcp_server::on_client_disconnected))
            throw Debug(place_code(module, 8));
        serving = true;
        message.clear();
        return;
    } catch (const std::exception &e) {
        static const QString context = QCoreApplication::translate(
            "log", "Не удалось подготовиться к обмену с клиентом через установленное соединение.");
        log_exception(e, context);
    } catch (...) {
        log_unexpected(place_code(module, 5));
    }
    message.clear();
    serving = false;
    group.reset();
    close_socket(socket);
}

// The newcomer takes over; what the old client had sent but not yet got through is dropped.
void Tcp_server::replace_client(QTcpSocket *socket)
{
    QTcpSocket *old = client;
    {
        QMutexLocker lock(&state_mutex);
        client = socket;
    }
    if (!serving)
        return;
    end_client_state();
    close_socket(old);
}

// Forgets everything of the client being served; its queued messages are not sent.
void Tcp_server::end_client_state()
{
    if (owner)
        owner->drop_messages_of(this);
    stop_timer();
    group.reset();
    serving = false;
}

void Tcp_server::shutdown_client()
{
    if (!serving || !client)
        return;
    end_client_state();
    message.clear();
    close_socket(client);
}

void Tcp_server::downlink_refused()
{
    shutdown_client();
}

void Tcp_server::stop_timer()
{
    if (timer_id) {
        killTimer(timer_id);
        timer_id = 0;
    }
}

void Tcp_server::on_ready_read()
{
    try {
        read_client();
    } catch (const std::exception &e) {
        log_exception(e, QCoreApplication::translate("log", "Не удалось обработать данные от клиента TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 121));
    }
}

void Tcp_server::read_client()
{
    if (!serving) {
        trace(prefix() + QStringLiteral(".recv ignored"));
        return;
    }
    QObject *from = sender();
    if (from != client) {
        if (auto *socket = qobject_cast<QTcpSocket *>(from))
            trace(peer_prefix(socket) + QStringLiteral(".recv ignored"));
        else
            log_unexpected(place_code(module, 63));
        return;
    }
    const int before = message.size();
    const qint64 wanted = std::min(message.space(), std::max<qint64>(client->bytesAvailable(), 1));
    qint64 got = 0;
    try {
        got = message.read_from(*client, wanted);
    } catch (const Err &) {
        // Already logged; without room for its bytes this client cannot be served any more.
        shutdown_client();
        return;
    }
    // Traced before the limit is checked, so that at "all" an overlong message is in the log whole.
    if (got > 0 && got <= wanted && tracing())
        log_data((prefix() + QStringLiteral(".recv ")).toUtf8().constData(), message.data() + before,
                 std::size_t(got));
    if (got > wanted) {
        log_unexpected(place_code(module, 6));
        shutdown_client();
    } else if (got > 0 && message.overlong()) {
        static const QString text = QCoreApplication::translate(
            "log", "Ошибка: от клиента на порту %1 пришло сообщение, размер которого превышает предельный для "
                   "этого клиента (%2 байтов). Предельный размер сообщения можно настроить в файле конфигурации "
                   "и в описании устройства.");
        log_line(text.arg(tcp_port).arg(max_frame));
        if (settings.trace_tcp == Trace_level::bad_frames)
            log_data("Уже принятая часть сообщения, вызвавшего предыдущую ошибку: ", message.data(),
                     std::size_t(message.size()));
        shutdown_client();
    } else if (got > 0) {
        stop_timer();
        timer_id = startTimer(int(settings.interframe_delay), Qt::CoarseTimer);
        if (!timer_id)
            log_unexpected(place_code(module, 7));
    } else {
        static const QString text = QCoreApplication::translate(
            "log", "Ошибка при чтении принятых от клиента данных. Код ошибки=%1 («%2»). Длина прочитанных "
                   "данных=%3.");
        log_line(text.arg(int(client->error())).arg(client->errorString()).arg(got));
        shutdown_client();
    }
}

void Tcp_server::timerEvent(QTimerEvent *event)
{
    try {
        killTimer(event->timerId());
        if (event->timerId() != timer_id)
            return;
        timer_id = 0;
        finish_message();
    } catch (const std::exception &e) {
        log_exception(e, QCoreApplication::translate("log", "Не удалось передать сообщение клиента TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 122));
    }
}

// The client paused: what it sent since the last pause goes to the modem as one message.
void Tcp_server::finish_message()
{
    if (message.empty() || enqueue(message.take()))
        return;
    shutdown_client();
}

// False when the link already holds as many messages of this modem as it takes: the
// client sends faster than the modem's share of the link carries them.
bool Tcp_server::enqueue(QByteArray data)
{
    if (!owner || owner->enqueue_message(Downlink{eui, std::move(data), this}))
        return true;
    static const QString text = QCoreApplication::translate(
        "log", "Ошибка: клиент на порту %1 прислал сообщение, когда для этого устройства уже ждут отправки %2 "
               "сообщений (сервер QUVO-LoRa не успевает передавать их с такой скоростью). Обмен с клиентом "
               "прекращён, его сообщения, ещё не переданные серверу QUVO-LoRa, удалены.");
    log_line(text.arg(tcp_port).arg(owner->send_queue().modem_cap()));
    return false;
}

void Tcp_server::on_client_disconnected()
{
    try {
        // Sockets the program closes itself are counted out when destroyed (their closing
        // may run inside a section that holds state_mutex).
        if (sender() == client && serving) {
            client_left();
            client_gone();
        }
    } catch (const std::exception &e) {
        log_exception(e, QCoreApplication::translate("log", "Не удалось обработать закрытие соединения с "
                                                            "клиентом TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 124));
    }
}

// A client that leaves is gone from its disconnected on: nothing more is written to it, and
// another may take its place while its socket waits for deletion.
void Tcp_server::client_gone()
{
    bool notify;
    {
        QMutexLocker lock(&state_mutex);
        --clients_count;
        client = nullptr;
        notify = note_clients_changed();
    }
    notify_clients_changed(notify);
}

// The client closed the connection itself: what it sent is still delivered.
void Tcp_server::client_left()
{
    // What it sent is still delivered, unless its last message finds no room, which ends it
    // as for a client still there.
    if (!message.empty() && !enqueue(message.take()) && owner)
        owner->drop_messages_of(this);
    if (owner)
        owner->detach_messages_of(this);
    message.clear();
    stop_timer();
    group.reset();
    serving = false;
    departed = client;
    trace(prefix() + QStringLiteral(".disconnected"));
}

void Tcp_server::on_connection_destroyed(QObject *object)
{
    try {
        if (!sockets.remove(object)) {
            log_unexpected(place_code(module, 52));
            return;
        }
        // A client whose disconnected never came (it was deleted in another way) goes now.
        if (object == client) {
            if (serving)
                client_left();
            client_gone();
        }
        if (object == departed)
            departed = nullptr;
        else
            trace(prefix() + QStringLiteral(".shutdown_ok"));
    } catch (const std::exception &e) {
        log_exception(e, QCoreApplication::translate("log", "Не удалось обработать закрытие соединения с "
                                                            "клиентом TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 123));
    }
    if (refs == 1)
        deleteLater();
    else
        --refs;
}

void Tcp_server::shutdown_server()
{
    trace(prefix() + QStringLiteral(".shutdown_server"));
    listener.close();
    if (refs == 1) {
        delete this;
        return;
    }
    --refs;
    shutdown_client();
}

void Tcp_server::on_modem_data(const QByteArray &data, bool has_fcnt, std::uint32_t fcnt)
{
    if (!serving)
        return;
    QByteArray joined;
    switch (group.add(data, has_fcnt, fcnt, joined)) {
    case Packet_group::Outcome::complete:
        write_client(joined);
        break;
    case Packet_group::Outcome::lost:
        shutdown_client();
        break;
    default:
        break;
    }
}

void Tcp_server::write_client(const QByteArray &data)
{
    if (tracing())
        log_data((prefix() + QStringLiteral(".send ")).toUtf8().constData(), data.constData(),
                 std::size_t(data.size()));
    if (data.isEmpty())
        return;
    if (client->bytesToWrite() + data.size() > write_limit) {
        static const QString text = QCoreApplication::translate(
            "log", "Клиент на порту %1 не принимает данные от радиомодема с EUI=0x%2: ожидают отправки ему %3 "
                   "байтов, вместе с новыми было бы больше предельных %4. Соединение с клиентом разорвано.");
        log_line(text.arg(tcp_port).arg(format_eui(eui)).arg(client->bytesToWrite()).arg(write_limit));
        QTcpSocket *socket = client;
        shutdown_client();
        // What waits for it could never be handed over: no orderly close.
        socket->abort();
        return;
    }
    const qint64 written = client->write(data);
    if (written == data.size())
        return;
    const QString eui_text = format_eui(eui);
    if (written < 0) {
        static const QString text = QCoreApplication::translate(
            "log", "Ошибка при записи в сокет для передачи клиенту данных, принятых от радиомодема с EUI=0x%1.");
        log_line(text.arg(eui_text));
    } else {
        static const QString text = QCoreApplication::translate(
            "log", "Ошибка при записи в сокет для передачи клиенту данных, принятых от радиомодема с EUI=0x%1: "
                   "пытались записать %2 байтов, а записали %3.");
        log_line(text.arg(eui_text).arg(data.size()).arg(written));
    }
    shutdown_client();
}
