#include "app/p_options.h"

#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "workflow/loudness.h"

namespace sonorix::ui {

Toptions::Toptions(QWidget* owner) : QDialog(owner, Qt::Dialog) {
    setObjectName("options");
    setWindowTitle("Options");
    resize(392, 179);
    Label1 = new QLabel("Prefix of target files (Multiple files view) ", this);
    Label1->setObjectName("Label1");
    ed_prefix = new QLineEdit(this);
    ed_prefix->setObjectName("ed_prefix");
    ed_prefix->setMaxLength(20);
    ed_prefix->installEventFilter(this);
    // Pasted text obeys the same characters as typed text.
    ed_prefix->setValidator(new QRegularExpressionValidator(QRegularExpression("[-0-9A-Za-z_]*"), ed_prefix));
    label_ceiling = new QLabel("True-peak ceiling of the loudness target", this);
    label_ceiling->setObjectName("label_ceiling");
    ed_ceiling = new QDoubleSpinBox(this);
    ed_ceiling->setObjectName("ed_ceiling");
    ed_ceiling->setRange(kMinTruePeakCeiling, kMaxTruePeakCeiling);
    ed_ceiling->setDecimals(1);
    ed_ceiling->setSingleStep(0.5);
    ed_ceiling->setValue(kDefaultTruePeakCeiling);
    ed_ceiling->setSuffix(" dBTP");
    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    bt_reset = new QPushButton("Reset to defaults", this);
    bt_reset->setObjectName("bt_reset");

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(18, 18, 18, 14);
    grid->addWidget(Label1, 0, 0, 1, 2);
    grid->addWidget(ed_prefix, 1, 0, 1, 2);
    grid->addWidget(label_ceiling, 2, 0);
    grid->addWidget(ed_ceiling, 2, 1);
    grid->setRowStretch(3, 1);
    grid->addWidget(bt_reset, 4, 0, Qt::AlignLeft);
    grid->addWidget(Button1, 4, 1, Qt::AlignRight);
}

bool Toptions::ed_prefixKeyPress(char16_t Key) {
    return Key == 8 || Key == '-' || Key == '_' || (Key >= '0' && Key <= '9') || (Key >= 'A' && Key <= 'Z') ||
           (Key >= 'a' && Key <= 'z');
}

bool Toptions::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ed_prefix && event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        // Keys without a printable character (arrows, Delete, Enter, Esc)
        // act as usual.
        if (!text.isEmpty() && text[0].unicode() >= 0x20 && text[0].unicode() != 0x7f &&
            !ed_prefixKeyPress(text[0].unicode()))
            return true;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace sonorix::ui
