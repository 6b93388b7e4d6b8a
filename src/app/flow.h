// What the window's workflows share: the cancel the analysis and progress
// dialogs call, the shape of a phase's end, and the progress dialog's start
// and bar.
//
// Threads: main thread only. The engine's events arrive through its
// main-thread queue; a flow continues from an event only through one of its
// one-shot timers.
#pragma once

#include <string>
#include <vector>

#include "engine/FFEncode.h"

class QObject;
class QTimer;

namespace sonorix::ui {

// A run the analysis or progress dialog can stop.
class Flow {
public:
    // Marks the run cancelled, then stops its running component and waits:
    // the final notification may arrive while the stop waits, and must find
    // the run cancelled. The handlers close the dialogs.
    virtual void cancel() = 0;
    virtual bool cancelled() const = 0;

protected:
    ~Flow() = default;
};

// The shape every phase's terminate handler shares: one task's end goes to
// task_ended; the phase's own end (TaskIndex < 0) to cancelled_end when the
// run was cancelled, otherwise to phase_ended, which continues through the
// phase's one-shot timer or ends the run.
template <typename TaskEnded, typename CancelledEnd, typename PhaseEnded>
void end_phase(const TTerminateInfo& info, bool cancelled, TaskEnded task_ended, CancelledEnd cancelled_end,
               PhaseEnded phase_ended) {
    if (info.TaskIndex >= 0) {
        task_ended();
    } else if (cancelled) {
        cancelled_end();
    } else {
        phase_ended();
    }
}

// A 2 ms timer named name that its handler stops: a flow's way on from an
// engine event.
QTimer* continuation_timer(QObject* owner, const char* name);

// Starts encoder's tasks three at a time; progress gets a zero for each.
void start_tasks(TFFEncoder& encoder, std::vector<int>& progress);
// The progress dialog for flow's conversions, showing status. A dialog already
// open (a later phase or a second pass) stays; otherwise this returns when it
// closes.
void show_progress(Flow& flow, const char* status);
// The progress dialog, still open, for flow's checks of the targets' peaks.
void show_checks(Flow& flow);
// "2 min 05 s left" (" s left" alone under a minute) from the time a step
// has taken and the share of it done; empty while too little is done to tell.
std::string time_left_text(double elapsed_seconds, double done);

// The bar of the progress dialog: the plain mean of the task percentages. A
// report without a known duration says nothing about the share done.
void show_task_progress(std::vector<int>& progress, PProgressInfo info);
// A task that completed is wholly done, whatever its last report said (the
// start of its last packet, which with long packets is well short of the end).
void show_task_ended(std::vector<int>& progress, const TTerminateInfo& info);

}  // namespace sonorix::ui
