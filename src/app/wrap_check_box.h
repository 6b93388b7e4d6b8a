// A check box whose caption wraps onto further lines where its column is
// narrower than the caption; a click anywhere on it toggles it.
#pragma once

#include <QCheckBox>

namespace sonorix::ui {

class WrapCheckBox : public QCheckBox {
public:
    WrapCheckBox(const QString& text, QWidget* parent);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

private:
    int indicator_width() const;  // the box and the space after it
    int line_height() const;
};

}  // namespace sonorix::ui
