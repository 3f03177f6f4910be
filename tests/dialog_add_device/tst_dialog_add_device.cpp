#include "ui/dialog_add_device.h"

#include "config/devices.h"
#include "support/logged_cases.h"
#include "support/modal_answer.h"
#include "support/test_support.h"
#include "ui/dialog_modems.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class Tst_dialog_add_device : public Logged_cases {
    Q_OBJECT

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
        QTest::addColumn<int>("fault");
        QTest::newRow("15 digits")
            << "000000000000001" << "3000" << "51"
            << "Значение параметра «Адрес (EUI) радиомодема» должно быть шестнадцатизначным целым "
               "шестнадцатиричным числом без знака (а вы ввели 15 символов)." << 0;
        QTest::newRow("letter outside A-F")
            << "00000000000000G1" << "3000" << "51"
            << "Значение параметра «Адрес (EUI) радиомодема» должно быть целым шестнадцатиричным "
               "числом без знака, не превышающим 18446744073709551615." << 0;
        QTest::newRow("empty EUI") << "" << "3000" << "51"
                                   << "Не указано значение параметра «Адрес (EUI) радиомодема»." << 0;
        QTest::newRow("empty port")
            << "0000000000000001" << "" << "51"
            << "Не указано значение параметра «Порт TCP для подключения клиентов»." << 1;
        QTest::newRow("port not a number")
            << "0000000000000001" << "-1" << "51"
            << "Значение параметра «Порт TCP для подключения клиентов» должно быть целым десятичным "
               "числом, не превышающим 65535." << 1;
        QTest::newRow("port too large")
            << "0000000000000001" << "65536" << "51"
            << "Значение параметра «Порт TCP для подключения клиентов» не должно превышать 65535." << 1;
        QTest::newRow("port 0")
            << "0000000000000001" << "0" << "51"
            << "Значение параметра «Порт TCP для подключения клиентов» не должно быть меньше 1." << 1;
        QTest::newRow("max frame 0")
            << "0000000000000001" << "3000" << "0"
            << "Значение параметра «Максимальный размер пакета» не должно быть меньше 1." << 2;
        QTest::newRow("EUI checked first")
            << "1" << "" << "0"
            << "Значение параметра «Адрес (EUI) радиомодема» должно быть шестнадцатизначным целым "
               "шестнадцатиричным числом без знака (а вы ввели 1 символов)." << 0;
    }
    void field_messages()
    {
        QFETCH(QString, eui);
        QFETCH(QString, port);
        QFETCH(QString, frame);
        QFETCH(QString, message);
        QFETCH(int, fault);
        Dialog_add_device dialog(nullptr);
        dialog.fields().eui_edit().setText(eui);
        dialog.fields().port_edit().setText(port);
        dialog.fields().frame_edit().setText(frame);
        QCOMPARE(refused_message(dialog), message);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(served_devices.empty());
        // The field at fault takes the focus, its text selected to be typed over.
        QLineEdit *const fields[] = {&dialog.fields().eui_edit(), &dialog.fields().port_edit(),
                                     &dialog.fields().frame_edit()};
        QCOMPARE(dialog.focusWidget(), fields[fault]);
        QCOMPARE(fields[fault]->selectedText(), fields[fault]->text());
    }

    // The three fields start at one edge, whatever their labels' lengths.
    void fields_line_up()
    {
        Dialog_add_device dialog(nullptr);
        dialog.show();
        const auto left = [&dialog](QWidget &field) { return field.mapTo(&dialog, QPoint()).x(); };
        QCOMPARE(left(dialog.fields().port_edit()), left(dialog.fields().eui_edit()));
        QCOMPARE(left(dialog.fields().frame_edit()), left(dialog.fields().eui_edit()));
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
        QLineEdit &clash = message.contains(QStringLiteral("Порт")) ? dialog.fields().port_edit()
                                                                     : dialog.fields().eui_edit();
        QCOMPARE(dialog.focusWidget(), &clash);
    }

    // Picking with the add dialog's button fills its EUI field; cancelling leaves it.
    void pick_fills_eui_field()
    {
        set_reachable({{1, "meter"}, {0xABCDEF, "pump"}});
        Dialog_add_device dialog(nullptr);
        dialog.fields().eui_edit().setText(QStringLiteral("kept"));
        QPushButton *pick = button(dialog, QStringLiteral("Выбрать"));
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
};

QTEST_MAIN(Tst_dialog_add_device)
#include "tst_dialog_add_device.moc"
