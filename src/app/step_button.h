// The volume step control of the single-file page: an integer Value shown as
// up and down halves; clicks, the wheel and the arrow keys change it by one
// within its own range and raise OnValueChange. Setting Value from code
// raises nothing.
#pragma once

#include <functional>

#include <QWidget>

namespace sonorix::ui {

class TNCTStepButton2 : public QWidget {
public:
    explicit TNCTStepButton2(QWidget* parent = nullptr);

    int Value() const { return value_; }
    void SetValue(int value);
    int Min = 0;
    int Max = 1000;

    std::function<void(QObject* ASender, int Value)> OnValueChange;

    QSize sizeHint() const override { return {34, 40}; }

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void step(int delta);
    int value_ = 0;
    int pressed_ = 0;  // +1 upper half, -1 lower half while the mouse is down
};

}  // namespace sonorix::ui
