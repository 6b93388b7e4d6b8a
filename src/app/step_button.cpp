#include "app/step_button.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QWheelEvent>

namespace sonorix::ui {

TNCTStepButton2::TNCTStepButton2(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

void TNCTStepButton2::SetValue(int value) {
    value_ = value;
    update();
}

void TNCTStepButton2::step(int delta) {
    const int next = std::clamp(value_ + delta, Min, Max);
    if (next == value_) return;
    SetValue(next);
    if (OnValueChange) OnValueChange(this, value_);
}

void TNCTStepButton2::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QColor face = palette().color(QPalette::Button);
    for (int half = 0; half < 2; ++half) {
        QRectF h(r.left(), r.top() + half * r.height() / 2, r.width(), r.height() / 2);
        const bool down = pressed_ == (half == 0 ? 1 : -1);
        QLinearGradient g(h.topLeft(), h.bottomLeft());
        g.setColorAt(0, down ? face.darker(120) : face.lighter(110));
        g.setColorAt(1, down ? face.darker(105) : face.darker(108));
        p.setPen(palette().color(QPalette::Mid));
        p.setBrush(g);
        p.drawRoundedRect(h.adjusted(0, half ? 0.5 : 0, 0, half ? 0 : -0.5), 3, 3);
        const QPointF c = h.center();
        const double w = std::min(h.width(), h.height()) * 0.28;
        QPainterPath arrow;
        if (half == 0) {
            arrow.moveTo(c.x() - w, c.y() + w / 2);
            arrow.lineTo(c.x() + w, c.y() + w / 2);
            arrow.lineTo(c.x(), c.y() - w / 2);
        } else {
            arrow.moveTo(c.x() - w, c.y() - w / 2);
            arrow.lineTo(c.x() + w, c.y() - w / 2);
            arrow.lineTo(c.x(), c.y() + w / 2);
        }
        arrow.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(palette().color(isEnabled() ? QPalette::ButtonText : QPalette::Mid));
        p.drawPath(arrow);
    }
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(1, 1, -2, -2));
    }
}

void TNCTStepButton2::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    pressed_ = event->position().y() < height() / 2.0 ? 1 : -1;
    step(pressed_);
    QTimer::singleShot(120, this, [this] {
        pressed_ = 0;
        update();
    });
}

void TNCTStepButton2::wheelEvent(QWheelEvent* event) {
    const int delta = event->angleDelta().y();
    if (delta != 0) step(delta > 0 ? 1 : -1);
    event->accept();
}

void TNCTStepButton2::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Up)
        step(1);
    else if (event->key() == Qt::Key_Down)
        step(-1);
    else if (event->key() == Qt::Key_PageUp)
        step(10);
    else if (event->key() == Qt::Key_PageDown)
        step(-10);
    else
        QWidget::keyPressEvent(event);
}

}  // namespace sonorix::ui
