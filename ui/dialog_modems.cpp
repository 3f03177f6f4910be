#include "ui/dialog_modems.h"

#include "base/log.h"
#include "shared/shared_state.h"
#include "ui/device_fields.h"
#include "ui/device_texts.h"
#include "ui/error_box.h"
#include "ui/eui_item.h"
#include "ui/fonts.h"
#include "ui/resources_for_editing.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMutexLocker>
#include <QPushButton>
#include <QStandardItemModel>
#include <QVBoxLayout>

#include <climits>
#include <exception>

namespace {

constexpr unsigned module = 6;
constexpr int column_count = 2;

bool in_order(int index)
{
    return index >= static_cast<int>(Modem_kind::used) && index <= static_cast<int>(Modem_kind::all);
}

QStandardItem *centred(QStandardItem *item)
{
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

}

std::vector<Modem_entry> modem_list(Modem_kind kind)
{
    std::vector<Modem_entry> list;
    if (kind == Modem_kind::all
        && served_devices.size() + static_cast<std::size_t>(reachable_modems.size()) > INT_MAX) {
        log_unexpected(place_code(module, 1));
        return list;
    }
    const bool want_served_only = kind == Modem_kind::unavailable || kind == Modem_kind::all;
    const bool want_server_used = kind == Modem_kind::used || kind == Modem_kind::available
                                  || kind == Modem_kind::all;
    const bool want_server_unused = kind == Modem_kind::not_used || kind == Modem_kind::available
                                    || kind == Modem_kind::all;
    auto served = served_devices.cbegin();
    auto listed = reachable_modems.cbegin();
    while (served != served_devices.cend() || listed != reachable_modems.cend()) {
        if (listed == reachable_modems.cend()
            || (served != served_devices.cend() && served->first < listed->eui)) {
            if (want_served_only)
                list.push_back({served->first, QString()});
            ++served;
        } else if (served == served_devices.cend() || listed->eui < served->first) {
            if (want_server_unused)
                list.push_back({listed->eui, listed->name});
            ++listed;
        } else {
            if (want_server_used)
                list.push_back({listed->eui, listed->name});
            ++served;
            ++listed;
        }
    }
    return list;
}

Dialog_modems::Table::Table(QWidget *parent)
    : Table_with_proxy(place_code(module, 2), parent)
{
    const Device_texts &texts = Device_texts::get();
    setFont(font_small());
    source().setColumnCount(column_count);
    auto *eui_header = new QStandardItem(texts.eui_label);
    eui_header->setToolTip(texts.eui_tip);
    source().setHorizontalHeaderItem(0, eui_header);
    auto *name_header = new QStandardItem(texts.name_label);
    name_header->setToolTip(texts.name_tip);
    source().setHorizontalHeaderItem(1, name_header);
}

void Dialog_modems::Table::fill(const std::vector<Modem_entry> &list)
{
    QStandardItemModel &model = source();
    model.removeRows(0, model.rowCount());
    if (list.size() > static_cast<std::size_t>(INT_MAX)) {
        log_unexpected(place_code(module, 3));
        return;
    }
    model.setRowCount(static_cast<int>(list.size()));
    int row = 0;
    for (const Modem_entry &entry : list) {
        model.setItem(row, 0, centred(new Eui_item(entry.eui)));
        model.setItem(row, 1, centred(new QStandardItem(entry.name)));
        ++row;
    }
}

Dialog_modems::Dialog_modems(QWidget *parent)
    : QDialog(parent, device_dialog_flags)
{
    const Device_texts &texts = Device_texts::get();
    const Resources_for_editing &res = Resources_for_editing::get();
    init_fonts(this);
    setWindowTitle(res.title_modems);
    auto *rows = new QVBoxLayout(this);

    auto *which_row = new QHBoxLayout;
    rows->addLayout(which_row);
    auto *which_label = new QLabel(res.which_label);
    which_label->setToolTip(res.which_tip);
    which_row->addWidget(which_label);
    auto *which = new QComboBox;
    which->addItems({res.which_used, res.which_not_used, res.which_available, res.which_unavailable,
                     res.which_all});
    which->setCurrentIndex(static_cast<int>(Modem_kind::not_used));
    which->setToolTip(res.which_tip);
    fit_to_items(*which);
    which_row->addWidget(which);
    which_row->addStretch();

    const Filter_row filter_row = add_filter_row(*rows, {texts.eui_label, texts.name_label});
    filter = filter_row.text;
    QComboBox *field = filter_row.field;

    table = new Table(this);
    rows->addWidget(table);
    on_filter_index_changed(static_cast<int>(Modem_kind::not_used));

    auto *buttons = new QDialogButtonBox;
    buttons->addButton(res.choose_button, QDialogButtonBox::AcceptRole)->setToolTip(res.choose_tip);
    buttons->addButton(res.choose_cancel_button, QDialogButtonBox::RejectRole)
        ->setToolTip(res.choose_cancel_tip);
    rows->addWidget(buttons);

    connect(which, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Dialog_modems::on_filter_index_changed);
    connect(filter, &QLineEdit::textChanged, this, &Dialog_modems::on_filter_text_changed);
    connect(field, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Dialog_modems::on_filter_field_changed);
    connect(table, &QTableView::doubleClicked, this, &Dialog_modems::on_double_click);
    connect(buttons, &QDialogButtonBox::accepted, this, &Dialog_modems::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &Dialog_modems::reject);
    filter->setFocus();
}

Dialog_modems::~Dialog_modems() = default;

void Dialog_modems::on_filter_index_changed(int index)
{
    if (!in_order(index)) {
        log_unexpected(place_code(module, 4));
        return;
    }
    std::vector<Modem_entry> list;
    {
        QMutexLocker lock(&state_mutex);
        list = modem_list(static_cast<Modem_kind>(index));
    }
    table->fill(list);
    table->fit_columns();
}

void Dialog_modems::on_filter_field_changed(int index)
{
    static const int columns[] = {0, 1, -1};
    if (index < 0 || index >= static_cast<int>(std::size(columns))) {
        log_unexpected(place_code(module, 5));
        return;
    }
    table->set_filter_column(columns[index]);
}

void Dialog_modems::on_filter_text_changed(const QString &text)
{
    table->set_filter_text(text);
}

void Dialog_modems::accept()
{
    if (take(table->selected_item(0)))
        QDialog::accept();
}

void Dialog_modems::on_double_click(const QModelIndex &index)
{
    if (take(table->item_in_row_of(index, 0)))
        QDialog::accept();
}

bool Dialog_modems::take(QStandardItem *item)
{
    if (item == nullptr)
        return false;
    const Eui_item *eui_item = as_eui_item(item);
    if (eui_item == nullptr) {
        report_unexpected(place_code(3, 8), this);
        return false;
    }
    chosen = eui_item->eui();
    return true;
}
