// The list page's run "Write ReplayGain tags": every row measured by the
// engine's meter (three at a time), then the tags written into the source
// files themselves, one file at a time, or taken away ("Remove them
// instead", nothing measured). Both phases are work tasks of FFtags under one
// progress dialog, so the window stays live and Cancel stops the run between
// files. The run itself is the workflow's TagRun, shared with sonorix-cli.
//
// Threads: main thread only; the run goes on from an engine event only
// through timer_tags.
#pragma once

#include <memory>
#include <vector>

#include <QObject>

#include "app/flow.h"
#include "engine/FFEncode.h"

class QTimer;
class QTreeWidgetItem;

namespace sonorix {
class TagRun;
}

namespace sonorix::ui {

class Tmain;
struct RunResults;

class TagsFlow : public QObject, public Flow {
public:
    enum class State { Idle, Measuring, Writing, Cancelled };

    explicit TagsFlow(Tmain& window);
    ~TagsFlow() override;

    TFFEncoder FFtags;
    QTimer* timer_tags;
    std::vector<int> task_progress;  // of the running phase's tasks

    State state() const { return state_; }
    void cancel() override;
    bool cancelled() const override { return state_ == State::Cancelled; }
    // The last run; null before the first.
    const TagRun* tag_run() const { return run_.get(); }

    // Adjust Volume with "Write ReplayGain tags" chosen; the list holds rows,
    // which the modal progress dialog keeps in the list until the run ends.
    void start();

private:
    void terminated(const TTerminateInfo& info);
    void phase_ended();
    void write();
    void show_end();
    // The list's Peak, Loudness, Gain and Result cells from the run.
    void show_rows();

    Tmain& window_;
    State state_ = State::Idle;
    bool writing_ = false;  // the running phase writes (else it measures)
    std::unique_ptr<TagRun> run_;
    std::vector<QTreeWidgetItem*> items_;  // the run's rows
};

// The results view's rows of a tags run: loudness, track gain and the tags
// written per file.
RunResults tag_results(const TagRun& run);

}  // namespace sonorix::ui
