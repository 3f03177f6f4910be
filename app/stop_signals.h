#pragma once

#include <QObject>

// Turns the requests to stop that reach the process from outside its windows into requests
// in the main thread: the first asks for the orderly exit, any later one for the immediate
// exit. On Linux these are SIGTERM, SIGINT and SIGHUP from a service manager or a terminal;
// where the build has no such signals, nothing is watched. One object at a time; its
// destruction gives the signals their earlier actions back.
class Stop_signals : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Stop_signals)
public:
    // Throws Err when the watching cannot be set up.
    explicit Stop_signals(QObject *parent = nullptr);
    ~Stop_signals() override;

signals:
    void orderly_exit();
    void immediate_exit();
};
