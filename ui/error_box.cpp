#include "ui/error_box.h"

#include "base/build_info.h"
#include "base/err.h"
#include "base/log.h"
#include "ui/fonts.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {


const QString &close_caption()
{
    static const QString caption = QCoreApplication::translate("mbox", "Закрыть");
    return caption;
}

const QString &close_tool_tip()
{
    static const QString tip = QCoreApplication::translate(
        "mbox", "Если вы сюда нажмёте, окно с сообщением будет закрыто.\n"
                "Также это окно можно закрыть клавишами 'Esc', 'Enter', 'пробел' и\n'Alt-F4'.");
    return tip;
}

bool boxes_shown_offscreen = false;

// A platform that draws nowhere: the service's offscreen, or the bare minimal one.
bool seen_by_nobody()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

} // namespace

const QString &error_title()
{
    static const QString title = QCoreApplication::translate("err", "%1 %2: ошибка")
                                     .arg(QString::fromUtf8(build_info::program_name),
                                          QString::fromUtf8(build_info::version));
    return title;
}

void set_boxes_shown_offscreen(bool shown)
{
    boxes_shown_offscreen = shown;
}

void exec_box(QMessageBox &box, std::FILE *stream)
{
    if (boxes_shown_offscreen || !seen_by_nobody()) {
        box.exec();
        return;
    }
    QByteArray text = (box.windowTitle() + QLatin1Char('\n') + box.text()).toUtf8();
    if (!text.endsWith('\n'))
        text += '\n';
    std::fwrite(text.constData(), 1, std::size_t(text.size()), stream);
    std::fflush(stream);
}

void add_close_button(QMessageBox &box)
{
    QPushButton *button = box.addButton(close_caption(), QMessageBox::AcceptRole);
    button->setToolTip(close_tool_tip());
    box.setDefaultButton(button);
    box.setEscapeButton(button);
}

void show_error(const QString &text, QWidget *parent)
{
    QMessageBox box(parent);
    init_fonts(&box);
    // Messages quote file names and peer data: never let them pass for markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setWindowTitle(error_title());
    box.setIcon(QMessageBox::Critical);
    add_close_button(box);
    exec_box(box, stderr);
}

void report_exception(const std::exception &e, QWidget *parent)
{
    if (const auto *err = dynamic_cast<const Err *>(&e)) {
        show_error(err->message(), parent);
        return;
    }
    log_text(e.what());
    show_error(QString::fromUtf8(e.what()), parent);
}

void report_unexpected(unsigned short place_code, QWidget *parent)
{
    const QString text = unexpected_error_text(place_code);
    log_line(text);
    show_error(text, parent);
}
