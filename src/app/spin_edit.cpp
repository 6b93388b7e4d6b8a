#include "app/spin_edit.h"

#include <algorithm>

namespace sonorix::ui {

QValidator::State TSpinEdit::validate(QString& input, int&) const {
    if (input.isEmpty()) return QValidator::Intermediate;
    for (QChar c : input) {
        if (!c.isDigit()) return QValidator::Invalid;
    }
    bool ok = false;
    const int value = input.toInt(&ok);
    return ok && value >= minimum() && value <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
}

// Unreadable text is the minimum; the rest is clamped.
void TSpinEdit::fixup(QString& input) const {
    bool ok = false;
    const int value = input.toInt(&ok);
    input = QString::number(ok ? std::clamp(value, minimum(), maximum()) : minimum());
}

}  // namespace sonorix::ui
