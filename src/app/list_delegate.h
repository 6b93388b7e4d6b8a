// How the list's cells are drawn: a grid in the palette's colours, a
// selection that stays visible when the list loses the focus, the file
// column showing the file's name only, and tooltips with the whole path and
// any text the column is too narrow for. The cells keep their text (the
// file column its whole path). Main thread only.
#pragma once

#include <QHeaderView>
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

namespace sonorix::ui {

// The list's header: a title wraps onto a second line where its column is
// narrow ("Loudness" over "(LUFS)"), so the columns fit without cutting it.
class ListHeader : public QHeaderView {
public:
    explicit ListHeader(QWidget* parent = nullptr) : QHeaderView(Qt::Horizontal, parent) {}

protected:
    QSize sectionSizeFromContents(int logical_index) const override;
    void paintSection(QPainter* painter, const QRect& rect, int logical_index) const override;
};

}  // namespace sonorix::ui
