#include "app/flow.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/dialogs.h"
#include "app/forms.h"
#include "app/p_batchaudioc.h"
#include "workflow/batch_rules.h"

namespace sonorix::ui {

QTimer* continuation_timer(QObject* owner, const char* name) {
    auto* timer = new QTimer(owner);
    timer->setObjectName(name);
    timer->setInterval(2);
    return timer;
}

void start_tasks(TFFEncoder& encoder, std::vector<int>& progress) {
    encoder.ThreadPriority = tpNormal;
    encoder.StartTask(3);
    progress.assign(static_cast<size_t>(encoder.TasksCount()), 0);
}

void show_progress(Flow& flow, const char* status) {
    batchaudioc->flow = &flow;
    batchaudioc->Label1->setText(status);
    batchaudioc->progresstotal->setValue(0);
    batchaudioc->Button1->setEnabled(true);
    if (!batchaudioc->isVisible()) show_modal(*batchaudioc);
}

void show_checks(Flow& flow) {
    batchaudioc->flow = &flow;
    batchaudioc->Label1->setText("Check the peaks......");
    batchaudioc->progresstotal->setValue(0);
    batchaudioc->Button1->setEnabled(true);
}

void show_task_progress(std::vector<int>& progress, PProgressInfo info) {
    const auto percent = task_percent(info->Position, info->Duration);
    const auto index = static_cast<size_t>(info->TaskIndex);
    if (!percent || info->TaskIndex < 0 || index >= progress.size()) return;
    progress[index] = *percent;
    batchaudioc->progresstotal->setValue(mean_percent(progress));
}

}  // namespace sonorix::ui
