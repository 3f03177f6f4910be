#pragma once

#include "config/served_devices_model.h"
#include "config/settings.h"

#include <QString>

#include <vector>

// Title bar and close button, no context help: the frame of every device dialog.
constexpr Qt::WindowFlags device_dialog_flags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

// A text of the device dialogs, translated. They all share the context of the class
// that first held them, since translations are keyed by it. The disambiguation tells
// the same caption on different buttons apart, so each can be translated on its own.
QString device_text(const char *text, const char *disambiguation = nullptr);

// The labels, column headers and tool tips of the EUI, port, frame and name fields,
// which the device dialogs and their tables share; built once per process on first use.
struct Device_texts {
    static const Device_texts &get();

    // The end of port_tip: where the ports listen and who may connect (tcp_listen, tcp_allow).
    static QString port_access_text(const QHostAddress &listen, const std::vector<Ip_network> &allow);

    QString eui_label;
    QString eui_tip;
    QString port_label;
    QString port_header;
    QString port_tip;
    QString frame_label;
    QString frame_header;
    QString frame_tip;
    QString name_label;
    QString name_tip;
    QString mode_label;
    QString mode_tip;
    QString mode_raw;
    QString mode_modbus;

    const QString &mode_text(Device_mode mode) const
    {
        return mode == Device_mode::modbus_tcp ? mode_modbus : mode_raw;
    }

private:
    Device_texts();
    Q_DISABLE_COPY(Device_texts)
};
