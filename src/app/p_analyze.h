// The analysis dialog shown while a peak measurement runs.
#pragma once

#include <QDialog>
#include <QElapsedTimer>

class QLabel;
class QProgressBar;
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
    QProgressBar* progress_files;  // the files measured
    QLabel* label_count;           // "file k of n"
    QLabel* label_time_left;
    QTimer* timer1;
    Flow* flow = nullptr;  // the run being measured: its Cancel stops it

    void timer1Timer();
    void Button1Click();
    // File k of n is being measured; the first starts the estimate.
    void show_count(int k, int n);

private:
    QElapsedTimer files_clock_;

protected:
    void showEvent(QShowEvent* event) override;  // fits the file name to the width
    void reject() override;                      // Esc and the window manager's close act as Cancel
};

}  // namespace sonorix::ui
