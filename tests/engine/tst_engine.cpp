#include "base/log.h"
#include "exchange/engine.h"
#include "link/ws_connection.h"
#include "shared/shared_state.h"
#include "support/test_support.h"
#include "ui/dialog_exit.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QMutexLocker>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

bool link_registered()
{
    QMutexLocker lock(&state_mutex);
    return registered_ws_connection != nullptr;
}

void request_shutdown()
{
    QMutexLocker lock(&state_mutex);
    state_flags |= shutdown_requested;
}

} // namespace

class Tst_engine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void stop_ends_idle_thread();
    void event_dispatcher_chosen_by_environment_data();
    void event_dispatcher_chosen_by_environment();
    void destroying_running_engine_stops_it();
    void exit_dialog_texts();
    void exit_dialog_closes_when_thread_ends();
    void exit_dialog_button_rejects();

    void shutdown_before_link_exists_ends_quietly();
    void second_link_ends_thread_with_log();
    void exit_dialog_after_thread_already_ended();
    void link_reports_reach_main_thread_data();
    void link_reports_reach_main_thread();

private:

    QTemporaryDir dir;
};

void Tst_engine::initTestCase()
{
    QVERIFY(dir.isValid());
}

void Tst_engine::init()
{
    log_per_test(dir);
    reset_shared_state();
}

// The exit button's path: the thread runs until the link has given back its share.
void Tst_engine::stop_ends_idle_thread()
{
    Engine engine;
    QSignalSpy finished(&engine, &QThread::finished);
    engine.start();
    QTRY_VERIFY_WITH_TIMEOUT(link_registered(), 5000);
    QVERIFY(engine.isRunning());
    QVERIFY(engine.stop(5000));
    QVERIFY(engine.body_ended());
    QVERIFY(!link_registered());
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

// Ours unless the environment asks for Qt's (or the build has none), also on a second start
// of the same object.
void Tst_engine::event_dispatcher_chosen_by_environment_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<bool>("ours");
    QTest::newRow("not set") << QByteArray() << true;
    QTest::newRow("epoll") << QByteArray("epoll") << true;
    QTest::newRow("qt") << QByteArray("qt") << false;
}

void Tst_engine::event_dispatcher_chosen_by_environment()
{
    QFETCH(QByteArray, setting);
    QFETCH(bool, ours);
    if (setting.isNull())
        qunsetenv("QUVO_EVENT_DISPATCHER");
    else
        qputenv("QUVO_EVENT_DISPATCHER", setting);
    Engine engine;
    for (int start = 0; start < 2; ++start) {
        reset_shared_state();
        engine.start();
        QTRY_VERIFY_WITH_TIMEOUT(link_registered(), 5000);
        QCOMPARE(QByteArray(engine.eventDispatcher()->metaObject()->className()) == "Epoll_dispatcher",
                 ours && QUVO_LINUX_PARTS);
        QVERIFY(engine.stop(5000));
    }
    qunsetenv("QUVO_EVENT_DISPATCHER");
}

// The main event loop ended without the exit dialog (the window was closed): the thread
// is shut down in order before its object goes.
void Tst_engine::destroying_running_engine_stops_it()
{
    auto engine = std::make_unique<Engine>();
    engine->start();
    QTRY_VERIFY_WITH_TIMEOUT(link_registered(), 5000);
    engine.reset();
    QVERIFY(!link_registered());
    QMutexLocker lock(&state_mutex);
    QVERIFY(state_flags & shutdown_requested);
}

void Tst_engine::exit_dialog_texts()
{
    Engine engine;
    Dialog_exit dialog(nullptr, engine);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Выходим"));
    const QList<QPushButton *> buttons = dialog.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(buttons.front()->text(), QStringLiteral("Выйти немедленно"));
    QVERIFY(buttons.front()->toolTip().startsWith(
        QStringLiteral("Качественно написанная программа перед завершением работы должна\n")));
    QVERIFY(buttons.front()->toolTip().endsWith(QStringLiteral("закроют их.")));
    auto *box = dialog.findChild<QDialogButtonBox *>();
    QVERIFY(box);
    QCOMPARE(box->buttonRole(buttons.front()), QDialogButtonBox::DestructiveRole);
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
}

void Tst_engine::exit_dialog_closes_when_thread_ends()
{
    Engine engine;
    engine.start();
    QTRY_VERIFY_WITH_TIMEOUT(link_registered(), 5000);
    Dialog_exit dialog(nullptr, engine);
    QTimer::singleShot(0, [&engine] { engine.stop(0); });
    QTimer::singleShot(10000, &dialog, &QDialog::reject);
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QVERIFY(engine.wait(5000));
}

void Tst_engine::exit_dialog_button_rejects()
{
    Engine engine;
    Dialog_exit dialog(nullptr, engine);
    QTimer::singleShot(0, [&dialog] { dialog.findChild<QPushButton *>()->click(); });
    QTimer::singleShot(10000, &dialog, &QDialog::accept);
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
}

void Tst_engine::shutdown_before_link_exists_ends_quietly()
{
    request_shutdown();
    Engine engine;
    engine.start();
    QVERIFY(engine.wait(5000));
    QVERIFY(engine.body_ended());
    QCOMPARE(log_contents(), QString());
}

// A second link object is an internal error; the thread body logs it and ends.
void Tst_engine::second_link_ends_thread_with_log()
{
    Engine first;
    first.start();
    QTRY_VERIFY_WITH_TIMEOUT(link_registered(), 5000);
    Engine second;
    second.start();
    QVERIFY(second.wait(5000));
    const QString log = log_contents();
    QVERIFY(log.contains(QStringLiteral("] Неожиданная ошибка №7.108.\n")));
    QVERIFY(log.contains(QStringLiteral("] Аварийное завершение нити обмена.\n")));
    QVERIFY(first.stop(5000));
}

// The finished signal has passed before the dialog exists: it must not wait for it.
void Tst_engine::exit_dialog_after_thread_already_ended()
{
    Engine engine;
    engine.start();
    QTRY_VERIFY_WITH_TIMEOUT(link_registered(), 5000);
    QVERIFY(engine.stop(5000));
    Dialog_exit dialog(nullptr, engine);
    QTimer::singleShot(10000, &dialog, &QDialog::reject);
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
}

void Tst_engine::link_reports_reach_main_thread_data()
{
    QTest::addColumn<QByteArray>("link_signal");
    QTest::newRow("servers") << QByteArray("servers_changed");
    QTest::newRow("fatal") << QByteArray("fatal_error");
}

// What the link in the exchange thread reports arrives as the Engine's signal of the same
// name, in this thread.
void Tst_engine::link_reports_reach_main_thread()
{
    QFETCH(QByteArray, link_signal);
    Engine engine;
    QByteArrayList arrived;
    QThread *const main_thread = QThread::currentThread();
    const auto note = [&arrived, main_thread](const char *name) {
        return [&arrived, main_thread, name] {
            if (QThread::currentThread() == main_thread)
                arrived.append(name);
        };
    };
    connect(&engine, &Engine::servers_changed, this, note("servers_changed"));
    connect(&engine, &Engine::clients_changed, this, note("clients_changed"));
    connect(&engine, &Engine::fatal_error, this, note("fatal_error"));
    engine.start();
    QTRY_VERIFY_WITH_TIMEOUT(link_registered(), 5000);
    {
        QMutexLocker lock(&state_mutex);
        QVERIFY(QMetaObject::invokeMethod(registered_ws_connection, link_signal.constData(), Qt::QueuedConnection));
    }
    // The link reports changes of its own as well; the fatal stop it never reports unasked.
    QTRY_VERIFY_WITH_TIMEOUT(arrived.contains(link_signal), 5000);
    QVERIFY(engine.stop(5000));
    QVERIFY(link_signal != "fatal_error" || arrived.count(link_signal) == 1);
}

QTEST_MAIN(Tst_engine)
#include "tst_engine.moc"
