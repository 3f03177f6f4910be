#include "soak/soak_peer.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr int release_limit_ms = 10000;

}  // namespace

Soak_peer::Soak_peer(int index, QObject *parent)
    : QObject(parent)
    , number(index)
{
}

void release_socket(QTcpSocket *socket, bool reset)
{
    if (reset) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(release_limit_ms, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}
