#include "ui/eui_item.h"

#include "ui/fonts.h"

Eui_item::Eui_item(Eui eui)
    : QStandardItem(format_eui(eui))
    , value(eui)
{
    // Every table shows EUIs alike, their digits in columns.
    setFont(font_small_mono());
}

Eui_item *as_eui_item(QStandardItem *item)
{
    if (item == nullptr || item->type() != Eui_item::item_type)
        return nullptr;
    return static_cast<Eui_item *>(item);
}
