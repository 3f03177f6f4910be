#pragma once

#include <QDialog>

// What the program is, which files it uses and how to configure it.
class Dialog_about : public QDialog {
    Q_OBJECT
public:
    explicit Dialog_about(QWidget *parent);

private:
    Q_DISABLE_COPY(Dialog_about)
};

// The full text that the dialog shows, with the file names in use.
QString about_text();
