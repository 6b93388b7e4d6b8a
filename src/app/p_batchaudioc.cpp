#include "app/p_batchaudioc.h"

#include <QHBoxLayout>
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
    label_time_left = new QLabel(this);
    label_time_left->setObjectName("label_time_left");
    Button1 = new QPushButton("Cancel", this);
    Button1->setObjectName("Button1");
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->setSpacing(4);
    layout->addWidget(Label1);
    layout->addWidget(progresstotal);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(label_time_left, 1);
    bottom->addWidget(Button1);
    layout->addLayout(bottom);
}

void Tbatchaudioc::Button1Click() {
    if (flow) flow->cancel();
    done(QDialog::Rejected);
}

void Tbatchaudioc::show_percent(int percent) {
    if (percent == 0 || !step_clock_.isValid()) step_clock_.start();
    progresstotal->setValue(percent);
    label_time_left->setText(QString::fromStdString(time_left_text(step_clock_.elapsed() / 1000.0, percent / 100.0)));
}

void Tbatchaudioc::reject() {
    if (Button1->isEnabled()) Button1Click();
}

}  // namespace sonorix::ui
