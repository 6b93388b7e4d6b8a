// The splash shown while the forms are created.
#pragma once

#include <QWidget>

class QLabel;

namespace sonorix::ui {

class Tflash : public QWidget {
public:
    explicit Tflash(QWidget* owner = nullptr);
    QLabel* Image1;
};

}  // namespace sonorix::ui
