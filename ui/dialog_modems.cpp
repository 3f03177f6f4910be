#include "ui/dialog_modems.h"

#include "base/log.h"
#include "exchange/engine.h"
#include "shared/shared_state.h"
#include "ui/device_fields.h"
#include "ui/device_texts.h"
#include "ui/error_box.h"
#include "ui/eui_item.h"
#include "ui/fonts.h"

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

struct Texts {
    QString title = device_text("Список радиомодемов");
    QString which_label = device_text("Какие радиомодемы включать в список:");
    QString which_used = device_text("доступные и используемые нами");
    QString which_not_used = device_text("доступные, но ещё не используемые нами");
    QString which_available = device_text("все доступные");
    QString which_unavailable = device_text("недоступные (но упомянутые в конфигурации)");
    QString which_all = device_text("вообще все упомянутые где-либо");
    QString which_tip = device_text("Здесь вы можете выбрать, какие радиомодемы будут отображаться в\n"
        "этом окне:\n"
        "\n"
        "«доступные и используемые нами» - отображать только радиомодемы,\n"
        "   имеющие аккаунт и на сервере QUVO-LoRa, и в нашей программе.\n"
        "\n"
        "«доступные, но ещё не используемые нами» - отображать только\n"
        "   радиомодемы, имеющие аккаунт на сервере QUVO-LoRa, но не в нашей\n"
        "   программе.\n"
        "\n"
        "«все доступные» - отображать все радиомодемы, имеющие аккаунт на\n"
        "   сервере QUVO-LoRa.\n"
        "\n"
        "«недоступные (но упомянутые в конфигурации)» - отображать только\n"
        "   радиомодемы, имеющие аккаунт в нашей программе, но не на сервере\n"
        "   QUVO-LoRa.\n"
        "\n"
        "«вообще все упомянутые где-либо» - отображать все радиомодемы,\n"
        "   имеющие аккаунт хоть где-нибудь (в нашей программе или на\n"
        "   сервере QUVO-LoRa).\n"
        "\n"
        "Если канал связи с сервером QUVO-LoRa сейчас неисправен, считаем,\n"
        "что доступных радиомодемов нет (1-й, 2-й и 3-й списки получаются\n"
        "пустыми, а в 4-й и 5-й будут включены все радиомодемы, упомянутые в\n"
        "конфигурации).");
    QString choose_button = device_text("Выбрать",
        "return");
    QString choose_tip = device_text("Если вы нажмёте эту кнопку, текущее окно будет закрыто.\n"
        "EUI радиомодема, который вы выбрали в этом окне, будет скопирован в\n"
        "поле для ввода EUI в родительском окне.\n"
        "\n"
        "Если вы не выбрали радиомодем, будет выдано сообщение об ошибке\n"
        "(окно не будет закрыто).");
    QString cancel_button = device_text("Отмена",
        "select");
    QString cancel_tip = device_text("Если вы нажмёте эту кнопку, текущее окно будет закрыто. Поле для\n"
        "ввода EUI в родительском окне останется неизменным.");
};

const Texts &texts()
{
    static const Texts kept;
    return kept;
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
    const Device_texts &shared = Device_texts::get();
    setFont(font_small());
    source().setColumnCount(column_count);
    auto *eui_header = new QStandardItem(shared.eui_label);
    eui_header->setToolTip(shared.eui_tip);
    source().setHorizontalHeaderItem(0, eui_header);
    auto *name_header = new QStandardItem(shared.name_label);
    name_header->setToolTip(shared.name_tip);
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
        auto *name = centred(new QStandardItem(entry.name));
        // The column may cut a long name.
        name->setToolTip(entry.name);
        model.setItem(row, 1, name);
        ++row;
    }
}

Dialog_modems::Dialog_modems(QWidget *parent, Engine *engine)
    : QDialog(parent, device_dialog_flags)
{
    const Device_texts &shared = Device_texts::get();
    const Texts &own = texts();
    init_fonts(this);
    setWindowTitle(own.title);
    auto *rows = new QVBoxLayout(this);

    auto *which_row = new QHBoxLayout;
    rows->addLayout(which_row);
    auto *which_label = new QLabel(own.which_label);
    which_label->setToolTip(own.which_tip);
    which_row->addWidget(which_label);
    which = new QComboBox;
    which->addItems({own.which_used, own.which_not_used, own.which_available, own.which_unavailable,
                     own.which_all});
    which->setCurrentIndex(static_cast<int>(Modem_kind::not_used));
    which->setToolTip(own.which_tip);
    fit_to_items(*which);
    which_row->addWidget(which);
    which_row->addStretch();

    const Filter_row filter_row = add_filter_row(*rows, {shared.eui_label, shared.name_label});
    filter = filter_row.text;
    QComboBox *field = filter_row.field;

    table = new Table(this);
    rows->addWidget(table);
    on_filter_index_changed(static_cast<int>(Modem_kind::not_used));

    auto *buttons = new QDialogButtonBox;
    buttons->addButton(own.choose_button, QDialogButtonBox::AcceptRole)->setToolTip(own.choose_tip);
    buttons->addButton(own.cancel_button, QDialogButtonBox::RejectRole)->setToolTip(own.cancel_tip);
    rows->addWidget(buttons);

    connect(which, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Dialog_modems::on_filter_index_changed);
    connect(filter, &QLineEdit::textChanged, this, &Dialog_modems::on_filter_text_changed);
    connect(field, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Dialog_modems::on_filter_field_changed);
    connect(table, &QTableView::doubleClicked, this, &Dialog_modems::on_double_click);
    connect(buttons, &QDialogButtonBox::accepted, this, &Dialog_modems::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &Dialog_modems::reject);
    if (engine)
        connect(engine, &Engine::servers_changed, this, &Dialog_modems::on_servers_changed);
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

// The server's list may have changed: the table follows, the selected modem stays selected.
void Dialog_modems::on_servers_changed()
{
    const int row = table->selected_source_row();
    const Eui_item *selected = row < 0 ? nullptr : as_eui_item(table->source().item(row, 0));
    const bool keep = selected != nullptr;
    const Eui kept = keep ? selected->eui() : 0;
    on_filter_index_changed(which->currentIndex());
    if (!keep)
        return;
    for (int i = 0; i < table->source().rowCount(); ++i) {
        const Eui_item *item = as_eui_item(table->source().item(i, 0));
        if (item && item->eui() == kept) {
            table->select_source_row(i);
            return;
        }
    }
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
