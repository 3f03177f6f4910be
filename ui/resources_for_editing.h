#pragma once

#include <QObject>
#include <QString>

// The device dialogs' own texts, built once per process on first use. A QObject only
// for its translation context.
class Resources_for_editing : public QObject {
    Q_OBJECT
public:
    static const Resources_for_editing &get();

    // The first port that the add dialog proposes, and the number in port_tip_new.
    static constexpr int first_port = 3000;

    QString title_devices;
    QString title_add;
    QString ask_delete;
    QString title_edit;
    QString port_tip_new;
    QString add_button;
    QString add_tip;
    QString delete_button;
    QString delete_tip;
    QString edit_button;
    QString edit_tip;
    QString close_button;
    QString close_tip;
    QString pick_button;
    QString pick_tip;
    QString add_ok_button;
    QString add_ok_tip;
    QString add_cancel_button;
    QString add_cancel_tip;
    QString yes_button;
    QString yes_tip;
    QString no_button;
    QString no_tip;
    QString set_button;
    QString set_tip;
    QString edit_cancel_button;
    QString edit_cancel_tip;

private:
    Resources_for_editing();
    Q_DISABLE_COPY(Resources_for_editing)
};
