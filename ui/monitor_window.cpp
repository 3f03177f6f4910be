#include "ui/monitor_window.h"

#include "base/log.h"
#include "base/state_mutex.h"
#include "config/served_devices_model.h"
#include "ui/error_box.h"
#include "ui/fonts.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMutexLocker>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>

namespace {

constexpr unsigned module = 12;

QString monitor_text(const char *text)
{
    return QCoreApplication::translate("monitor", text);
}

struct Texts {
    QString title = monitor_text("Обмен с радиомодемом EUI=0x%1");
    QString time_header = monitor_text("Время");
    QString what_header = monitor_text("Направление\nили событие");
    QString length_header = monitor_text("Длина");
    QString hex_header = monitor_text("Байты (шестнадцатиричные)");
    QString text_header = monitor_text("Текст");
    QString to_modem = monitor_text("→ радиомодему");
    QString to_client = monitor_text("→ клиенту");
    QString connected = monitor_text("Клиент подключился");
    QString replaced = monitor_text("Новый клиент заменил прежнего");
    QString disconnected = monitor_text("Клиент отключился");
    QString refused = monitor_text("Сервер QUVO-LoRa не принял сообщение");
    QString abandoned = monitor_text("Неполная группа пакетов отброшена");
    QString restart = monitor_text("Радиомодем начал отсчёт кадров заново");
    QString rows_lost = monitor_text("Строк пропущено: %1");
    QString counters = monitor_text(
        "Радиомодему передано сообщений: %1 (байтов: %2), из них сервер QUVO-LoRa не принял: %3.\n"
        "Клиенту передано групп пакетов: %4 (байтов: %5). Отброшено неполных групп: %6, повторов: %7.\n"
        "Радиомодем начинал отсчёт кадров заново: %8 раз.\n"
        "Последняя передача радиомодему: %9. Последний ответ радиомодема: %10.\n"
        "Клиент: %11.");
    QString never = monitor_text("не было");
    QString no_client = monitor_text("нет");
    QString client_since = monitor_text("%1, подключён с %2");
    QString masters = monitor_text("%1 (всего клиентов: %2)");
    QString pause_button = monitor_text("Пауза");
    QString pause_tip = monitor_text("Пока эта кнопка нажата, таблица не пополняется (счётчики\n"
        "продолжают обновляться). Строки, пришедшие за время паузы, не\n"
        "показываются.");
    QString paused_rows = monitor_text("Пауза: не показано строк: %1");
    QString clear_button = monitor_text("Очистить");
    QString clear_tip = monitor_text("Если вы нажмёте эту кнопку, таблица будет очищена (счётчики\n"
        "останутся как есть).");
    QString copy_button = monitor_text("Копировать");
    QString copy_tip = monitor_text("Если вы нажмёте эту кнопку, выделенные строки таблицы будут\n"
        "скопированы в буфер обмена как текст.");
    QString close_button = monitor_text("Закрыть окно");
    QString close_tip = monitor_text("Если вы нажмёте эту кнопку, окно будет закрыто (на обмен с\n"
        "радиомодемом это не повлияет).");
};

const Texts &texts()
{
    static const Texts kept;
    return kept;
}

QString time_text(qint64 ms, const QString &format)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(format);
}

QString when(qint64 ms)
{
    return ms == 0 ? texts().never : time_text(ms, QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

QString printable(const QByteArray &data)
{
    QString text;
    text.reserve(data.size());
    for (const char c : data)
        text += c >= 0x20 && c < 0x7F ? QLatin1Char(c) : QLatin1Char('.');
    return text;
}

} // namespace

Monitor_window::Monitor_window(Eui eui, QWidget *parent)
    : QWidget(parent, Qt::Window), eui(eui)
{
    const Texts &own = texts();
    setAttribute(Qt::WA_DeleteOnClose);
    init_fonts(this);
    setWindowTitle(own.title.arg(format_eui(eui)));
    auto *rows_layout = new QVBoxLayout(this);

    counters_label = new QLabel;
    counters_label->setObjectName(QStringLiteral("counters"));
    counters_label->setTextFormat(Qt::PlainText);
    counters_label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    rows_layout->addWidget(counters_label);

    model = new QStandardItemModel(0, column_count, this);
    model->setHorizontalHeaderLabels({own.time_header, own.what_header, own.length_header, own.hex_header,
                                      own.text_header});
    table = new QTableView;
    table->setModel(model);
    table->setFont(font_small_mono());
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    const QFontMetrics metrics(font_small_mono(), this);
    const int margin = metrics.horizontalAdvance(QStringLiteral("00"));
    int what_width = 0;
    for (const QString *text : {&own.to_modem, &own.to_client, &own.connected, &own.replaced, &own.disconnected,
                                &own.refused, &own.abandoned, &own.restart})
        what_width = std::max(what_width, metrics.horizontalAdvance(*text));
    // Sixteen bytes to a line of hex fit a Modbus request; longer ones go on past the edge.
    const int widths[] = {metrics.horizontalAdvance(QStringLiteral("00:00:00.000")), what_width,
                          metrics.horizontalAdvance(QStringLiteral("00000")), 16 * metrics.horizontalAdvance(QStringLiteral("00 ")),
                          16 * metrics.horizontalAdvance(QLatin1Char('0'))};
    int total = 0;
    for (int column = 0; column < column_count; ++column) {
        table->setColumnWidth(column, widths[column] + margin);
        total += widths[column] + margin;
    }
    rows_layout->addWidget(table, 1);

    auto *buttons = new QDialogButtonBox;
    const auto add_button = [buttons](const QString &text, const QString &tip, QDialogButtonBox::ButtonRole role) {
        QPushButton *button = buttons->addButton(text, role);
        button->setToolTip(tip);
        button->setAutoDefault(false);
        return button;
    };
    pause = add_button(own.pause_button, own.pause_tip, QDialogButtonBox::ActionRole);
    pause->setCheckable(true);
    QPushButton *clear_rows = add_button(own.clear_button, own.clear_tip, QDialogButtonBox::ActionRole);
    QPushButton *copy = add_button(own.copy_button, own.copy_tip, QDialogButtonBox::ActionRole);
    add_button(own.close_button, own.close_tip, QDialogButtonBox::RejectRole);
    rows_layout->addWidget(buttons);
    resize(total + 4 * margin, metrics.height() * 36);

    poll_timer = new QTimer(this);
    poll_timer->setInterval(poll_ms);
    connect(poll_timer, &QTimer::timeout, this, &Monitor_window::on_poll_timer_timeout);
    connect(pause, &QPushButton::toggled, this, &Monitor_window::on_btn_pause_toggled);
    connect(clear_rows, &QPushButton::clicked, this, &Monitor_window::on_btn_clear_clicked);
    connect(copy, &QPushButton::clicked, this, &Monitor_window::on_btn_copy_clicked);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);

    watch_modem(eui, true);
    poll();
    poll_timer->start();
}

Monitor_window::~Monitor_window()
{
    watch_modem(eui, false);
}

void Monitor_window::on_poll_timer_timeout()
{
    try {
        poll();
    } catch (const std::exception &e) {
        log_exception(e, monitor_text("Не удалось обновить окно обмена с радиомодемом."));
    } catch (...) {
        log_unexpected(place_code(module, 1));
    }
}

void Monitor_window::poll()
{
    bool served = false;
    {
        QMutexLocker lock(&state_mutex);
        served = served_devices.find(eui) != served_devices.end();
    }
    if (!served) {
        poll_timer->stop();
        close();
        return;
    }
    const Monitor_batch batch = take_monitor_batch(eui);
    show_counters(batch.counters);
    if (paused) {
        skipped += batch.rows.size();
        pause->setText(texts().paused_rows.arg(skipped));
        return;
    }
    for (const Monitor_row &row : batch.rows)
        append(row);
    const int excess = model->rowCount() - rows_shown;
    if (excess > 0)
        model->removeRows(0, excess);
    if (!batch.rows.empty() && !table->selectionModel()->hasSelection())
        table->scrollToBottom();
}

void Monitor_window::show_counters(const Modem_counters &c)
{
    const Texts &own = texts();
    QString client = own.no_client;
    if (!c.client.isEmpty()) {
        client = own.client_since.arg(c.client, when(c.client_since));
        if (c.clients > 1)
            client = own.masters.arg(client).arg(c.clients);
    }
    counters_label->setText(own.counters.arg(c.messages_to_modem).arg(c.bytes_to_modem).arg(c.downlinks_refused)
                                .arg(c.groups_to_client).arg(c.bytes_to_client).arg(c.groups_abandoned)
                                .arg(c.repeats_dropped).arg(c.restarts_heard)
                                .arg(when(c.last_downlink), when(c.last_uplink), client));
}

void Monitor_window::append(const Monitor_row &row)
{
    const Texts &own = texts();
    QString what;
    QString text = row.peer;
    bool bytes = false;
    switch (row.kind) {
    case Monitor_row::Kind::to_modem:
        what = own.to_modem;
        bytes = true;
        break;
    case Monitor_row::Kind::to_client:
        what = own.to_client;
        bytes = true;
        break;
    case Monitor_row::Kind::connected:
        what = own.connected;
        break;
    case Monitor_row::Kind::replaced:
        what = own.replaced;
        break;
    case Monitor_row::Kind::disconnected:
        what = own.disconnected;
        break;
    case Monitor_row::Kind::refused:
        what = own.refused;
        break;
    case Monitor_row::Kind::abandoned:
        what = own.abandoned;
        break;
    case Monitor_row::Kind::restart:
        what = own.restart;
        break;
    case Monitor_row::Kind::rows_lost:
        what = own.rows_lost.arg(row.count);
        break;
    }
    QList<QStandardItem *> cells;
    cells << new QStandardItem(row.time == 0 ? QString() : time_text(row.time, QStringLiteral("hh:mm:ss.zzz")))
          << new QStandardItem(what)
          << new QStandardItem(bytes ? QString::number(row.data.size()) : QString())
          << new QStandardItem(bytes ? QString::fromLatin1(row.data.toHex(' ').toUpper()) : QString())
          << new QStandardItem(bytes ? printable(row.data) : text);
    if (!bytes)
        cells[what_column]->setForeground(QBrush(QColor(128, 0, 0)));
    model->appendRow(cells);
}

QString Monitor_window::copy_selected()
{
    QModelIndexList selected = table->selectionModel()->selectedRows();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex &index : qAsConst(selected)) {
        QStringList cells;
        for (int column = 0; column < column_count; ++column)
            cells << model->index(index.row(), column).data().toString();
        lines << cells.join(QLatin1Char('\t'));
    }
    const QString text = lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
    if (QClipboard *clipboard = QApplication::clipboard())
        clipboard->setText(text);
    return text;
}

void Monitor_window::set_paused(bool now_paused)
{
    pause->setChecked(now_paused);
}

void Monitor_window::clear()
{
    model->removeRows(0, model->rowCount());
}

void Monitor_window::on_btn_pause_toggled(bool checked)
{
    paused = checked;
    skipped = 0;
    pause->setText(texts().pause_button);
}

void Monitor_window::on_btn_clear_clicked()
{
    clear();
}

void Monitor_window::on_btn_copy_clicked()
{
    try {
        copy_selected();
    } catch (const std::exception &e) {
        report_exception(e, this);
    }
}
