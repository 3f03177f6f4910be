#include "ui/devices_table.h"

#include "base/log.h"
#include "ui/device_texts.h"
#include "ui/eui_item.h"
#include "ui/fonts.h"
#include "ui/resources_for_editing.h"

#include <QBrush>
#include <QFontMetrics>
#include <QStandardItemModel>

#include <algorithm>

namespace {

// The codes of the devices dialog, which the table was part of.
constexpr unsigned module = 3;
constexpr int min_margin = 12;

const QString &check_mark()
{
    static const QString mark = QStringLiteral("√");
    return mark;
}

const QString &blank()
{
    static const QString text = QStringLiteral(" ");
    return text;
}

}

Devices_table::Devices_table(QWidget *parent)
    : Table_with_proxy(place_code(module, 1), parent)
{
    const Device_texts &texts = Device_texts::get();
    const Resources_for_editing &res = Resources_for_editing::get();
    setFont(font_small());
    QStandardItemModel &model = source();
    model.setColumnCount(column_count);
    const struct {
        const QString &text;
        const QString &tip;
    } headers[column_count] = {
        {texts.eui_label, texts.eui_tip},       {texts.port_header, texts.port_tip},
        {texts.frame_header, texts.frame_tip},  {res.avail_header, res.avail_tip},
        {res.client_header, res.client_tip},    {texts.name_label, texts.name_tip},
    };
    for (int column = 0; column < column_count; ++column) {
        auto *header = new QStandardItem(headers[column].text);
        header->setToolTip(headers[column].tip);
        model.setHorizontalHeaderItem(column, header);
    }

    const QFontMetrics metrics(font_small_mono(), this);
    int d = 0;
    int h = 0;
    hex_digit_widths(metrics, d, h);
    const int m = std::max(d, min_margin);
    const int mark = metrics.horizontalAdvance(check_mark());
    preferred_widths[eui_column] = m + 16 * h;
    preferred_widths[port_column] = m + 5 * d;
    preferred_widths[frame_column] = m + 4 * d;
    preferred_widths[avail_column] = m + mark;
    preferred_widths[client_column] = m + mark;
    preferred_widths[name_column] = m + 32 * h;
}

int Devices_table::sizeHintForColumn(int column) const
{
    if (column >= column_count) {
        log_unexpected(place_code(module, 2));
        return -1;
    }
    if (column < 0)
        return Table_with_proxy::sizeHintForColumn(column);
    return preferred_widths[column];
}

void Devices_table::fill_devices()
{
    QStandardItemModel &model = source();
    model.removeRows(0, model.rowCount());
    model.setRowCount(static_cast<int>(served_devices.size()));
    const auto cell = [](QStandardItem *item) {
        item->setTextAlignment(Qt::AlignCenter);
        item->setFont(font_small_mono());
        return item;
    };
    int row = 0;
    for (const auto &device : served_devices) {
        model.setItem(row, eui_column, cell(new Eui_item(device.first)));
        model.setItem(row, port_column,
                      cell(new QStandardItem(QString::number(device.second.tcp_port))));
        model.setItem(row, frame_column,
                      cell(new QStandardItem(QString::number(device.second.max_frame))));
        for (int column = avail_column; column < column_count; ++column)
            model.setItem(row, column, cell(new QStandardItem(blank())));
        ++row;
    }
}

std::vector<Eui> Devices_table::row_euis() const
{
    const QStandardItemModel &model = source();
    std::vector<Eui> euis;
    euis.reserve(static_cast<std::size_t>(model.rowCount()));
    for (int row = 0; row < model.rowCount(); ++row) {
        const Eui_item *item = as_eui_item(model.item(row, eui_column));
        euis.push_back(item != nullptr ? item->eui() : 0);
    }
    return euis;
}

void Devices_table::show_status(const std::vector<Row_status> &status, bool with_names)
{
    const Resources_for_editing &res = Resources_for_editing::get();
    QStandardItemModel &model = source();
    const int rows = std::min(model.rowCount(), static_cast<int>(status.size()));
    for (int row = 0; row < rows; ++row) {
        const Row_status &s = status[static_cast<std::size_t>(row)];
        set_cell(row, avail_column, s.available ? check_mark() : blank(), res.available_brush);
        set_cell(row, client_column, s.client ? check_mark() : blank(), res.client_brush);
        if (with_names)
            set_cell(row, name_column, s.listed ? s.name : blank(), res.available_brush);
    }
}

void Devices_table::clear_status()
{
    QStandardItemModel &model = source();
    for (int row = 0; row < model.rowCount(); ++row)
        for (int column = avail_column; column < column_count; ++column)
            set_cell(row, column, blank(), QBrush());
}

void Devices_table::set_cell(int row, int column, const QString &text, const QBrush &brush)
{
    if (QStandardItem *item = source().item(row, column)) {
        item->setText(text);
        item->setForeground(brush);
    }
}
