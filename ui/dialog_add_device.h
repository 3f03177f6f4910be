#pragma once

#include "ui/device_fields.h"

#include <QDialog>

class Engine;

#include <memory>

// Adds a modem to the served devices. Accepting checks the fields and adds the modem
// to served_model, which refuses duplicates of EUI and port. Saving the devices file
// and telling the link is the caller's part.
class Dialog_add_device : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY(Dialog_add_device)

public:
    // With an engine, the modem picker follows the server's list while it is open.
    explicit Dialog_add_device(QWidget *parent, Engine *engine = nullptr);
    ~Dialog_add_device() override;

    const Device_fields &fields() const { return *field_rows; }

public slots:
    void accept() override;

private slots:
    void on_btn_eui_clicked();

private:
    std::unique_ptr<Device_fields> field_rows;
    Engine *engine;
};
