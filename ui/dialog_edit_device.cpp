#include "ui/dialog_edit_device.h"

#include "app/err.h"
#include "app/error_box.h"
#include "app/fonts.h"
#include "app/log.h"
#include "app/shared_state.h"
#include "ui/resources_for_editing.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

namespace {

constexpr int port_length = 5;
constexpr int frame_length = 4;
constexpr unsigned module = 5;

}

Dialog_edit_device::Dialog_edit_device(Eui eui, Served_devices::iterator record, QWidget *parent)
    : QDialog(parent, Resources_for_editing::window_flags)
    , old_eui(eui)
    , edited(record)
{
    const Resources_for_editing &res = Resources_for_editing::get();
    init_fonts(this);
    setWindowTitle(res.title_edit);

    auto *rows = new QVBoxLayout(this);
    field_rows = std::make_unique<Device_fields>(
        *rows,
        Device_fields::Row_setup{res.eui_label, res.eui_tip, 0},
        Device_fields::Row_setup{res.port_label, res.port_tip, port_length},
        Device_fields::Row_setup{res.frame_label, res.frame_tip, frame_length},
        nullptr);
    field_rows->eui_edit().setText(format_eui(eui));
    field_rows->port_edit().setText(QString::number(record->second.tcp_port));
    field_rows->frame_edit().setText(QString::number(record->second.max_frame));

    auto *buttons = new QDialogButtonBox;
    buttons->addButton(res.set_button, QDialogButtonBox::AcceptRole)->setToolTip(res.set_tip);
    buttons->addButton(res.edit_cancel_button, QDialogButtonBox::RejectRole)
        ->setToolTip(res.edit_cancel_tip);
    connect(buttons, &QDialogButtonBox::accepted, this, &Dialog_edit_device::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &Dialog_edit_device::reject);
    rows->addWidget(buttons);
}

Dialog_edit_device::~Dialog_edit_device() = default;

void Dialog_edit_device::accept()
{
    try {
        apply(field_rows->read());
    } catch (const std::exception &e) {
        report_exception(e, this);
        return;
    } catch (...) {
        report_unexpected(place_code(module, 2), this);
        return;
    }
    QDialog::accept();
}

void Dialog_edit_device::apply(const Device_entry &entry)
{
    const Device_params old = edited->second;
    const bool port_changed = entry.params.tcp_port != old.tcp_port;
    if (port_changed && served_ports.count(entry.params.tcp_port) != 0)
        throw Err(QCoreApplication::translate(
                      "add_device",
                      "Порт TCP %1 уже занят (другим радиомодемом из списка радиомодемов, "
                      "подлежащих обслуживанию).")
                      .arg(entry.params.tcp_port));
    const bool eui_changed = entry.eui != old_eui;
    if (!eui_changed && !port_changed && entry.params.max_frame == old.max_frame)
        throw Err(QCoreApplication::translate(
            "edit_device",
            "Ничего не изменилось.\n"
            "Если вы не хотите ничего менять, закройте диалог кнопкой «Отмена»."));
    if (eui_changed && served_devices.count(entry.eui) != 0)
        throw Err(QCoreApplication::translate(
                      "add_device",
                      "Радиомодем с адресом 0x%1 уже есть в списке радиомодемов, "
                      "подлежащих обслуживанию.")
                      .arg(format_eui(entry.eui)));

    // Found before the record may go away, so that no stale entry is compared.
    const auto old_port_entry = served_ports.find(old.tcp_port);
    const bool old_port_known = old_port_entry != served_ports.end()
                                && old_port_entry->second == edited;
    {
        QMutexLocker lock(&state_mutex);
        if (eui_changed) {
            served_devices.erase(edited);
            edited = served_devices.emplace(entry.eui, entry.params).first;
        } else {
            edited->second = entry.params;
        }
    }
    if (port_changed || eui_changed) {
        if (!old_port_known)
            log_unexpected(place_code(module, 1));
        else if (port_changed)
            served_ports.erase(old_port_entry);
        served_ports[entry.params.tcp_port] = edited;
    }
    old_eui = entry.eui;
}
