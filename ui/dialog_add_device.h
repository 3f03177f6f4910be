#pragma once

#include "ui/device_fields.h"

#include <QDialog>

#include <memory>

// Adds a modem to the served devices. Accepting checks the fields and refuses
// duplicates of EUI and port; the dialog then has inserted the modem into
// served_devices and served_ports. Saving the devices file and telling the link
// is the caller's part.
class Dialog_add_device : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY(Dialog_add_device)

public:
    explicit Dialog_add_device(QWidget *parent);
    ~Dialog_add_device() override;

    const Device_fields &fields() const { return *field_rows; }

public slots:
    void accept() override;

private slots:
    void on_btn_eui_clicked();

private:
    std::unique_ptr<Device_fields> field_rows;
};

// The smallest port from 3000 up that no served modem uses, or -1 when all are used.
int first_free_port();
