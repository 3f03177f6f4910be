#include "ui/label_with_size.h"

Label_with_size::Label_with_size(const QString &text, int width, QWidget *parent)
    : QLabel(text, parent), fixed_width(width)
{
}

Label_with_size::~Label_with_size() = default;

QSize Label_with_size::sizeHint() const
{
    return QSize(fixed_width, QLabel::sizeHint().height());
}
