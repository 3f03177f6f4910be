#pragma once

#include <QTableView>

class QSortFilterProxyModel;
class QStandardItem;
class QStandardItemModel;

// A read-only table of whole-row single selection over a model with a
// case-insensitive filter in front of it. The device dialogs fill the source
// model and let the user filter and pick rows.
class Table_with_proxy : public QTableView {
    Q_OBJECT
    Q_DISABLE_COPY(Table_with_proxy)

public:
    // no_scroll_bar_code: the place code logged when the preferred width cannot
    // count a vertical scroll bar.
    Table_with_proxy(unsigned short no_scroll_bar_code, QWidget *parent);

    QStandardItemModel &source() const { return *source_model; }

    // Rows whose filtered column (or any column, for -1) contains the text, case ignored.
    void set_filter_text(const QString &text);
    void set_filter_column(int column);

    // The source item in column c of the selected row. With no row selected the
    // user is told to select one; a broken selection is an internal error. Both
    // give none.
    QStandardItem *selected_item(int column);
    // The source item in column c of the row of a proxy index (a double click).
    QStandardItem *item_in_row_of(const QModelIndex &index, int column);
    // The source row selected, -1 for none; telling nobody.
    int selected_source_row() const;
    // Selects the source row, where the filter shows it.
    void select_source_row(int row);

    // Fits every column but the last, which fills the rest, to its contents, and
    // remembers the width that shows them all.
    void fit_columns();

    QSize sizeHint() const override;

private:
    QStandardItemModel *source_model;
    QSortFilterProxyModel *proxy;
    unsigned short no_scroll_bar_code;
    int preferred_width = 0;
};
