#pragma once

#include "config/devices.h"
#include "link/command.h"

#include <memory>

// One block of client bytes bound for one modem: what a Tcp_server collects between
// two pauses of its client, sent as one downlink.
class Client_message : public Command {
public:
    // Room for capacity bytes; throws Err when the memory cannot be had.
    Client_message(Tcp_server *owner, Eui eui, int capacity);

    void send(Ws_connection &link) override;
    void release() override;

    char *data() { return buffer.get(); }
    const char *data() const { return buffer.get(); }
    int capacity() const { return capacity_end; }

    const Eui eui;
    int length = 0;

private:
    std::unique_ptr<char[]> buffer;
    const int capacity_end;
};
