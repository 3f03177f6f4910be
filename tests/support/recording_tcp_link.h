#pragma once

#include "shared/downlink.h"
#include "tcp/tcp_link.h"

#include <QSet>
#include <QVector>

#include <algorithm>
#include <utility>

// The link and the keeper of a modem's port on its own: no Engine, no thread, no WebSocket.
// It keeps the messages handed to it as they came, takes them while fewer than `cap` wait,
// and notes what the server tells it.
class Recording_tcp_link : public Tcp_link, public Downlinks {
public:
    QVector<Downlink> messages;
    QVector<const Downlink_origin *> dropped;
    QVector<const Downlink_origin *> detached;
    int cap = 64;
    int clients_told = 0;
    bool client_noted = false;
    int out_of_descriptors_told = 0;
    int alive = 1;
    QSet<Modem_port *> servers;

    bool enqueue_message(Downlink message) override
    {
        if (messages.size() >= cap)
            return false;
        messages.append(std::move(message));
        return true;
    }
    void drop_messages_of(const Downlink_origin *origin) override
    {
        dropped.append(origin);
        messages.erase(std::remove_if(messages.begin(), messages.end(),
                                      [origin](const Downlink &m) { return m.origin == origin; }),
                       messages.end());
    }
    void detach_messages_of(const Downlink_origin *origin) override
    {
        detached.append(origin);
        for (Downlink &m : messages) {
            if (m.origin == origin)
                m.origin = nullptr;
        }
    }
    int modem_cap() const override { return cap; }
    void note_client(const Modem_port *, bool connected) override { client_noted = connected; }
    void client_count_changed() override { ++clients_told; }
    void server_started(Modem_port *server) override
    {
        servers.insert(server);
        ++alive;
    }
    void server_destroyed(Modem_port *server) override
    {
        servers.remove(server);
        --alive;
    }
    void out_of_descriptors() override { ++out_of_descriptors_told; }
};
