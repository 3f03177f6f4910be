#pragma once

#include "config/devices.h"
#include "shared/modem_traffic.h"

#include <QWidget>

class QLabel;
class QPushButton;
class QStandardItemModel;
class QTableView;
class QTimer;

// A live view of one modem's exchange: its counts since the program started and a table of
// what went to the modem and to its client, with the events of its clients and its groups.
// A top-level window that lives beside the rest of the program; it closes itself once its
// modem is no longer served. While it is open the exchange thread keeps the modem's rows,
// which it takes in batches a few times a second.
class Monitor_window : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY(Monitor_window)

public:
    enum Column { time_column, what_column, length_column, hex_column, text_column, column_count };
    // How often the rows and counts are taken, and how many rows the table keeps.
    static constexpr int poll_ms = 250;
    static constexpr int rows_shown = 1000;

    Monitor_window(Eui eui, QWidget *parent);
    ~Monitor_window() override;

    Eui modem() const { return eui; }
    const QStandardItemModel &rows() const { return *model; }
    QTableView &table_view() const { return *table; }
    // The selected rows as text, one line each, cells apart by tabs; also put on the clipboard.
    QString copy_selected();
    void set_paused(bool paused);
    void clear();

private slots:
    void on_poll_timer_timeout();
    void on_btn_pause_toggled(bool checked);
    void on_btn_clear_clicked();
    void on_btn_copy_clicked();

private:
    void poll();
    void show_counters(const Modem_counters &counters);
    void append(const Monitor_row &row);

    const Eui eui;
    QStandardItemModel *model;
    QTableView *table;
    QLabel *counters_label;
    QPushButton *pause;
    QTimer *poll_timer;
    bool paused = false;
    quint64 skipped = 0;  // rows taken while paused
};
