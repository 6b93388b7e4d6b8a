// The analysis dialog shown while a peak measurement runs.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTimer;

namespace sonorix::ui {

class Flow;

class Tanalyzeaudio : public QDialog {
public:
    explicit Tanalyzeaudio(QWidget* owner = nullptr);

    QLabel* Label1;  // "Analyzing" and its dots
    QLabel* Label2;  // the file's name
    QPushButton* Button1;
    QTimer* timer1;
    Flow* flow = nullptr;  // the run being measured: its Cancel stops it

    void timer1Timer();
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;  // fits the file name to the width
    void reject() override;  // Esc and the window manager's close act as Cancel
};

}  // namespace sonorix::ui
