#include "ui/dialog_edit_device.h"

#include "config/devices.h"
#include "support/logged_cases.h"
#include "support/modal_answer.h"
#include "support/test_support.h"

#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

class Tst_dialog_edit_device : public Logged_cases {
    Q_OBJECT

private slots:
    void edit_shows_record()
    {
        add_served(0xAB, 3007, 222, Device_mode::modbus_tcp);
        Dialog_edit_device dialog(0xAB, served_devices.begin()->second, nullptr);
        QCOMPARE(dialog.fields().mode_box().currentText(), QStringLiteral("Шлюз Modbus TCP"));
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
        // The value at fault takes the focus; where nothing is wrong, none does.
        QWidget *fault = message.contains(QStringLiteral("Порт")) ? &dialog.fields().port_edit()
            : message.contains(QStringLiteral("Радиомодем")) ? &dialog.fields().eui_edit()
            : message.contains(QStringLiteral("пакета")) ? &dialog.fields().frame_edit()
                                                        : nullptr;
        if (fault)
            QCOMPARE(dialog.focusWidget(), fault);
    }

    // Every accepted edit leaves the port index describing the same devices.
    void edit_changes_data()
    {
        QTest::addColumn<QString>("eui");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<bool>("gateway");
        QTest::newRow("max frame only") << "00000000000000AB" << "3000" << "115" << false;
        QTest::newRow("port only") << "00000000000000AB" << "3005" << "51" << false;
        QTest::newRow("EUI only") << "00000000000000EF" << "3000" << "51" << false;
        QTest::newRow("EUI and port") << "0000000000000001" << "3009" << "222" << false;
        QTest::newRow("mode only") << "00000000000000AB" << "3000" << "51" << true;
    }
    void edit_changes()
    {
        QFETCH(QString, eui);
        QFETCH(QString, port);
        QFETCH(QString, frame);
        QFETCH(bool, gateway);
        add_served(0xAB, 3000);
        add_served(0xCD, 3001);
        Dialog_edit_device dialog(0xAB, served_devices.at(0xAB), nullptr);
        dialog.fields().eui_edit().setText(eui);
        dialog.fields().port_edit().setText(port);
        dialog.fields().frame_edit().setText(frame);
        dialog.fields().mode_box().setCurrentIndex(gateway ? 1 : 0);
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const Eui new_eui = eui.toULongLong(nullptr, 16);
        QCOMPARE(served_devices.size(), std::size_t(2));
        QCOMPARE(served_devices.count(0xAB), std::size_t(new_eui == 0xAB ? 1 : 0));
        const auto record = served_devices.find(new_eui);
        QVERIFY(record != served_devices.end());
        QCOMPARE(record->second.tcp_port, port.toUShort());
        QCOMPARE(record->second.max_frame, frame.toInt());
        QCOMPARE(record->second.mode, gateway ? Device_mode::modbus_tcp : Device_mode::raw);
        QVERIFY(served_model.consistent());
    }
};

QTEST_MAIN(Tst_dialog_edit_device)
#include "tst_dialog_edit_device.moc"
