// An integer field that takes any digits while it is edited and pulls its
// value into its range when the focus leaves it ("5000" becomes the maximum).
#pragma once

#include <QSpinBox>

namespace sonorix::ui {

class TSpinEdit : public QSpinBox {
public:
    using QSpinBox::QSpinBox;

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};

}  // namespace sonorix::ui
