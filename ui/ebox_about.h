#pragma once

#include <QPlainTextEdit>

// The text box of the About dialog, sized in characters and lines of the main font.
class Ebox_about : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit Ebox_about(QWidget *parent = nullptr);

    QSize sizeHint() const override;

private:
    Q_DISABLE_COPY(Ebox_about)
};
