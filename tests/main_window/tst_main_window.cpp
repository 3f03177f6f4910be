#include "app/program.h"
#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "lora_sim/sim_server.h"
#include "shared/shared_state.h"
#include "support/modal_answer.h"
#include "support/test_support.h"
#include "ui/dialog_about.h"
#include "ui/dialog_add_device.h"
#include "ui/dialog_devices.h"
#include "ui/dialog_exit.h"
#include "ui/label_with_size.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutexLocker>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

// Stands in for the server link: the window only sees its two signals.
class Fake_link : public QObject {
    Q_OBJECT
signals:
    void servers_changed();
    void clients_changed();
};

class Tst_main_window : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void starts_with_no_link();
    void label_keeps_its_width();
    void tool_tips_name_files_data();
    void tool_tips_name_files();
    void counts_appear_only_when_ready();
    void burst_gives_one_update_with_final_counts();
    void clients_change_while_not_ready_is_kept_for_later();
    void served_count_follows_the_devices_list();
    void served_count_follows_the_devices_dialog();
    void f1_opens_about();
    void cannot_be_resized();
    void real_link_drives_the_window_and_exit_ends_it();
    void application_end_while_exit_dialog_waits_keeps_its_code();
    void exit_after_failed_save_data();
    void exit_after_failed_save();

private:
    Label_with_size *label(const char *name) const;
    bool shown(const char *name) const;
    // Changes the shared state as the exchange thread does, from another thread.
    void change_from_link(const std::function<void()> &update, bool servers);

    QTemporaryDir dir;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Main_window> window;
    std::unique_ptr<Fake_link> link;
    int servers_emitted = 0;
};

void Tst_main_window::init()
{
    QVERIFY(dir.isValid());
    set_log_file_name(dir.filePath(QStringLiteral("журнал.log")).toUtf8());
    settings.devices_file = QStringLiteral("мои устройства.cfg");
    add_served(0x70B3D5E75E000001ULL, 4001);
    add_served(0x70B3D5E75E000002ULL, 4002);
    add_served(0x70B3D5E75E000003ULL, 4003);

    engine = std::make_unique<Engine>();
    window = std::make_unique<Main_window>(*engine);
    link = std::make_unique<Fake_link>();
    connect(link.get(), &Fake_link::servers_changed, window.get(), &Main_window::on_servers_changed);
    connect(link.get(), &Fake_link::clients_changed, window.get(), &Main_window::on_clients_changed);
    servers_emitted = 0;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void Tst_main_window::cleanup()
{
    forget_application_exit();
    if (engine->isRunning())
        QVERIFY(engine->stop(5000));
    link.reset();
    window.reset();
    engine.reset();
    reset_process_state();
    reset_log_file_name();
}

Label_with_size *Tst_main_window::label(const char *name) const
{
    return window->findChild<Label_with_size *>(QLatin1String(name));
}

bool Tst_main_window::shown(const char *name) const
{
    return label(name)->isVisibleTo(window.get());
}

void Tst_main_window::change_from_link(const std::function<void()> &update, bool servers)
{
    std::unique_ptr<QThread> thread(QThread::create([&] {
        bool notify;
        {
            QMutexLocker lock(&state_mutex);
            update();
            notify = servers ? note_servers_changed() : note_clients_changed();
        }
        if (notify) {
            if (servers) {
                ++servers_emitted;
                emit link->servers_changed();
            } else {
                emit link->clients_changed();
            }
        }
    }));
    thread->start();
    QVERIFY(thread->wait(10000));
}

static QColor colour(const QLabel *label)
{
    return label->palette().color(QPalette::WindowText);
}

static void set_port_views(int count)
{
    port_views.clear();
    for (int i = 0; i < count; ++i)
        port_views.insert(0x1000 + i, Port_view{});
}

void Tst_main_window::starts_with_no_link()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("quvo_vevi2zar 1.10.0"));
    QCOMPARE(label("state")->text(), QStringLiteral("нет"));
    QCOMPARE(colour(label("state")), QColor(128, 0, 0));
    QCOMPARE(label("served")->text(), QStringLiteral("3"));
    QVERIFY(shown("state"));
    QVERIFY(shown("served"));
    QVERIFY(!shown("reachable"));
    QVERIFY(!shown("clients"));
    for (const QString &hidden : {QStringLiteral("... из них доступных для связи: "),
                                  QStringLiteral("... из них используемых клиентами: ")}) {
        for (QLabel *l : window->findChildren<QLabel *>())
            if (l->text() == hidden)
                QVERIFY(!l->isVisibleTo(window.get()));
    }
    QCOMPARE(colour(label("reachable")), QColor(0, 128, 0));
    QCOMPARE(colour(label("clients")), QColor(100, 0, 100));
}

void Tst_main_window::label_keeps_its_width()
{
    Label_with_size short_text(QStringLiteral("1"), 123);
    Label_with_size long_text(QStringLiteral("1234567890123456789012345678901234567890"), 123);
    QLabel plain(QStringLiteral("1"));
    QCOMPARE(short_text.sizeHint(), QSize(123, plain.sizeHint().height()));
    QCOMPARE(long_text.sizeHint().width(), 123);

    // Ten digits must fit the counts, and every state word the state label.
    const QFontMetrics metrics(label("served")->font());
    QVERIFY(label("served")->sizeHint().width() >= metrics.horizontalAdvance(QStringLiteral("4294967295")));
    for (const char *word : {"нет", "старт", "есть"})
        QVERIFY(label("state")->sizeHint().width()
                >= label("state")->fontMetrics().horizontalAdvance(QString::fromUtf8(word)));
}

void Tst_main_window::tool_tips_name_files_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("link: log file") << QStringLiteral("Соединение с сервером QUVO-LoRa: ")
                                    << QStringLiteral("в файл журнала\n(«%1»).");
    QTest::newRow("served: devices file") << QStringLiteral("Радиомодемов, подлежащих обслуживанию: ")
                                          << QStringLiteral("в файле «мои устройства.cfg»).");
    QTest::newRow("reachable") << QStringLiteral("... из них доступных для связи: ")
                               << QStringLiteral("через RS-232\nили RS-485.");
    QTest::newRow("clients") << QStringLiteral("... из них используемых клиентами: ")
                             << QStringLiteral("разрывает сеанс связи со старым клиентом.");
    QTest::newRow("list button") << QStringLiteral("Список")
                                 << QStringLiteral("входящих\nв список.");
    QTest::newRow("about button") << QStringLiteral("О программе")
                                  << QStringLiteral("с информацией о\nданной программе.");
    QTest::newRow("exit button") << QStringLiteral("Выйти")
                                 << QStringLiteral("работа программы будет завершена.");
}

void Tst_main_window::tool_tips_name_files()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    if (expected.contains(QLatin1String("%1")))
        expected = expected.arg(QString::fromUtf8(log_file_name()));

    QWidget *found = nullptr;
    for (QLabel *l : window->findChildren<QLabel *>())
        if (l->text() == text)
            found = l;
    for (QPushButton *b : window->findChildren<QPushButton *>())
        if (b->text() == text)
            found = b;
    QVERIFY(found);
    QVERIFY2(found->toolTip().endsWith(expected), qPrintable(found->toolTip()));
}

void Tst_main_window::counts_appear_only_when_ready()
{
    change_from_link([] {
        state_flags |= link_started;
        set_port_views(1);
        clients_count = 1;
    }, true);
    QTRY_COMPARE_WITH_TIMEOUT(label("state")->text(), QStringLiteral("старт"), 10000);
    QCOMPARE(colour(label("state")), QColor(0, 0, 128));
    QVERIFY(!shown("reachable"));
    QVERIFY(!shown("clients"));
    QCOMPARE(label("reachable")->text(), QStringLiteral("0"));

    change_from_link([] {
        state_flags = (state_flags & ~link_started) | link_ready;
        set_port_views(2);
        clients_count = 1;
    }, true);
    QTRY_COMPARE_WITH_TIMEOUT(label("state")->text(), QStringLiteral("есть"), 10000);
    QCOMPARE(colour(label("state")), QColor(0, 128, 0));
    QVERIFY(shown("reachable"));
    QVERIFY(shown("clients"));
    QCOMPARE(label("reachable")->text(), QStringLiteral("2"));
    QCOMPARE(label("clients")->text(), QStringLiteral("1"));

    change_from_link([] {
        state_flags &= ~link_ready;
        set_port_views(0);
        clients_count = 0;
    }, true);
    QTRY_COMPARE_WITH_TIMEOUT(label("state")->text(), QStringLiteral("нет"), 10000);
    QCOMPARE(colour(label("state")), QColor(128, 0, 0));
    QVERIFY(!shown("reachable"));
    QVERIFY(!shown("clients"));
}

void Tst_main_window::burst_gives_one_update_with_final_counts()
{
    for (int i = 1; i <= 50; ++i) {
        change_from_link([i] {
            state_flags |= link_ready;
            set_port_views(i % 7);
            clients_count = i % 5;
        }, true);
    }
    QCOMPARE(servers_emitted, 1);
    QTRY_COMPARE_WITH_TIMEOUT(label("state")->text(), QStringLiteral("есть"), 10000);
    QCOMPARE(label("reachable")->text(), QString::number(50 % 7));
    QCOMPARE(label("clients")->text(), QString::number(50 % 5));
    {
        QMutexLocker lock(&state_mutex);
        QCOMPARE(state_flags & (servers_changed_pending | clients_changed_pending), 0);
    }

    // Once taken in, the next change is announced again.
    change_from_link([] { set_port_views(6); }, true);
    QCOMPARE(servers_emitted, 2);
    QTRY_COMPARE_WITH_TIMEOUT(label("reachable")->text(), QStringLiteral("6"), 10000);
}

void Tst_main_window::clients_change_while_not_ready_is_kept_for_later()
{
    change_from_link([] { state_flags |= link_started; }, true);
    QTRY_COMPARE_WITH_TIMEOUT(label("state")->text(), QStringLiteral("старт"), 10000);

    change_from_link([] { clients_count = 3; }, false);
    QTRY_VERIFY_WITH_TIMEOUT([] {
        QMutexLocker lock(&state_mutex);
        return !(state_flags & clients_changed_pending);
    }(), 10000);
    QCOMPARE(label("clients")->text(), QStringLiteral("0"));
    QVERIFY(!shown("clients"));

    change_from_link([] {
        state_flags = (state_flags & ~link_started) | link_ready;
        set_port_views(4);
    }, true);
    QTRY_COMPARE_WITH_TIMEOUT(label("clients")->text(), QStringLiteral("3"), 10000);
    QCOMPARE(label("reachable")->text(), QStringLiteral("4"));

    change_from_link([] { clients_count = 2; }, false);
    QTRY_COMPARE_WITH_TIMEOUT(label("clients")->text(), QStringLiteral("2"), 10000);
}

void Tst_main_window::served_count_follows_the_devices_list()
{
    served_model.remove(0x70B3D5E75E000001ULL);
    window->update_served_count();
    QCOMPARE(label("served")->text(), QStringLiteral("2"));
    add_served(0x0000000000000042ULL, 4042);
    add_served(0x0000000000000043ULL, 4043);
    window->update_served_count();
    QCOMPARE(label("served")->text(), QStringLiteral("4"));
}

// The list button opens the devices dialog; an added modem shows in the count at once.
void Tst_main_window::served_count_follows_the_devices_dialog()
{
    settings.devices_file = dir.filePath(QStringLiteral("devices.cfg"));
    QCOMPARE(label("served")->text(), QStringLiteral("3"));
    bool opened = false;
    answer_modal<Dialog_devices>([&opened](Dialog_devices *dialog) {
        opened = true;
        answer_modal<Dialog_add_device>([](Dialog_add_device *add) {
            add->fields().eui_edit().setText(QStringLiteral("0000000000000001"));
            add->accept();
        });
        button(*dialog, QStringLiteral("Добавить"))->click();
        dialog->reject();
    });
    button(*window, QStringLiteral("Список"))->click();
    QVERIFY(opened);
    QCOMPARE(label("served")->text(), QStringLiteral("4"));
}

// F1 pressed on any widget of the window opens the About dialog modally.
void Tst_main_window::f1_opens_about()
{
    bool seen = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        if (auto *about = qobject_cast<Dialog_about *>(QApplication::activeModalWidget())) {
            seen = about->isVisible() && about->parentWidget() == window.get();
            about->reject();
        }
    });
    poll.start(10);
    QTimer::singleShot(10000, [&] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    QPushButton *list_button = button(*window, QStringLiteral("Список"));
    QVERIFY(list_button);
    QTest::keyClick(list_button, Qt::Key_F1);
    QVERIFY(seen);
    QVERIFY(!QApplication::activeModalWidget());
}

void Tst_main_window::cannot_be_resized()
{
    const QSize size = window->size();
    QCOMPARE(window->minimumSize(), size);
    QCOMPARE(window->maximumSize(), size);
    window->resize(size * 2);
    QCOMPARE(window->size(), size);
    QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(window->windowFlags() & Qt::WindowCloseButtonHint);
}

// The window wired to the real link in its own thread, against the simulated server, and
// the orderly exit through the exit button.
void Tst_main_window::real_link_drives_the_window_and_exit_ends_it()
{
    Sim_server sim;
    for (quint64 eui : {0x70B3D5E75E000001ULL, 0x70B3D5E75E000002ULL}) {
        Sim_modem modem;
        modem.eui = eui;
        modem.name = QStringLiteral("modem");
        sim.add_modem(modem);
    }
    QVERIFY(sim.listen());
    settings.ws_url = sim.url().toString();
    settings.ws_login = QStringLiteral("login");
    settings.ws_password = QStringLiteral("password");
    settings.ws_reconnect_delay = 300;
    settings.ws_devlist_period = 150;
    const quint16 port = free_port();
    const auto move_to = [](Eui eui, quint16 new_port) {
        served_model.replace(eui, {eui, Device_params{51, new_port}});
    };
    move_to(0x70B3D5E75E000001ULL, port);
    move_to(0x70B3D5E75E000002ULL, free_port());
    move_to(0x70B3D5E75E000003ULL, free_port());

    wire_window(*window, *engine);
    engine->start();
    QTRY_COMPARE_WITH_TIMEOUT(label("state")->text(), QStringLiteral("есть"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(label("reachable")->text(), QStringLiteral("2"), 10000);
    QCOMPARE(label("clients")->text(), QStringLiteral("0"));
    QVERIFY(shown("reachable"));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(label("clients")->text(), QStringLiteral("1"), 10000);

    // Should the thread never end, accept the dialog so that the test fails instead of hanging
    // (rejecting it would end the process at once).
    bool timed_out = false;
    QTimer::singleShot(10000, [&timed_out] {
        if (auto *dialog = qobject_cast<Dialog_exit *>(QApplication::activeModalWidget())) {
            timed_out = true;
            dialog->accept();
        }
    });
    QSignalSpy shutdown(window.get(), &Main_window::shutdown);
    QPushButton *exit_button = button(*window, QStringLiteral("Выйти"));
    QVERIFY(exit_button);
    QTest::mouseClick(exit_button, Qt::LeftButton);

    QVERIFY(!timed_out);
    QCOMPARE(shutdown.count(), 1);
    QVERIFY(engine->body_ended());
    QVERIFY(engine->wait(5000));
    QVERIFY(!window->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(label("state")->text(), QStringLiteral("нет"), 10000);
}

// A fatal stop of the link ends the application with code 1, also while the exit dialog
// waits; that end of the dialog is not the user's immediate exit, which would end the
// process at once with code 0 (and this test program with it, before its totals).
void Tst_main_window::application_end_while_exit_dialog_waits_keeps_its_code()
{
    // The thread is never started, so only the application's end can close the dialog.
    QTimer::singleShot(50, [] { QCoreApplication::exit(1); });
    window->on_btn_exit_clicked();
    QVERIFY(window->isVisible());

    // Leave the application able to run event loops again for the tests after this one.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

void Tst_main_window::exit_after_failed_save_data()
{
    QTest::addColumn<bool>("saves_at_last");
    QTest::addColumn<QString>("answer");
    QTest::newRow("saved at exit") << true << QString();
    QTest::newRow("stay") << false << QStringLiteral("Остаться");
    QTest::newRow("leave without saving") << false << QStringLiteral("Выйти без сохранения");
}

// While the list in use is not saved, "Выйти" tries once more, and then asks; staying is the
// default, leaving logs what is lost.
void Tst_main_window::exit_after_failed_save()
{
    QFETCH(bool, saves_at_last);
    QFETCH(QString, answer);
    const QString folder = dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    settings.devices_file = folder + QStringLiteral("/devices.cfg");
    QVERIFY(!error_of(write_devices).isEmpty());
    // A thread that has ended lets the exit dialog close at once.
    engine->start();
    QVERIFY(engine->stop(5000));
    if (saves_at_last)
        QVERIFY(QDir().mkpath(folder));
    QString asked;
    QString default_answer;
    if (!answer.isEmpty()) {
        answer_modal<QMessageBox>([&](QMessageBox *box) {
            asked = box->text();
            if (box->defaultButton() && box->defaultButton() == box->escapeButton())
                default_answer = box->defaultButton()->text();
            button(*box, answer)->click();
        });
    }
    window->on_btn_exit_clicked();
    const bool leaves = answer != QStringLiteral("Остаться");
    QCOMPARE(window->isVisible(), !leaves);
    QCOMPARE(devices_unsaved().isEmpty(), saves_at_last);
    QCOMPARE(log_contents().contains(QStringLiteral("Изменения списка радиомодемов потеряны")),
             answer == QStringLiteral("Выйти без сохранения"));
    if (!answer.isEmpty()) {
        QVERIFY2(asked.startsWith(QStringLiteral("Список не сохранён в файле «%1»").arg(settings.devices_file)),
                 qPrintable(asked));
        QCOMPARE(default_answer, QStringLiteral("Остаться"));
    }
}

QTEST_MAIN(Tst_main_window)
#include "tst_main_window.moc"
