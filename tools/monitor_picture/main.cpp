// Draws the monitor window of the README off screen: a modem served on a raw port, a meter's
// exchange as its port reports it (a client, Modbus RTU requests and replies, a refused
// downlink, an abandoned group), grabbed once the window has taken the rows.
//
// Usage: QT_QPA_PLATFORM=offscreen quvo-monitor-picture OUT.png

#include "config/served_devices_model.h"
#include "tcp/exchange_monitor.h"
#include "ui/monitor_window.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: quvo-monitor-picture OUT.png\n");
        return 2;
    }
    const Eui eui = 0x70B3D57ED0041A2CULL;
    served_model.add({eui, Device_params{222, 4001, Device_mode::raw}});
    Monitor_window window(eui, nullptr);
    Exchange_monitor monitor(eui);
    const QString peer = QStringLiteral("192.168.10.21:50412");
    monitor.client_event(Monitor_row::Kind::connected, peer, peer, 1);
    for (int i = 0; i < 3; ++i) {
        monitor.to_modem(QByteArray::fromHex("0103000000047442"));
        monitor.to_client(QByteArray::fromHex("0103080904000000C80032F1A3"));
    }
    monitor.to_modem(QByteArray::fromHex("01060001000A5809"));
    monitor.refused();
    monitor.client_event(Monitor_row::Kind::disconnected, peer, QString(), 0);
    const QString next = QStringLiteral("192.168.10.21:50418");
    monitor.client_event(Monitor_row::Kind::connected, next, next, 1);
    monitor.to_modem(QByteArray("AT+VER?\r\n"));
    monitor.group_abandoned();
    monitor.to_client(QByteArray("VER 2.4.1 OK\r\n"));
    window.show();
    int status = 1;
    QTimer::singleShot(Monitor_window::poll_ms * 2, &app, [&] {
        status = window.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        app.quit();
    });
    app.exec();
    return status;
}
