#pragma once

#include <QObject>

// The program's one link to the network server. It lives in the exchange thread
// and tells the main window about changes of the link and of the TCP servers.
class Ws_connection : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Ws_connection)

public:
    // Registers the link as the last step, so that the window can reach it; throws
    // Debug when another link exists and The_end when shutdown was requested.
    explicit Ws_connection(QObject *parent = nullptr);
    ~Ws_connection() override;

signals:
    void servers_changed();
    void clients_changed();

public slots:
    void on_shutdown();
};
