#include "link/ws_connection.h"

#include "app/engine.h"
#include "app/log.h"
#include "app/shared_state.h"
#include "config/devices.h"
#include "config/settings.h"

#include <QMutexLocker>

#include <utility>

Ws_connection::Ws_connection(Engine &engine)
    : engine(engine)
{
    register_ws_connection(this);
}

Ws_connection::~Ws_connection()
{
    release_queue();
    unregister_ws_connection(this);
}

void Ws_connection::enqueue_message(Command *command)
{
    command->next = nullptr;
    if (!(flags & connected)) {
        // Only a link that is up carries commands; whatever arrives later is dropped.
        command->release();
        return;
    }
    if (!in_flight) {
        in_flight = command;
        command->send(*this);
        return;
    }
    if (queue_tail)
        queue_tail->next = command;
    else
        queue_head = command;
    queue_tail = command;
}

void Ws_connection::drop_messages_of(const Tcp_server *server)
{
    Command *kept_tail = nullptr;
    Command **link = &queue_head;
    while (Command *command = *link) {
        if (command->owner == server) {
            *link = command->next;
            command->next = nullptr;
            command->release();
        } else {
            kept_tail = command;
            link = &command->next;
        }
    }
    queue_tail = kept_tail;
    if (in_flight && in_flight->owner == server)
        in_flight->owner = nullptr;
}

void Ws_connection::detach_messages_of(const Tcp_server *server)
{
    for (Command *command = queue_head; command; command = command->next) {
        if (command->owner == server)
            command->owner = nullptr;
    }
    if (in_flight && in_flight->owner == server)
        in_flight->owner = nullptr;
}

void Ws_connection::send_next()
{
    Command *command = queue_head;
    if (!command) {
        in_flight = nullptr;
        return;
    }
    queue_head = command->next;
    if (!queue_head)
        queue_tail = nullptr;
    command->next = nullptr;
    in_flight = command;
    command->send(*this);
}

void Ws_connection::release_queue()
{
    while (Command *command = queue_head) {
        queue_head = command->next;
        command->next = nullptr;
        command->release();
    }
    queue_tail = nullptr;
    if (Command *command = std::exchange(in_flight, nullptr))
        command->release();
}

void Ws_connection::send_downlink(quint64 eui, const unsigned char *data, std::size_t size)
{
    const QByteArray hex =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size)).toHex();
    send_text(QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"%1\",\"data\":\"04%2\","
                             "\"port\":2}]}")
                  .arg(format_eui(eui), QString::fromLatin1(hex)));
}

void Ws_connection::send_text(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    if (settings.trace_ws == Trace_level::all)
        log_utf8("to(QUVO-LoRa): ", utf8.constData(), static_cast<std::size_t>(utf8.size()));
    socket.sendTextMessage(text);
}

void Ws_connection::increment_alive_count()
{
    ++alive_count;
}

void Ws_connection::decrement_alive_count()
{
    if (--alive_count != 0)
        return;
    bool ending = flags & shutting_down;
    if (!ending) {
        QMutexLocker lock(&state_mutex);
        ending = state_flags & shutdown_requested;
    }
    if (ending)
        engine.exit(0);
}

void Ws_connection::on_shutdown()
{
    if (flags & shutting_down)
        return;
    flags |= shutting_down;
    decrement_alive_count();
}
