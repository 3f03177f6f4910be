#pragma once

#include "config/devices.h"

#include <QStandardItem>

// The EUI cell of a modem table: shows the EUI in sixteen upper-case hexadecimal
// digits and keeps the EUI itself, which names the modem that the row stands for.
class Eui_item : public QStandardItem {
public:
    explicit Eui_item(Eui eui);

    Eui eui() const { return value; }

    // Tells an Eui_item apart from the plain items of the other columns.
    static constexpr int item_type = QStandardItem::UserType + 1;
    int type() const override { return item_type; }

private:
    Eui value;
};

// The Eui_item behind a table item, or none when the item is of another kind.
Eui_item *as_eui_item(QStandardItem *item);
