#include "app/list_flow.h"

#include <algorithm>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>

#include "app/average_level_flow.h"
#include "app/dialogs.h"
#include "app/forms.h"
#include "app/levels_view.h"
#include "app/list_adder.h"
#include "app/messages.h"
#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/p_options.h"
#include "app/results_view.h"
#include "app/xp_main.h"
#include "workflow/batch_job.h"
#include "workflow/peak_analysis.h"
#include "workflow/text.h"
#include "workflow/track_levels.h"

namespace sonorix::ui {

namespace {

const char* const kStopped = "the measurement was stopped";

}  // namespace

ListRun::ListRun() = default;
ListRun::~ListRun() = default;

ListFlow::ListFlow(Tmain& window, LevelMeter& meter) : QObject(&window), window_(window), meter_(meter) {
    setObjectName("list_flow");
    timer_ffdirectc = continuation_timer(this, "timer_ffdirectc");
    connect(timer_ffdirectc, &QTimer::timeout, this, [this] { timer_ffdirectcTimer(); });
    FFdirectc.OnProgress = [this](TObject* s, PProgressInfo p) { FFdirectcProgress(s, p); };
    FFdirectc.OnTerminate = [this](TObject* s, const TTerminateInfo& i) { FFdirectcTerminate(s, i); };
    levels_timer_ = new QTimer(this);
    levels_timer_->setSingleShot(true);
    levels_timer_->setInterval(100);
    connect(levels_timer_, &QTimer::timeout, this, [this] { show_levels(); });
}

void ListFlow::cancel() {
    TFFEncoder* running = state_ == State::Converting                               ? &FFdirectc
                          : state_ == State::Measuring || state_ == State::Checking ? &meter_.FFdetect
                                                                                    : nullptr;
    state_ = State::Cancelled;
    if (running) running->Stop(true);
}

bool ListFlow::open_row(size_t row, std::string& reason) {
    QTreeWidgetItem* item = row < run.items.size() ? run.items[row] : nullptr;
    if (!item || !window_.select_row(item)) {
        reason = item ? window_.row_rejection() : "the row was removed";
        return false;
    }
    run.target_file = run.job->rows[row].target.string();
    return true;
}

void ListFlow::skip_removed_rows() {
    for (size_t i = 0; i < run.items.size() && i < run.job->rows.size(); ++i) {
        if (!run.items[i] && run.job->to_convert(i)) run.job->skip(i, "the row was removed");
    }
}

void ListFlow::forget_row(QTreeWidgetItem* item) {
    std::replace(run.items.begin(), run.items.end(), item, static_cast<QTreeWidgetItem*>(nullptr));
}

void ListFlow::forget_rows() { std::fill(run.items.begin(), run.items.end(), nullptr); }

void ListFlow::BitBtn1Click() {
    // A run takes the rows as they stand when it starts; while files are
    // still being probed the list is not what the user asked for.
    if (window_.adding_files()) {
        MessageBoxA(&window_, "Please wait until all files are added to the list!", "Error", MB_ICONERROR);
        return;
    }
    QTreeWidget* list = window_.ListView1;
    if (list->topLevelItemCount() == 0) {
        MessageBoxA(&window_, "Please add file at first!", "Error", MB_ICONERROR);
        return;
    }
    // Tags are written into the sources: no output folder.
    if (window_.radio_tags->isChecked()) {
        window_.tags_flow().start();
        return;
    }
    if (!window_.select_folder("Select an output folder for output files", run.output_folder)) return;
    if (!window_.radio_auto->isChecked() && !window_.radio_change->isChecked() && !window_.radio_mix->isChecked() &&
        !window_.radio_loudness->isChecked()) {
        return;
    }

    std::vector<std::string> sources;
    run.items.clear();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list->topLevelItem(i);
        sources.push_back(item->text(0).toStdString());
        run.items.push_back(item);
    }
    const BatchMode mode = window_.radio_mix->isChecked()        ? BatchMode::AverageLevel
                           : window_.radio_auto->isChecked()     ? BatchMode::Normalize
                           : window_.radio_loudness->isChecked() ? BatchMode::Loudness
                                                                 : BatchMode::VolumeChange;
    targets_checked_ = false;
    run.job = std::make_unique<BatchJob>(mode, window_.batch_spin_volume->value(), run.output_folder,
                                         trim_blanks(options->ed_prefix->text().toStdString()), sources);
    run.job->set_loudness(window_.batch_spin_loudness->value(), options->ed_ceiling->value());
    // What the rows' probes read when they were added or selected serves the
    // run while their files stay as they were.
    for (size_t i = 0; i < run.items.size(); ++i) run.job->rows[i].facts = kept_facts(*run.items[i]);
    level_after.assign(sources.size(), std::nullopt);
    run_ended_ = false;
    if (mode == BatchMode::Normalize || mode == BatchMode::Loudness) {
        if (window_.check_album->isChecked()) {
            run.job->set_album(window_.check_album_folder->isChecked() ? AlbumGroups::Folder : AlbumGroups::List);
        }
        if (window_.check_skip->isChecked()) run.job->set_skip_within(window_.spin_skip->value());
    }
    // Files the lossless path refuses are re-encoded, and the results say why.
    if (mode != BatchMode::AverageLevel && window_.check_lossless->isChecked())
        run.job->set_lossless(LosslessUse::Prefer);
    // Files already in the folder under a target's name are the user's: one
    // question per run, before anything is measured or written.
    run.job->plan_targets();
    if (const size_t existing = run.job->existing_targets().size(); existing > 0) {
        const std::string text =
            Format("%zu file(s) in the output folder have the name of a target and would be replaced.", existing);
        const MessageAnswer answer = ask_three(&window_, text, "Replace files?", "Replace", "Keep both");
        if (answer == MessageAnswer::Cancel) {
            run.job.reset();
            return;
        }
        if (answer == MessageAnswer::No) run.job->plan_targets(true);
    }
    show_levels();
    if (mode == BatchMode::AverageLevel) {
        window_.average_level_flow().multi_rms();
        return;
    }
    if (mode == BatchMode::VolumeChange) {
        multi_convert();
        return;
    }
    multi_peak();
}

// The meter's tasks open their files when they start, two at a time on the
// workers, so the main thread opens none and a list of short files keeps
// both cores busy. A file that went away since the list checked it fails its
// task, and the row is skipped with the reason.
void ListFlow::multi_peak() {
    TFFEncoder& detect = meter_.FFdetect;
    if (detect.TasksCount() > 0) detect.ClearTasks();
    const size_t rows = run.items.size();
    row_of_task_.clear();
    row_readings_.assign(rows, nullptr);
    rows_measured_ = 0;
    for (size_t i = 0; i < rows; ++i) {
        const int task = run.items[i] ? run.job->add_measurement(detect, i, row_readings_[i]) : -1;
        if (task < 0) {
            row_readings_[i].reset();
            run.job->skip(i, run.items[i] ? detect.LastErrorMessage() : "the row was removed");
            ++rows_measured_;
            continue;
        }
        row_of_task_.resize(static_cast<size_t>(task) + 1, rows);
        row_of_task_[static_cast<size_t>(task)] = i;
    }
    state_ = State::Measuring;
    if (detect.TasksCount() == 0) {
        rows_measured();
        return;
    }
    meter_.measure_rows(*this, [this](const TTerminateInfo& info) { row_measured(info); });

    analyzeaudio->flow = this;
    analyzeaudio->Label1->setText("Analyzing");
    analyzeaudio->Button1->setEnabled(true);
    show_rows_measured();
    analyzeaudio->timer1->start();
    if (!analyzeaudio->isVisible()) show_modal(*analyzeaudio);
}

void ListFlow::row_measured(const TTerminateInfo& info) {
    const auto task = static_cast<size_t>(info.TaskIndex);
    if (task >= row_of_task_.size() || row_of_task_[task] >= row_readings_.size()) return;
    const size_t row = row_of_task_[task];
    const std::string failure = info.Failed      ? (info.ErrorText.empty() ? kStopped : info.ErrorText)
                                : info.Completed ? std::string()
                                                 : kStopped;
    run.job->measured(row, failure.empty() ? *row_readings_[row] : MeterReadings{}, failure);
    row_readings_[row].reset();
    if (QTreeWidgetItem* item = run.items[row]) {
        item->setText(Tmain::kMaxDbColumn, QString::fromStdString(run.job->rows[row].max_db));
    }
    if (!levels_timer_->isActive()) levels_timer_->start();
    ++rows_measured_;
    show_rows_measured();
}

// The count of rows done, and the name of the first row still measured.
void ListFlow::show_rows_measured() {
    const size_t rows = run.items.size();
    if (rows_measured_ >= rows) return;
    const auto first =
        std::find_if(row_readings_.begin(), row_readings_.end(), [](const auto& r) { return r != nullptr; });
    if (first != row_readings_.end()) {
        const auto row = static_cast<size_t>(first - row_readings_.begin());
        analyzeaudio->Label2->setText(QString::fromStdString(analysis_file_label(run.job->rows[row].source)));
    }
    analyzeaudio->show_count(static_cast<int>(rows_measured_) + 1, static_cast<int>(rows));
}

// The final notification of the measuring run (not cancelled).
void ListFlow::measured() {
    analyzeaudio->timer1->stop();
    close_form(analyzeaudio);
    meter_.continue_later();
}

// From timer_ffdetect after the measuring run, or from multi_peak when no
// row could be measured.
void ListFlow::rows_measured() {
    if (cancelled()) return;
    // The album's one gain and the skipped rows, once every row is measured.
    run.job->settle_gains();
    levels_timer_->stop();
    show_levels();
    for (size_t i = 0; i < run.items.size(); ++i) {
        if (run.items[i]) run.items[i]->setText(Tmain::kMaxDbColumn, QString::fromStdString(run.job->rows[i].max_db));
    }
    multi_convert();
}

void ListFlow::meter_done() {
    if (meter_.checking()) {
        targets_checked();
    } else {
        rows_measured();
    }
}

void ListFlow::multi_convert() {
    if (FFdirectc.TasksCount() > 0) FFdirectc.ClearTasks();
    // The list's tasks open their files when they start, so a long list
    // holds few and a row that cannot be set up fails alone.
    FFdirectc.DeferSetup = true;
    skip_removed_rows();
    const auto failure = run.job->add_conversions(
        FFdirectc, FFdirectc.Decoder(), [this](size_t row, std::string& reason) { return open_row(row, reason); });
    FFdirectc.DeferSetup = false;
    if (failure) {
        MessageBoxA(&window_, *failure, "Error", MB_ICONERROR);
        return;
    }
    state_ = State::Converting;
    if (FFdirectc.TasksCount() == 0) {
        // Nothing to convert: the end message still says why.
        timer_ffdirectc->start();
        return;
    }
    start_tasks(FFdirectc, task_progress);
    show_progress(*this, "Adjust volume......");
}

void ListFlow::FFdirectcProgress(TObject*, PProgressInfo AProgressInfo) {
    show_task_progress(task_progress, AProgressInfo);
}

void ListFlow::FFdirectcTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    show_task_ended(task_progress, ATerminateInfo);
    if (run.job) run.job->conversion_ended(ATerminateInfo);
    // A failed row is named with its reason in the end message.
    end_phase(
        ATerminateInfo, cancelled(), [] {},
        [this] {
            close_form(batchaudioc);
            // Each row says whether its file was written before the stop.
            run_ended_ = true;
            show_levels();
        },
        [&] {
            // After a failure no check and no second pass: the end message
            // says it.
            if (ATerminateInfo.Failed) targets_checked_ = true;
            timer_ffdirectc->start();
        });
}

void ListFlow::timer_ffdirectcTimer() {
    timer_ffdirectc->stop();
    // The rows the lossless path refused are re-encoded before any check,
    // so their lossy targets are checked too.
    if (run.job && !cancelled() && run.job->waiting_rows() > 0) {
        multi_convert();
        return;
    }
    // The dialog stays while the lossy targets' peaks are checked.
    if (!targets_checked_ && check_targets()) return;
    close_form(batchaudioc);
    show_end();
}

void ListFlow::show_levels() {
    if (!run.job) return;
    window_.levels_view->show_levels(level_bars(*run.job, level_after),
                                     level_target(*run.job, window_.batch_spin_loudness->value()));
    const RunResults results = list_results(*run.job, level_after);
    window_.show_run_columns(true);
    for (size_t i = 0; i < run.items.size() && i < run.job->rows.size(); ++i) {
        QTreeWidgetItem* item = run.items[i];
        if (!item) continue;
        const BatchRow& r = run.job->rows[i];
        const TrackLevel* main = r.main_track < r.tracks.size() ? &r.tracks[r.main_track] : nullptr;
        item->setText(Tmain::kPeakColumn, QString::fromStdString(level_figure(main ? main->peak_db : std::nullopt)));
        item->setText(Tmain::kLoudnessColumn,
                      QString::fromStdString(level_figure(main ? main->integrated : std::nullopt)));
        item->setText(Tmain::kGainColumn, QString::fromStdString(level_figure(results.rows[i].gain)));
        // What became of it, once the run has ended.
        item->setText(Tmain::kResultColumn, run_ended_ ? QString::fromStdString(results.rows[i].status) : QString());
        item->setToolTip(Tmain::kResultColumn, QString::fromStdString(results.rows[i].reason));
        for (int column : {Tmain::kPeakColumn, Tmain::kLoudnessColumn, Tmain::kGainColumn}) {
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        }
    }
}

void ListFlow::show_end() {
    run_ended_ = true;
    show_levels();
    MessageBoxA(&window_, run.job ? run.job->finish_text() : "Process is finished!", "", MB_ICONWARNING);
    if (run.job) window_.results_view->show_results(list_results(*run.job, level_after));
}

// Normalize and Loudness: the decoded peak of each lossy target, one at a
// time; false when no target needs one.
bool ListFlow::check_targets() {
    targets_checked_ = true;
    if (!run.job) return false;
    TFFEncoder& detect = meter_.FFdetect;
    if (detect.TasksCount() > 0) detect.ClearTasks();
    std::vector<std::shared_ptr<MeterReadings>> readings;
    checked_rows_ = run.job->add_checks(detect, readings);
    if (checked_rows_.empty()) return false;
    state_ = State::Checking;
    meter_.check(*this, std::move(readings));
    show_checks(*this);
    return true;
}

// The checks ended: the rows whose peak passed the limit are converted once
// more with the gain lowered; the others are done.
void ListFlow::targets_checked() {
    const auto& readings = meter_.check_readings();
    for (size_t i = 0; i < checked_rows_.size() && i < readings.size(); ++i) {
        const size_t row = checked_rows_[i];
        const auto& tracks = readings[i]->tracks;
        run.job->checked(row, tracks);
        // A row converted again was not measured after its second pass.
        const BatchRow& r = run.job->rows[row];
        if (!r.second_pass && r.main_track < tracks.size() && row < level_after.size()) {
            const TrackReading& main = tracks[r.main_track];
            level_after[row] = run.job->mode() == BatchMode::Loudness ? main.loudness.integrated : main.peak_db;
        }
    }
    run.job->checks_ended();
    if (!cancelled() && run.job->second_passes() > 0) {
        multi_convert();
        return;
    }
    close_form(batchaudioc);
    if (!cancelled()) show_end();
}

}  // namespace sonorix::ui
