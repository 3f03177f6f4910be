#include "ui/dialog_exit.h"

#include "base/log.h"
#include "exchange/engine.h"
#include "ui/fonts.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QMetaObject>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

struct Texts {
    QString title = QCoreApplication::translate("dialog_exit", "Выходим");
    QString caption = QCoreApplication::translate("dialog_exit", "Выйти немедленно");
    QString tool_tip = QCoreApplication::translate("dialog_exit",
        "Качественно написанная программа перед завершением работы должна\n"
        "сообщить противоположным сторонам всех сетевых соединений о\n"
        "закрытии этих соединений.\n"
        "\n"
        "Если этот процесс занимает слишком много времени, вы можете\n"
        "прервать его и завершить программу мгновенно. Ничего плохого из-за\n"
        "этого, скорее всего, не случится - противоположные стороны через\n"
        "некоторое время заметят неработоспособность соединений и сами\n"
        "закроют их.");
};

const Texts &texts()
{
    static const Texts kept;
    return kept;
}

}

Dialog_exit::Dialog_exit(QWidget *parent, Engine &engine)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    init_fonts(this);
    setWindowTitle(texts().title);

    auto *layout = new QVBoxLayout(this);
    auto *buttons = new QDialogButtonBox(Qt::Horizontal, this);
    QPushButton *exit_now = buttons->addButton(texts().caption, QDialogButtonBox::DestructiveRole);
    exit_now->setToolTip(texts().tool_tip);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    if (!connect(exit_now, &QPushButton::clicked, this, &QDialog::reject))
        log_unexpected(place_code(10, 1));
    if (!connect(&engine, &QThread::finished, this, &QDialog::accept))
        log_unexpected(place_code(10, 2));
    // The thread may have ended before the connection above was made (after an abnormal
    // end, or quickly after the shutdown request): its finished signal has then passed.
    if (engine.body_ended())
        QMetaObject::invokeMethod(this, &QDialog::accept, Qt::QueuedConnection);
}
