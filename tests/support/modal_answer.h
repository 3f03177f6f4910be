#pragma once

#include "ui/error_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QStringList>
#include <QWidget>

#include <functional>

// Waits, from inside the event loop of a modal dialog, for the active modal widget
// of type T and hands it to act once. If none comes in time, whatever modal widget
// is up is closed, so a test fails instead of hanging. Message boxes are shown for it
// even on the offscreen platform, where the program writes them out instead.
template<class T>
void answer_modal(std::function<void(T *)> act, int max_polls = 400)
{
    set_boxes_shown_offscreen(true);
    auto *timer = new QTimer(qApp);
    auto polls = std::make_shared<int>(0);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, polls, act, max_polls]() {
        QWidget *modal = QApplication::activeModalWidget();
        if (T *widget = qobject_cast<T *>(modal)) {
            timer->stop();
            timer->deleteLater();
            act(widget);
            return;
        }
        if (++*polls < max_polls)
            return;
        timer->stop();
        timer->deleteLater();
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
    });
    timer->start();
}

// Closes the next message box and gives its text.
inline void close_box(QString *text)
{
    answer_modal<QMessageBox>([text](QMessageBox *box) {
        *text = box->text();
        box->done(0);
    });
}

// Runs accept() of a dialog whose check fails and gives the text of the box it shows.
template<class D>
QString refused_message(D &dialog)
{
    QString text;
    close_box(&text);
    dialog.accept();
    return text;
}

// The push button with this caption among the children of parent; nullptr when there is none.
QPushButton *button(QWidget &parent, const QString &caption);

// What a message box looked like when it was closed with its escape button.
struct Seen_box {
    bool shown = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::AutoText;
    QStringList captions;
    QString tool_tip;
};

// Runs a call that shows a modal message box, and closes the box with its escape button as a
// user would; shown, as for answer_modal, even on the offscreen platform.
Seen_box close_box_of(const std::function<void()> &call);
