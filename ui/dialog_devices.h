#pragma once

#include "config/served_devices_model.h"
#include "ui/devices_table.h"

#include <QDialog>
#include <QPointer>

#include <functional>

class Engine;
class QLabel;
class QLineEdit;
class QModelIndex;
class QStandardItem;
class QTimer;

// The list of served modems with the live state of each, and the buttons that add,
// change and delete entries. Every change is saved to the devices file at once and
// makes the servers start, replace or stop through the engine's relays (without an
// engine, nothing is told and the status shows what the shared state holds).
class Dialog_devices : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY(Dialog_devices)

public:
    explicit Dialog_devices(QWidget *parent, Engine *engine = nullptr);
    ~Dialog_devices() override;

    Devices_table &table_view() const { return *table; }
    // The monitor window last opened from this dialog; none before the first.
    QWidget *last_monitor() const { return monitor; }

signals:
    void update_servers();
    // A modem was added or deleted.
    void served_count_changed();

private slots:
    void on_filter_field_changed(int index);
    void on_filter_text_changed(const QString &text);
    void on_btn_add_clicked();
    void on_btn_delete_clicked();
    void on_btn_edit_clicked();
    void on_btn_monitor_clicked();
    void on_heard_timer_timeout();
    void on_double_click(const QModelIndex &index);
    void on_servers_changed();
    void on_clients_changed();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    // Runs a slot's work; an exception is shown over the dialog instead of leaving the slot.
    void guarded(const std::function<void()> &action);
    void edit(QStandardItem *item);
    void remove(QStandardItem *item);
    // The record behind a row's EUI cell; none, reported, for a row that names no record.
    Served_devices::const_iterator record_of(QStandardItem *item);
    // Saves the list, tells the link and the main window, and shows the new list.
    void changed(bool count_changed);
    void refresh();
    void show_heard();
    void show_unsaved();

    Devices_table *table;
    QLineEdit *filter;
    QLabel *unsaved;
    Engine *engine;
    QTimer *heard_timer;
    QPointer<QWidget> monitor;
    bool status_shown = false;
};
