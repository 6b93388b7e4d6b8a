#include "app/wrap_check_box.h"

#include <algorithm>

#include <QStyleOptionButton>
#include <QStylePainter>

namespace sonorix::ui {

namespace {
constexpr int kFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
constexpr int kNarrowest = 160;  // the caption's column never gets narrower
}  // namespace

WrapCheckBox::WrapCheckBox(const QString& text, QWidget* parent) : QCheckBox(text, parent) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

int WrapCheckBox::indicator_width() const {
    return style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this) +
           style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, this);
}

int WrapCheckBox::line_height() const {
    return std::max(fontMetrics().height(), style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, this)) + 2;
}

int WrapCheckBox::heightForWidth(int width) const {
    const QRect text =
        fontMetrics().boundingRect(QRect(0, 0, std::max(width - indicator_width(), 1), 100000), kFlags, this->text());
    return std::max(text.height() + 2, line_height());
}

QSize WrapCheckBox::sizeHint() const {
    const int width = indicator_width() + fontMetrics().horizontalAdvance(text()) + 2;
    return {width, heightForWidth(width)};
}

QSize WrapCheckBox::minimumSizeHint() const {
    return {std::min(sizeHint().width(), indicator_width() + kNarrowest), line_height()};
}

void WrapCheckBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    // The box beside the first line, then the caption in the rest.
    QStyleOptionButton box;
    initStyleOption(&box);
    box.text.clear();
    box.rect = QRect(0, 0, indicator_width(), line_height());
    painter.drawControl(QStyle::CE_CheckBox, box);
    const QRect text(indicator_width(), 1, width() - indicator_width(), height() - 1);
    style()->drawItemText(&painter, text, kFlags, palette(), isEnabled(), this->text(), QPalette::WindowText);
}

}  // namespace sonorix::ui
