#include "ui/dialog_edit_device.h"

#include "base/log.h"
#include "ui/device_texts.h"
#include "ui/error_box.h"
#include "ui/fonts.h"
#include "ui/resources_for_editing.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

namespace {

constexpr int port_length = 5;
constexpr int frame_length = 4;
constexpr unsigned module = 5;

}

Dialog_edit_device::Dialog_edit_device(Eui eui, const Device_params &params, QWidget *parent)
    : QDialog(parent, device_dialog_flags)
    , old_eui(eui)
{
    const Device_texts &texts = Device_texts::get();
    const Resources_for_editing &res = Resources_for_editing::get();
    init_fonts(this);
    setWindowTitle(res.title_edit);

    auto *rows = new QVBoxLayout(this);
    field_rows = std::make_unique<Device_fields>(
        *rows,
        Device_fields::Row_setup{texts.eui_label, texts.eui_tip, 0},
        Device_fields::Row_setup{texts.port_label, texts.port_tip, port_length},
        Device_fields::Row_setup{texts.frame_label, texts.frame_tip, frame_length},
        nullptr);
    field_rows->eui_edit().setText(format_eui(eui));
    field_rows->port_edit().setText(QString::number(params.tcp_port));
    field_rows->frame_edit().setText(QString::number(params.max_frame));

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
        const Device_entry entry = field_rows->read();
        served_model.replace(old_eui, entry);
        old_eui = entry.eui;
    } catch (const std::exception &e) {
        report_exception(e, this);
        return;
    } catch (...) {
        report_unexpected(place_code(module, 2), this);
        return;
    }
    QDialog::accept();
}
