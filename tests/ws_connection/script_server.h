#pragma once

#include <QHash>
#include <QObject>
#include <QSslConfiguration>
#include <QStringList>
#include <QUrl>
#include <QVector>
#include <QWebSocketProtocol>

class QWebSocket;
class QWebSocketServer;

// A WebSocket server on loopback that answers each command with a text the test set up
// (or not at all), and records what it received and how connections ended.
class Script_server : public QObject {
    Q_OBJECT
public:
    explicit Script_server(QObject *parent = nullptr);
    ~Script_server() override;

    bool listen();
    bool listen_secure(const QSslConfiguration &tls);
    QUrl url() const;

    // "cmd" of a received command → the reply; no entry: no reply.
    QHash<QString, QString> replies;
    int reply_delay_ms = 0;

    void send_text(const QString &text);
    void send_binary(const QByteArray &bytes);
    void close_all();
    void abort_all();

    int received(const QString &cmd) const;
    QStringList texts;
    int connections = 0;
    int open = 0;
    QVector<QWebSocketProtocol::CloseCode> close_codes;  // as the client sent them, per ended connection

signals:
    void text_received(const QString &cmd);
    void reply_sent(const QString &cmd);

private:
    void on_new_connection();
    void on_text(QWebSocket *socket, const QString &text);

    QWebSocketServer *server = nullptr;
    QVector<QWebSocket *> sockets;
    bool secure = false;
};

// TLS set-up of the server from a PEM certificate and key in the test data.
QSslConfiguration server_tls(const QString &name);
