#include "tcp/tcp_sockets.h"

#include "base/err.h"
#include "base/log.h"
#include "config/settings.h"
#include "tcp/peer_access.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

bool tcp_tracing()
{
    return settings.trace_tcp == Trace_level::all;
}

void tcp_trace(const QString &line)
{
    if (tcp_tracing())
        log_line(line);
}

QString tcp_prefix(std::uint16_t tcp_port)
{
    return QStringLiteral("tcp%1").arg(tcp_port);
}

QString peer_prefix(std::uint16_t tcp_port, const QTcpSocket *socket)
{
    return QStringLiteral("tcp%1(peer=[%2]:%3)")
        .arg(tcp_port)
        .arg(socket->peerAddress().toString())
        .arg(socket->peerPort());
}

void close_client(QTcpSocket *socket, std::uint16_t tcp_port)
{
    tcp_trace(peer_prefix(tcp_port, socket) + QStringLiteral(".shutdown"));
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        return;
    // Still handing over its unsent bytes; the timer dies with the socket.
    QTimer::singleShot(close_wait_ms, socket, [socket, tcp_port] {
        static const QString text = QCoreApplication::translate(
            "log", "Клиент на порту %1 не принял отправленные ему данные (%2 байтов) за %3 мс после закрытия "
                   "соединения. Соединение разорвано.");
        log_line(text.arg(tcp_port).arg(socket->bytesToWrite()).arg(close_wait_ms));
        socket->abort();
        socket->deleteLater();
    });
}

void refuse_client(QTcpSocket *socket, std::uint16_t tcp_port)
{
    tcp_trace(peer_prefix(tcp_port, socket) + QStringLiteral(".refused"));
    refusal_log().refused(tcp_port, socket->peerAddress(), socket->peerPort());
    socket->abort();
    delete socket;
}

bool retry_accepting(QTcpServer &listener, int error, std::uint16_t tcp_port)
{
    // Long enough not to spin while descriptors are short, short enough for a waiting client.
    constexpr int retry_ms = 1000;
    const bool short_of_descriptors = error == QAbstractSocket::SocketResourceError;
    if (!short_of_descriptors) {
        static const QString text = QCoreApplication::translate(
            "log", "Не удалось принять соединение от клиента на порту TCP %1. Qt говорит: «%2».");
        log_line(text.arg(tcp_port).arg(listener.errorString()));
    }
    QTimer::singleShot(retry_ms, &listener, [&listener] {
        if (listener.isListening())
            listener.resumeAccepting();
    });
    return short_of_descriptors;
}

void listen_for_clients(QTcpServer &listener, std::uint16_t tcp_port)
{
    if (listener.listen(settings.tcp_listen, tcp_port))
        return;
    if (listener.serverError() == QAbstractSocket::SocketResourceError)
        throw Out_of_descriptors();
    static const QString text = QCoreApplication::translate(
        "log", "Не удалось создать серверный сокет, слушающий порт TCP %1. Qt говорит: «%2».");
    static const QString text_at = QCoreApplication::translate(
        "log", "Не удалось создать серверный сокет, слушающий порт TCP %1 на адресе %2. Qt говорит: «%3».");
    if (settings.tcp_listen == QHostAddress::Any)
        throw Err(text.arg(QString::number(tcp_port), listener.errorString()));
    throw Err(text_at.arg(QString::number(tcp_port), settings.tcp_listen.toString(), listener.errorString()));
}
