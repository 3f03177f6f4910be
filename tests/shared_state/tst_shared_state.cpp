#include "app/engine.h"
#include "app/err.h"
#include "app/log.h"
#include "app/shared_state.h"
#include "link/ws_connection.h"
#include "ui/main_window.h"

#include <QFile>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

// The window and the link with their connection counts in view.
class Probe_window : public Main_window {
public:
    using Main_window::Main_window;
    using QObject::receivers;
};

class Probe_link : public Ws_connection {
public:
    using Ws_connection::Ws_connection;
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

    void registration_wires_once_data();
    void registration_wires_once();
    void link_alone_is_not_wired();
    void burst_of_changes_is_one_notification_data();
    void burst_of_changes_is_one_notification();
    void clients_while_link_not_ready();

    void second_window_fails();
    void second_link_fails();
    void link_after_shutdown_request_ends();

private:
    QString log_contents() const;

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
    set_log_file_name(QFile::encodeName(dir.filePath(QStringLiteral("%1.log").arg(QTest::currentTestFunction()))));
}

QString Tst_shared_state::log_contents() const
{
    QFile file(QString::fromUtf8(log_file_name()));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

void Tst_shared_state::registration_wires_once_data()
{
    QTest::addColumn<bool>("window_first");
    QTest::newRow("window, then link") << true;
    QTest::newRow("link, then window") << false;
}

// Whichever comes second makes the three connections, exactly once, and clears the pending bits.
void Tst_shared_state::registration_wires_once()
{
    QFETCH(bool, window_first);
    std::unique_ptr<Probe_window> window;
    std::unique_ptr<Probe_link> link;
    if (window_first)
        window = std::make_unique<Probe_window>(engine);
    else
        link = std::make_unique<Probe_link>(engine);
    {
        QMutexLocker lock(&state_mutex);
        state_flags |= servers_changed_pending | clients_changed_pending;
    }
    if (window_first)
        link = std::make_unique<Probe_link>(engine);
    else
        window = std::make_unique<Probe_window>(engine);

    QCOMPARE(link->receivers(SIGNAL(servers_changed())), 1);
    QCOMPARE(link->receivers(SIGNAL(clients_changed())), 1);
    QCOMPARE(window->receivers(SIGNAL(shutdown())), 1);
    QCOMPARE(pending_bits(), quint8(0));
    QCOMPARE(registered_main_window, static_cast<Main_window *>(window.get()));
    QCOMPARE(registered_ws_connection, static_cast<Ws_connection *>(link.get()));

    link.reset();
    window.reset();
    QVERIFY(!registered_main_window);
    QVERIFY(!registered_ws_connection);
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

void Tst_shared_state::link_alone_is_not_wired()
{
    Probe_link link(engine);
    QCOMPARE(link.receivers(SIGNAL(servers_changed())), 0);
    QCOMPARE(link.receivers(SIGNAL(clients_changed())), 0);
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
    Ws_connection link(engine);
    QSignalSpy spy(&link, servers ? &Ws_connection::servers_changed : &Ws_connection::clients_changed);
    const int changes = 50;

    auto change = [&link, servers](int i) {
        bool must_emit;
        {
            QMutexLocker lock(&state_mutex);
            state_flags |= link_ready;
            clients_count = i;
            tcp_servers.insert(quint64(i), nullptr);
            must_emit = servers ? note_servers_changed() : note_clients_changed();
        }
        if (must_emit) {
            if (servers)
                emit link.servers_changed();
            else
                emit link.clients_changed();
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

    // The entries stand for no real server: the link must not shut them down when it goes.
    QMutexLocker lock(&state_mutex);
    tcp_servers.clear();
}

void Tst_shared_state::clients_while_link_not_ready()
{
    Main_window window(engine);
    Ws_connection link(engine);
    {
        QMutexLocker lock(&state_mutex);
        clients_count = 3;
        QVERIFY(note_clients_changed());
        QVERIFY(!note_clients_changed());
    }
    emit link.clients_changed();
    QCOMPARE(window.shown().clients, 0);
    QCOMPARE(pending_bits(), quint8(0));
}

void Tst_shared_state::second_window_fails()
{
    Main_window first(engine);
    QVERIFY_EXCEPTION_THROWN(Main_window second(engine), Debug);
    QCOMPARE(registered_main_window, &first);
    QVERIFY(log_contents().contains(unexpected_error_text(place_code(2, 203))));
    QVERIFY(log_contents().contains(QStringLiteral("Неожиданная ошибка №2.203.")));
}

void Tst_shared_state::second_link_fails()
{
    Ws_connection first(engine);
    QVERIFY_EXCEPTION_THROWN(Ws_connection second(engine), Debug);
    QCOMPARE(registered_ws_connection, &first);
    QVERIFY(log_contents().contains(QStringLiteral("Неожиданная ошибка №7.108.")));
}

void Tst_shared_state::link_after_shutdown_request_ends()
{
    Main_window window(engine);
    {
        QMutexLocker lock(&state_mutex);
        state_flags |= shutdown_requested;
    }
    QVERIFY_EXCEPTION_THROWN(Ws_connection link(engine), The_end);
    QVERIFY(!registered_ws_connection);
}

QTEST_MAIN(Tst_shared_state)
#include "tst_shared_state.moc"
