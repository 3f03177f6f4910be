#pragma once

#include <QObject>

#include <functional>

// Waits for a pause of a client: started again by every read, it calls back once no bytes
// have come for the whole interval. Lives in the thread of its server.
class Pause_timer : public QObject {
public:
    explicit Pause_timer(std::function<void()> on_pause);

    // Starts the wait anew; false when no timer could be started.
    bool restart(int milliseconds);
    void stop();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    std::function<void()> on_pause;
    int timer_id = 0;
};
