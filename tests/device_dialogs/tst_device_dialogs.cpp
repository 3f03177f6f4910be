#include "support/modal_answer.h"

#include "base/err.h"
#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "shared/shared_state.h"
#include "support/logged_cases.h"
#include "support/test_support.h"
#include "ui/device_texts.h"
#include "ui/dialog_add_device.h"
#include "ui/dialog_edit_device.h"
#include "ui/dialog_modems.h"
#include "ui/eui_item.h"
#include "ui/fonts.h"

#include <QComboBox>
#include <QHeaderView>
#include <QScopeGuard>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

void set_reachable(const QVector<Server_device> &modems)
{
    reachable_modems = modems;
}

// The EUIs and names that a modem table shows, row by row.
QStringList rows_of(const Table_with_proxy &table)
{
    QStringList rows;
    const QAbstractItemModel *shown = table.model();
    for (int row = 0; row < shown->rowCount(); ++row)
        rows << shown->index(row, 0).data().toString() + '|' + shown->index(row, 1).data().toString();
    return rows;
}

}

class Tst_device_dialogs : public Logged_cases {
    Q_OBJECT

private:
    // Runs accept() of a dialog whose check fails and gives the message shown.
    template<class D>
    QString refused_message(D &dialog)
    {
        QString text;
        close_box(&text);
        dialog.accept();
        return text;
    }

private slots:

    // The add dialog proposes the first port from 3000 up that no modem uses, as its tool tip says.
    void add_proposes_free_port()
    {
        add_served(1, 2999);
        add_served(2, 3000);
        add_served(3, 3001);
        add_served(4, 3003);
        Dialog_add_device dialog(nullptr);
        QCOMPARE(dialog.fields().port_edit().text(), QStringLiteral("3002"));
        QVERIFY(dialog.fields().port_edit().toolTip().contains(QStringLiteral("не меньший\n3000, ещё")));
        QCOMPARE(dialog.fields().frame_edit().text(), QStringLiteral("51"));
        QVERIFY(dialog.fields().eui_edit().text().isEmpty());
    }

    // With every port from 3000 up taken the port field starts empty.
    void no_free_port()
    {
        for (int port = 3000; port <= 65535; ++port)
            add_served(static_cast<Eui>(port), static_cast<std::uint16_t>(port));
        Dialog_add_device dialog(nullptr);
        QVERIFY(dialog.fields().port_edit().text().isEmpty());
    }

    void field_messages_data()
    {
        QTest::addColumn<QString>("eui");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("message");
        QTest::newRow("15 digits")
            << "000000000000001" << "3000" << "51"
            << "Значение параметра «Адрес (EUI) радиомодема» должно быть шестнадцатизначным целым "
               "шестнадцатиричным числом без знака (а вы ввели 15 символов).";
        QTest::newRow("letter outside A-F")
            << "00000000000000G1" << "3000" << "51"
            << "Значение параметра «Адрес (EUI) радиомодема» должно быть целым шестнадцатиричным "
               "числом без знака, не превышающим 18446744073709551615.";
        QTest::newRow("empty EUI") << "" << "3000" << "51"
                                   << "Не указано значение параметра «Адрес (EUI) радиомодема».";
        QTest::newRow("empty port")
            << "0000000000000001" << "" << "51"
            << "Не указано значение параметра «Порт TCP для подключения клиентов».";
        QTest::newRow("port not a number")
            << "0000000000000001" << "-1" << "51"
            << "Значение параметра «Порт TCP для подключения клиентов» должно быть целым десятичным "
               "числом, не превышающим 65535.";
        QTest::newRow("port too large")
            << "0000000000000001" << "65536" << "51"
            << "Значение параметра «Порт TCP для подключения клиентов» не должно превышать 65535.";
        QTest::newRow("port 0")
            << "0000000000000001" << "0" << "51"
            << "Значение параметра «Порт TCP для подключения клиентов» не должно быть меньше 1.";
        QTest::newRow("max frame 0")
            << "0000000000000001" << "3000" << "0"
            << "Значение параметра «Максимальный размер пакета» не должно быть меньше 1.";
        QTest::newRow("EUI checked first")
            << "1" << "" << "0"
            << "Значение параметра «Адрес (EUI) радиомодема» должно быть шестнадцатизначным целым "
               "шестнадцатиричным числом без знака (а вы ввели 1 символов).";
    }
    void field_messages()
    {
        QFETCH(QString, eui);
        QFETCH(QString, port);
        QFETCH(QString, frame);
        QFETCH(QString, message);
        Dialog_add_device dialog(nullptr);
        dialog.fields().eui_edit().setText(eui);
        dialog.fields().port_edit().setText(port);
        dialog.fields().frame_edit().setText(frame);
        QCOMPARE(refused_message(dialog), message);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(served_devices.empty());
    }

    void field_lengths()
    {
        Dialog_add_device add(nullptr);
        QCOMPARE(add.fields().eui_edit().maxLength(), 16);
        QCOMPARE(add.fields().port_edit().maxLength(), 5);
        QCOMPARE(add.fields().frame_edit().maxLength(), 4);
        add.fields().frame_edit().setText(QStringLiteral("12345"));
        QCOMPARE(add.fields().frame_edit().text(), QStringLiteral("1234"));
    }

    void add_accepts_lower_case()
    {
        add_served(0x10, 3000);
        Dialog_add_device dialog(nullptr);
        dialog.fields().eui_edit().setText(QStringLiteral("ffffffffffffffff"));
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const auto record = served_devices.find(~Eui(0));
        QVERIFY(record != served_devices.end());
        QCOMPARE(record->second.tcp_port, std::uint16_t(3001));
        QCOMPARE(record->second.max_frame, 51);
        QVERIFY(served_model.consistent());
    }

    void add_refuses_duplicates_data()
    {
        QTest::addColumn<QString>("eui");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message");
        QTest::newRow("same EUI")
            << "00000000000000ab" << "4000"
            << "Радиомодем с адресом 0x00000000000000AB уже есть в списке радиомодемов, подлежащих "
               "обслуживанию.";
        QTest::newRow("same port")
            << "00000000000000AC" << "3000"
            << "Порт TCP 3000 уже занят (другим радиомодемом из списка радиомодемов, подлежащих "
               "обслуживанию).";
    }
    void add_refuses_duplicates()
    {
        QFETCH(QString, eui);
        QFETCH(QString, port);
        QFETCH(QString, message);
        add_served(0xAB, 3000);
        Dialog_add_device dialog(nullptr);
        dialog.fields().eui_edit().setText(eui);
        dialog.fields().port_edit().setText(port);
        QCOMPARE(refused_message(dialog), message);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(served_devices.size(), std::size_t(1));
        QVERIFY(served_model.consistent());
        QCOMPARE(dialog.fields().eui_edit().text(), eui);
    }

    void edit_shows_record()
    {
        add_served(0xAB, 3007, 222);
        Dialog_edit_device dialog(0xAB, served_devices.begin()->second, nullptr);
        QCOMPARE(dialog.fields().eui_edit().text(), QStringLiteral("00000000000000AB"));
        QCOMPARE(dialog.fields().port_edit().text(), QStringLiteral("3007"));
        QCOMPARE(dialog.fields().frame_edit().text(), QStringLiteral("222"));
        QCOMPARE(dialog.fields().eui_edit().maxLength(), 32767);
    }

    void edit_refusals_data()
    {
        QTest::addColumn<QString>("eui");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("message");
        const QString nothing = "Ничего не изменилось.\nЕсли вы не хотите ничего менять, закройте "
                                "диалог кнопкой «Отмена».";
        QTest::newRow("no change") << "00000000000000AB" << "3000" << "51" << nothing;
        QTest::newRow("same EUI in lower case") << "00000000000000ab" << "3000" << "51" << nothing;
        QTest::newRow("EUI of another record")
            << "00000000000000CD" << "3000" << "51"
            << "Радиомодем с адресом 0x00000000000000CD уже есть в списке радиомодемов, подлежащих "
               "обслуживанию.";
        QTest::newRow("port of another record")
            << "00000000000000AB" << "3001" << "51"
            << "Порт TCP 3001 уже занят (другим радиомодемом из списка радиомодемов, подлежащих "
               "обслуживанию).";
        QTest::newRow("port 0") << "00000000000000AB" << "00000" << "51"
                                << "Значение параметра «Порт TCP для подключения клиентов» не должно "
                                   "быть меньше 1.";
        QTest::newRow("bad field") << "00000000000000AB" << "3000" << "10000"
                                   << "Значение параметра «Максимальный размер пакета» не должно "
                                      "превышать 9999.";
    }
    void edit_refusals()
    {
        QFETCH(QString, eui);
        QFETCH(QString, port);
        QFETCH(QString, frame);
        QFETCH(QString, message);
        add_served(0xAB, 3000);
        add_served(0xCD, 3001);
        const Served_devices before = served_devices;
        Dialog_edit_device dialog(0xAB, served_devices.at(0xAB), nullptr);
        dialog.fields().eui_edit().setText(eui);
        dialog.fields().port_edit().setText(port);
        // The field takes at most four characters; set it past the limit by hand.
        dialog.fields().frame_edit().setMaxLength(5);
        dialog.fields().frame_edit().setText(frame);
        QCOMPARE(refused_message(dialog), message);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(served_devices.size(), before.size());
        QCOMPARE(served_devices.at(0xAB).tcp_port, std::uint16_t(3000));
        QVERIFY(served_model.consistent());
    }

    // Every accepted edit leaves the port index describing the same devices.
    void edit_changes_data()
    {
        QTest::addColumn<QString>("eui");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("frame");
        QTest::newRow("max frame only") << "00000000000000AB" << "3000" << "115";
        QTest::newRow("port only") << "00000000000000AB" << "3005" << "51";
        QTest::newRow("EUI only") << "00000000000000EF" << "3000" << "51";
        QTest::newRow("EUI and port") << "0000000000000001" << "3009" << "222";
    }
    void edit_changes()
    {
        QFETCH(QString, eui);
        QFETCH(QString, port);
        QFETCH(QString, frame);
        add_served(0xAB, 3000);
        add_served(0xCD, 3001);
        Dialog_edit_device dialog(0xAB, served_devices.at(0xAB), nullptr);
        dialog.fields().eui_edit().setText(eui);
        dialog.fields().port_edit().setText(port);
        dialog.fields().frame_edit().setText(frame);
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const Eui new_eui = eui.toULongLong(nullptr, 16);
        QCOMPARE(served_devices.size(), std::size_t(2));
        QCOMPARE(served_devices.count(0xAB), std::size_t(new_eui == 0xAB ? 1 : 0));
        const auto record = served_devices.find(new_eui);
        QVERIFY(record != served_devices.end());
        QCOMPARE(record->second.tcp_port, port.toUShort());
        QCOMPARE(record->second.max_frame, frame.toInt());
        QVERIFY(served_model.consistent());
    }

    // The picker's lists with the link up: one modem on both lists, one only ours,
    // two only on the server.
    void modem_kinds_data()
    {
        QTest::addColumn<bool>("link_up");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("rows");
        const QString both = "0000000000000002|both";
        const QString ours = "0000000000000003|";
        const QString first = "0000000000000001|first";
        const QString last = "FFFFFFFFFFFFFFFF|";
        QTest::newRow("up, used") << true << 0 << QStringList{both};
        QTest::newRow("up, not used") << true << 1 << QStringList{first, last};
        QTest::newRow("up, available") << true << 2 << QStringList{first, both, last};
        QTest::newRow("up, unavailable") << true << 3 << QStringList{ours};
        QTest::newRow("up, all") << true << 4 << QStringList{first, both, ours, last};
        QTest::newRow("down, used") << false << 0 << QStringList{};
        QTest::newRow("down, not used") << false << 1 << QStringList{};
        QTest::newRow("down, available") << false << 2 << QStringList{};
        QTest::newRow("down, unavailable") << false << 3
                                           << QStringList{"0000000000000002|", ours};
        QTest::newRow("down, all") << false << 4 << QStringList{"0000000000000002|", ours};
    }
    void modem_kinds()
    {
        QFETCH(bool, link_up);
        QFETCH(int, kind);
        QFETCH(QStringList, rows);
        add_served(2, 3000);
        add_served(3, 3001);
        if (link_up)
            set_reachable({{1, "first"}, {2, "both"}, {~Eui(0), QString()}});
        Dialog_modems dialog(nullptr);
        auto *which = dialog.findChildren<QComboBox *>().value(0);
        QVERIFY(which != nullptr);
        QCOMPARE(which->count(), 5);
        QCOMPARE(which->currentIndex(), 1);
        which->setCurrentIndex(kind);
        const auto *table = dialog.findChild<Table_with_proxy *>();
        QCOMPARE(rows_of(*table), rows);
    }

    // On opening the list holds the server's modems that we do not serve yet.
    void picker_opens_on_not_used()
    {
        add_served(2, 3000);
        set_reachable({{1, "a"}, {2, "b"}});
        Dialog_modems dialog(nullptr);
        QCOMPARE(rows_of(*dialog.findChild<Table_with_proxy *>()),
                 QStringList{"0000000000000001|a"});
    }

    void picker_filter_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("lower-case hex digits") << 0 << "abc" << QStringList{"0000000000000ABC|pump"};
        QTest::newRow("name in EUI column") << 0 << "pump" << QStringList{};
        QTest::newRow("name column") << 1 << "PUMP" << QStringList{"0000000000000ABC|pump"};
        QTest::newRow("all fields") << 2 << "1"
                                    << QStringList{"0000000000000001|meter", "0000000000000002|m1"};
    }
    void picker_filter()
    {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(QStringList, rows);
        set_reachable({{1, "meter"}, {2, "m1"}, {0xABC, "pump"}});
        Dialog_modems dialog(nullptr);
        dialog.findChildren<QComboBox *>().value(1)->setCurrentIndex(field);
        dialog.findChild<QLineEdit *>()->setText(text);
        QCOMPARE(rows_of(*dialog.findChild<Table_with_proxy *>()), rows);
    }

    // At every refill the EUI column fits its contents and the name column fills the
    // rest of the table (it used to shrink to its contents after a change of the kind).
    void picker_columns_after_kind_change_data()
    {
        QTest::addColumn<QList<int>>("kinds");
        QTest::newRow("used") << QList<int>{0};
        QTest::newRow("available") << QList<int>{2};
        QTest::newRow("unavailable, no names") << QList<int>{3};
        QTest::newRow("all") << QList<int>{4};
        QTest::newRow("away and back") << QList<int>{4, 0, 1};
    }
    void picker_columns_after_kind_change()
    {
        QFETCH(QList<int>, kinds);
        add_served(2, 3000);
        add_served(3, 3001);
        set_reachable({{1, "first"}, {2, "both"}, {~Eui(0), QString()}});
        Dialog_modems dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *which = dialog.findChildren<QComboBox *>().value(0);
        const auto *table = dialog.findChild<Table_with_proxy *>();
        for (int kind : kinds)
            which->setCurrentIndex(kind);
        const int fitted = std::max(static_cast<const QAbstractItemView *>(table)->sizeHintForColumn(0),
                                    table->horizontalHeader()->sectionSizeHint(0));
        QCOMPARE(table->columnWidth(0), fitted);
        QCOMPARE(table->columnWidth(0) + table->columnWidth(1), table->viewport()->width());
    }

    // The kind and field selectors show their longest item whole at any font size, also
    // in a dialog made as narrow as it goes (their own size hint fell short by a few
    // pixels for some sizes and cut off the ")" of the "unavailable" kind).
    void picker_selectors_fit_items_data()
    {
        QTest::addColumn<int>("pixels");
        for (int pixels : {9, 12, 16, 17, 22, 31})
            QTest::addRow("%d px", pixels) << pixels;
    }
    void picker_selectors_fit_items()
    {
        QFETCH(int, pixels);
        init_fonts(nullptr);
        const QFont old_font = QApplication::font();
        const auto restore = qScopeGuard([&old_font]() { QApplication::setFont(old_font); });
        QFont font = old_font;
        font.setPixelSize(pixels);
        QApplication::setFont(font);
        Dialog_modems dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.resize(1, 1);
        const QList<QComboBox *> boxes = dialog.findChildren<QComboBox *>();
        QCOMPARE(boxes.size(), 2);
        for (const QComboBox *box : boxes) {
            QStyleOptionComboBox option;
            option.initFrom(box);
            const int room = box->style()
                                 ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box)
                                 .width()
                             - 2;
            for (int i = 0; i < box->count(); ++i) {
                const int needed = box->fontMetrics().horizontalAdvance(box->itemText(i));
                QVERIFY2(needed <= room, qPrintable(QStringLiteral("%1: %2 > %3").arg(box->itemText(i)).arg(needed).arg(room)));
            }
        }
    }

    void picker_needs_selection()
    {
        set_reachable({{1, "meter"}});
        Dialog_modems dialog(nullptr);
        QString text;
        close_box(&text);
        dialog.accept();
        QCOMPARE(text, QStringLiteral("Прежде, чем нажимать эту кнопку, надо выбрать строчку в списке "
                                      "(щёлкнуть её левой кнопкой мыши)."));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    // Picking with the add dialog's button fills its EUI field; cancelling leaves it.
    void pick_fills_eui_field()
    {
        set_reachable({{1, "meter"}, {0xABCDEF, "pump"}});
        Dialog_add_device dialog(nullptr);
        dialog.fields().eui_edit().setText(QStringLiteral("kept"));
        QPushButton *pick = nullptr;
        for (QPushButton *button : dialog.findChildren<QPushButton *>())
            if (button->text() == QStringLiteral("Выбрать"))
                pick = button;
        QVERIFY(pick != nullptr);

        answer_modal<Dialog_modems>([](Dialog_modems *picker) { picker->reject(); });
        pick->click();
        QCOMPARE(dialog.fields().eui_edit().text(), QStringLiteral("kept"));

        answer_modal<Dialog_modems>([](Dialog_modems *picker) {
            auto *table = picker->findChild<Table_with_proxy *>();
            table->selectRow(1);
            picker->accept();
        });
        pick->click();
        QCOMPARE(dialog.fields().eui_edit().text(), QStringLiteral("0000000000ABCDEF"));

        answer_modal<Dialog_modems>([](Dialog_modems *picker) {
            auto *table = picker->findChild<Table_with_proxy *>();
            emit table->doubleClicked(table->model()->index(0, 1));
        });
        pick->click();
        QCOMPARE(dialog.fields().eui_edit().text(), QStringLiteral("0000000000000001"));
    }

    void catalogue_texts()
    {
        const Device_texts &texts = Device_texts::get();
        QCOMPARE(&texts, &Device_texts::get());
        QCOMPARE(texts.port_header, QStringLiteral("Порт\nTCP"));
        QVERIFY(texts.frame_tip.endsWith(QStringLiteral("\"одним куском\").")));
    }
};

QTEST_MAIN(Tst_device_dialogs)
#include "tst_device_dialogs.moc"
