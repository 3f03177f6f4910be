#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

class Engine;
class Main_window;

// Tells a service manager how the program fares: ready once start-up is done and the event
// loop runs; the window's line of the link and the counts whenever it changes, at most once a
// second; stopping at the end; and, where the manager keeps a watchdog, that the program lives,
// but only while the exchange thread answers within the period, so that a hung thread gets the
// service restarted. Does nothing where no manager listens.
class Service_status : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Service_status)
public:
    Service_status(const Main_window &window, Engine &engine, QObject *parent = nullptr);

private:
    void on_ready();
    void on_display_changed();
    void on_stopping();
    void on_watchdog_tick();
    void send_status(const QByteArray &before);

    const Main_window &window;
    Engine &engine;
    QString status;
    QElapsedTimer since_status;
    QTimer status_delay;
    QTimer watchdog;
    std::chrono::milliseconds watchdog_period{0};
    bool stopping = false;
};
