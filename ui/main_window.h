#pragma once

#include "app/shared_state.h"

#include <QWidget>

// The program's one main window. It shows the state of the server link, which it
// learns from the exchange thread through the servers_changed and clients_changed
// notifications.
class Main_window : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY(Main_window)

public:
    // Registers the window as the last step, so that the link can reach it; throws
    // Debug when another main window exists.
    explicit Main_window(QWidget *parent = nullptr);
    ~Main_window() override;

    // What the window shows of the link at the moment.
    const Link_view &shown() const { return view; }

signals:
    void shutdown();

public slots:
    void on_servers_changed();
    void on_clients_changed();

private:
    Link_view view;
};
