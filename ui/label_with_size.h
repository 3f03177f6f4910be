#pragma once

#include <QLabel>

// A label that asks its layout for a fixed width, so that a changing text
// (a count, a state word) never makes the window jump.
class Label_with_size : public QLabel {
    Q_OBJECT
public:
    Label_with_size(const QString &text, int width, QWidget *parent = nullptr);
    ~Label_with_size() override;

    QSize sizeHint() const override;

private:
    Q_DISABLE_COPY(Label_with_size)
    int fixed_width;
};
