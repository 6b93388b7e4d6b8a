#include "app/p_batchaudioc.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/flow.h"

namespace sonorix::ui {

Tbatchaudioc::Tbatchaudioc(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("batchaudioc");
    setWindowTitle(" ");
    resize(347, 89);
    setMinimumWidth(300);
    Label1 = new QLabel(" ", this);
    Label1->setObjectName("Label1");
    progresstotal = new QProgressBar(this);
    progresstotal->setObjectName("progresstotal");
    progresstotal->setRange(0, 100);
    progresstotal->setValue(0);
    Button1 = new QPushButton("Cancel", this);
    Button1->setObjectName("Button1");
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->setSpacing(4);
    layout->addWidget(Label1);
    layout->addWidget(progresstotal);
    layout->addWidget(Button1, 0, Qt::AlignRight);
}

void Tbatchaudioc::Button1Click() {
    if (flow) flow->cancel();
    done(QDialog::Rejected);
}

void Tbatchaudioc::reject() {
    if (Button1->isEnabled()) Button1Click();
}

}  // namespace sonorix::ui
