#pragma once

#include "ui/device_fields.h"

#include <QDialog>

#include <memory>

// Changes the EUI, TCP port or maximum frame of one served modem. Accepting checks
// the fields and replaces the modem in served_model, which refuses duplicates and an
// unchanged entry; saving and telling the link is the caller's part.
class Dialog_edit_device : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY(Dialog_edit_device)

public:
    Dialog_edit_device(Eui eui, const Device_params &params, QWidget *parent);
    ~Dialog_edit_device() override;

    const Device_fields &fields() const { return *field_rows; }

public slots:
    void accept() override;

private:
    std::unique_ptr<Device_fields> field_rows;
    // The modem's EUI in the list; the new one once an edit was accepted.
    Eui old_eui;
};
