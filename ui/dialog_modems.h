#pragma once

#include "config/devices.h"
#include "ui/table_with_proxy.h"

#include <QDialog>
#include <QString>

#include <vector>

class Engine;
class QComboBox;
class QLineEdit;

// One modem of the picker's list.
struct Modem_entry {
    Eui eui = 0;
    QString name;
};

// Which modems the picker lists, in the order of its choice box.
enum class Modem_kind {
    used = 0,           // on the server and served by us
    not_used = 1,       // on the server, not served by us
    available = 2,      // on the server
    unavailable = 3,    // served by us, not on the server
    all = 4             // either
};

// The list of one kind, by ascending EUI, from served_devices and reachable_modems
// (the caller holds state_mutex).
std::vector<Modem_entry> modem_list(Modem_kind kind);

// Lets the user pick a modem known to the network server (or to our list of
// served modems) instead of typing its EUI. With an engine, the list follows the server's
// while the picker is open.
class Dialog_modems : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY(Dialog_modems)

public:
    explicit Dialog_modems(QWidget *parent, Engine *engine = nullptr);
    ~Dialog_modems() override;

    // The modem chosen; meaningful once the dialog was accepted.
    Eui chosen_eui() const { return chosen; }

    class Table : public Table_with_proxy {
    public:
        explicit Table(QWidget *parent);
        void fill(const std::vector<Modem_entry> &list);
    };

public slots:
    void accept() override;

private slots:
    void on_filter_index_changed(int index);
    void on_filter_field_changed(int index);
    void on_filter_text_changed(const QString &text);
    void on_double_click(const QModelIndex &index);
    void on_servers_changed();

private:
    bool take(QStandardItem *item);

    Table *table;
    QComboBox *which;
    QLineEdit *filter;
    Eui chosen = 0;
};
