#include "ui/dialog_add_device.h"

#include "base/log.h"
#include "ui/device_texts.h"
#include "ui/dialog_modems.h"
#include "ui/error_box.h"
#include "ui/fonts.h"

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
// The first port proposed to the user, unless our modems take it already.
constexpr int first_port = 3000;

struct Texts {
    QString title = device_text("Добавление радиомодема");
    QString port_tip = device_text("Номер порта TCP/IP (целое десятичное число в диапазоне\n"
        "1...65535), не совпадающий с номером какого-либо порта TCP/IP,\n"
        "уже занятого под другие цели.\n"
        "\n"
        "Всякий раз, когда у нашей программы будет исправный канал связи с\n"
        "сервером QUVO-LoRa, и на этом сервере QUVO-LoRa будет аккаунт для\n"
        "радиомодема с вышеуказанным EUI, данная программа будет создавать\n"
        "сервер TCP, слушающий этот порт. Клиент, желающий соединиться с\n"
        "устройствами, подключенными через этот радиомодем, должен будет\n"
        "установить соединение TCP, указав в качестве адреса назначения\n"
        "адрес нашего компьютера и этот номер порта - запросы, приходящие по\n"
        "этому соединению, будут перенаправляться на сервер QUVO-LoRa и\n"
        "далее на радиомодем и на целевые устройства.\n"
        "\n"
        "Исходно здесь отображён первый номер TCP-порта, не меньший\n"
        "%1, ещё не занятый нашей программой (теоретически, порт может\n"
        "быть занят другой программой, но обычно такие номера портов\n"
        "свободны).").arg(first_port);
    QString pick_button = device_text("Выбрать",
        "call");
    QString pick_tip = device_text("Если вы нажмёте эту кнопку, и если канал связи с сервером\n"
        "QUVO-LoRa сейчас исправен, программа покажет список\n"
        "радиомодемов, имеющих аккаунт на этом сервере QUVO-LoRa. Если\n"
        "вы выберете какой-нибудь радиомодем в этом списке, адрес (EUI)\n"
        "этого радиомодема будет скопирован в соответствующее поле ввода\n"
        "в текущем окне.");
    QString add_button = device_text("Добавить",
        "return");
    QString add_tip = device_text("Если вы нажмёте эту кнопку, радиомодем с параметрами,\n"
        "отображёнными в текущем окне, будет добавлен в список\n"
        "радиомодемов, подлежащих обслуживанию нашей программой (и новый\n"
        "список будет сразу же сохранён на диск). Если этот радиомодем также\n"
        "имеет аккаунт на сервере QUVO-LoRa, и канал связи с этим сервером\n"
        "исправен, радиомодем сразу же начнёт обслуживаться (будет создан\n"
        "TCP-сервер для приёма запросов от клиентов).\n"
        "\n"
        "Перед добавлением параметры будут проверены - в случае ошибки\n"
        "окно не будет закрыто, и вы сможете попробовать снова.");
    QString cancel_button = device_text("Отмена",
        "add");
    QString cancel_tip = device_text("Если вы нажмёте эту кнопку, текущее окно будет закрыто\n"
        "(добавление радиомодема не произойдёт).");
};

const Texts &texts()
{
    static const Texts kept;
    return kept;
}

}

Dialog_add_device::Dialog_add_device(QWidget *parent, Engine *engine)
    : QDialog(parent, device_dialog_flags)
    , engine(engine)
{
    const Device_texts &shared = Device_texts::get();
    const Texts &own = texts();
    init_fonts(this);
    setWindowTitle(own.title);

    auto *rows = new QVBoxLayout(this);
    auto *pick = new QPushButton(own.pick_button);
    pick->setToolTip(own.pick_tip);
    pick->setAutoDefault(false);
    field_rows = std::make_unique<Device_fields>(
        *rows,
        Device_fields::Row_setup{shared.eui_label, shared.eui_tip, eui_length},
        Device_fields::Row_setup{shared.port_label, own.port_tip, port_length},
        Device_fields::Row_setup{shared.frame_label, shared.frame_tip, frame_length},
        pick);
    connect(pick, &QPushButton::clicked, this, &Dialog_add_device::on_btn_eui_clicked);

    const int port = served_model.first_free_port(first_port);
    if (port >= 0)
        field_rows->port_edit().setText(QString::number(port));
    field_rows->frame_edit().setText(QStringLiteral("51"));

    auto *buttons = new QDialogButtonBox;
    buttons->addButton(own.add_button, QDialogButtonBox::AcceptRole)->setToolTip(own.add_tip);
    buttons->addButton(own.cancel_button, QDialogButtonBox::RejectRole)->setToolTip(own.cancel_tip);
    connect(buttons, &QDialogButtonBox::accepted, this, &Dialog_add_device::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &Dialog_add_device::reject);
    rows->addWidget(buttons);
}

Dialog_add_device::~Dialog_add_device() = default;

void Dialog_add_device::accept()
{
    try {
        served_model.add(field_rows->read());
    } catch (const Clash_error &e) {
        report_exception(e, this);
        field_rows->select_clash(e.clash);
        return;
    } catch (const std::exception &e) {
        report_exception(e, this);
        field_rows->select_fault();
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
        Dialog_modems picker(this, engine);
        if (picker.exec() == QDialog::Accepted)
            field_rows->eui_edit().setText(format_eui(picker.chosen_eui()));
    } catch (const std::exception &e) {
        report_exception(e, this);
    }
}
