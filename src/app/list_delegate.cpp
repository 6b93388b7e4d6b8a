#include "app/list_delegate.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QFileInfo>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace sonorix::ui {

namespace {

// The style's margins around a cell's text, both sides together.
constexpr int kTextMargins = 8;

}  // namespace

void ListDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() == 0) option->text = QFileInfo(option->text).fileName();
    // The selection looks the same whether or not the list has the focus.
    option->state |= QStyle::State_Active;
}

void ListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem active(option);
    active.state |= QStyle::State_Active;
    QStyledItemDelegate::paint(painter, active, index);
    // The grid: a line right of and below every cell, in the palette's
    // colour for lines, so it shows on light and dark palettes alike.
    painter->save();
    painter->setPen(option.palette.color(QPalette::Midlight));
    const QRect r = option.rect;
    painter->drawLine(r.topRight(), r.bottomRight());
    painter->drawLine(r.bottomLeft(), r.bottomRight());
    painter->restore();
}

QString cell_tooltip(const QModelIndex& index, const QFontMetrics& metrics, int width) {
    const QString text = index.data(Qt::DisplayRole).toString();
    if (index.column() == 0) return text;
    const QString own = index.data(Qt::ToolTipRole).toString();
    if (!own.isEmpty()) return own;
    return metrics.horizontalAdvance(text) + kTextMargins > width ? text : QString();
}

bool ListDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                             const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip || !index.isValid()) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    const QString tip = cell_tooltip(index, option.fontMetrics, option.rect.width());
    if (tip.isEmpty()) return false;  // the list's own tooltip shows
    QToolTip::showText(event->globalPos(), tip, view->viewport(), option.rect);
    return true;
}

QSize ListHeader::sectionSizeFromContents(int logical_index) const {
    QSize size = QHeaderView::sectionSizeFromContents(logical_index);
    size.setHeight(std::max(size.height(), 2 * fontMetrics().height() + 6));
    return size;
}

void ListHeader::paintSection(QPainter* painter, const QRect& rect, int logical_index) const {
    if (!rect.isValid()) return;
    QStyleOptionHeader option;
    initStyleOption(&option);
    option.rect = rect;
    option.section = logical_index;
    option.textAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    // A title too wide for its column goes on two lines at its first blank.
    QString title = model()->headerData(logical_index, orientation(), Qt::DisplayRole).toString();
    const int blank = title.indexOf(' ');
    if (blank > 0 && fontMetrics().horizontalAdvance(title) + 8 > rect.width()) title[blank] = '\n';
    option.text = title;
    style()->drawControl(QStyle::CE_Header, &option, painter, this);
}

}  // namespace sonorix::ui
