#include "app/service_status.h"

#include "app/service_notify.h"
#include "exchange/engine.h"
#include "ui/main_window.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

// Often enough for a person reading the manager's status, seldom enough for a busy link.
constexpr int status_interval_ms = 1000;

}

Service_status::Service_status(const Main_window &window, Engine &engine, QObject *parent)
    : QObject(parent),
      window(window),
      engine(engine)
{
    if (!service_manager_listens())
        return;
    QTimer::singleShot(0, this, &Service_status::on_ready);
    status_delay.setSingleShot(true);
    connect(&status_delay, &QTimer::timeout, this, &Service_status::on_display_changed);
    connect(&window, &Main_window::display_changed, this, &Service_status::on_display_changed);
    // The exit button and the stop signals go through the window; every other end through
    // the end of the event loop.
    connect(&window, &Main_window::shutdown, this, &Service_status::on_stopping);
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &Service_status::on_stopping);
    watchdog_period = service_watchdog_period();
    if (watchdog_period.count() > 0) {
        // Twice a period, as the manager advises, so that one late tick costs nothing.
        connect(&watchdog, &QTimer::timeout, this, &Service_status::on_watchdog_tick);
        watchdog.start(std::max<int>(int(watchdog_period.count() / 2), 1));
    }
}

void Service_status::on_ready()
{
    send_status("READY=1\n");
}

void Service_status::on_display_changed()
{
    if (window.status_text() == status || status_delay.isActive())
        return;
    const qint64 since = since_status.isValid() ? since_status.elapsed() : status_interval_ms;
    if (since < status_interval_ms) {
        status_delay.start(int(status_interval_ms - since));
        return;
    }
    send_status(QByteArray());
}

void Service_status::send_status(const QByteArray &before)
{
    status = window.status_text();
    since_status.start();
    notify_service_manager(before + "STATUS=" + status.toUtf8());
}

void Service_status::on_stopping()
{
    if (stopping)
        return;
    stopping = true;
    notify_service_manager("STOPPING=1");
}

void Service_status::on_watchdog_tick()
{
    // An answer to the last ping shows that the thread's event loop still turns.
    if (engine.since_answer() < watchdog_period)
        notify_service_manager("WATCHDOG=1");
    engine.ping();
}
