#include "support/modal_answer.h"

#include "app/program.h"
#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "lora_sim/sim_server.h"
#include "shared/shared_state.h"
#include "support/logged_cases.h"
#include "support/test_support.h"
#include "ui/device_texts.h"
#include "ui/dialog_add_device.h"
#include "ui/dialog_devices.h"
#include "ui/dialog_edit_device.h"
#include "ui/dialog_modems.h"
#include "ui/main_window.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

// The rows that the table shows, cells joined by "|".
QStringList shown_rows(const Dialog_devices &dialog)
{
    QStringList rows;
    const QAbstractItemModel *model = dialog.table_view().model();
    for (int row = 0; row < model->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model->columnCount(); ++column)
            cells << model->index(row, column).data().toString();
        rows << cells.join('|');
    }
    return rows;
}

QByteArray file_text(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs the action and gives the title of the modal dialog that it opened, closed at once
// (with the EUI it shows, for the edit dialog); nothing when none opened.
QString modal_opened_by(const std::function<void()> &action)
{
    QString opened;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&opened]() {
        auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (modal == nullptr)
            return;
        opened = modal->windowTitle();
        if (auto *edit = qobject_cast<Dialog_edit_device *>(modal))
            opened += ' ' + edit->fields().eui_edit().text();
        modal->reject();
    });
    poll.start();
    action();
    return opened;
}

const QString selection_message = QStringLiteral(
    "Прежде, чем нажимать эту кнопку, надо выбрать строчку в списке (щёлкнуть её левой кнопкой мыши).");

// The buttons' captions, as the user reads them.
const QString add_caption = QStringLiteral("Добавить");
const QString delete_caption = QStringLiteral("Удалить");
const QString edit_caption = QStringLiteral("Изменить");
const QString yes_caption = QStringLiteral("Да");
const QString no_caption = QStringLiteral("Нет");

// The live cases: the real server link and TCP servers, with the simulated network server
// on loopback.
constexpr Eui served_eui = 0x00000000000000A1;
constexpr Eui unlisted_eui = 0x00000000000000B2;
constexpr Eui other_eui = 0x00000000000000C3;
constexpr int wait_ms = 10000;

// The network server knows the modem we serve and one we do not.
void add_known_modems(Sim_server &sim)
{
    sim.add_modem(Sim_modem{served_eui, QStringLiteral("meter"), Modem_behaviour::silent, {}, 1, {}});
    sim.add_modem(Sim_modem{other_eui, QStringLiteral("pump"), Modem_behaviour::silent, {}, 1, {}});
}

void use_server(std::uint16_t port)
{
    settings.ws_url = QStringLiteral("ws://127.0.0.1:%1").arg(port);
    settings.ws_login = QStringLiteral("user");
    settings.ws_password = QStringLiteral("secret");
}

bool link_registered()
{
    QMutexLocker lock(&state_mutex);
    return registered_ws_connection != nullptr;
}

int running_servers()
{
    QMutexLocker lock(&state_mutex);
    return port_views.size();
}

QString cell(const Dialog_devices &dialog, int row, int column)
{
    return dialog.table_view().model()->index(row, column).data().toString();
}

// Whether a client can connect to the port on loopback now.
bool accepts(std::uint16_t port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    const bool connected = probe.waitForConnected(2000);
    probe.abort();
    return connected;
}

}

class Tst_dialog_devices : public Logged_cases {
    Q_OBJECT

private slots:
    void init()
    {
        reset_process_state();
        settings.devices_file = dir.filePath(QStringLiteral("%1.cfg").arg(QTest::currentTestFunction()));
        add_served(0xAB, 3000);
        add_served(0x1122334455667788, 3001, 222);
        add_served(0xFFFFFFFFFFFFFFFF, 4000, 115, Device_mode::modbus_tcp);
    }

    // With the link down the status columns are blank.
    void rows_without_link()
    {
        Dialog_devices dialog(nullptr);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Список радиомодемов, подлежащих обслуживанию"));
        QCOMPARE(shown_rows(dialog),
                 QStringList({"00000000000000AB|3000|51|Прозрачный| | | |—", "1122334455667788|3001|222|Прозрачный| | | |—",
                              "FFFFFFFFFFFFFFFF|4000|115|Шлюз Modbus TCP| | | |—"}));
        const QAbstractItemModel *model = dialog.table_view().model();
        const Device_texts &texts = Device_texts::get();
        QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), texts.port_header);
        QCOMPARE(model->headerData(6, Qt::Horizontal, Qt::ToolTipRole).toString(), texts.name_tip);
        QCOMPARE(model->index(0, 0).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
    }

    // The texts that the table's header shows, made once per process.
    void catalogue_texts()
    {
        const Device_texts &texts = Device_texts::get();
        QCOMPARE(&texts, &Device_texts::get());
        QCOMPARE(texts.port_header, QStringLiteral("Порт\nTCP"));
        QVERIFY(texts.frame_tip.endsWith(QStringLiteral("\"одним куском\").")));
    }

    // Names of the server's list appear when the link is ready and go when it drops.
    void names_follow_the_link()
    {
        Dialog_devices dialog(nullptr);
        {
            QMutexLocker lock(&state_mutex);
            state_flags |= link_started | link_ready | servers_changed_pending | clients_changed_pending;
            reachable_modems = {{0x1, "other"}, {0xAB, "meter"}, {0xFFFFFFFFFFFFFFFF, QString()}};
        }
        QVERIFY(QMetaObject::invokeMethod(&dialog, "on_servers_changed"));
        QCOMPARE(state_flags & (servers_changed_pending | clients_changed_pending), 0);
        QCOMPARE(shown_rows(dialog),
                 QStringList({"00000000000000AB|3000|51|Прозрачный| | |meter|—", "1122334455667788|3001|222|Прозрачный| | | |—",
                              "FFFFFFFFFFFFFFFF|4000|115|Шлюз Modbus TCP| | ||—"}));
        const QAbstractItemModel *model = dialog.table_view().model();
        QCOMPARE(model->index(0, 6).data(Qt::ForegroundRole).value<QBrush>().color(), QColor(0, 128, 0));
        {
            QMutexLocker lock(&state_mutex);
            state_flags &= static_cast<quint8>(~(link_started | link_ready));
            reachable_modems.clear();
        }
        QVERIFY(QMetaObject::invokeMethod(&dialog, "on_servers_changed"));
        QCOMPARE(shown_rows(dialog).value(0), QStringLiteral("00000000000000AB|3000|51|Прозрачный| | | |—"));
    }

    // The marks of a served modem and of its client, in the main window's colours.
    void status_colours()
    {
        Devices_table table(nullptr);
        table.fill_devices();
        table.show_status({{true, true, true, QStringLiteral("meter")}}, true);
        const auto colour = [&table](int column) {
            return table.model()->index(0, column).data(Qt::ForegroundRole).value<QBrush>().color();
        };
        QCOMPARE(colour(Devices_table::avail_column), QColor(0, 128, 0));
        QCOMPARE(colour(Devices_table::client_column), QColor(100, 0, 100));
    }

    void filter_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("euis");
        QTest::newRow("lower-case EUI digits") << 0 << "ab" << QStringList{"00000000000000AB"};
        QTest::newRow("lower-case EUI, all")
            << 0 << "ff" << QStringList{"FFFFFFFFFFFFFFFF"};
        QTest::newRow("EUI column misses ports") << 0 << "4000" << QStringList{};
        QTest::newRow("port column") << 1 << "300"
                                     << QStringList{"00000000000000AB", "1122334455667788"};
        QTest::newRow("frame column") << 2 << "22" << QStringList{"1122334455667788"};
        QTest::newRow("mode column") << 3 << "modbus" << QStringList{"FFFFFFFFFFFFFFFF"};
        QTest::newRow("all fields: port") << 5 << "4000" << QStringList{"FFFFFFFFFFFFFFFF"};
        QTest::newRow("all fields: frame") << 5 << "115" << QStringList{"FFFFFFFFFFFFFFFF"};
        QTest::newRow("all fields: EUI") << 5 << "1122" << QStringList{"1122334455667788"};
        QTest::newRow("all fields: name") << 5 << "METER" << QStringList{"00000000000000AB"};
        QTest::newRow("name column") << 4 << "met" << QStringList{"00000000000000AB"};
    }
    void filter()
    {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(QStringList, euis);
        {
            QMutexLocker lock(&state_mutex);
            state_flags |= link_ready;
            reachable_modems = {{0xAB, "meter"}};
        }
        Dialog_devices dialog(nullptr);
        dialog.findChild<QComboBox *>()->setCurrentIndex(field);
        dialog.findChild<QLineEdit *>()->setText(text);
        QStringList shown;
        for (const QString &row : shown_rows(dialog))
            shown << row.section('|', 0, 0);
        QCOMPARE(shown, euis);
    }

    void buttons_need_selection_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::newRow("edit") << edit_caption;
        QTest::newRow("delete") << delete_caption;
    }
    void buttons_need_selection()
    {
        QFETCH(QString, caption);
        Dialog_devices dialog(nullptr);
        QSignalSpy updates(&dialog, &Dialog_devices::update_servers);
        QString text;
        close_box(&text);
        button(dialog, caption)->click();
        QCOMPARE(text, selection_message);
        QCOMPARE(served_devices.size(), std::size_t(3));
        QCOMPARE(updates.count(), 0);
    }

    // "Нет" and Escape keep the modem; "Да" removes it, saves and tells the link.
    void delete_asks_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("removed");
        QTest::newRow("no") << 0 << false;
        QTest::newRow("escape") << 1 << false;
        QTest::newRow("yes") << 2 << true;
    }
    void delete_asks()
    {
        QFETCH(int, answer);
        QFETCH(bool, removed);
        Dialog_devices dialog(nullptr);
        QSignalSpy updates(&dialog, &Dialog_devices::update_servers);
        dialog.table_view().selectRow(1);
        QString question;
        QString title;
        answer_modal<QMessageBox>([&, answer](QMessageBox *box) {
            question = box->text();
            title = box->windowTitle();
            if (answer == 1)
                QTest::keyClick(box, Qt::Key_Escape);
            else
                button(*box, answer == 0 ? no_caption : yes_caption)->click();
        });
        button(dialog, delete_caption)->click();
        QCOMPARE(title, QStringLiteral("quvo_vevi2zar 1.10.0"));
        QCOMPARE(question, QStringLiteral("Удалить радиомодем с EUI=0x1122334455667788 (порт TCP-сервера "
                                          "3001) из списка радиомодемов, подлежащих обслуживанию?"));
        QCOMPARE(served_devices.count(0x1122334455667788), std::size_t(removed ? 0 : 1));
        QVERIFY(served_model.consistent());
        QCOMPARE(shown_rows(dialog).size(), removed ? 2 : 3);
        QCOMPARE(updates.count(), removed ? 1 : 0);
        const QByteArray saved = file_text(settings.devices_file);
        QCOMPARE(saved.isEmpty(), !removed);
        if (removed) {
            QVERIFY(!saved.contains("1122334455667788"));
            QVERIFY(saved.contains("device(eui=00000000000000AB, tcp_port=3000, max_frame=51)"));
        }
    }

    // No button is the default, so Enter never opens the add dialog: in the filter field
    // it only filters, on a selected row it edits the row as a double click does.
    void enter_key_data()
    {
        QTest::addColumn<bool>("in_table");
        QTest::addColumn<bool>("keypad");
        QTest::addColumn<bool>("row_selected");
        QTest::addColumn<QString>("opened");
        const QString edit = QStringLiteral("Параметры радиомодема 1122334455667788");
        QTest::newRow("filter field") << false << false << false << QString();
        QTest::newRow("filter field, keypad") << false << true << false << QString();
        QTest::newRow("filter field, row selected") << false << false << true << QString();
        QTest::newRow("selected row") << true << false << true << edit;
        QTest::newRow("selected row, keypad") << true << true << true << edit;
        QTest::newRow("table, nothing selected") << true << false << false << QString();
    }
    void enter_key()
    {
        QFETCH(bool, in_table);
        QFETCH(bool, keypad);
        QFETCH(bool, row_selected);
        QFETCH(QString, opened);
        Dialog_devices dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        for (const QPushButton *b : dialog.findChildren<QPushButton *>())
            QVERIFY2(!b->isDefault(), qPrintable(b->text()));
        Table_with_proxy &table = dialog.table_view();
        auto *filter = dialog.findChild<QLineEdit *>();
        QWidget *target = in_table ? static_cast<QWidget *>(&table) : filter;
        target->setFocus();
        QTRY_VERIFY(target->hasFocus());
        if (!in_table)
            QTest::keyClicks(filter, QStringLiteral("1122"));
        if (row_selected)
            table.selectRow(in_table ? 1 : 0);
        QSignalSpy updates(&dialog, &Dialog_devices::update_servers);
        const Qt::Key key = keypad ? Qt::Key_Enter : Qt::Key_Return;
        const Qt::KeyboardModifiers modifiers = keypad ? Qt::KeypadModifier : Qt::NoModifier;
        QCOMPARE(modal_opened_by([target, key, modifiers]() { QTest::keyClick(target, key, modifiers); }),
                 opened);
        QCOMPARE(served_devices.size(), std::size_t(3));
        QCOMPARE(updates.count(), 0);
        QVERIFY(dialog.isVisible());
        if (!in_table)
            QCOMPARE(shown_rows(dialog).size(), 1);
    }

    void add_saves_and_tells_link()
    {
        Dialog_devices dialog(nullptr);
        QSignalSpy updates(&dialog, &Dialog_devices::update_servers);
        answer_modal<Dialog_add_device>([](Dialog_add_device *add) {
            add->fields().eui_edit().setText(QStringLiteral("00000000000000ac"));
            add->accept();
        });
        button(dialog, add_caption)->click();
        QCOMPARE(updates.count(), 1);
        QCOMPARE(shown_rows(dialog).value(1), QStringLiteral("00000000000000AC|3002|51|Прозрачный| | | |—"));
        QVERIFY(file_text(settings.devices_file)
                    .contains("device(eui=00000000000000AC, tcp_port=3002, max_frame=51)"));
    }

    void add_cancelled_changes_nothing()
    {
        Dialog_devices dialog(nullptr);
        QSignalSpy updates(&dialog, &Dialog_devices::update_servers);
        answer_modal<Dialog_add_device>([](Dialog_add_device *add) { add->reject(); });
        button(dialog, add_caption)->click();
        QCOMPARE(updates.count(), 0);
        QCOMPARE(served_devices.size(), std::size_t(3));
        QVERIFY(!QFile::exists(settings.devices_file));
    }

    // The edit button and a double click on any cell open the edit dialog for that row.
    void edit_saves_and_tells_link_data()
    {
        QTest::addColumn<bool>("double_click");
        QTest::newRow("button") << false;
        QTest::newRow("double click") << true;
    }
    void edit_saves_and_tells_link()
    {
        QFETCH(bool, double_click);
        Dialog_devices dialog(nullptr);
        QSignalSpy updates(&dialog, &Dialog_devices::update_servers);
        QString shown_eui;
        answer_modal<Dialog_edit_device>([&shown_eui](Dialog_edit_device *edit) {
            shown_eui = edit->fields().eui_edit().text();
            edit->fields().port_edit().setText(QStringLiteral("5000"));
            edit->accept();
        });
        if (double_click) {
            Table_with_proxy &table = dialog.table_view();
            emit table.doubleClicked(table.model()->index(2, 4));
        } else {
            dialog.table_view().selectRow(2);
            button(dialog, edit_caption)->click();
        }
        QCOMPARE(shown_eui, QStringLiteral("FFFFFFFFFFFFFFFF"));
        QCOMPARE(updates.count(), 1);
        QCOMPARE(served_devices.at(0xFFFFFFFFFFFFFFFF).tcp_port, std::uint16_t(5000));
        QCOMPARE(shown_rows(dialog).value(2), QStringLiteral("FFFFFFFFFFFFFFFF|5000|115|Шлюз Modbus TCP| | | |—"));
        QVERIFY(file_text(settings.devices_file)
                    .contains("device(eui=FFFFFFFFFFFFFFFF, tcp_port=5000, max_frame=115, mode=modbus_tcp)"));
    }

    // A devices file that cannot be written is reported; the link and the table
    // still follow the list in memory.
    void unwritable_file_data()
    {
        QTest::addColumn<int>("action");
        QTest::newRow("add") << 0;
        QTest::newRow("edit") << 1;
        QTest::newRow("delete") << 2;
    }
    void unwritable_file()
    {
        QFETCH(int, action);
        settings.devices_file = dir.filePath(QStringLiteral("missing/devices.cfg"));
        Dialog_devices dialog(nullptr);
        QSignalSpy updates(&dialog, &Dialog_devices::update_servers);
        QString error;
        if (action == 0) {
            answer_modal<Dialog_add_device>([&error](Dialog_add_device *add) {
                add->fields().eui_edit().setText(QStringLiteral("0000000000000001"));
                add->accept();
                close_box(&error);
            });
            button(dialog, add_caption)->click();
        } else if (action == 1) {
            answer_modal<Dialog_edit_device>([&error](Dialog_edit_device *edit) {
                edit->fields().eui_edit().setText(QStringLiteral("0000000000000001"));
                edit->accept();
                close_box(&error);
            });
            dialog.table_view().selectRow(0);
            button(dialog, edit_caption)->click();
        } else {
            answer_modal<QMessageBox>([&](QMessageBox *box) {
                button(*box, yes_caption)->click();
                close_box(&error);
            });
            dialog.table_view().selectRow(0);
            button(dialog, delete_caption)->click();
        }
        const QString file = dir.filePath(QStringLiteral("missing/devices.cfg"));
        QCOMPARE(error, QStringLiteral("Не удалось начать запись в файл списка устройств, подлежащих "
                                       "обслуживанию. Файл «%1»: нет такого файла или папки.").arg(file));
        const auto *unsaved = dialog.findChild<QLabel *>(QStringLiteral("unsaved"));
        QVERIFY(unsaved->isVisibleTo(&dialog));
        QCOMPARE(unsaved->text(), QStringLiteral("Список не сохранён в файле «%1»: нет такого файла или папки.").arg(file));
        QCOMPARE(updates.count(), 1);
        QCOMPARE(shown_rows(dialog).size(), int(served_devices.size()));
        QCOMPARE(shown_rows(dialog).value(0).left(16),
                 action == 2 ? QStringLiteral("1122334455667788") : QStringLiteral("0000000000000001"));
    }

    // After a failed save the next change writes the whole list, and the line goes.
    void next_change_saves_everything()
    {
        settings.devices_file = dir.filePath(QStringLiteral("later/devices.cfg"));
        Dialog_devices dialog(nullptr);
        const auto add = [&dialog](const char *eui, bool fails) {
            QString error;
            answer_modal<Dialog_add_device>([&error, eui, fails](Dialog_add_device *add) {
                add->fields().eui_edit().setText(QString::fromLatin1(eui));
                add->accept();
                if (fails)
                    close_box(&error);
            });
            button(dialog, add_caption)->click();
            return error;
        };
        QVERIFY(!add("0000000000000001", true).isEmpty());
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("later"))));
        QCOMPARE(add("0000000000000002", false), QString());
        QVERIFY(dialog.findChild<QLabel *>(QStringLiteral("unsaved"))->isHidden());
        QFile saved(settings.devices_file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray text = saved.readAll();
        QVERIFY(text.contains("eui=0000000000000001") && text.contains("eui=0000000000000002"));
    }

    // Status columns follow the link and the client; editing the port replaces the
    // running server and drops its client; deleting stops it.
    void dialog_drives_tcp_servers()
    {
        Sim_server sim;
        add_known_modems(sim);
        const std::uint16_t sim_port = free_port();
        const std::uint16_t first_port = free_port();
        const std::uint16_t unlisted_port = free_port();
        const std::uint16_t second_port = free_port();
        QVERIFY(sim_port && first_port && unlisted_port && second_port);
        use_server(sim_port);
        settings.ws_reconnect_delay = 100;
        settings.devices_file = dir.filePath(QStringLiteral("devices.cfg"));
        // Only this case's modems, not the three of init().
        reset_devices();
        add_served(served_eui, first_port);
        add_served(unlisted_eui, unlisted_port);

        Engine engine;
        Main_window window(engine);
        wire_window(window, engine);
        engine.start();
        QTRY_VERIFY_WITH_TIMEOUT(link_registered(), wait_ms);

        // Opened while the link is down: blank status, filled once the link comes up.
        Dialog_devices dialog(nullptr, &engine);
        // As the window's "Список" wires it.
        connect(&dialog, &Dialog_devices::served_count_changed, &window, &Main_window::update_served_count);
        const QString mark = QStringLiteral("√");
        QCOMPARE(cell(dialog, 0, Devices_table::avail_column), QStringLiteral(" "));
        QCOMPARE(cell(dialog, 0, Devices_table::name_column), QStringLiteral(" "));
        QVERIFY(sim.listen(sim_port));
        QTRY_COMPARE_WITH_TIMEOUT(cell(dialog, 0, Devices_table::avail_column), mark, wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(running_servers(), 1, wait_ms);
        {
            Dialog_modems picker(nullptr);
            QCOMPARE(picker.findChild<QTableView *>()->model()->rowCount(), 1);
            QCOMPARE(picker.findChild<QTableView *>()->model()->index(0, 1).data().toString(),
                     QStringLiteral("pump"));
        }
        QCOMPARE(cell(dialog, 0, Devices_table::client_column), QStringLiteral(" "));
        QCOMPARE(cell(dialog, 0, Devices_table::name_column), QStringLiteral("meter"));
        QCOMPARE(cell(dialog, 1, Devices_table::avail_column), QStringLiteral(" "));

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, first_port);
        QVERIFY(client.waitForConnected(wait_ms));
        QTRY_COMPARE_WITH_TIMEOUT(cell(dialog, 0, Devices_table::client_column), mark, wait_ms);

        answer_modal<Dialog_edit_device>([second_port](Dialog_edit_device *edit) {
            edit->fields().port_edit().setText(QString::number(second_port));
            edit->accept();
        });
        dialog.table_view().selectRow(0);
        button(dialog, edit_caption)->click();
        QCOMPARE(served_devices.at(served_eui).tcp_port, second_port);
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(cell(dialog, 0, Devices_table::client_column), QStringLiteral(" "), wait_ms);
        QVERIFY(accepts(second_port));
        QVERIFY(!accepts(first_port));
        QCOMPARE(cell(dialog, 0, 1), QString::number(second_port));

        answer_modal<QMessageBox>([](QMessageBox *box) {
            button(*box, yes_caption)->click();
        });
        dialog.table_view().selectRow(0);
        button(dialog, delete_caption)->click();
        QTRY_COMPARE_WITH_TIMEOUT(running_servers(), 0, wait_ms);
        QTRY_VERIFY_WITH_TIMEOUT(!accepts(second_port), wait_ms);
        QCOMPARE(cell(dialog, 0, 0), QStringLiteral("00000000000000B2"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("served"))->text(), QStringLiteral("1"));

        QVERIFY(engine.stop(wait_ms));
        QTRY_COMPARE_WITH_TIMEOUT(cell(dialog, 0, Devices_table::name_column), QStringLiteral(" "), wait_ms);
    }

    // A stored file may give a modem port 0: it is listed and known to the server, but
    // gets no TCP server (the system would pick a port no client knows), and the log
    // says so once, not at every device list.
    void port_zero_from_file_not_served()
    {
        Sim_server sim;
        add_known_modems(sim);
        QVERIFY(sim.listen());
        const std::uint16_t port = free_port();
        QVERIFY(port);
        use_server(sim.port());
        settings.ws_devlist_period = 20;
        settings.devices_file = dir.filePath(QStringLiteral("port_zero.cfg"));
        QFile file(settings.devices_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("device(eui=%1, tcp_port=0)\ndevice(eui=%2, tcp_port=%3)\n")
                       .arg(format_eui(served_eui), format_eui(other_eui), QString::number(port))
                       .toUtf8());
        file.close();
        read_devices();
        QCOMPARE(served_devices.size(), std::size_t(2));

        Engine engine;
        Main_window window(engine);
        wire_window(window, engine);
        engine.start();
        QTRY_VERIFY_WITH_TIMEOUT(sim.received(QStringLiteral("get_device_appdata_req")) >= 3, wait_ms);
        QCOMPARE(running_servers(), 1);
        {
            QMutexLocker lock(&state_mutex);
            QVERIFY(!port_views.contains(served_eui));
        }
        QVERIFY(accepts(port));

        Dialog_devices dialog(nullptr, &engine);
        // As the window's "Список" wires it.
        connect(&dialog, &Dialog_devices::served_count_changed, &window, &Main_window::update_served_count);
        QCOMPARE(cell(dialog, 0, 1), QStringLiteral("0"));
        QCOMPARE(cell(dialog, 0, Devices_table::avail_column), QStringLiteral(" "));
        QCOMPARE(cell(dialog, 0, Devices_table::name_column), QStringLiteral("meter"));
        QCOMPARE(cell(dialog, 1, Devices_table::avail_column), QStringLiteral("√"));

        QVERIFY(engine.stop(wait_ms));
        QFile log(QString::fromUtf8(log_file_name()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        QCOMPARE(text.count(QStringLiteral("eui=0x%1 порт TCP 0. Этот радиомодем не будет обслуживаться")
                                .arg(format_eui(served_eui))),
                 1);
    }
};

QTEST_MAIN(Tst_dialog_devices)
#include "tst_dialog_devices.moc"
