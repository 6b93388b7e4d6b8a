// The progress dialog of the conversions.
#pragma once

#include <QDialog>
#include <QElapsedTimer>

class QLabel;
class QProgressBar;
class QPushButton;

namespace sonorix::ui {

class Flow;

class Tbatchaudioc : public QDialog {
public:
    explicit Tbatchaudioc(QWidget* owner = nullptr);

    QLabel* Label1;
    QProgressBar* progresstotal;
    QPushButton* Button1;
    QLabel* label_time_left;
    Flow* flow = nullptr;  // the run whose progress shows: its Cancel stops it

    void Button1Click();
    // The bar at percent, and the time left of the step it began at 0.
    void show_percent(int percent);

private:
    QElapsedTimer step_clock_;

protected:
    void reject() override;  // Esc is Cancel
};

}  // namespace sonorix::ui
