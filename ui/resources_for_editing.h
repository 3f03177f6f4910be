#pragma once

#include <QObject>
#include <QString>

// The device dialogs' own texts, built once per process on first use. A QObject only
// for its translation context.
class Resources_for_editing : public QObject {
    Q_OBJECT
public:
    static const Resources_for_editing &get();

    QString title_devices;
    QString ask_delete;
    QString add_button;
    QString add_tip;
    QString delete_button;
    QString delete_tip;
    QString edit_button;
    QString edit_tip;
    QString close_button;
    QString close_tip;
    QString yes_button;
    QString yes_tip;
    QString no_button;
    QString no_tip;

private:
    Resources_for_editing();
    Q_DISABLE_COPY(Resources_for_editing)
};
