#include "support/modal_answer.h"

#include <QAbstractButton>

QPushButton *button(QWidget &parent, const QString &caption)
{
    for (QPushButton *b : parent.findChildren<QPushButton *>())
        if (b->text() == caption)
            return b;
    return nullptr;
}

Seen_box close_box_of(const std::function<void()> &call)
{
    set_boxes_shown_offscreen(true);
    Seen_box seen;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll.stop();
        seen.shown = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.format = box->textFormat();
        for (QAbstractButton *button : box->buttons())
            seen.captions << button->text();
        if (QAbstractButton *escape = box->escapeButton()) {
            seen.tool_tip = escape->toolTip();
            escape->click();
        } else {
            box->done(0);
        }
    });
    poll.start();
    call();
    return seen;
}
