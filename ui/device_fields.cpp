#include "ui/device_fields.h"

#include "ui/device_texts.h"
#include "ui/field_readers.h"
#include "ui/fonts.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace {

constexpr int eui_digits = 16;
// The filters look for parts of an EUI at the most.
constexpr int filter_length = eui_digits;
constexpr std::uint32_t max_port = 65535;
constexpr std::uint32_t min_frame = 1;
constexpr std::uint32_t max_frame = 9999;

// The label of a combo box is drawn this far inside its text field, on either side.
constexpr int combo_text_margin = 1;
// Room for the frame and the text margins of a line edit, in digits.
constexpr int field_padding_digits = 2;

// The filter row's texts.
struct Texts {
    QString filter_label = device_text("Фильтр");
    QString filter_tip = device_text("Если вы введёте здесь какой-нибудь текст, в таблице будут\n"
        "отображаться только те строки, у которых в соответствующем столбце\n"
        "присутствует этот текст (не обязательно в начале).");
    QString field_label = device_text(" по полю");
    QString field_tip = device_text("Здесь вы можете выбрать столбец таблицы, в котором надо будет\n"
        "искать текст, введённый вами в поле «Фильтр».\n"
        "\n"
        "Если вы выберете вариант «все поля», в таблице будут отображаться\n"
        "все строки, у которых введённый текст присутствует хоть в одном из\n"
        "столбцов.");
    QString all_fields = device_text("все поля");
};

const Texts &texts()
{
    static const Texts kept;
    return kept;
}

QLineEdit *add_row(QGridLayout &grid, const Device_fields::Row_setup &setup, QWidget *extra)
{
    const int row = grid.rowCount();
    auto *label = new QLabel(setup.text);
    label->setToolTip(setup.tip);
    grid.addWidget(label, row, 0);
    auto *edit = new QLineEdit;
    edit->setFont(font_mono());
    edit->setToolTip(setup.tip);
    if (setup.max_length > 0)
        edit->setMaxLength(setup.max_length);
    fit_to_hex_digits(*edit, eui_digits);
    grid.addWidget(edit, row, 1);
    if (extra != nullptr)
        grid.addWidget(extra, row, 2);
    return edit;
}

QGridLayout &add_grid(QVBoxLayout &rows)
{
    auto *grid = new QGridLayout;
    rows.addLayout(grid);
    return *grid;
}

void select(QLineEdit &edit)
{
    edit.setFocus(Qt::OtherFocusReason);
    edit.selectAll();
}

}

void fit_to_hex_digits(QLineEdit &edit, int digits)
{
    int digit = 0;
    int hex_digit = 0;
    hex_digit_widths(QFontMetrics(edit.font(), &edit), digit, hex_digit);
    edit.setMinimumWidth((digits + field_padding_digits) * hex_digit);
}

void fit_to_items(QComboBox &box)
{
    // The box's own size hint measures the items' ink, which some fonts draw narrower
    // than the advance the text needs, and the end of the longest item was cut off.
    const QFontMetrics metrics(box.font(), &box);
    int text = 0;
    for (int i = 0; i < box.count(); ++i)
        text = std::max(text, metrics.horizontalAdvance(box.itemText(i)));
    QStyleOptionComboBox option;
    option.initFrom(&box);
    option.editable = box.isEditable();
    const QSize contents(text + 2 * combo_text_margin, metrics.height());
    box.setMinimumWidth(box.style()->sizeFromContents(QStyle::CT_ComboBox, &option, contents, &box).width());
}

Filter_row add_filter_row(QVBoxLayout &rows, const QStringList &fields)
{
    const Texts &own = texts();
    auto *row = new QHBoxLayout;
    rows.addLayout(row);
    auto *text_label = new QLabel(own.filter_label);
    text_label->setToolTip(own.filter_tip);
    row->addWidget(text_label);
    auto *text = new QLineEdit;
    text->setMaxLength(filter_length);
    text->setFont(font_mono());
    text->setToolTip(own.filter_tip);
    fit_to_hex_digits(*text, filter_length);
    row->addWidget(text);
    auto *field_label = new QLabel(own.field_label);
    field_label->setToolTip(own.field_tip);
    row->addWidget(field_label);
    auto *field = new QComboBox;
    field->addItems(fields);
    field->addItem(own.all_fields);
    field->setToolTip(own.field_tip);
    fit_to_items(*field);
    row->addWidget(field);
    return {text, field};
}

Device_fields::Device_fields(QVBoxLayout &rows, const Row_setup &eui, const Row_setup &port,
                             const Row_setup &frame, QWidget *eui_extra)
{
    QGridLayout &grid = add_grid(rows);
    eui_field = add_row(grid, eui, eui_extra);
    port_field = add_row(grid, port, nullptr);
    frame_field = add_row(grid, frame, nullptr);

    const Device_texts &texts = Device_texts::get();
    const int row = grid.rowCount();
    auto *label = new QLabel(texts.mode_label);
    label->setToolTip(texts.mode_tip);
    grid.addWidget(label, row, 0);
    mode_field = new QComboBox;
    // In the order of Device_mode.
    mode_field->addItems({texts.mode_raw, texts.mode_modbus});
    mode_field->setToolTip(texts.mode_tip);
    fit_to_items(*mode_field);
    grid.addWidget(mode_field, row, 1, Qt::AlignLeft);
}

void Device_fields::set_mode(Device_mode mode)
{
    mode_field->setCurrentIndex(int(mode));
}

Device_entry Device_fields::read()
{
    const Device_texts &texts = Device_texts::get();
    Device_entry entry;
    fault = eui_field;
    entry.eui = read_hex64(eui_field->text(), texts.eui_label, std::numeric_limits<Eui>::max());
    fault = port_field;
    entry.params.tcp_port = static_cast<std::uint16_t>(
        read_decimal(port_field->text(), texts.port_label, min_served_port, max_port));
    fault = frame_field;
    entry.params.max_frame = static_cast<std::int32_t>(
        read_decimal(frame_field->text(), texts.frame_label, min_frame, max_frame));
    fault = nullptr;
    entry.params.mode = mode_field->currentIndex() == int(Device_mode::modbus_tcp) ? Device_mode::modbus_tcp
                                                                                   : Device_mode::raw;
    return entry;
}

void Device_fields::select_fault()
{
    if (fault)
        select(*fault);
}

void Device_fields::select_clash(Served_devices_model::Clash clash)
{
    select(clash == Served_devices_model::Clash::port ? *port_field : *eui_field);
}
