// The about box.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace sonorix::ui {

class Tabout : public QDialog {
public:
    explicit Tabout(QWidget* owner = nullptr);

    QLabel* Image1;
    QLabel* Label8;
    QLabel* Label5;
    QLabel* Label3;
    QLabel* Label1;
    QPushButton* Button1;

    void FormShow();
    void Label5Click();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace sonorix::ui
