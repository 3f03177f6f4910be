#include "tcp/client_message.h"

#include "app/err.h"
#include "link/ws_connection.h"

#include <QCoreApplication>

#include <new>

Client_message::Client_message(Tcp_server *owner, Eui eui, int capacity)
    : eui(eui), buffer(new (std::nothrow) char[capacity]), capacity_end(capacity)
{
    if (!buffer) {
        static const QString text = QCoreApplication::translate(
            "log", "Не удалось выделить буфер размером %1 байтов для работы с сообщениями.");
        throw Err(text.arg(capacity));
    }
    this->owner = owner;
}

void Client_message::send(Ws_connection &link)
{
    link.send_downlink(eui, reinterpret_cast<const unsigned char *>(data()), std::size_t(length));
}

void Client_message::release()
{
    delete this;
}
