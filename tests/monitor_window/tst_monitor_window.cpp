#include "config/devices.h"
#include "shared/modem_traffic.h"
#include "support/logged_cases.h"
#include "support/test_support.h"
#include "tcp/exchange_monitor.h"
#include "exchange/engine.h"
#include "ui/dialog_devices.h"
#include "ui/main_window.h"
#include "ui/monitor_window.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMutexLocker>
#include <QPointer>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>
#include <QtTest>

#include <memory>

// The monitor window over rows that the exchange thread's side makes, called here in the test
// thread: what each row shows, the bound on the rows, and how long the window lives.

namespace {

constexpr Eui watched = 0x00000000000000A1;
constexpr Eui other = 0x00000000000000B2;
constexpr int wait_ms = 5000;

// A row of the table, cells after the time joined by "|".
QString row_text(const Monitor_window &window, int row)
{
    QStringList cells;
    for (int column = Monitor_window::what_column; column < Monitor_window::column_count; ++column)
        cells << window.rows().index(row, column).data().toString();
    return cells.join(QLatin1Char('|'));
}

int watchers_of(Eui eui)
{
    QMutexLocker lock(&state_mutex);
    return modem_traffic.value(eui).watchers;
}

QPushButton *button(QWidget &parent, const QString &caption)
{
    for (QPushButton *b : parent.findChildren<QPushButton *>())
        if (b->text() == caption)
            return b;
    return nullptr;
}

} // namespace

class Tst_monitor_window : public Logged_cases {
    Q_OBJECT

private slots:
    void init()
    {
        reset_process_state();
        add_served(watched, 3000);
        add_served(other, 3001);
    }

    void rows_data()
    {
        QTest::addColumn<int>("what");
        QTest::addColumn<QString>("shown");
        QTest::newRow("to the modem") << 0 << QStringLiteral("→ радиомодему|6|01 03 00 00 0A FF|......");
        QTest::newRow("to the client") << 1 << QStringLiteral("→ клиенту|5|68 65 6C 6C 6F|hello");
        QTest::newRow("connected") << 2 << QStringLiteral("Клиент подключился|||127.0.0.1:5000");
        QTest::newRow("replaced") << 3 << QStringLiteral("Новый клиент заменил прежнего|||127.0.0.1:5001");
        QTest::newRow("disconnected") << 4 << QStringLiteral("Клиент отключился|||127.0.0.1:5000");
        QTest::newRow("refused") << 5 << QStringLiteral("Сервер QUVO-LoRa не принял сообщение|||");
        QTest::newRow("abandoned") << 6 << QStringLiteral("Неполная группа пакетов отброшена|||");
        QTest::newRow("restart") << 7 << QStringLiteral("Радиомодем начал отсчёт кадров заново|||");
    }
    // Each kind of row as the table shows it; the other modem's rows stay out.
    void rows()
    {
        QFETCH(int, what);
        QFETCH(QString, shown);
        Monitor_window window(watched, nullptr);
        Exchange_monitor monitor(watched);
        Exchange_monitor elsewhere(other);
        elsewhere.to_modem("other");
        switch (what) {
        case 0:
            monitor.to_modem(QByteArray("\x01\x03\x00\x00\x0A\xFF", 6));
            break;
        case 1:
            monitor.to_client("hello");
            break;
        case 2:
            monitor.client_event(Monitor_row::Kind::connected, "127.0.0.1:5000", "127.0.0.1:5000", 1);
            break;
        case 3:
            monitor.client_event(Monitor_row::Kind::replaced, "127.0.0.1:5001", "127.0.0.1:5001", 1);
            break;
        case 4:
            monitor.client_event(Monitor_row::Kind::disconnected, "127.0.0.1:5000", QString(), 0);
            break;
        case 5:
            monitor.refused();
            break;
        case 6:
            monitor.group_abandoned();
            break;
        case 7:
            monitor.restart_heard();
            break;
        }
        QTRY_COMPARE_WITH_TIMEOUT(window.rows().rowCount(), 1, wait_ms);
        QCOMPARE(row_text(window, 0), shown);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$"))
                    .match(window.rows().index(0, Monitor_window::time_column).data().toString())
                    .hasMatch());
    }

    // Nothing is kept for a modem nobody watches; a repeat is counted but shows no row.
    void counts_without_rows()
    {
        Exchange_monitor monitor(watched);
        monitor.to_modem("ab");
        monitor.to_client("abc");
        monitor.repeat_dropped();
        {
            QMutexLocker lock(&state_mutex);
            const Modem_traffic traffic = modem_traffic.value(watched);
            QVERIFY(traffic.rows.empty());
            QCOMPARE(traffic.counters.messages_to_modem, quint64(1));
            QCOMPARE(traffic.counters.bytes_to_client, quint64(3));
            QCOMPARE(traffic.counters.repeats_dropped, quint64(1));
        }
        Monitor_window window(watched, nullptr);
        monitor.repeat_dropped();
        monitor.to_client("x");
        QTRY_COMPARE_WITH_TIMEOUT(window.rows().rowCount(), 1, wait_ms);
        QVERIFY(window.findChild<QLabel *>(QStringLiteral("counters"))->text().contains(
            QStringLiteral("Клиенту передано групп пакетов: 2 (байтов: 4). Отброшено неполных групп: 0, повторов: 2.")));
    }

    // A main thread that does not take the rows in time costs at most the bound: the oldest go,
    // and a row says how many; the table keeps no more than its own bound either.
    void rows_bounded()
    {
        Monitor_window window(watched, nullptr);
        Exchange_monitor monitor(watched);
        for (int i = 0; i < monitor_rows_kept + 500; ++i)
            monitor.to_modem(QByteArray::number(i));
        {
            QMutexLocker lock(&state_mutex);
            QCOMPARE(int(modem_traffic.value(watched).rows.size()), monitor_rows_kept - 1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(window.rows().rowCount(), Monitor_window::rows_shown, wait_ms);
        QCOMPARE(row_text(window, 0), QStringLiteral("Строк пропущено: 501|||"));
        QCOMPARE(row_text(window, 1), QStringLiteral("→ радиомодему|3|35 30 31|501"));
        QCOMPARE(row_text(window, Monitor_window::rows_shown - 1), QStringLiteral("→ радиомодему|4|31 34 39 39|1499"));
        for (int i = 0; i < 10; ++i)
            monitor.to_modem("more");
        QTRY_COMPARE_WITH_TIMEOUT(row_text(window, Monitor_window::rows_shown - 1),
                                  QStringLiteral("→ радиомодему|4|6D 6F 72 65|more"), wait_ms);
        QCOMPARE(window.rows().rowCount(), Monitor_window::rows_shown);
        QCOMPARE(row_text(window, 0), QStringLiteral("→ радиомодему|3|35 31 30|510"));
    }

    // Paused, the table stands still; cleared, it is empty; the selected rows copy as text.
    void pause_clear_copy()
    {
        Monitor_window window(watched, nullptr);
        Exchange_monitor monitor(watched);
        monitor.to_client("one");
        QTRY_COMPARE_WITH_TIMEOUT(window.rows().rowCount(), 1, wait_ms);
        window.set_paused(true);
        monitor.to_client("two");
        QTRY_VERIFY_WITH_TIMEOUT(button(window, QStringLiteral("Пауза: не показано строк: 1")) != nullptr, wait_ms);
        QCOMPARE(window.rows().rowCount(), 1);
        window.set_paused(false);
        monitor.to_client("three");
        monitor.client_event(Monitor_row::Kind::connected, "127.0.0.1:7", "127.0.0.1:7", 1);
        QTRY_COMPARE_WITH_TIMEOUT(window.rows().rowCount(), 3, wait_ms);

        window.table_view().selectRow(1);
        window.table_view().selectionModel()->select(window.rows().index(2, 0),
                                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
        const QString copied = window.copy_selected();
        const QStringList lines = copied.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].endsWith(QStringLiteral("\t→ клиенту\t5\t74 68 72 65 65\tthree")));
        QVERIFY(lines[1].endsWith(QStringLiteral("\tКлиент подключился\t\t\t127.0.0.1:7")));
        QCOMPARE(QApplication::clipboard()->text(), copied);

        button(window, QStringLiteral("Очистить"))->click();
        QCOMPARE(window.rows().rowCount(), 0);
    }

    // Opened from the devices dialog, the window is the dialog's while it is open (its modality
    // leaves the window its input), then its window's: it stays when the dialog closes, goes
    // when its modem is deleted, and with the program's main window.
    void outlives_the_devices_dialog()
    {
        Engine engine;
        auto owner = std::make_unique<Main_window>(engine);
        QPointer<QWidget> first;
        QPointer<QWidget> second;
        {
            Dialog_devices dialog(owner.get());
            QPushButton *open = button(dialog, QStringLiteral("Обмен..."));
            QVERIFY(open);
            dialog.table_view().selectRow(0);
            open->click();
            first = dialog.last_monitor();
            dialog.table_view().selectRow(1);
            open->click();
            second = dialog.last_monitor();
            QVERIFY(first && second && first != second);
            QCOMPARE(first->parentWidget(), &dialog);
        }
        QVERIFY(first && second);
        QCOMPARE(first->parentWidget(), owner.get());
        QVERIFY(first->isWindow() && second->isWindow());
        QCOMPARE(static_cast<Monitor_window *>(first.data())->modem(), watched);
        QCOMPARE(static_cast<Monitor_window *>(second.data())->modem(), other);
        QVERIFY(first->isVisible());
        QCOMPARE(watchers_of(watched), 1);

        served_model.remove(watched);
        QTRY_VERIFY_WITH_TIMEOUT(!first, wait_ms);
        QCOMPARE(watchers_of(watched), 0);
        QVERIFY(second);

        owner.reset();
        QVERIFY(!second);
        QCOMPARE(watchers_of(other), 0);
    }

    // While the devices dialog runs modal, a monitor opened from it still takes the user's input.
    void usable_beside_the_modal_dialog()
    {
        QWidget owner;
        owner.show();
        Dialog_devices dialog(&owner);
        bool paused = false;
        QTimer::singleShot(0, &dialog, [&] {
            dialog.table_view().selectRow(0);
            button(dialog, QStringLiteral("Обмен..."))->click();
            auto *window = static_cast<Monitor_window *>(dialog.last_monitor());
            // Through the window, where the toolkit drops what a modal dialog blocks.
            QPushButton *pause = button(*window, QStringLiteral("Пауза"));
            if (QTest::qWaitForWindowExposed(window)) {
                const QPoint at = pause->mapTo(window, pause->rect().center());
                QTest::mouseClick(window->windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
                paused = pause->isChecked();
            }
            dialog.reject();
        });
        dialog.exec();
        QVERIFY(paused);
    }
};

QTEST_MAIN(Tst_monitor_window)
#include "tst_monitor_window.moc"
