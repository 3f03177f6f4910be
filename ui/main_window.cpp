#include "ui/main_window.h"

#include "base/build_info.h"
#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "shared/shared_state.h"
#include "ui/dialog_about.h"
#include "ui/dialog_devices.h"
#include "ui/dialog_exit.h"
#include "ui/error_box.h"
#include "ui/fonts.h"
#include "ui/label_with_size.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMutexLocker>
#include <QPushButton>
#include <QStackedLayout>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

const QColor colour_none(128, 0, 0);
const QColor colour_start(0, 0, 128);
const QColor colour_ready(0, 128, 0);
const QColor colour_reachable(0, 128, 0);
const QColor colour_clients(100, 0, 100);

QString tr_main(const char *text)
{
    return QCoreApplication::translate("main", text);
}

void set_text_colour(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

QLabel *plain_label(const QString &text, const QString &tool_tip, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setToolTip(tool_tip);
    return label;
}

// A cell of rows 2 and 3: a blank while the link is not ready, the real label once it is.
QStackedLayout *blank_or(QLabel *real, QWidget *parent)
{
    auto *stack = new QStackedLayout;
    stack->addWidget(new QLabel(QStringLiteral(" "), parent));
    stack->addWidget(real);
    stack->setCurrentIndex(0);
    return stack;
}

}

Main_window::Main_window(Engine &engine, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint),
      engine(engine)
{
    const QString t1 = tr_main(
        "Здесь отображается наличие связи с используемым нами сервером\n"
        "QUVO-LoRa.\n"
        "\n"
        "«нет» означает, что связи с сервером QUVO-LoRa в данный момент нет\n"
        "(и мы, скорее всего, выжидаем задержку, прежде чем снова попытаться\n"
        "установить эту связь).\n"
        "\n"
        "«старт» означает, что установление соединения с сервером QUVO-LoRa\n"
        "начато, и первый отклик от сервера уже получен (успешно установлено\n"
        "соединение TCP/IP с этим сервером), но ещё не завершены\n"
        "формальности, которые необходимо выполнить перед тем, как можно\n"
        "будет использовать это соединение (например, наша авторизация на\n"
        "этом сервере).\n"
        "\n"
        "«есть» означает, что соединение с сервером QUVO-LoRa в данный\n"
        "момент существует и готово к использованию.\n"
        "\n"
        "При возникновении проблем со связью имеет смысл посмотреть\n"
        "сообщения об ошибках, записанные программой в файл журнала\n"
        "(«%1»).").arg(QString::fromUtf8(log_file_name()));
    const QString t2 = tr_main(
        "Здесь отображается общее количество радиомодемов, подлежащих\n"
        "обслуживанию нашей программой (количество радиомодемов, упомянутых\n"
        "в файле «%1»).").arg(settings.devices_file);
    const QString t3 = tr_main(
        "Здесь отображается количество радиомодемов, которые подлежат\n"
        "обслуживанию нашей программой, и при этом доступны нашей программе\n"
        "(точнее, сервер QUVO-LoRa, с которым программа имеет в данный\n"
        "момент связь, сообщил, что эти радиомодемы имеют на нём\n"
        "аккаунт).\n"
        "\n"
        "Для каждого такого радиомодема наша программа создаёт отдельный\n"
        "TCP-сервер, к которому может подключаться клиент, желающий получить\n"
        "доступ к устройствам, подключенным к этому радиомодему через RS-232\n"
        "или RS-485.");
    const QString t4 = tr_main(
        "Здесь отображается, к скольким TCP-серверам, созданным нашей\n"
        "программой для предоставления доступа к радиомодемам (см. выше), в\n"
        "данный момент подключены клиенты.\n"
        "\n"
        "К каждому созданному нами TCP-серверу в каждый момент времени может\n"
        "быть подключен только один клиент. Если к серверу подключается\n"
        "новый клиент, программа разрывает сеанс связи со старым клиентом.");
    const QString t5 = tr_main(
        "Если вы нажмёте эту кнопку, будет открыто окно со списком\n"
        "радиомодемов, подлежащих обслуживанию данной программой. С помощью\n"
        "этого окна вы сможете добавить радиомодемы в этот список, удалить\n"
        "радиомодемы из списка или изменить параметры радиомодемов, входящих\n"
        "в список.");
    const QString t6 = tr_main(
        "Если вы нажмёте эту кнопку, будет открыто окно с информацией о\n"
        "данной программе.");
    const QString t7 = tr_main("Если вы нажмёте эту кнопку, работа программы будет завершена.");
    const QString text_link = tr_main("Соединение с сервером QUVO-LoRa: ");
    const QString text_served = tr_main("Радиомодемов, подлежащих обслуживанию: ");
    const QString text_reachable = tr_main("... из них доступных для связи: ");
    const QString text_clients = tr_main("... из них используемых клиентами: ");
    const QString text_devices = tr_main("Список");
    const QString text_about = tr_main("О программе");
    const QString text_exit = tr_main("Выйти");
    word_none = tr_main("нет");
    word_start = tr_main("старт");
    word_ready = tr_main("есть");

    init_fonts(this);
    setWindowTitle(QStringLiteral("%1 %2").arg(QString::fromUtf8(build_info::program_name),
                                               QString::fromUtf8(build_info::version)));

    const QFontMetrics metrics(font_main(), this);
    const int count_width = 10 * max_digit_width(metrics);
    const int state_width = std::max({metrics.horizontalAdvance(word_none),
                                      metrics.horizontalAdvance(word_start),
                                      metrics.horizontalAdvance(word_ready)});

    state_label = new Label_with_size(word_none, state_width, this);
    state_label->setObjectName(QStringLiteral("state"));
    set_text_colour(state_label, colour_none);
    state_label->setToolTip(t1);
    served_label = new Label_with_size(QString::number(served_devices.size()), count_width, this);
    served_label->setObjectName(QStringLiteral("served"));
    served_label->setToolTip(t2);
    reachable_label = new Label_with_size(QStringLiteral("0"), count_width, this);
    set_text_colour(reachable_label, colour_reachable);
    reachable_label->setObjectName(QStringLiteral("reachable"));
    reachable_label->setToolTip(t3);
    clients_label = new Label_with_size(QStringLiteral("0"), count_width, this);
    set_text_colour(clients_label, colour_clients);
    clients_label->setObjectName(QStringLiteral("clients"));
    clients_label->setToolTip(t4);

    auto *btn_devices = new QPushButton(text_devices, this);
    btn_devices->setToolTip(t5);
    connect(btn_devices, &QPushButton::clicked, this, &Main_window::on_btn_devices_clicked);

    auto *buttons = new QDialogButtonBox(Qt::Horizontal, this);
    buttons->addButton(text_about, QDialogButtonBox::HelpRole)->setToolTip(t6);
    buttons->addButton(text_exit, QDialogButtonBox::RejectRole)->setToolTip(t7);
    connect(buttons, &QDialogButtonBox::helpRequested, this, &Main_window::on_btn_about_clicked);
    connect(buttons, &QDialogButtonBox::rejected, this, &Main_window::on_btn_exit_clicked);

    stacks[0] = blank_or(plain_label(text_reachable, t3, this), this);
    stacks[1] = blank_or(reachable_label, this);
    stacks[2] = blank_or(plain_label(text_clients, t4, this), this);
    stacks[3] = blank_or(clients_label, this);

    const Qt::Alignment cell = Qt::AlignLeft | Qt::AlignVCenter;
    auto *grid = new QGridLayout(this);
    grid->addWidget(plain_label(text_link, t1, this), 0, 0, cell);
    grid->addWidget(state_label, 0, 1, cell);
    grid->addWidget(plain_label(text_served, t2, this), 1, 0, cell);
    grid->addWidget(served_label, 1, 1, cell);
    grid->addWidget(btn_devices, 1, 2, cell);
    grid->addLayout(stacks[0], 2, 0, cell);
    grid->addLayout(stacks[1], 2, 1, cell);
    grid->addLayout(stacks[2], 3, 0, cell);
    grid->addLayout(stacks[3], 3, 1, cell);
    grid->addWidget(buttons, 4, 0, 1, 3);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    register_main_window(this);
}

Main_window::~Main_window()
{
    unregister_main_window(this);
}

void Main_window::show_counts(bool shown)
{
    for (QStackedLayout *stack : stacks)
        stack->setCurrentIndex(shown ? 1 : 0);
}

void Main_window::on_servers_changed()
{
    view = take_servers_view();
    if (view.flags & link_ready) {
        state_label->setText(word_ready);
        set_text_colour(state_label, colour_ready);
        reachable_label->setText(QString::number(view.servers));
        clients_label->setText(QString::number(view.clients));
        show_counts(true);
    } else if (view.flags & link_started) {
        state_label->setText(word_start);
        set_text_colour(state_label, colour_start);
        show_counts(false);
    } else {
        state_label->setText(word_none);
        set_text_colour(state_label, colour_none);
        show_counts(false);
    }
    emit display_changed();
}

void Main_window::on_clients_changed()
{
    const Link_view latest = take_clients_view();
    // The clients count is shown only while the link is ready; the next
    // servers_changed brings it up to date otherwise.
    if (latest.flags & link_ready) {
        view.clients = latest.clients;
        clients_label->setText(QString::number(view.clients));
        emit display_changed();
    }
}

void Main_window::update_served_count()
{
    served_label->setText(QString::number(served_devices.size()));
    emit display_changed();
}

QString Main_window::status_text() const
{
    if (view.flags & link_ready) {
        return tr_main("Соединение с сервером QUVO-LoRa: %1. Радиомодемов, подлежащих обслуживанию: %2, из них "
                       "доступных для связи: %3, из них используемых клиентами: %4.")
            .arg(state_label->text(), served_label->text(), reachable_label->text(), clients_label->text());
    }
    return tr_main("Соединение с сервером QUVO-LoRa: %1. Радиомодемов, подлежащих обслуживанию: %2.")
        .arg(state_label->text(), served_label->text());
}

void Main_window::on_btn_devices_clicked()
{
    try {
        Dialog_devices dialog(this, &engine);
        connect(&dialog, &Dialog_devices::served_count_changed, this, &Main_window::update_served_count);
        dialog.exec();
    } catch (const std::exception &e) {
        report_exception(e, this);
    }
}

void Main_window::on_btn_about_clicked()
{
    try {
        Dialog_about dialog(this);
        dialog.exec();
    } catch (const std::exception &e) {
        report_exception(e, this);
    }
}

void Main_window::on_btn_exit_clicked()
{
    if (may_leave())
        exit_in_order();
}

bool Main_window::may_leave()
{
    if (leaving || devices_unsaved().isEmpty())
        return true;
    // Once more before the changes are lost; the failure has been logged.
    try {
        write_devices();
        return true;
    } catch (const std::exception &) {
    }
    QMessageBox box(this);
    init_fonts(&box);
    box.setTextFormat(Qt::PlainText);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(error_title());
    box.setText(devices_unsaved() + QLatin1String("\n\n")
                + tr_main("Если выйти сейчас, изменения списка радиомодемов будут потеряны."));
    QPushButton *leave = box.addButton(tr_main("Выйти без сохранения"), QMessageBox::DestructiveRole);
    QPushButton *stay = box.addButton(tr_main("Остаться"), QMessageBox::RejectRole);
    box.setDefaultButton(stay);
    box.setEscapeButton(stay);
    exec_box(box, stderr);
    leaving = box.clickedButton() == leave;
    if (leaving)
        log_devices_lost();
    return leaving;
}

void Main_window::exit_in_order()
{
    leaving = true;
    int result = QDialog::Rejected;
    bool left_by_user = false;
    try {
        {
            QMutexLocker lock(&state_mutex);
            state_flags |= shutdown_requested;
        }
        emit shutdown();
        Dialog_exit dialog(this, engine);
        connect(&dialog, &QDialog::rejected, this, [&left_by_user] { left_by_user = true; });
        result = dialog.exec();
        // Rejected without the user: the application was told to end while the dialog
        // waited (a fatal stop of the link), and its exit code must stand.
        if (result == QDialog::Rejected && !left_by_user)
            return;
    } catch (const std::exception &e) {
        report_exception(e, this);
    }
    if (result == QDialog::Accepted) {
        close();
        QCoreApplication::exit(0);
        return;
    }
    if (result != QDialog::Rejected)
        log_unexpected(place_code(2, 121));
    // Peers whose connections are still open find out on their own.
    std::fflush(nullptr);
    std::_Exit(0);
}

// The window's close control asks as the exit button does.
void Main_window::closeEvent(QCloseEvent *event)
{
    if (!may_leave()) {
        event->ignore();
        return;
    }
    leaving = true;
    QWidget::closeEvent(event);
}

void Main_window::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_F1) {
        on_btn_about_clicked();
        return;
    }
    QWidget::keyPressEvent(event);
}
