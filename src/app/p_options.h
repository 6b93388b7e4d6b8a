// The options dialog: the prefix of the list page's target files and the
// true-peak ceiling of the loudness target, kept in their edits and
// remembered with the window's settings.
#pragma once

#include <QDialog>

class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace sonorix::ui {

class Toptions : public QDialog {
public:
    explicit Toptions(QWidget* owner = nullptr);

    QLabel* Label1;
    QLineEdit* ed_prefix;
    QLabel* label_ceiling;
    QDoubleSpinBox* ed_ceiling;  // dBTP
    QPushButton* Button1;
    QPushButton* bt_reset;  // "Reset to defaults": every remembered setting

    // Lets through Backspace, "-", digits, ASCII letters and "_".
    static bool ed_prefixKeyPress(char16_t Key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace sonorix::ui
