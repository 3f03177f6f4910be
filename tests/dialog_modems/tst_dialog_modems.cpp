#include "ui/dialog_modems.h"

#include "exchange/engine.h"
#include "support/logged_cases.h"
#include "support/modal_answer.h"
#include "support/test_support.h"
#include "ui/fonts.h"
#include "ui/table_with_proxy.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QScopeGuard>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QtTest>

#include <algorithm>

namespace {

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

class Tst_dialog_modems : public Logged_cases {
    Q_OBJECT

private slots:
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

    // The list follows the server's while the picker is open, the selected modem kept; a
    // long name shows whole in its tool tip, the EUI in the tables' fixed-width font, and a
    // selected row leaves the header as it was.
    void picker_follows_the_server()
    {
        Engine engine;
        set_reachable({{1, "a"}, {3, QString(80, QLatin1Char('n'))}});
        Dialog_modems dialog(nullptr, &engine);
        auto *table = dialog.findChild<Table_with_proxy *>();
        table->selectRow(1);
        QCOMPARE(table->source().item(1, 1)->toolTip(), QString(80, QLatin1Char('n')));
        QCOMPARE(table->source().item(1, 0)->font(), font_small_mono());
        QVERIFY(!table->horizontalHeader()->highlightSections());
        set_reachable({{1, "a"}, {2, "new"}, {3, "renamed"}});
        emit engine.servers_changed();
        QCOMPARE(rows_of(*table), QStringList({"0000000000000001|a", "0000000000000002|new",
                                               "0000000000000003|renamed"}));
        QCOMPARE(table->selected_source_row(), 2);
    }

    void picker_needs_selection()
    {
        set_reachable({{1, "meter"}});
        Dialog_modems dialog(nullptr);
        QCOMPARE(refused_message(dialog), QStringLiteral("Прежде, чем нажимать эту кнопку, надо выбрать строчку в списке "
                                      "(щёлкнуть её левой кнопкой мыши)."));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(Tst_dialog_modems)
#include "tst_dialog_modems.moc"
