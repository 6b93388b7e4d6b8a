// The options dialog: the prefix of the list page's target files, kept in its
// edit for the life of the process.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace sonorix::ui {

class Toptions : public QDialog {
public:
    explicit Toptions(QWidget* owner = nullptr);

    QLabel* Label1;
    QLineEdit* ed_prefix;
    QPushButton* Button1;

    // Lets through Backspace, "-", digits, ASCII letters and "_".
    static bool ed_prefixKeyPress(char16_t Key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace sonorix::ui
