#include "ui/dialog_edit_device.h"

#include "base/log.h"
#include "ui/device_texts.h"
#include "ui/error_box.h"
#include "ui/fonts.h"

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

namespace {

constexpr int port_length = 5;
constexpr int frame_length = 4;
constexpr unsigned module = 5;

struct Texts {
    QString title = device_text("Параметры радиомодема");
    QString set_button = device_text("Установить");
    QString set_tip = device_text("Если вы нажмёте эту кнопку, программа назначит данному радиомодему\n"
        "те параметры, которые отображены в текущем окне (и изменения сразу\n"
        "же будут сохранены на диск). Если радиомодем обслуживается прямо\n"
        "сейчас, он будет снят с обслуживания и поставлен снова (если при\n"
        "этом было TCP-соединение с клиентом, оно будет разорвано).\n"
        "\n"
        "Перед изменением параметры будут проверены - в случае ошибки (в\n"
        "т.ч. если вы ничего не изменили) окно не будет закрыто, и вы\n"
        "сможете попробовать снова.");
    QString cancel_button = device_text("Отмена",
        "change");
    QString cancel_tip = device_text("Если вы нажмёте эту кнопку, текущее окно будет закрыто\n"
        "(изменение параметров радиомодема не произойдёт).");
};

const Texts &texts()
{
    static const Texts kept;
    return kept;
}

}

Dialog_edit_device::Dialog_edit_device(Eui eui, const Device_params &params, QWidget *parent)
    : QDialog(parent, device_dialog_flags)
    , old_eui(eui)
{
    const Device_texts &shared = Device_texts::get();
    const Texts &own = texts();
    init_fonts(this);
    setWindowTitle(own.title);

    auto *rows = new QVBoxLayout(this);
    field_rows = std::make_unique<Device_fields>(
        *rows,
        Device_fields::Row_setup{shared.eui_label, shared.eui_tip, 0},
        Device_fields::Row_setup{shared.port_label, shared.port_tip, port_length},
        Device_fields::Row_setup{shared.frame_label, shared.frame_tip, frame_length},
        nullptr);
    field_rows->eui_edit().setText(format_eui(eui));
    field_rows->port_edit().setText(QString::number(params.tcp_port));
    field_rows->frame_edit().setText(QString::number(params.max_frame));
    field_rows->set_mode(params.mode);

    auto *buttons = new QDialogButtonBox;
    buttons->addButton(own.set_button, QDialogButtonBox::AcceptRole)->setToolTip(own.set_tip);
    buttons->addButton(own.cancel_button, QDialogButtonBox::RejectRole)->setToolTip(own.cancel_tip);
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
    } catch (const Clash_error &e) {
        report_exception(e, this);
        field_rows->select_clash(e.clash);
        return;
    } catch (const std::exception &e) {
        report_exception(e, this);
        field_rows->select_fault();
        return;
    } catch (...) {
        report_unexpected(place_code(module, 2), this);
        return;
    }
    QDialog::accept();
}
