#include "app/p_analyze.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/flow.h"
#include "workflow/peak_analysis.h"

namespace sonorix::ui {

Tanalyzeaudio::Tanalyzeaudio(QWidget* owner) : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint) {
    setObjectName("analyzeaudio");
    resize(380, 130);
    setMinimumWidth(360);
    Label1 = new QLabel("  ", this);
    Label1->setObjectName("Label1");
    Label2 = new QLabel("  ", this);
    Label2->setObjectName("Label2");
    progress_files = new QProgressBar(this);
    progress_files->setObjectName("progress_files");
    progress_files->setTextVisible(false);
    label_count = new QLabel(this);
    label_count->setObjectName("label_count");
    label_time_left = new QLabel(this);
    label_time_left->setObjectName("label_time_left");
    Button1 = new QPushButton("Cancel", this);
    Button1->setObjectName("Button1");
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    timer1 = new QTimer(this);
    timer1->setObjectName("timer1");
    timer1->setInterval(100);
    connect(timer1, &QTimer::timeout, this, [this] { timer1Timer(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->addWidget(Label1);
    layout->addWidget(Label2);
    layout->addWidget(progress_files);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(label_count);
    bottom->addWidget(label_time_left, 1, Qt::AlignRight);
    bottom->addWidget(Button1);
    layout->addLayout(bottom);
}

void Tanalyzeaudio::timer1Timer() {
    Label1->setText(QString::fromStdString(next_analysis_dots(Label1->text().toStdString())));
}

// Only asks for the stop: the termination handler closes the dialog.
void Tanalyzeaudio::Button1Click() {
    if (flow) flow->cancel();
}

// A name of 46 wide characters must still be read whole: the font shrinks
// until the line fits.
void Tanalyzeaudio::showEvent(QShowEvent* event) {
    QFont font = this->font();
    const int room = width() - 2 * 12;
    while (font.pointSizeF() > 5.5 && QFontMetrics(font).horizontalAdvance(Label2->text()) > room) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    Label2->setFont(font);
    QDialog::showEvent(event);
}

void Tanalyzeaudio::show_count(int k, int n) {
    if (k <= 1 || !files_clock_.isValid()) files_clock_.start();
    progress_files->setRange(0, n);
    progress_files->setValue(k - 1);
    label_count->setText(QString("file %1 of %2").arg(k).arg(n));
    label_time_left->setText(
        QString::fromStdString(time_left_text(files_clock_.elapsed() / 1000.0, n > 0 ? (k - 1.0) / n : 0)));
}

void Tanalyzeaudio::reject() {
    if (Button1->isEnabled()) Button1Click();
}

}  // namespace sonorix::ui
