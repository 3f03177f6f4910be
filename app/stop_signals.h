#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into requests in the main thread: the first asks for
// the orderly exit, any later one for the immediate exit. The handler itself only writes
// one byte to a pipe, which the main thread's event loop watches. One object at a time;
// its destruction gives the signals their earlier actions back.
class Stop_signals : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Stop_signals)
public:
    // Throws Err when the pipe or a handler cannot be set up.
    explicit Stop_signals(QObject *parent = nullptr);
    ~Stop_signals() override;

signals:
    void orderly_exit();
    void immediate_exit();

private slots:
    void on_pipe_readable();

private:
    QSocketNotifier *notifier = nullptr;
    int received = 0;
};
