#include "app/flow.h"

#include <cmath>

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

std::string time_left_text(double elapsed_seconds, double done) {
    if (!(done >= 0.02) || done >= 1 || elapsed_seconds < 1) return "";
    const long left = std::lround(elapsed_seconds * (1 - done) / done);
    if (left < 60) return std::to_string(left) + " s left";
    const std::string seconds = std::to_string(left % 60);
    return std::to_string(left / 60) + " min " + (seconds.size() < 2 ? "0" : "") + seconds + " s left";
}

void show_progress(Flow& flow, const char* status) {
    batchaudioc->flow = &flow;
    batchaudioc->Label1->setText(status);
    batchaudioc->show_percent(0);
    batchaudioc->Button1->setEnabled(true);
    if (!batchaudioc->isVisible()) show_modal(*batchaudioc);
}

void show_checks(Flow& flow) {
    batchaudioc->flow = &flow;
    batchaudioc->Label1->setText("Check the peaks......");
    batchaudioc->show_percent(0);
    batchaudioc->Button1->setEnabled(true);
}

namespace {

void show_task_percent(std::vector<int>& progress, int task, int percent) {
    const auto index = static_cast<size_t>(task);
    if (task < 0 || index >= progress.size()) return;
    progress[index] = percent;
    batchaudioc->show_percent(mean_percent(progress));
}

}  // namespace

void show_task_progress(std::vector<int>& progress, PProgressInfo info) {
    if (const auto percent = task_percent(info->Position, info->Duration)) {
        show_task_percent(progress, info->TaskIndex, *percent);
    }
}

void show_task_ended(std::vector<int>& progress, const TTerminateInfo& info) {
    if (info.Completed) show_task_percent(progress, info.TaskIndex, 100);
}

}  // namespace sonorix::ui
