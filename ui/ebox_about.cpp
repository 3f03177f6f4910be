#include "ui/ebox_about.h"

#include "ui/fonts.h"

Ebox_about::Ebox_about(QWidget *parent)
    : QPlainTextEdit(parent)
{
}

QSize Ebox_about::sizeHint() const
{
    return QSize(85 * digit_width(), 60 * line_height());
}
