#include "app/program.h"
#include "base/err.h"
#include "base/log.h"
#include "exchange/engine.h"
#include "exchange/modem_servers.h"
#include "link/ws_connection.h"
#include "shared/shared_state.h"
#include "support/test_support.h"
#include "ui/main_window.h"

#include <QMutexLocker>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

// The window and the exchange thread with their connection counts in view.
class Probe_window : public Main_window {
public:
    using Main_window::Main_window;
    using QObject::receivers;
};

class Probe_engine : public Engine {
public:
    using QObject::receivers;
};

quint8 pending_bits()
{
    QMutexLocker lock(&state_mutex);
    return state_flags & (servers_changed_pending | clients_changed_pending);
}

} // namespace

class Tst_shared_state : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void registration_data();
    void registration();
    void start_up_wires_once();
    void burst_of_changes_is_one_notification_data();
    void burst_of_changes_is_one_notification();
    void clients_while_link_not_ready();

    void second_window_fails();
    void second_link_fails();
    void link_after_shutdown_request_ends();

private:

    QTemporaryDir dir;
    // Never started: the links here only register and notify.
    Engine engine;
};

void Tst_shared_state::initTestCase()
{
    QVERIFY(dir.isValid());
}

void Tst_shared_state::init()
{
    reset_shared_state();
    log_per_test(dir);
}

void Tst_shared_state::registration_data()
{
    QTest::addColumn<bool>("window_first");
    QTest::newRow("window, then link") << true;
    QTest::newRow("link, then window") << false;
}

// Each registration clears the pending bits; neither connects anything.
void Tst_shared_state::registration()
{
    QFETCH(bool, window_first);
    Modem_servers servers;
    std::unique_ptr<Probe_window> window;
    std::unique_ptr<Ws_connection> link;
    if (window_first)
        window = std::make_unique<Probe_window>(engine);
    else
        link = std::make_unique<Ws_connection>(servers);
    {
        QMutexLocker lock(&state_mutex);
        state_flags |= servers_changed_pending | clients_changed_pending;
    }
    if (window_first)
        link = std::make_unique<Ws_connection>(servers);
    else
        window = std::make_unique<Probe_window>(engine);

    QCOMPARE(window->receivers(SIGNAL(shutdown())), 0);
    QCOMPARE(pending_bits(), quint8(0));
    QCOMPARE(registered_main_window, static_cast<QObject *>(window.get()));
    QCOMPARE(registered_ws_connection, static_cast<QObject *>(link.get()));

    link.reset();
    window.reset();
    QVERIFY(!registered_main_window);
    QVERIFY(!registered_ws_connection);
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

// Start-up makes the four connections between the window and the thread, each once.
void Tst_shared_state::start_up_wires_once()
{
    Probe_engine probe;
    Probe_window window(probe);
    wire_window(window, probe);
    QCOMPARE(probe.receivers(SIGNAL(servers_changed())), 1);
    QCOMPARE(probe.receivers(SIGNAL(clients_changed())), 1);
    QCOMPARE(probe.receivers(SIGNAL(fatal_error())), 1);
    QCOMPARE(window.receivers(SIGNAL(shutdown())), 1);
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

void Tst_shared_state::burst_of_changes_is_one_notification_data()
{
    QTest::addColumn<bool>("servers");
    QTest::newRow("servers_changed") << true;
    QTest::newRow("clients_changed") << false;
}

// Changes made from another thread in a burst reach the window as one queued call
// that shows the final values; the next change is announced again.
void Tst_shared_state::burst_of_changes_is_one_notification()
{
    QFETCH(bool, servers);
    Main_window window(engine);
    wire_window(window, engine);
    QSignalSpy spy(&engine, servers ? &Engine::servers_changed : &Engine::clients_changed);
    const int changes = 50;

    auto change = [this, servers](int i) {
        bool must_emit;
        {
            QMutexLocker lock(&state_mutex);
            state_flags |= link_ready;
            clients_count = i;
            port_views.insert(quint64(i), Port_view{});
            must_emit = servers ? note_servers_changed() : note_clients_changed();
        }
        if (must_emit) {
            if (servers)
                emit engine.servers_changed();
            else
                emit engine.clients_changed();
        }
    };
    std::unique_ptr<QThread> exchange(QThread::create([&change] {
        for (int i = 1; i <= changes; ++i)
            change(i);
    }));
    exchange->start();
    QVERIFY(exchange->wait(10000));

    QCOMPARE(spy.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(window.shown().clients, changes, 5000);
    QCOMPARE(window.shown().servers, servers ? changes : 0);
    QCOMPARE(pending_bits(), quint8(0));

    change(changes + 1);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(window.shown().clients, changes + 1);

    QMutexLocker lock(&state_mutex);
    port_views.clear();
}

void Tst_shared_state::clients_while_link_not_ready()
{
    Main_window window(engine);
    wire_window(window, engine);
    {
        QMutexLocker lock(&state_mutex);
        clients_count = 3;
        QVERIFY(note_clients_changed());
        QVERIFY(!note_clients_changed());
    }
    emit engine.clients_changed();
    QCOMPARE(window.shown().clients, 0);
    QCOMPARE(pending_bits(), quint8(0));
}

void Tst_shared_state::second_window_fails()
{
    Main_window first(engine);
    QVERIFY_EXCEPTION_THROWN(Main_window second(engine), Debug);
    QCOMPARE(registered_main_window, static_cast<QObject *>(&first));
    QVERIFY(log_contents().contains(unexpected_error_text(place_code(2, 203))));
    QVERIFY(log_contents().contains(QStringLiteral("Неожиданная ошибка №2.203.")));
}

void Tst_shared_state::second_link_fails()
{
    Modem_servers servers;
    Ws_connection first(servers);
    QVERIFY_EXCEPTION_THROWN(Ws_connection second(servers), Debug);
    QCOMPARE(registered_ws_connection, static_cast<QObject *>(&first));
    QVERIFY(log_contents().contains(QStringLiteral("Неожиданная ошибка №7.108.")));
}

void Tst_shared_state::link_after_shutdown_request_ends()
{
    Main_window window(engine);
    {
        QMutexLocker lock(&state_mutex);
        state_flags |= shutdown_requested;
    }
    Modem_servers servers;
    QVERIFY_EXCEPTION_THROWN(Ws_connection link(servers), The_end);
    QVERIFY(!registered_ws_connection);
}

QTEST_MAIN(Tst_shared_state)
#include "tst_shared_state.moc"
