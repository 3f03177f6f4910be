#pragma once

#include "config/devices.h"
#include "ui/table_with_proxy.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <vector>

class QLineEdit;

// The list of served modems with the live state of each, and the buttons that add,
// change and delete entries. Every change is saved to the devices file at once and
// makes the server link start, replace or stop TCP servers.
class Dialog_devices : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY(Dialog_devices)

public:
    explicit Dialog_devices(QWidget *parent);
    ~Dialog_devices() override;

    enum Column { eui_column, port_column, frame_column, avail_column, client_column, name_column,
                  column_count };

    // What the status columns of one row show.
    struct Row_status {
        bool available = false;     // a TCP server runs for the modem
        bool client = false;        // and has a client
        bool listed = false;        // the network server lists the modem
        QString name;
    };

    class Table : public Table_with_proxy {
    public:
        explicit Table(QWidget *parent);

        // One row per served modem in EUI order: EUI, port and maximum frame; status blank.
        void fill_devices();
        std::vector<Eui> row_euis() const;
        // The status of the rows in order; names only when with_names.
        void show_status(const std::vector<Row_status> &status, bool with_names);
        void clear_status();

    protected:
        int sizeHintForColumn(int column) const override;

    private:
        void set_cell(int row, int column, const QString &text, const QBrush &brush);

        int preferred_widths[column_count];
    };

    Table &table_view() const { return *table; }

signals:
    void update_servers();

private slots:
    void on_filter_field_changed(int index);
    void on_filter_text_changed(const QString &text);
    void on_btn_add_clicked();
    void on_btn_delete_clicked();
    void on_btn_edit_clicked();
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
    Served_devices::iterator record_of(QStandardItem *item);
    // Saves the list, tells the link and the main window, and shows the new list.
    void changed(bool count_changed);
    void refresh();

    Table *table;
    QLineEdit *filter;
    bool status_shown = false;
};
