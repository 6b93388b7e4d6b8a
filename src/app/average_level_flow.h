// The list page's run "Adjust to Average Level": every row decoded into a
// WAV file of the run's private folder (FFtowav), the batch normalizer over
// all of them (its own process, its output read while the window runs), the
// adjusted files converted back into targets of the sources' kinds
// (FFwavtoall), and the folder removed. One progress dialog stays open from
// the first phase to the last. The run's job and rows are the list flow's.
//
// Threads: main thread only; phases go on through timer_callnormalizer,
// timer_mux and Timer_endmsg, never from inside an engine event.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "app/flow.h"
#include "engine/FFEncode.h"

class QTimer;

namespace sonorix {
struct MeterReadings;
class IntermediateFolder;
class NormalizerRun;
}  // namespace sonorix

namespace sonorix::ui {

class Tmain;
struct ListRun;

class AverageLevelFlow : public QObject, public Flow {
public:
    // Measuring: the intermediate files' levels, before the normalizer.
    enum class State { Idle, Decoding, Measuring, Normalizing, Converting, Cancelled };

    explicit AverageLevelFlow(Tmain& window);
    ~AverageLevelFlow() override;

    TFFEncoder FFtowav;
    TFFEncoder FFwavtoall;
    QTimer* timer_callnormalizer;
    QTimer* timer_mux;
    QTimer* Timer_endmsg;

    std::vector<int> task_progress;  // of the running phase's tasks

    State state() const { return state_; }
    void cancel() override;
    bool cancelled() const override { return state_ == State::Cancelled; }
    // The run's folder of intermediate files while it exists.
    const IntermediateFolder* intermediate_folder() const { return intermediate_.get(); }

    void multi_rms();
    void FFtowavProgress(TObject* Sender, PProgressInfo AProgressInfo);
    void FFtowavTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    // Measures every intermediate file on FFtowav: the rows' peaks and
    // loudness for the list's columns and the levels view.
    void measure_intermediates();
    void timer_callnormalizerTimer();
    void normalize();
    void timer_muxTimer();
    void FFwavtoallProgress(TObject* Sender, PProgressInfo AProgressInfo);
    void FFwavtoallTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void Timer_endmsgTimer();
    bool clean_folder();

private:
    ListRun& run();
    void normalizer_output();
    void start_normalizer();
    // The progress dialog in the data's analysis: its bar from 0, no Cancel.
    void show_analysis();
    void end_average_level(const std::string& message);

    Tmain& window_;
    State state_ = State::Idle;
    std::unique_ptr<IntermediateFolder> intermediate_;  // phases 1 to 4
    std::unique_ptr<NormalizerRun> normalizer_;         // phase 2
    QTimer* normalizer_poll_;                           // reads its output while the window runs
    int normalizer_step_ = 0;                           // the bar's advance per marker
    // Each intermediate file's measurement: its row and track, and what the
    // task's worker fills (the main thread's from the task's end on).
    struct Measure {
        size_t row, track;
        std::shared_ptr<MeterReadings> readings;
    };
    std::vector<Measure> measures_;
};

}  // namespace sonorix::ui
