#pragma once

#include <QThread>

#include <atomic>
#include <chrono>
#include <limits>

class Modem_servers;
class Ws_connection;

// The exchange thread: the server link and every per-modem TCP server live and die in it;
// its body creates the link and the Modem_servers that keep the TCP servers, and joins them.
// The object itself belongs to the main thread; what the link reports to the main thread
// passes through its signals.
class Engine : public QThread {
    Q_OBJECT
    Q_DISABLE_COPY(Engine)
public:
    // How long an exit outside the exit dialog waits for the thread: long enough for peers
    // to see their connections closed, short enough not to hang the exit.
    static constexpr unsigned long stop_timeout_ms = 5000;

    Engine() = default;
    // Winds the thread up (see wind_up) with exit code 0.
    ~Engine() override;

    // Starts the thread on the platform's exchange dispatcher (new_exchange_dispatcher), or
    // on Qt's own where there is none. Hides QThread::start, which every caller reaches
    // through an Engine.
    void start(Priority priority = InheritPriority);

    // True once the thread body has returned; the finished signal follows or has passed.
    bool body_ended() const { return ended.load(); }

    // For an end of the main event loop that did not go through the exit dialog: asks the
    // link to shut down as the exit button does and waits up to timeout_ms for the thread.
    // Returns whether the thread has ended.
    bool stop(unsigned long timeout_ms);

    // For a watchdog: asks the running thread to answer as soon as its event loop gets to it,
    // and tells how long ago it last answered (its start counts); a very long time when it
    // never ran.
    void ping();
    std::chrono::milliseconds since_answer() const;

signals:
    // The link's servers_changed and fatal_error, and the servers' servers_changed and
    // clients_changed.
    void servers_changed();
    void clients_changed();
    void fatal_error();

public slots:
    // Marks shutdown as requested and asks the link, if any, to shut down; returns at once.
    void on_shutdown();
    // The served devices have changed: the servers follow in the exchange thread, if it runs.
    void update_servers();

    // After the main event loop: stops the thread in order when it still runs; should it not
    // end in time, the process ends at once with exit_code, since destroying a running thread
    // would crash.
    void wind_up(int exit_code);

protected:
    void run() override;

private:
    void relay(Ws_connection &link, Modem_servers &servers);

    std::atomic_bool ended{false};
    // The thread's servers, reached only from inside the thread, by calls posted to the
    // registered link (which they outlive).
    Modem_servers *servers_in_thread = nullptr;
    // On the steady clock, in milliseconds; written by the thread.
    std::atomic<qint64> answered_ms{std::numeric_limits<qint64>::min() / 2};
};
