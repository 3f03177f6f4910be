#include "config/served_devices_model.h"

#include "base/err.h"
#include "config/devices.h"
#include "support/logged_cases.h"
#include "support/test_support.h"

#include <QtTest>

namespace {

const QString eui_taken = QStringLiteral(
    "Радиомодем с адресом 0x00000000000000CD уже есть в списке радиомодемов, подлежащих обслуживанию.");
const QString port_taken = QStringLiteral(
    "Порт TCP 3001 уже занят (другим радиомодемом из списка радиомодемов, подлежащих обслуживанию).");
const QString nothing_changed = QStringLiteral(
    "Ничего не изменилось.\nЕсли вы не хотите ничего менять, закройте диалог кнопкой «Отмена».");

// "EUI:port:max_frame" of every modem in list order, or why the port index disagrees.
QString contents(const Served_devices_model &model)
{
    if (!model.consistent())
        return QStringLiteral("the port index differs from the devices");
    QStringList items;
    for (const auto &device : model.devices())
        items << QStringLiteral("%1:%2:%3")
                     .arg(format_eui(device.first).right(2))
                     .arg(device.second.tcp_port)
                     .arg(device.second.max_frame);
    return items.join(' ');
}

// Two modems: 0xAB on port 3000 and 0xCD on port 3001.
void fill_two(Served_devices_model &model)
{
    model.add({0xAB, Device_params{51, 3000}});
    model.add({0xCD, Device_params{51, 3001}});
}

Device_entry entry(Eui eui, int port, int max_frame)
{
    return {eui, Device_params{max_frame, static_cast<std::uint16_t>(port)}};
}

} // namespace

class Tst_served_devices_model : public Logged_cases {
    Q_OBJECT

private slots:
    // The EUI is checked before the port; a refused modem leaves the list as it was.
    void add_data()
    {
        QTest::addColumn<Eui>("eui");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("clash");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("after");
        const QString two = "AB:3000:51 CD:3001:51";
        QTest::newRow("new EUI and port") << Eui(0x01) << 3002 << int(Served_devices_model::Clash::none)
                                          << QString() << "01:3002:51 AB:3000:51 CD:3001:51";
        QTest::newRow("port 0, as a file may name it")
            << Eui(0xEF) << 0 << int(Served_devices_model::Clash::none) << QString()
            << "AB:3000:51 CD:3001:51 EF:0:51";
        QTest::newRow("EUI taken") << Eui(0xCD) << 3002 << int(Served_devices_model::Clash::eui)
                                   << eui_taken << two;
        QTest::newRow("port taken") << Eui(0xEF) << 3001 << int(Served_devices_model::Clash::port)
                                    << port_taken << two;
        QTest::newRow("EUI taken and port of another")
            << Eui(0xCD) << 3000 << int(Served_devices_model::Clash::eui) << eui_taken << two;
    }
    void add()
    {
        QFETCH(Eui, eui);
        QFETCH(int, port);
        QFETCH(int, clash);
        QFETCH(QString, message);
        QFETCH(QString, after);

        Served_devices_model thrown;
        fill_two(thrown);
        QCOMPARE(error_of([&] { thrown.add(entry(eui, port, 51)); }), message);
        QCOMPARE(contents(thrown), after);

        Served_devices_model tried;
        fill_two(tried);
        QCOMPARE(int(tried.try_add(entry(eui, port, 51))), clash);
        QCOMPARE(contents(tried), after);
    }

    // The port is checked first, then whether anything changed at all, then the EUI.
    void replace_data()
    {
        QTest::addColumn<Eui>("eui");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("max_frame");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("after");
        const QString two = "AB:3000:51 CD:3001:51";
        QTest::newRow("max frame") << Eui(0xAB) << 3000 << 115 << QString() << "AB:3000:115 CD:3001:51";
        QTest::newRow("port") << Eui(0xAB) << 3005 << 51 << QString() << "AB:3005:51 CD:3001:51";
        QTest::newRow("EUI") << Eui(0xEF) << 3000 << 51 << QString() << "CD:3001:51 EF:3000:51";
        QTest::newRow("EUI, port and max frame")
            << Eui(0x01) << 3009 << 222 << QString() << "01:3009:222 CD:3001:51";
        QTest::newRow("nothing") << Eui(0xAB) << 3000 << 51 << nothing_changed << two;
        QTest::newRow("port of another") << Eui(0xAB) << 3001 << 51 << port_taken << two;
        QTest::newRow("EUI of another") << Eui(0xCD) << 3000 << 51 << eui_taken << two;
        QTest::newRow("EUI and port of another") << Eui(0xCD) << 3001 << 51 << port_taken << two;
        QTest::newRow("EUI of another, max frame")
            << Eui(0xCD) << 3000 << 115 << eui_taken << two;
    }
    void replace()
    {
        QFETCH(Eui, eui);
        QFETCH(int, port);
        QFETCH(int, max_frame);
        QFETCH(QString, message);
        QFETCH(QString, after);
        Served_devices_model model;
        fill_two(model);
        QCOMPARE(error_of([&] { model.replace(0xAB, entry(eui, port, max_frame)); }), message);
        QCOMPARE(contents(model), after);
        // A port given up is free again; one taken is not.
        QCOMPARE(model.first_free_port(3000), (port == 3000 || !message.isEmpty()) ? 3002 : 3000);
    }

    // Each step leaves the port index in step with the list.
    void edits_in_a_row()
    {
        Served_devices_model model;
        fill_two(model);
        model.replace(0xAB, entry(0xEF, 3000, 51));
        model.replace(0xEF, entry(0xEF, 3002, 51));
        model.remove(0xCD);
        model.add(entry(0xCD, 3000, 7));
        model.replace(0xCD, entry(0xAB, 3001, 7));
        QCOMPARE(contents(model), QStringLiteral("AB:3001:7 EF:3002:51"));
        QCOMPARE(model.first_free_port(3000), 3000);
    }

    void remove()
    {
        Served_devices_model model;
        fill_two(model);
        model.remove(0xAB);
        QCOMPARE(contents(model), QStringLiteral("CD:3001:51"));
        QCOMPARE(model.try_add(entry(0xEF, 3000, 51)), Served_devices_model::Clash::none);
        QCOMPARE(contents(model), QStringLiteral("CD:3001:51 EF:3000:51"));
    }

    // A modem that is not on the list is an internal error, and nothing changes.
    void unknown_modem_data()
    {
        QTest::addColumn<bool>("removing");
        QTest::addColumn<unsigned>("code");
        QTest::newRow("replace") << false << unsigned(place_code(5, 3));
        QTest::newRow("remove") << true << unsigned(place_code(3, 9));
    }
    void unknown_modem()
    {
        QFETCH(bool, removing);
        QFETCH(unsigned, code);
        Served_devices_model model;
        fill_two(model);
        const QString message = error_of([&] {
            if (removing)
                model.remove(0xEF);
            else
                model.replace(0xEF, entry(0x01, 3002, 51));
        });
        QCOMPARE(message, unexpected_error_text(static_cast<unsigned short>(code)));
        QCOMPARE(contents(model), QStringLiteral("AB:3000:51 CD:3001:51"));
    }

    void clear()
    {
        Served_devices_model model;
        fill_two(model);
        model.clear();
        QVERIFY(model.devices().empty());
        fill_two(model);
        QCOMPARE(contents(model), QStringLiteral("AB:3000:51 CD:3001:51"));
    }

    void first_free_port_data()
    {
        QTest::addColumn<QList<int>>("used");
        QTest::addColumn<int>("expected");
        QTest::newRow("3000 and 3001 used") << QList<int>{3000, 3001, 3003} << 3002;
        QTest::newRow("none from 3000 used") << QList<int>{1, 2999} << 3000;
        QTest::newRow("3000 free, 3001 used") << QList<int>{2999, 3001} << 3000;
        QTest::newRow("nothing used") << QList<int>{} << 3000;
        QTest::newRow("up to the last port") << QList<int>{3000, 65534, 65535} << 3001;
    }
    void first_free_port()
    {
        QFETCH(QList<int>, used);
        QFETCH(int, expected);
        Served_devices_model model;
        Eui eui = 1;
        for (int port : used)
            model.add(entry(eui++, port, 51));
        QCOMPARE(model.first_free_port(3000), expected);
    }

    void no_free_port()
    {
        Served_devices_model model;
        for (int port = 65000; port <= 65535; ++port)
            model.add(entry(static_cast<Eui>(port), port, 51));
        QCOMPARE(model.first_free_port(65000), -1);
        QCOMPARE(model.first_free_port(64999), 64999);
    }
};

QTEST_GUILESS_MAIN(Tst_served_devices_model)
#include "tst_served_devices_model.moc"
