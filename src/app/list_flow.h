// The list page's runs Normalize, Loudness target and Volume Change: each
// row measured (the first two), the rows converted, the lossy targets'
// peaks checked and the rows whose peak passed the limit converted once
// more. The run itself (measurements, targets, option texts, tasks) is a
// BatchJob, shared with sonorix-cli; Adjust to Average Level is handed to
// the average level's flow, which shares the run.
//
// Threads: main thread only; it goes on from an engine event only through
// timer_ffdetect (the meter's) and timer_ffdirectc. The rows are measured in
// one run of the meter, its tasks on worker threads, each opening its file.
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
class QTreeWidgetItem;

namespace sonorix {
class BatchJob;
}

namespace sonorix::ui {

class Tmain;

// The list run in progress (or the last one).
struct ListRun {
    ListRun();
    ~ListRun();
    std::unique_ptr<BatchJob> job;
    std::vector<QTreeWidgetItem*> items;  // the job's rows; null once a row left the list
    std::string output_folder;            // of the last list run
    std::string target_file;              // the target being set up
};

class ListFlow : public QObject, public MeterClient {
public:
    enum class State { Idle, Measuring, Converting, Checking, Cancelled };

    ListFlow(Tmain& window, LevelMeter& meter);

    // Converts the rows; its decoder probes the selected row, and a row
    // whose kept facts are missing or stale when it is converted.
    TFFEncoder FFdirectc;
    QTimer* timer_ffdirectc;

    ListRun run;
    std::vector<int> task_progress;  // of the conversion's tasks
    // Each row's level measured on its target; none where it was not checked.
    std::vector<std::optional<double>> level_after;

    State state() const { return state_; }
    void cancel() override;
    bool cancelled() const override { return state_ == State::Cancelled; }
    // The run in progress (or the last one); null before the first.
    const BatchJob* batch_job() const { return run.job.get(); }

    void BitBtn1Click();
    // Every row's measurement, in one run of the meter.
    void multi_peak();
    void measured() override;
    void meter_done() override;
    void multi_convert();
    void FFdirectcProgress(TObject* Sender, PProgressInfo AProgressInfo);
    void FFdirectcTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void timer_ffdirectcTimer();

    // Selects the run's row for its conversion task; false, with the reason,
    // when it left the list or its file cannot be opened any more.
    bool open_row(size_t row, std::string& reason);
    // The rows that left the list are not converted, whatever facts they kept.
    void skip_removed_rows();
    // A row, or every row, left the list.
    void forget_row(QTreeWidgetItem* item);
    void forget_rows();

    // The run's end: its columns filled, the end message, then the results
    // window (the average level's run ends here too).
    void show_end();
    // The levels view and the list's columns from the run's rows as they stand.
    void show_levels();

private:
    // One row's measurement ended (not cancelled): its figures and cells.
    void row_measured(const TTerminateInfo& info);
    // The analysis dialog at the rows measured so far.
    void show_rows_measured();
    // Every row measured: the album's gain, the skipped rows, the conversion.
    void rows_measured();
    bool check_targets();
    void targets_checked();

    Tmain& window_;
    LevelMeter& meter_;
    State state_ = State::Idle;
    // The measuring run: each task's row, and the readings of each row whose
    // task has not ended (its task's worker's until then; none otherwise).
    std::vector<size_t> row_of_task_;
    std::vector<std::shared_ptr<MeterReadings>> row_readings_;
    size_t rows_measured_ = 0;  // ended or skipped
    // The levels view and the columns follow the rows' ends at most this
    // often: redrawn for every end of a list of short files, they would
    // keep the main thread busier than the meter.
    QTimer* levels_timer_;
    bool targets_checked_ = false;      // the run's lossy targets were checked
    std::vector<size_t> checked_rows_;  // the rows of the check tasks, in order
    bool run_ended_ = false;            // the Result column may be filled
};

}  // namespace sonorix::ui
