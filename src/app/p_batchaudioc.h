// The progress dialog of the conversions.
#pragma once

#include <QDialog>

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
    Flow* flow = nullptr;  // the run whose progress shows: its Cancel stops it

    void Button1Click();

protected:
    void reject() override;  // Esc is Cancel
};

}  // namespace sonorix::ui
