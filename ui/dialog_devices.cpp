#include "ui/dialog_devices.h"

#include "base/build_info.h"
#include "base/log.h"
#include "config/devices.h"
#include "exchange/engine.h"
#include "shared/modem_traffic.h"
#include "shared/shared_state.h"
#include "ui/device_fields.h"
#include "ui/device_texts.h"
#include "ui/dialog_add_device.h"
#include "ui/dialog_edit_device.h"
#include "ui/error_box.h"
#include "ui/eui_item.h"
#include "ui/fonts.h"
#include "ui/monitor_window.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutexLocker>
#include <QPushButton>
#include <QStandardItem>
#include <QTimer>
#include <QVBoxLayout>

#include <exception>
#include <iterator>
#include <vector>

namespace {

constexpr unsigned module = 3;

struct Texts {
    QString title = device_text("Список радиомодемов, подлежащих обслуживанию");
    QString ask_delete = device_text("Удалить радиомодем с EUI=0x%1 (порт TCP-сервера %2) из списка радиомодемов, подлежащих обслуживанию?");
    QString add_button = device_text("Добавить",
        "call");
    QString add_tip = device_text("Если вы нажмёте эту кнопку, откроется окно, в котором вы сможете\n"
        "ввести параметры радиомодема, который вы хотите добавить в список.");
    QString delete_button = device_text("Удалить");
    QString delete_tip = device_text("Если вы нажмёте эту кнопку, выделенный в списке радиомодем будет\n"
        "удалён из списка радиомодемов, подлежащих обслуживанию (и будет\n"
        "разорвано соединение с использующим этот радиомодем клиентом, если\n"
        "оно есть). Изменённый список радиомодемов будет сразу же сохранён\n"
        "на диск.\n"
        "\n"
        "Перед удалением программа спросит у вас подтверждение.");
    QString edit_button = device_text("Изменить");
    QString edit_tip = device_text("Если вы нажмёте эту кнопку, откроется окно, отображающее параметры\n"
        "радиомодема, выделенного в списке. С помощью этого окна вы сможете\n"
        "изменить эти параметры, если захотите.");
    QString monitor_button = device_text("Обмен...");
    QString monitor_tip = device_text("Если вы нажмёте эту кнопку, откроется окно, в котором видно, что\n"
        "наша программа передаёт выделенному в списке радиомодему и что\n"
        "передаёт клиенту от радиомодема, по мере того, как это происходит.\n"
        "Окно можно не закрывать, продолжая работать с программой; можно\n"
        "открыть такие окна сразу для нескольких радиомодемов.");
    QString close_button = device_text("Закрыть окно");
    QString close_tip = device_text("Если вы нажмёте эту кнопку, окно со списком радиомодемов будет\n"
        "закрыто, и вы вернётесь в главное окно программы.");
    QString yes_button = device_text("Да");
    QString yes_tip = device_text("Если вы нажмёте эту кнопку, радиомодем будет удалён из списка\n"
        "радиомодемов, подлежащих обслуживанию (и будет разорвано соединение\n"
        "с использующим этот радиомодем клиентом, если оно есть). Изменённый\n"
        "список радиомодемов будет сразу же сохранён на диск.");
    QString no_button = device_text("Нет");
    QString no_tip = device_text("Если вы нажмёте эту кнопку, радиомодем не будет удалён из списка\n"
        "(всё будет так, как если бы вы не нажимали кнопку «Удалить» в окне\n"
        "со списком радиомодемов).");
};

const Texts &texts()
{
    static const Texts kept;
    return kept;
}

// Walks the rows, the running TCP servers and the server's list together, all in
// ascending EUI. The caller holds state_mutex.
std::vector<Devices_table::Row_status> status_of(const std::vector<Eui> &euis, bool with_names)
{
    std::vector<Devices_table::Row_status> status(euis.size());
    auto server = port_views.cbegin();
    auto listed = reachable_modems.cbegin();
    for (std::size_t i = 0; i < euis.size(); ++i) {
        const Eui eui = euis[i];
        while (server != port_views.cend() && server.key() < eui)
            ++server;
        if (server != port_views.cend() && server.key() == eui) {
            status[i].available = true;
            status[i].client = server.value().client;
        }
        if (!with_names)
            continue;
        while (listed != reachable_modems.cend() && listed->eui < eui)
            ++listed;
        if (listed != reachable_modems.cend() && listed->eui == eui) {
            status[i].listed = true;
            status[i].name = listed->name;
        }
    }
    return status;
}

// When each row's modem last answered. The caller holds state_mutex.
std::vector<qint64> heard_of(const std::vector<Eui> &euis)
{
    std::vector<qint64> heard(euis.size(), 0);
    auto traffic = modem_traffic.cbegin();
    for (std::size_t i = 0; i < euis.size(); ++i) {
        while (traffic != modem_traffic.cend() && traffic.key() < euis[i])
            ++traffic;
        if (traffic != modem_traffic.cend() && traffic.key() == euis[i])
            heard[i] = traffic.value().counters.last_uplink;
    }
    return heard;
}

// Often enough for a glance, seldom enough to cost nothing with thousands of rows.
constexpr int heard_refresh_ms = 1000;

}

Dialog_devices::Dialog_devices(QWidget *parent, Engine *engine)
    : QDialog(parent, device_dialog_flags)
    , engine(engine)
{
    const Device_texts &shared = Device_texts::get();
    const Texts &own = texts();
    init_fonts(this);
    setWindowTitle(own.title);
    auto *rows = new QVBoxLayout(this);

    const Filter_row filter_row =
        add_filter_row(*rows, {shared.eui_label, shared.port_label, shared.frame_label, shared.mode_label, shared.name_label});
    filter = filter_row.text;
    QComboBox *field = filter_row.field;

    table = new Devices_table(this);
    rows->addWidget(table);
    refresh();
    table->fit_columns();

    auto *buttons = new QDialogButtonBox;
    // No button is the default: Enter belongs to the table and the filter (keyPressEvent).
    const auto add_button = [buttons](const QString &text, const QString &tip,
                                      QDialogButtonBox::ButtonRole role) {
        QPushButton *button = buttons->addButton(text, role);
        button->setToolTip(tip);
        button->setAutoDefault(false);
        return button;
    };
    QPushButton *add = add_button(own.add_button, own.add_tip, QDialogButtonBox::ActionRole);
    QPushButton *remove = add_button(own.delete_button, own.delete_tip, QDialogButtonBox::ActionRole);
    QPushButton *change = add_button(own.edit_button, own.edit_tip, QDialogButtonBox::ActionRole);
    QPushButton *watch = add_button(own.monitor_button, own.monitor_tip, QDialogButtonBox::ActionRole);
    add_button(own.close_button, own.close_tip, QDialogButtonBox::RejectRole);
    // While the file differs from the list shown, the user must see it before leaving.
    unsaved = new QLabel;
    unsaved->setObjectName(QStringLiteral("unsaved"));
    unsaved->setTextFormat(Qt::PlainText);
    unsaved->setWordWrap(true);
    QPalette palette = unsaved->palette();
    palette.setColor(QPalette::WindowText, QColor(128, 0, 0));
    unsaved->setPalette(palette);
    rows->addWidget(unsaved);
    show_unsaved();
    rows->addWidget(buttons);

    connect(filter, &QLineEdit::textChanged, this, &Dialog_devices::on_filter_text_changed);
    connect(field, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Dialog_devices::on_filter_field_changed);
    connect(add, &QPushButton::clicked, this, &Dialog_devices::on_btn_add_clicked);
    connect(remove, &QPushButton::clicked, this, &Dialog_devices::on_btn_delete_clicked);
    connect(change, &QPushButton::clicked, this, &Dialog_devices::on_btn_edit_clicked);
    connect(watch, &QPushButton::clicked, this, &Dialog_devices::on_btn_monitor_clicked);
    connect(buttons, &QDialogButtonBox::rejected, this, &Dialog_devices::reject);
    connect(table, &QTableView::doubleClicked, this, &Dialog_devices::on_double_click);

    heard_timer = new QTimer(this);
    heard_timer->setInterval(heard_refresh_ms);
    connect(heard_timer, &QTimer::timeout, this, &Dialog_devices::on_heard_timer_timeout);
    heard_timer->start();

    if (engine) {
        connect(this, &Dialog_devices::update_servers, engine, &Engine::update_servers);
        connect(engine, &Engine::servers_changed, this, &Dialog_devices::on_servers_changed);
        connect(engine, &Engine::clients_changed, this, &Dialog_devices::on_clients_changed);
    }
}

// The monitors outlive the dialog in its window, which the program keeps until it exits; a
// dialog without one takes them along.
Dialog_devices::~Dialog_devices()
{
    QWidget *owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    if (owner == nullptr)
        return;
    for (Monitor_window *window : findChildren<Monitor_window *>(QString(), Qt::FindDirectChildrenOnly)) {
        const QRect place = window->geometry();
        const bool shown = window->isVisible();
        window->setParent(owner, Qt::Window);
        window->setGeometry(place);
        if (shown)
            window->show();
    }
}

void Dialog_devices::on_filter_field_changed(int index)
{
    static const int columns[] = {Devices_table::eui_column, Devices_table::port_column,
                                  Devices_table::frame_column, Devices_table::mode_column,
                                  Devices_table::name_column, -1};
    if (index < 0 || index >= static_cast<int>(std::size(columns))) {
        log_unexpected(place_code(module, 3));
        return;
    }
    table->set_filter_column(columns[index]);
}

void Dialog_devices::on_filter_text_changed(const QString &text)
{
    table->set_filter_text(text);
}

void Dialog_devices::on_btn_add_clicked()
{
    guarded([this]() {
        Dialog_add_device dialog(this, engine);
        if (dialog.exec() == QDialog::Accepted)
            changed(true);
    });
}

void Dialog_devices::on_btn_edit_clicked()
{
    guarded([this]() {
        if (QStandardItem *item = table->selected_item(Devices_table::eui_column))
            edit(item);
    });
}

// The window belongs to the dialog while the dialog is open, so that the dialog's modality
// leaves it its input; the dialog hands it on to its own window when it closes.
void Dialog_devices::on_btn_monitor_clicked()
{
    guarded([this]() {
        QStandardItem *item = table->selected_item(Devices_table::eui_column);
        const auto record = item != nullptr ? record_of(item) : served_devices.end();
        if (record == served_devices.end())
            return;
        auto *window = new Monitor_window(record->first, this);
        monitor = window;
        window->show();
    });
}

void Dialog_devices::on_heard_timer_timeout()
{
    guarded([this]() { show_heard(); });
}

void Dialog_devices::show_heard()
{
    const std::vector<Eui> euis = table->row_euis();
    std::vector<qint64> heard;
    {
        QMutexLocker lock(&state_mutex);
        heard = heard_of(euis);
    }
    table->show_heard(heard);
}

void Dialog_devices::on_double_click(const QModelIndex &index)
{
    guarded([this, &index]() {
        if (QStandardItem *item = table->item_in_row_of(index, Devices_table::eui_column))
            edit(item);
    });
}

void Dialog_devices::on_btn_delete_clicked()
{
    guarded([this]() {
        if (QStandardItem *item = table->selected_item(Devices_table::eui_column))
            remove(item);
    });
}

void Dialog_devices::keyPressEvent(QKeyEvent *event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QDialog::keyPressEvent(event);
        return;
    }
    // The filter applies as it is typed, so Enter there has nothing left to do; on a
    // selected row it edits the row, as a double click does.
    if (table->hasFocus() && table->selectionModel()->hasSelection())
        on_btn_edit_clicked();
}

void Dialog_devices::guarded(const std::function<void()> &action)
{
    try {
        action();
    } catch (const std::exception &e) {
        report_exception(e, this);
    }
}

void Dialog_devices::edit(QStandardItem *item)
{
    const auto record = record_of(item);
    if (record == served_devices.end())
        return;
    Dialog_edit_device dialog(record->first, record->second, this);
    if (dialog.exec() == QDialog::Accepted)
        changed(false);
}

void Dialog_devices::remove(QStandardItem *item)
{
    const auto record = record_of(item);
    if (record == served_devices.end())
        return;
    const Texts &own = texts();
    QMessageBox box(QMessageBox::Question,
                    QStringLiteral("%1 %2").arg(QString::fromUtf8(build_info::program_name),
                                                QString::fromUtf8(build_info::version)),
                    own.ask_delete.arg(format_eui(record->first), QString::number(record->second.tcp_port)),
                    QMessageBox::NoButton, this);
    init_fonts(&box);
    QPushButton *yes = box.addButton(own.yes_button, QMessageBox::YesRole);
    yes->setToolTip(own.yes_tip);
    QPushButton *no = box.addButton(own.no_button, QMessageBox::NoRole);
    no->setToolTip(own.no_tip);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    if (box.clickedButton() == no)
        return;
    if (box.clickedButton() != yes) {
        report_unexpected(place_code(module, 5), this);
        return;
    }
    served_model.remove(record->first);
    changed(true);
}

Served_devices::const_iterator Dialog_devices::record_of(QStandardItem *item)
{
    const Eui_item *eui_item = as_eui_item(item);
    const auto record = eui_item != nullptr ? served_devices.find(eui_item->eui()) : served_devices.end();
    if (record == served_devices.end())
        report_unexpected(place_code(module, 8), this);
    return record;
}

void Dialog_devices::changed(bool count_changed)
{
    // A failed save must not stop the rest: the link has to follow the list in memory,
    // which has changed already.
    try {
        write_devices();
    } catch (const std::exception &e) {
        report_exception(e, this);
    }
    emit update_servers();
    if (count_changed)
        emit served_count_changed();
    show_unsaved();
    refresh();
}

void Dialog_devices::show_unsaved()
{
    const QString line = devices_unsaved();
    unsaved->setText(line);
    unsaved->setVisible(!line.isEmpty());
}

void Dialog_devices::refresh()
{
    table->fill_devices();
    const std::vector<Eui> euis = table->row_euis();
    std::vector<Devices_table::Row_status> status;
    bool ready = false;
    {
        QMutexLocker lock(&state_mutex);
        ready = (state_flags & link_ready) != 0;
        if (ready)
            status = status_of(euis, true);
    }
    if (ready)
        table->show_status(status, true);
    else
        table->clear_status();
    status_shown = ready;
    show_heard();
}

void Dialog_devices::on_servers_changed()
{
    const std::vector<Eui> euis = table->row_euis();
    std::vector<Devices_table::Row_status> status;
    bool ready = false;
    {
        QMutexLocker lock(&state_mutex);
        state_flags &= static_cast<quint8>(~(servers_changed_pending | clients_changed_pending));
        ready = (state_flags & link_ready) != 0;
        if (ready)
            status = status_of(euis, true);
    }
    if (ready) {
        table->show_status(status, true);
        status_shown = true;
    } else if (status_shown) {
        table->clear_status();
        status_shown = false;
    }
}

void Dialog_devices::on_clients_changed()
{
    const std::vector<Eui> euis = table->row_euis();
    std::vector<Devices_table::Row_status> status;
    {
        QMutexLocker lock(&state_mutex);
        state_flags &= static_cast<quint8>(~clients_changed_pending);
        if (status_shown)
            status = status_of(euis, false);
    }
    if (status_shown)
        table->show_status(status, false);
}
