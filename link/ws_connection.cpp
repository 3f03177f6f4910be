#include "link/ws_connection.h"

#include "app/shared_state.h"

Ws_connection::Ws_connection(QObject *parent)
    : QObject(parent)
{
    register_ws_connection(this);
}

Ws_connection::~Ws_connection()
{
    unregister_ws_connection(this);
}

// Closing the connection in order belongs to the connection lifecycle.
void Ws_connection::on_shutdown()
{
}
