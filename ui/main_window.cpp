#include "ui/main_window.h"

Main_window::Main_window(QWidget *parent)
    : QWidget(parent)
{
    register_main_window(this);
}

Main_window::~Main_window()
{
    unregister_main_window(this);
}

void Main_window::on_servers_changed()
{
    view = take_servers_view();
}

void Main_window::on_clients_changed()
{
    const Link_view latest = take_clients_view();
    // The clients count is shown only while the link is ready; the next
    // servers_changed brings it up to date otherwise.
    if (latest.flags & link_ready)
        view.clients = latest.clients;
}
