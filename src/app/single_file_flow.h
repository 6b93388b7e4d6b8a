// The single-file page's workflow: loading the source, measuring its tracks
// (Normalize, Loudness target), converting it, and checking a lossy target's
// peak, converting once more when it passed the limit.
//
// Threads: main thread only; it goes on from an engine event only through
// timer_ffdetect (the meter's) and timer_ffencoder.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>

#include "app/level_meter.h"
#include "engine/FFEncode.h"

class QTimer;

namespace sonorix {
struct SourceFacts;
}
namespace sonorix::lossless {
struct RemuxResult;
}

namespace sonorix::ui {

class Tmain;

class SingleFileFlow : public QObject, public MeterClient {
public:
    enum class State { Idle, Measuring, Converting, Checking, Cancelled };

    SingleFileFlow(Tmain& window, LevelMeter& meter);

    // Converts; its decoder probes the source when it is loaded (and when
    // it changed before a Volume Change).
    TFFEncoder FFencoder;
    QTimer* timer_ffencoder;

    std::string source_file;
    std::vector<int> task_progress;  // of the conversion's tasks

    State state() const { return state_; }
    void cancel() override;
    bool cancelled() const override { return state_ == State::Cancelled; }

    // Source loading.
    void Button1Click();
    void add_file(const std::string& file_name);

    // The run.
    void bt_amplifyclick();
    void single_peak();
    void measured() override;
    void meter_done() override;
    void single_convert();
    void FFencoderProgress(TObject* Sender, PProgressInfo AProgressInfo);
    void FFencoderTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void timer_ffencoderTimer();

private:
    bool add_source_task(TFFEncoder& encoder, const std::string& target, const std::string& options);
    // The kept facts no longer stand for source_file (none, or it changed).
    bool facts_stale() const;
    const SourceFacts& source_facts_now();
    void convert_measured();
    bool check_single_target();
    void single_target_checked();
    void show_single_end();
    // The run's one row for the results window.
    void show_single_results(const std::string& status, const std::string& reason);

    Tmain& window_;
    LevelMeter& meter_;
    // The facts of source_file the conversion reads, kept from its loading
    // or its measurement.
    std::shared_ptr<const SourceFacts> facts_;
    State state_ = State::Idle;
    double single_below_target_ = 0;  // LU the ceiling kept the last conversion below its target
    double single_gain_ = 0;          // the gain of the conversion's main track, dB
    // Each audio track's gain of the conversion (none: left as it is); set by
    // the first pass, lowered by a second.
    std::vector<std::optional<double>> single_track_gains_;
    std::vector<double> single_track_below_;  // LU the ceiling keeps each track below the target
    size_t single_main_track_ = 0;            // the source's main audio track
    bool single_checked_ = false;             // its lossy target's peak was checked
    std::optional<double> single_before_;     // the main track's level measured on the source
    std::optional<double> single_after_;      // and on the target, where it was checked
    // Each track's true peak, dBTP (Loudness): the lossless path's ceiling.
    std::vector<std::optional<double>> single_true_peaks_;
    // The lossless path: the remux task's end (its worker's until the
    // task's termination event), and why the file was re-encoded instead.
    std::shared_ptr<lossless::RemuxResult> single_remux_;
    std::string single_refusal_;
    bool single_lossless_ = false;  // the target was written without re-encoding
    std::string single_gains_;      // and its gains, as the results say them
    // Starts the remux task of the page's gains; false when it cannot.
    bool start_lossless(const std::string& target);
};

}  // namespace sonorix::ui
