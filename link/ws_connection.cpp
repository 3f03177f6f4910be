#include "link/ws_connection.h"

#include "base/err.h"
#include "base/log.h"
#include "config/settings.h"
#include "link/link_log.h"
#include "link/server_commands.h"
#include "shared/shared_state.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QSslConfiguration>
#include <QTimerEvent>
#include <QUrl>

#include <exception>
#include <utility>

namespace {

constexpr unsigned module = 7;

QString tr_log(const char *text)
{
    return QCoreApplication::translate("log", text);
}

} // namespace

Ws_connection::Ws_connection(Link_servers &servers)
    : servers(servers)
{
    if (!connect(&socket, &QWebSocket::sslErrors, this, &Ws_connection::on_ssl_error))
        throw Debug(place_code(module, 40));
    if (!connect(&socket, &QWebSocket::connected, this, &Ws_connection::on_connected))
        throw Debug(place_code(module, 41));
    if (!connect(&socket, &QWebSocket::binaryMessageReceived, this, &Ws_connection::on_binary_message))
        throw Debug(place_code(module, 42));
    if (!connect(&socket, &QWebSocket::textMessageReceived, this, &Ws_connection::on_text_message))
        throw Debug(place_code(module, 43));
    if (!connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
                 &Ws_connection::on_error))
        throw Debug(place_code(module, 44));
    if (!connect(&socket, &QWebSocket::disconnected, this, &Ws_connection::on_disconnected))
        throw Debug(place_code(module, 45));
    if (!connect(&wire, &Command_wire::timed_out, this, &Ws_connection::on_reply_timeout)
        || !connect(&wire, &Command_wire::fatal, this, &Ws_connection::fatal_stop)
        || !connect(&traffic, &Link_traffic::fatal, this, &Ws_connection::fatal_stop))
        throw Debug(place_code(module, 48));
    register_ws_connection(this);
}

Ws_connection::~Ws_connection()
{
    // The socket outlives this body; nothing it reports may reach a half-destroyed link.
    socket.disconnect(this);
    socket.abort();
    drop_link();
    unregister_ws_connection(this);
}

void Ws_connection::start_connect()
{
    if (!start_connect_timer(settings.ws_connect_timeout, 78))
        return;
    if (!settings.ws_cert.isNull()) {
        QSslConfiguration tls = socket.sslConfiguration();
        Certificate_check::prepare(tls);
        socket.setSslConfiguration(tls);
    }
    certificate.start();
    flags |= connecting | expect_disconnected | expect_error;
    socket.open(QUrl(settings.ws_url));
}

void Ws_connection::on_ssl_error(const QList<QSslError> &errors)
{
    if (!certificate.on_errors(errors))
        return;
    // Copying the list may allocate, and nothing may leave a slot.
    try {
        socket.ignoreSslErrors(errors);
    } catch (...) {
        log_unexpected(place_code(module, 46));
    }
}

void Ws_connection::on_connected()
{
    try {
        if (!(flags & connecting)) {
            fatal_stop(unexpected_error_text(place_code(module, 79)));
            return;
        }
        flags &= ~connecting;
        flags |= connected;
        // The attempt's time-out still bounds a close that follows here.
        if (!certificate.on_connected(socket.sslConfiguration())) {
            close_socket();
            return;
        }
        log_line(tr_log("Установлено соединение с сервером QUVO-LoRa."));
        if (flags & shutting_down) {
            close_socket();
            return;
        }
        attempt_timer.stop();
        if (!wire.send(Command_kind::auth_req, auth_req_text(settings.ws_login, settings.ws_password)))
            return;
        show_link_state(link_started);
    } catch (const std::exception &e) {
        log_exception(e, connect_failed_text());
        socket.abort();
    } catch (...) {
        log_unexpected(place_code(module, 47));
        socket.abort();
    }
}

void Ws_connection::on_text_message(const QString &message)
{
    trace_received(message);
    try {
        read_reply(message);
        return;
    } catch (const std::exception &e) {
        log_exception(e, tr_log("Не удалось обработать сообщение от сервера QUVO-LoRa."));
    } catch (...) {
        log_unexpected(place_code(module, 17));
    }
    trace_bad_text(message);
    bad_message();
}

void Ws_connection::on_binary_message(const QByteArray &message)
{
    log_binary_frame(message);
    bad_message();
}

void Ws_connection::bad_message()
{
    flags &= ~(connecting | connected);
    socket.abort();
    link_lost();
}

void Ws_connection::on_error(QAbstractSocket::SocketError error)
{
    const quint8 was = flags;
    flags &= ~(connecting | connected | expect_error);
    const QString error_string = socket.errorString();
    if (was & connecting) {
        log_line(text_connect_error().arg(static_cast<int>(error)).arg(error_string));
        socket.abort();
        fail_before_ready();
    } else if (was & connected) {
        fail_connected(Link_failure::error(static_cast<int>(error), error_string));
    } else if (!(was & expect_error)) {
        fatal_stop(unexpected_error_text(place_code(module, 126)));
    }
}

void Ws_connection::on_disconnected()
{
    const quint8 was = flags;
    flags &= ~(connecting | connected | expect_disconnected);
    if (was & connecting) {
        log_line(connect_failed_text());
        fail_before_ready();
    } else if (was & connected) {
        fail_connected(Link_failure::disconnected(was & shutting_down));
    } else if (!(was & expect_disconnected)) {
        fatal_stop(unexpected_error_text(place_code(module, 26)));
    }
}

void Ws_connection::timerEvent(QTimerEvent *event)
{
    const int id = event->timerId();
    if (id == 0) {
        log_unexpected(place_code(module, 32));
    } else if (id == attempt_timer.timerId()) {
        on_attempt_timeout();
    } else {
        log_unexpected(place_code(module, 33));
        killTimer(id);
    }
}

void Ws_connection::on_attempt_timeout()
{
    const quint8 was = flags;
    flags &= ~(connecting | connected | reconnect_wait);
    if (was & connecting) {
        log_line(tr_log("Тайм-аут установления соединения WebSocket с сервером QUVO-LoRa (ждали более %1 "
                        "миллисекунд).")
                     .arg(settings.ws_connect_timeout));
        socket.abort();
        fail_before_ready();
    } else if (was & connected) {
        fail_connected(Link_failure::timeout());
    } else if (was & reconnect_wait) {
        attempt_timer.stop();
        start_connect();
    } else {
        fatal_stop(unexpected_error_text(place_code(module, 26)));
    }
}

void Ws_connection::on_reply_timeout()
{
    const quint8 was = flags;
    flags &= ~connected;
    if (was & connected)
        fail_connected(Link_failure::timeout());
    else
        fatal_stop(unexpected_error_text(place_code(module, 26)));
}

void Ws_connection::fail_connected(const Link_failure &failure)
{
    // The row is chosen before the abort, whose notifications may change the handler.
    const Command_kind awaited = wire.awaited();
    const Failure_end end = command_row(awaited).end;
    const QString line = failure_line(awaited, failure);
    if (!line.isEmpty())
        log_line(line);
    if (failure.event != Link_failure::Event::disconnected)
        socket.abort();
    switch (end) {
    case Failure_end::before_ready:
        fail_before_ready();
        break;
    case Failure_end::link_lost:
        link_lost();
        break;
    }
}

void Ws_connection::fail_before_ready()
{
    attempt_timer.stop();
    wire.reset();
    show_link_state(0);
    after_failure();
}

void Ws_connection::show_link_state(quint8 bits)
{
    bool notify = false;
    {
        QMutexLocker lock(&state_mutex);
        notify = note_link_state(bits);
    }
    if (notify)
        emit servers_changed();
}

void Ws_connection::link_lost()
{
    attempt_timer.stop();
    wire.reset();
    drop_link();
    after_failure();
}

void Ws_connection::drop_link()
{
    traffic.clear();
    servers.link_dropped();
}

void Ws_connection::after_failure()
{
    wire.reset();
    if (flags & shutting_down) {
        servers.link_at_rest();
        return;
    }
    if (start_delay_timer(settings.ws_reconnect_delay, 91))
        flags |= reconnect_wait;
}

void Ws_connection::on_shutdown()
{
    if (flags & shutting_down)
        return;
    flags |= shutting_down;
    traffic.stop_polling();
    if (flags & connected) {
        close_socket();
        return;
    }
    if (flags & connecting)
        return;
    // A reconnect delay must not start a new attempt, nor give the share back a second time.
    if (flags & reconnect_wait) {
        flags &= ~reconnect_wait;
        attempt_timer.stop();
    }
    servers.link_at_rest();
}

void Ws_connection::close_socket()
{
    socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void Ws_connection::fatal_stop(const QString &text)
{
    log_line(text);
    const quint8 was = flags;
    flags &= expect_disconnected | expect_error | shutting_down;
    if (was & (connecting | connected))
        socket.abort();
    attempt_timer.stop();
    wire.reset();
    drop_link();
    emit fatal_error();
}

bool Ws_connection::start_connect_timer(int milliseconds, unsigned place)
{
    if (milliseconds == 0) {
        attempt_timer.stop();
        return true;
    }
    return start_delay_timer(milliseconds, place);
}

bool Ws_connection::start_delay_timer(int milliseconds, unsigned place)
{
    attempt_timer.start(milliseconds, Qt::CoarseTimer, this);
    if (attempt_timer.isActive())
        return true;
    fatal_stop(unexpected_error_text(place_code(module, place)));
    return false;
}

void Ws_connection::read_reply(const QString &message)
{
    protocol.read(message, command_row(wire.awaited()).reply_handler);
}
