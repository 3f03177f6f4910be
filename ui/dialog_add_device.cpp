#include "ui/dialog_add_device.h"

#include "base/log.h"
#include "ui/device_texts.h"
#include "ui/dialog_modems.h"
#include "ui/error_box.h"
#include "ui/fonts.h"
#include "ui/resources_for_editing.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

namespace {

constexpr int eui_length = 16;
constexpr int port_length = 5;
constexpr int frame_length = 4;
constexpr unsigned module = 4;

}

Dialog_add_device::Dialog_add_device(QWidget *parent)
    : QDialog(parent, device_dialog_flags)
{
    const Device_texts &texts = Device_texts::get();
    const Resources_for_editing &res = Resources_for_editing::get();
    init_fonts(this);
    setWindowTitle(res.title_add);

    auto *rows = new QVBoxLayout(this);
    auto *pick = new QPushButton(res.pick_button);
    pick->setToolTip(res.pick_tip);
    pick->setAutoDefault(false);
    field_rows = std::make_unique<Device_fields>(
        *rows,
        Device_fields::Row_setup{texts.eui_label, texts.eui_tip, eui_length},
        Device_fields::Row_setup{texts.port_label,
                                 res.port_tip_new.arg(Resources_for_editing::first_port),
                                 port_length},
        Device_fields::Row_setup{texts.frame_label, texts.frame_tip, frame_length},
        pick);
    connect(pick, &QPushButton::clicked, this, &Dialog_add_device::on_btn_eui_clicked);

    const int port = served_model.first_free_port(Resources_for_editing::first_port);
    if (port >= 0)
        field_rows->port_edit().setText(QString::number(port));
    field_rows->frame_edit().setText(QStringLiteral("51"));

    auto *buttons = new QDialogButtonBox;
    buttons->addButton(res.add_ok_button, QDialogButtonBox::AcceptRole)->setToolTip(res.add_ok_tip);
    buttons->addButton(res.add_cancel_button, QDialogButtonBox::RejectRole)
        ->setToolTip(res.add_cancel_tip);
    connect(buttons, &QDialogButtonBox::accepted, this, &Dialog_add_device::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &Dialog_add_device::reject);
    rows->addWidget(buttons);
}

Dialog_add_device::~Dialog_add_device() = default;

void Dialog_add_device::accept()
{
    try {
        served_model.add(field_rows->read());
    } catch (const std::exception &e) {
        report_exception(e, this);
        return;
    } catch (...) {
        report_unexpected(place_code(module, 1), this);
        return;
    }
    QDialog::accept();
}

void Dialog_add_device::on_btn_eui_clicked()
{
    try {
        Dialog_modems picker(this);
        if (picker.exec() == QDialog::Accepted)
            field_rows->eui_edit().setText(format_eui(picker.chosen_eui()));
    } catch (const std::exception &e) {
        report_exception(e, this);
    }
}
