#pragma once

#include "config/devices.h"

#include <QString>
#include <QStringList>

class QComboBox;
class QLineEdit;
class QVBoxLayout;
class QWidget;

// Keeps a line edit at least wide enough for the given number of hexadecimal digits.
void fit_to_hex_digits(QLineEdit &edit, int digits);

// Keeps a combo box at least wide enough to show its longest item whole.
void fit_to_items(QComboBox &box);

// The filter row of the device tables: the filter text and the column it is looked for in,
// one of the fields given or, last, all of them.
struct Filter_row {
    QLineEdit *text;
    QComboBox *field;
};
Filter_row add_filter_row(QVBoxLayout &rows, const QStringList &fields);

// The EUI, TCP port, maximum frame and mode rows of the add and edit dialogs, lined up as a
// form: each a label and a field with the same tool tip.
class Device_fields {
public:
    struct Row_setup {
        QString text;
        QString tip;
        int max_length = 0;     // 0: no limit
    };

    // eui_extra, when given, closes the EUI row (the add dialog's pick button).
    Device_fields(QVBoxLayout &rows, const Row_setup &eui, const Row_setup &port,
                  const Row_setup &frame, QWidget *eui_extra);

    QLineEdit &eui_edit() const { return *eui_field; }
    QLineEdit &port_edit() const { return *port_field; }
    QLineEdit &frame_edit() const { return *frame_field; }
    QComboBox &mode_box() const { return *mode_field; }
    void set_mode(Device_mode mode);

    // Reads the fields in order; the first bad one throws Err and is kept as the one
    // at fault.
    Device_entry read();
    // After a refused value: the field at fault, or the one that clashes with another modem,
    // takes the focus with its text selected, so that the user types over it.
    void select_fault();
    void select_clash(Served_devices_model::Clash clash);

private:
    QLineEdit *eui_field;
    QLineEdit *port_field;
    QLineEdit *frame_field;
    QComboBox *mode_field;
    QLineEdit *fault = nullptr;
};
