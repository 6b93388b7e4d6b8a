// How the list's cells are drawn: a grid in the palette's colours, a
// selection that stays visible when the list loses the focus, the file
// column showing the file's name only, and tooltips with the whole path and
// any text the column is too narrow for. The cells keep their text (the
// file column its whole path). Main thread only.
#pragma once

#include <QStyledItemDelegate>

namespace sonorix::ui {

class ListDelegate : public QStyledItemDelegate {
public:
    explicit ListDelegate(QObject* parent = nullptr) : QStyledItemDelegate(parent) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

// The tooltip of a cell: the file column's whole path, the cell's own
// tooltip, or its text when cut to width pixels; empty when none is needed.
QString cell_tooltip(const QModelIndex& index, const QFontMetrics& metrics, int width);

}  // namespace sonorix::ui
