#include "ui/table_with_proxy.h"

#include "base/log.h"
#include "ui/error_box.h"
#include "ui/fonts.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>

#include <algorithm>

namespace {

constexpr int preferred_lines = 40;

// Module of the row-selection rule, shared by every device dialog.
constexpr unsigned selection_module = 3;

}

Table_with_proxy::Table_with_proxy(unsigned short no_scroll_bar_code, QWidget *parent)
    : QTableView(parent)
    , source_model(new QStandardItemModel(this))
    , proxy(new QSortFilterProxyModel(this))
    , no_scroll_bar_code(no_scroll_bar_code)
{
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    // A bold header would no longer fit its width, and says nothing a selected row does not.
    horizontalHeader()->setHighlightSections(false);
    proxy->setFilterCaseSensitivity(Qt::CaseInsensitive);
    proxy->setSourceModel(source_model);
    setModel(proxy);
}

void Table_with_proxy::set_filter_text(const QString &text)
{
    proxy->setFilterFixedString(text);
}

void Table_with_proxy::set_filter_column(int column)
{
    proxy->setFilterKeyColumn(column);
}

QStandardItem *Table_with_proxy::selected_item(int column)
{
    const QModelIndexList selected = selectedIndexes();
    if (selected.isEmpty()) {
        show_error(QCoreApplication::translate("devices",
                       "Прежде, чем нажимать эту кнопку, надо выбрать строчку в списке "
                       "(щёлкнуть её левой кнопкой мыши)."),
                   window());
        return nullptr;
    }
    unsigned place = 0;
    const int row = selected.front().row();
    if (row < 0)
        place = 1;
    else if (selected.front().column() < 0)
        place = 2;
    QModelIndex found;
    for (int i = 0; place == 0 && i < selected.size(); ++i) {
        const QModelIndex &index = selected[i];
        if (i > 0 && index.row() != row)
            place = 3;
        else if (i > 0 && index.column() < 0)
            place = 4;
        else if (index.column() == column && found.isValid())
            place = 5;
        else if (index.column() == column)
            found = index;
    }
    if (place == 0 && !found.isValid())
        place = 6;
    QModelIndex source_index;
    if (place == 0) {
        source_index = proxy->mapToSource(found);
        if (!source_index.isValid())
            place = 7;
    }
    QStandardItem *item = nullptr;
    if (place == 0) {
        item = source_model->itemFromIndex(source_index);
        if (item == nullptr)
            place = 8;
    }
    if (place != 0)
        report_unexpected(place_code(selection_module, place), window());
    return item;
}

int Table_with_proxy::selected_source_row() const
{
    const QModelIndexList selected = selectionModel()->selectedRows();
    if (selected.isEmpty())
        return -1;
    return proxy->mapToSource(selected.front()).row();
}

void Table_with_proxy::select_source_row(int row)
{
    const QModelIndex shown = proxy->mapFromSource(source_model->index(row, 0));
    if (shown.isValid())
        selectRow(shown.row());
}

QStandardItem *Table_with_proxy::item_in_row_of(const QModelIndex &index, int column)
{
    unsigned place = 0;
    QStandardItem *item = nullptr;
    if (!index.isValid() || index.model() != proxy) {
        place = 9;
    } else {
        const QModelIndex source_index = proxy->mapToSource(proxy->index(index.row(), column));
        if (!source_index.isValid())
            place = 10;
        else if ((item = source_model->itemFromIndex(source_index)) == nullptr)
            place = 12;
    }
    if (place != 0)
        report_unexpected(place_code(selection_module, place), window());
    return item;
}

void Table_with_proxy::fit_columns()
{
    // The last column is only measured: sized to its contents it would stop filling
    // the rest of the table until the next resize of the view.
    const QHeaderView *header = horizontalHeader();
    const int last = source_model->columnCount() - 1;
    int width = 2 * frameWidth();
    for (int column = 0; column <= last; ++column) {
        if (column < last)
            resizeColumnToContents(column);
        width += std::max(sizeHintForColumn(column), header->sectionSizeHint(column));
    }
    if (const QScrollBar *bar = verticalScrollBar())
        width += bar->sizeHint().width();
    else
        log_unexpected(no_scroll_bar_code);
    preferred_width = width;
    updateGeometry();
}

QSize Table_with_proxy::sizeHint() const
{
    return QSize(preferred_width, preferred_lines * line_height());
}
