#include "tcp/tcp_server.h"

#include "base/err.h"
#include "base/log.h"
#include "config/settings.h"
#include "shared/shared_state.h"
#include "tcp/peer_access.h"
#include "tcp/tcp_link.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QTcpSocket>

#include <exception>

namespace {

constexpr unsigned module = 8;

} // namespace

Tcp_server::Tcp_server(Tcp_link &keeper, Downlinks *downlinks, Eui eui, const Device_params &params)
    : keeper(&keeper), downlinks(downlinks), eui(eui), max_frame(params.max_frame), tcp_port(params.tcp_port), monitor(eui),
      uplink(eui, params.tcp_port, &monitor), reader(params.max_frame, params.tcp_port, &monitor)
{
    if (!connect(&listener, &QTcpServer::newConnection, this, &Tcp_server::on_new_connection)
        || !connect(&listener, &QTcpServer::acceptError, this, &Tcp_server::on_accept_error))
        throw Debug(place_code(module, 1));
    tcp_trace(prefix() + QStringLiteral(".listen"));
    listen_for_clients(listener, tcp_port);
    keeper.server_started(this);
}

Tcp_server::~Tcp_server()
{
    // Only shutdown_server or the last socket going away gets here, so no socket is
    // left; should one be, it must not call back into a half-destroyed server.
    for (QObject *socket : qAsConst(sockets))
        socket->disconnect(this);
    tcp_trace(prefix() + QStringLiteral(".shutdown_server_ok"));
    // No message may name a server that is gone.
    if (downlinks)
        downlinks->detach_messages_of(this);
    if (keeper)
        keeper->server_destroyed(this);
}

void Tcp_server::notify_clients_changed(bool needed)
{
    if (needed && keeper)
        keeper->client_count_changed();
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

void Tcp_server::on_accept_error(QAbstractSocket::SocketError error)
{
    if (retry_accepting(listener, error, tcp_port) && keeper)
        keeper->out_of_descriptors();
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
            refuse_client(socket, tcp_port);
            continue;
        }
        tcp_trace(peer_prefix(tcp_port, socket) + QStringLiteral(".accept"));
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
            close_client(candidate, tcp_port);
        candidate = socket;
    }
    return candidate;
}

void Tcp_server::serve(QTcpSocket *socket)
{
    const QString peer = Exchange_monitor::peer_of(*socket);
    const bool replacing = client != nullptr;
    if (replacing) {
        replace_client(socket);
    } else {
        bool notify;
        {
            QMutexLocker lock(&state_mutex);
            ++clients_count;
            client = socket;
            if (keeper)
                keeper->note_client(this, true);
            notify = note_clients_changed();
        }
        notify_clients_changed(notify);
    }
    client_peer = peer;
    monitor.client_event(replacing ? Monitor_row::Kind::replaced : Monitor_row::Kind::connected, peer, peer, 1);
    try {
        if (!connect(socket, &QTcpSocket::readyRead, this, &Tcp_server::on_ready_read))
            throw Debug(place_code(module, 3));
        if (!connect(socket, &QTcpSocket::disconnected, this, &Tcp_server::on_client_disconnected))
            throw Debug(place_code(module, 8));
        serving = true;
        reader.clear();
        return;
    } catch (const std::exception &e) {
        static const QString context = QCoreApplication::translate(
            "log", "Не удалось подготовиться к обмену с клиентом через установленное соединение.");
        log_exception(e, context);
    } catch (...) {
        log_unexpected(place_code(module, 5));
    }
    reader.clear();
    serving = false;
    uplink.reset();
    close_client(socket, tcp_port);
}

// The newcomer takes over; what the old client had sent but not yet got through is dropped.
void Tcp_server::replace_client(QTcpSocket *socket)
{
    QTcpSocket *old = client;
    client = socket;
    if (!serving)
        return;
    end_client_state();
    close_client(old, tcp_port);
}

// Forgets everything of the client being served; its queued messages are not sent.
void Tcp_server::end_client_state()
{
    if (downlinks)
        downlinks->drop_messages_of(this);
    pause_timer.stop();
    uplink.reset();
    serving = false;
}

void Tcp_server::shutdown_client()
{
    if (!serving || !client)
        return;
    end_client_state();
    reader.clear();
    close_client(client, tcp_port);
}

void Tcp_server::downlink_refused()
{
    monitor.refused();
    shutdown_client();
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
        tcp_trace(prefix() + QStringLiteral(".recv ignored"));
        return;
    }
    QObject *from = sender();
    if (from != client) {
        if (auto *socket = qobject_cast<QTcpSocket *>(from))
            tcp_trace(peer_prefix(tcp_port, socket) + QStringLiteral(".recv ignored"));
        else
            log_unexpected(place_code(module, 63));
        return;
    }
    if (!reader.read(*client)) {
        shutdown_client();
        return;
    }
    if (!pause_timer.restart(int(settings.interframe_delay)))
        log_unexpected(place_code(module, 7));
}

void Tcp_server::on_pause()
{
    try {
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
    if (!reader.hand_over(downlinks, this, eui))
        shutdown_client();
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
        if (keeper)
            keeper->note_client(this, false);
        notify = note_clients_changed();
    }
    notify_clients_changed(notify);
    monitor.client_event(Monitor_row::Kind::disconnected, client_peer, QString(), 0);
}

// The client closed the connection itself: what it sent is still delivered.
void Tcp_server::client_left()
{
    // What it sent is still delivered, unless its last message finds no room, which ends it
    // as for a client still there.
    if (!reader.hand_over(downlinks, this, eui))
        downlinks->drop_messages_of(this);
    if (downlinks)
        downlinks->detach_messages_of(this);
    reader.clear();
    pause_timer.stop();
    uplink.reset();
    serving = false;
    departed = client;
    tcp_trace(prefix() + QStringLiteral(".disconnected"));
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
            tcp_trace(prefix() + QStringLiteral(".shutdown_ok"));
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
    tcp_trace(prefix() + QStringLiteral(".shutdown_server"));
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
    switch (uplink.add(*client, data, has_fcnt, fcnt)) {
    case Uplink_writer::Outcome::fine:
        break;
    case Uplink_writer::Outcome::end_client:
        shutdown_client();
        break;
    case Uplink_writer::Outcome::cut_client: {
        QTcpSocket *socket = client;
        shutdown_client();
        socket->abort();
        break;
    }
    }
}
