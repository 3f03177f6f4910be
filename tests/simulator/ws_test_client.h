#pragma once

// A plain WebSocket client that records everything the simulated server sends.

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QTest>
#include <QUrl>
#include <QWebSocket>

class Ws_test_client {
public:
    explicit Ws_test_client(const QUrl &url, bool trust_any_certificate = false)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString &text) { texts.append(text); });
        QObject::connect(&socket, &QWebSocket::binaryMessageReceived, &socket,
                         [this](const QByteArray &bytes) { binaries.append(bytes); });
        QObject::connect(&socket, &QWebSocket::pong, &socket, [this](quint64, const QByteArray &) { ++pongs; });
        QObject::connect(&socket, &QWebSocket::connected, &socket, [this] { connected = true; });
        QObject::connect(&socket, &QWebSocket::disconnected, &socket, [this] { disconnected = true; });
        QObject::connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), &socket,
                         [this](QAbstractSocket::SocketError) { failed = true; });
        if (trust_any_certificate) {
            QObject::connect(&socket, &QWebSocket::sslErrors, &socket,
                             [this](const QList<QSslError> &) { socket.ignoreSslErrors(); });
        }
        socket.open(url);
    }
    Q_DISABLE_COPY(Ws_test_client)

    void send(const QString &text) { socket.sendTextMessage(text); }

    // Pings the server and waits for its pong. Frames keep their order on a connection, so
    // whatever the server sent at once for what came before the ping has come by then.
    bool caught_up()
    {
        const int before = pongs;
        socket.ping();
        return QTest::qWaitFor([&] { return pongs > before; }, 5000);
    }

    QJsonObject json(int index) const { return QJsonDocument::fromJson(texts.value(index).toUtf8()).object(); }

    // Received texts whose "cmd" is the given one.
    QList<QJsonObject> with_cmd(const QString &cmd) const
    {
        QList<QJsonObject> found;
        for (const QString &text : texts) {
            const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
            if (object.value(QLatin1String("cmd")).toString() == cmd)
                found.append(object);
        }
        return found;
    }

    QWebSocket socket;
    QStringList texts;
    QList<QByteArray> binaries;
    bool connected = false;
    bool disconnected = false;
    bool failed = false;
    int pongs = 0;
};
