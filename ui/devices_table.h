#pragma once

#include "config/served_devices_model.h"
#include "ui/table_with_proxy.h"

#include <QString>

#include <vector>

class QBrush;

// The table of the devices dialog: one row per served modem with its EUI, port, maximum
// frame and mode, the live state of each beside them, and when its modem last answered.
class Devices_table : public Table_with_proxy {
public:
    enum Column { eui_column, port_column, frame_column, mode_column, avail_column, client_column,
                  name_column, heard_column, column_count };

    // What the status columns of one row show.
    struct Row_status {
        bool available = false;     // a TCP server runs for the modem
        bool client = false;        // and has a client
        bool listed = false;        // the network server lists the modem
        QString name;
    };

    explicit Devices_table(QWidget *parent);

    // One row per served modem in EUI order: EUI, port, maximum frame and mode; status blank.
    void fill_devices();
    std::vector<Eui> row_euis() const;
    // The status of the rows in order; names only when with_names.
    void show_status(const std::vector<Row_status> &status, bool with_names);
    void clear_status();
    // When each row's modem was last heard (ms since the epoch, 0 for never), shown whether
    // the link is up or not.
    void show_heard(const std::vector<qint64> &heard);

protected:
    int sizeHintForColumn(int column) const override;

private:
    void set_cell(int row, int column, const QString &text, const QBrush &brush);

    int preferred_widths[column_count];
};
