#include "script_server.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslKey>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

Script_server::Script_server(QObject *parent)
    : QObject(parent)
{
}

Script_server::~Script_server()
{
    for (QWebSocket *socket : qAsConst(sockets))
        socket->disconnect(this);
}

bool Script_server::listen()
{
    server = new QWebSocketServer(QStringLiteral("script"), QWebSocketServer::NonSecureMode, this);
    connect(server, &QWebSocketServer::newConnection, this, &Script_server::on_new_connection);
    return server->listen(QHostAddress::LocalHost, 0);
}

bool Script_server::listen_secure(const QSslConfiguration &tls)
{
    secure = true;
    server = new QWebSocketServer(QStringLiteral("script"), QWebSocketServer::SecureMode, this);
    server->setSslConfiguration(tls);
    connect(server, &QWebSocketServer::newConnection, this, &Script_server::on_new_connection);
    return server->listen(QHostAddress::LocalHost, 0);
}

QUrl Script_server::url() const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2").arg(secure ? "wss" : "ws").arg(server->serverPort()));
}

void Script_server::on_new_connection()
{
    while (QWebSocket *socket = server->nextPendingConnection()) {
        socket->setParent(this);
        sockets.append(socket);
        ++connections;
        ++open;
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &text) { on_text(socket, text); });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            close_codes.append(socket->closeCode());
            --open;
            sockets.removeOne(socket);
            socket->deleteLater();
        });
    }
}

void Script_server::on_text(QWebSocket *socket, const QString &text)
{
    texts.append(text);
    const QString cmd = QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("cmd")).toString();
    emit text_received(cmd);
    if (!replies.contains(cmd))
        return;
    const QString reply = replies.value(cmd);
    QTimer::singleShot(reply_delay_ms, socket, [this, socket, cmd, reply] {
        socket->sendTextMessage(reply);
        emit reply_sent(cmd);
    });
}

void Script_server::send_text(const QString &text)
{
    for (QWebSocket *socket : qAsConst(sockets))
        socket->sendTextMessage(text);
}

void Script_server::send_binary(const QByteArray &bytes)
{
    for (QWebSocket *socket : qAsConst(sockets))
        socket->sendBinaryMessage(bytes);
}

void Script_server::close_all()
{
    for (QWebSocket *socket : qAsConst(sockets))
        socket->close();
}

void Script_server::abort_all()
{
    for (QWebSocket *socket : qAsConst(sockets))
        socket->abort();
}

int Script_server::received(const QString &cmd) const
{
    int count = 0;
    for (const QString &text : texts) {
        if (QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("cmd")).toString() == cmd)
            ++count;
    }
    return count;
}

QSslConfiguration server_tls(const QString &name)
{
    QFile cert_file(QStringLiteral(QUVO_TEST_DATA "/%1.pem").arg(name));
    QFile key_file(QStringLiteral(QUVO_TEST_DATA "/%1.key").arg(name));
    cert_file.open(QIODevice::ReadOnly);
    key_file.open(QIODevice::ReadOnly);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(cert_file.readAll(), QSsl::Pem));
    tls.setPrivateKey(QSslKey(key_file.readAll(), QSsl::Rsa, QSsl::Pem));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}
