#include "ui/devices_table.h"

#include "base/log.h"
#include "ui/device_texts.h"
#include "ui/eui_item.h"
#include "ui/fonts.h"

#include <QBrush>
#include <QDateTime>
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

// In the colours of the main window's counts of reachable modems and of clients.
const QBrush &available_brush()
{
    static const QBrush brush(QColor(0, 128, 0));
    return brush;
}

const QBrush &client_brush()
{
    static const QBrush brush(QColor(100, 0, 100));
    return brush;
}

// The headers of the status columns; the others are the device fields'.
struct Texts {
    QString avail_header = device_text("Досту-\n"
        "пно");
    QString avail_tip = device_text("Если в этом столбце стоит галочка, это означает, что радиомодем\n"
        "имеет аккаунт на сервере QUVO-LoRa (поэтому наша программа готова\n"
        "обслуживать запросы клиентов к этому радиомодему, и создала для\n"
        "этого сервер TCP).");
    QString client_header = device_text("Есть\n"
        "клиент");
    QString client_tip = device_text("Если в этом столбце стоит галочка, это означает, что в данный\n"
        "момент установлено TCP-соединение с клиентом, желающим использовать\n"
        "соответствующий радиомодем (и, вероятно, через нашу программу идёт\n"
        "поток сообщений между этими клиентом и радиомодемом).");
    QString heard_header = device_text("Последний\n"
        "ответ");
    QString heard_tip = device_text("Когда наша программа последний раз передала клиенту ответ этого\n"
        "радиомодема (группу пакетов, собранную целиком). Прочерк означает,\n"
        "что с момента запуска программы радиомодем ещё ни разу не ответил.");
    QString never = QStringLiteral("—");
};

const Texts &texts()
{
    static const Texts kept;
    return kept;
}

}

Devices_table::Devices_table(QWidget *parent)
    : Table_with_proxy(place_code(module, 1), parent)
{
    const Device_texts &shared = Device_texts::get();
    const Texts &own = texts();
    setFont(font_small());
    QStandardItemModel &model = source();
    model.setColumnCount(column_count);
    const struct {
        const QString &text;
        const QString &tip;
    } headers[column_count] = {
        {shared.eui_label, shared.eui_tip},       {shared.port_header, shared.port_tip},
        {shared.frame_header, shared.frame_tip},  {shared.mode_label, shared.mode_tip},
        {own.avail_header, own.avail_tip},
        {own.client_header, own.client_tip},      {shared.name_label, shared.name_tip},
        {own.heard_header, own.heard_tip},
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
    const QFontMetrics words(font_small(), this);
    preferred_widths[mode_column] =
        m + std::max(words.horizontalAdvance(shared.mode_raw), words.horizontalAdvance(shared.mode_modbus));
    preferred_widths[avail_column] = m + mark;
    preferred_widths[client_column] = m + mark;
    preferred_widths[name_column] = m + 32 * h;
    preferred_widths[heard_column] = m + metrics.horizontalAdvance(QStringLiteral("00.00 00:00:00"));
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
        QStandardItem *mode = cell(new QStandardItem(Device_texts::get().mode_text(device.second.mode)));
        mode->setFont(font_small());
        model.setItem(row, mode_column, mode);
        for (int column = avail_column; column < heard_column; ++column)
            model.setItem(row, column, cell(new QStandardItem(blank())));
        model.setItem(row, heard_column, cell(new QStandardItem(texts().never)));
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
    QStandardItemModel &model = source();
    const int rows = std::min(model.rowCount(), static_cast<int>(status.size()));
    for (int row = 0; row < rows; ++row) {
        const Row_status &s = status[static_cast<std::size_t>(row)];
        set_cell(row, avail_column, s.available ? check_mark() : blank(), available_brush());
        set_cell(row, client_column, s.client ? check_mark() : blank(), client_brush());
        if (with_names)
            set_cell(row, name_column, s.listed ? s.name : blank(), available_brush());
    }
}

void Devices_table::clear_status()
{
    QStandardItemModel &model = source();
    for (int row = 0; row < model.rowCount(); ++row)
        for (int column = avail_column; column < heard_column; ++column)
            set_cell(row, column, blank(), QBrush());
}

void Devices_table::show_heard(const std::vector<qint64> &heard)
{
    QStandardItemModel &model = source();
    const int rows = std::min(model.rowCount(), static_cast<int>(heard.size()));
    const QDate today = QDate::currentDate();
    for (int row = 0; row < rows; ++row) {
        const qint64 at = heard[static_cast<std::size_t>(row)];
        QString text = texts().never;
        if (at != 0) {
            const QDateTime time = QDateTime::fromMSecsSinceEpoch(at);
            text = time.toString(time.date() == today ? QStringLiteral("hh:mm:ss") : QStringLiteral("dd.MM hh:mm:ss"));
        }
        set_cell(row, heard_column, text, available_brush());
    }
}

void Devices_table::set_cell(int row, int column, const QString &text, const QBrush &brush)
{
    if (QStandardItem *item = source().item(row, column)) {
        item->setText(text);
        item->setForeground(brush);
    }
}
