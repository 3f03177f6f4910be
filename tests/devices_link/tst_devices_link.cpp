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
#include "ui/dialog_devices.h"
#include "ui/dialog_edit_device.h"
#include "ui/dialog_modems.h"
#include "ui/main_window.h"

#include <QLabel>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPushButton>
#include <QTcpServer>
#include <QTableView>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

// The devices dialog against the real server link and TCP servers, with the
// simulated network server on loopback.
namespace {

constexpr Eui served_eui = 0x00000000000000A1;
constexpr Eui unlisted_eui = 0x00000000000000B2;
constexpr Eui other_eui = 0x00000000000000C3;
constexpr int wait_ms = 10000;

// Distinct ports that nothing listens on at the moment, chosen by the system.
std::vector<std::uint16_t> free_ports(int count)
{
    std::vector<std::unique_ptr<QTcpServer>> probes;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < count; ++i) {
        probes.push_back(std::make_unique<QTcpServer>());
        if (!probes.back()->listen(QHostAddress::LocalHost, 0))
            return {};
        ports.push_back(probes.back()->serverPort());
    }
    return ports;
}

// The network server knows the modem we serve and one we do not.
void add_known_modems(Sim_server &sim)
{
    sim.add_modem(Sim_modem{served_eui, QStringLiteral("meter"), Modem_behaviour::silent, {}, 1});
    sim.add_modem(Sim_modem{other_eui, QStringLiteral("pump"), Modem_behaviour::silent, {}, 1});
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

QPushButton *button(QWidget &parent, const QString &text)
{
    for (QPushButton *b : parent.findChildren<QPushButton *>())
        if (b->text() == text)
            return b;
    return nullptr;
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

class Tst_devices_link : public Logged_cases {
    Q_OBJECT

private slots:
    // Status columns follow the link and the client; editing the port replaces the
    // running server and drops its client; deleting stops it.
    void dialog_drives_tcp_servers()
    {
        Sim_server sim;
        add_known_modems(sim);
        const std::vector<std::uint16_t> ports = free_ports(4);
        QCOMPARE(ports.size(), std::size_t(4));
        const std::uint16_t sim_port = ports[0];
        const std::uint16_t first_port = ports[1];
        const std::uint16_t unlisted_port = ports[2];
        const std::uint16_t second_port = ports[3];
        use_server(sim_port);
        settings.ws_reconnect_delay = 100;
        settings.devices_file = dir.filePath(QStringLiteral("devices.cfg"));
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
        QCOMPARE(cell(dialog, 0, 3), QStringLiteral(" "));
        QCOMPARE(cell(dialog, 0, 5), QStringLiteral(" "));
        QVERIFY(sim.listen(sim_port));
        QTRY_COMPARE_WITH_TIMEOUT(cell(dialog, 0, 3), mark, wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(running_servers(), 1, wait_ms);
        {
            Dialog_modems picker(nullptr);
            QCOMPARE(picker.findChild<QTableView *>()->model()->rowCount(), 1);
            QCOMPARE(picker.findChild<QTableView *>()->model()->index(0, 1).data().toString(),
                     QStringLiteral("pump"));
        }
        QCOMPARE(cell(dialog, 0, 4), QStringLiteral(" "));
        QCOMPARE(cell(dialog, 0, 5), QStringLiteral("meter"));
        QCOMPARE(cell(dialog, 1, 3), QStringLiteral(" "));

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, first_port);
        QVERIFY(client.waitForConnected(wait_ms));
        QTRY_COMPARE_WITH_TIMEOUT(cell(dialog, 0, 4), mark, wait_ms);

        answer_modal<Dialog_edit_device>([second_port](Dialog_edit_device *edit) {
            edit->fields().port_edit().setText(QString::number(second_port));
            edit->accept();
        });
        dialog.table_view().selectRow(0);
        button(dialog, QStringLiteral("Изменить"))->click();
        QCOMPARE(served_devices.at(served_eui).tcp_port, second_port);
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(cell(dialog, 0, 4), QStringLiteral(" "), wait_ms);
        QVERIFY(accepts(second_port));
        QVERIFY(!accepts(first_port));
        QCOMPARE(cell(dialog, 0, 1), QString::number(second_port));

        answer_modal<QMessageBox>([](QMessageBox *box) {
            button(*box, QStringLiteral("Да"))->click();
        });
        dialog.table_view().selectRow(0);
        button(dialog, QStringLiteral("Удалить"))->click();
        QTRY_COMPARE_WITH_TIMEOUT(running_servers(), 0, wait_ms);
        QTRY_VERIFY_WITH_TIMEOUT(!accepts(second_port), wait_ms);
        QCOMPARE(cell(dialog, 0, 0), QStringLiteral("00000000000000B2"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("served"))->text(), QStringLiteral("1"));

        QVERIFY(engine.stop(wait_ms));
        QTRY_COMPARE_WITH_TIMEOUT(cell(dialog, 0, 5), QStringLiteral(" "), wait_ms);
    }

    // A stored file may give a modem port 0: it is listed and known to the server, but
    // gets no TCP server (the system would pick a port no client knows), and the log
    // says so once, not at every device list.
    void port_zero_from_file_not_served()
    {
        Sim_server sim;
        add_known_modems(sim);
        QVERIFY(sim.listen());
        const std::vector<std::uint16_t> ports = free_ports(1);
        QCOMPARE(ports.size(), std::size_t(1));
        use_server(sim.port());
        settings.ws_devlist_period = 20;
        settings.devices_file = dir.filePath(QStringLiteral("port_zero.cfg"));
        QFile file(settings.devices_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("device(eui=%1, tcp_port=0)\ndevice(eui=%2, tcp_port=%3)\n")
                       .arg(format_eui(served_eui), format_eui(other_eui), QString::number(ports[0]))
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
        QVERIFY(accepts(ports[0]));

        Dialog_devices dialog(nullptr, &engine);
        // As the window's "Список" wires it.
        connect(&dialog, &Dialog_devices::served_count_changed, &window, &Main_window::update_served_count);
        QCOMPARE(cell(dialog, 0, 1), QStringLiteral("0"));
        QCOMPARE(cell(dialog, 0, 3), QStringLiteral(" "));
        QCOMPARE(cell(dialog, 0, 5), QStringLiteral("meter"));
        QCOMPARE(cell(dialog, 1, 3), QStringLiteral("√"));

        QVERIFY(engine.stop(wait_ms));
        QFile log(QString::fromUtf8(log_file_name()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        QCOMPARE(text.count(QStringLiteral("eui=0x%1 порт TCP 0. Этот радиомодем не будет обслуживаться")
                                .arg(format_eui(served_eui))),
                 1);
    }
};

QTEST_MAIN(Tst_devices_link)
#include "tst_devices_link.moc"
