#pragma once

#include "ui/device_fields.h"

#include <QDialog>

#include <memory>

// Changes the EUI, TCP port or maximum frame of one served modem. Accepting checks
// the fields, refuses duplicates and an unchanged entry, and changes served_devices
// and served_ports; saving and telling the link is the caller's part.
class Dialog_edit_device : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY(Dialog_edit_device)

public:
    Dialog_edit_device(Eui eui, Served_devices::iterator record, QWidget *parent);
    ~Dialog_edit_device() override;

    const Device_fields &fields() const { return *field_rows; }
    // The entry being edited; a new one once the EUI was changed.
    Served_devices::iterator record() const { return edited; }

public slots:
    void accept() override;

private:
    void apply(const Device_entry &entry);

    std::unique_ptr<Device_fields> field_rows;
    Eui old_eui;
    Served_devices::iterator edited;
};
