#pragma once

#include <QDialog>

class Engine;

// Shown while the exchange thread closes its connections; closes itself when the thread
// has ended, and lets the user end the program at once instead.
class Dialog_exit : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY(Dialog_exit)
public:
    Dialog_exit(QWidget *parent, Engine &engine);
};
