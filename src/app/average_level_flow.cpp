#include "app/average_level_flow.h"

#include <algorithm>
#include <filesystem>

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/dialogs.h"
#include "app/forms.h"
#include "app/list_flow.h"
#include "app/messages.h"
#include "app/p_batchaudioc.h"
#include "app/xp_main.h"
#include "workflow/average_level.h"
#include "workflow/batch_job.h"
#include "workflow/meter_task.h"

namespace sonorix::ui {

namespace fs = std::filesystem;

AverageLevelFlow::AverageLevelFlow(Tmain& window) : QObject(&window), window_(window) {
    setObjectName("average_level_flow");
    timer_callnormalizer = continuation_timer(this, "timer_callnormalizer");
    timer_mux = continuation_timer(this, "timer_mux");
    Timer_endmsg = continuation_timer(this, "Timer_endmsg");
    FFtowav.OnProgress = [this](TObject* s, PProgressInfo p) { FFtowavProgress(s, p); };
    FFtowav.OnTerminate = [this](TObject* s, const TTerminateInfo& i) { FFtowavTerminate(s, i); };
    FFwavtoall.OnProgress = [this](TObject* s, PProgressInfo p) { FFwavtoallProgress(s, p); };
    FFwavtoall.OnTerminate = [this](TObject* s, const TTerminateInfo& i) { FFwavtoallTerminate(s, i); };
    connect(timer_callnormalizer, &QTimer::timeout, this, [this] { timer_callnormalizerTimer(); });
    connect(timer_mux, &QTimer::timeout, this, [this] { timer_muxTimer(); });
    connect(Timer_endmsg, &QTimer::timeout, this, [this] { Timer_endmsgTimer(); });
    normalizer_poll_ = new QTimer(this);
    normalizer_poll_->setObjectName("normalizer_poll");
    normalizer_poll_->setInterval(10);
    connect(normalizer_poll_, &QTimer::timeout, this, [this] { normalizer_output(); });
}

AverageLevelFlow::~AverageLevelFlow() = default;

ListRun& AverageLevelFlow::run() { return window_.list_flow().run; }

// Phase 2 has no component to stop: its Cancel is disabled.
void AverageLevelFlow::cancel() {
    TFFEncoder* running = state_ == State::Decoding || state_ == State::Measuring ? &FFtowav
                          : state_ == State::Converting                           ? &FFwavtoall
                                                                                  : nullptr;
    state_ = State::Cancelled;
    if (running) running->Stop(true);
}

// Phase 1.
void AverageLevelFlow::multi_rms() {
    std::error_code ec;
    fs::create_directories(run().output_folder, ec);
    if (!fs::is_directory(run().output_folder, ec)) {
        Application.MessageBox("Create the target folder error!", "Error", MB_ICONERROR);
        return;
    }
    std::string why;
    intermediate_ = IntermediateFolder::make(why);
    if (!intermediate_) {
        Application.MessageBox("Create the tmp folder error!", "Error", MB_ICONERROR);
        return;
    }
    if (FFtowav.TasksCount() > 0) FFtowav.ClearTasks();
    // Each task opens its files when it starts (a long list holds few).
    FFtowav.DeferSetup = true;
    if (const auto failure = run().job->add_decodes(FFtowav, *intermediate_)) {
        FFtowav.ClearTasks();
        intermediate_.reset();
        MessageBoxA(&window_, *failure, "Error", MB_ICONERROR);
        return;
    }
    start_tasks(FFtowav, task_progress);
    state_ = State::Decoding;
    show_progress(*this, "Analyze audio header information......");
}

void AverageLevelFlow::FFtowavProgress(TObject*, PProgressInfo AProgressInfo) {
    show_task_progress(task_progress, AProgressInfo);
}

void AverageLevelFlow::FFtowavTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    show_task_ended(task_progress, ATerminateInfo);
    BatchJob* job = run().job.get();
    if (state_ == State::Measuring) {
        // A file that could not be measured only leaves its cells empty.
        end_phase(
            ATerminateInfo, cancelled(), [] {}, [this] { clean_folder(); },
            [&] {
                for (const Measure& m : measures_) {
                    if (!job || m.readings->tracks.empty()) continue;
                    TrackLevel& t = job->rows[m.row].tracks[m.track];
                    t.peak_db = m.readings->tracks.front().peak_db;
                    t.integrated = m.readings->tracks.front().loudness.integrated;
                }
                measures_.clear();
                window_.list_flow().show_levels();
                start_normalizer();
            });
        return;
    }
    if (job) job->decode_ended(ATerminateInfo);
    // A row that failed to decode is left out and named in the end message;
    // the others go on to the normalizer.
    end_phase(
        ATerminateInfo, cancelled(), [] {}, [this] { clean_folder(); },
        [&] {
            if (!job || job->intermediate_files().empty()) {
                // Not one file was decoded: nothing to normalize.
                end_average_level("");
                return;
            }
            measure_intermediates();
        });
}

void AverageLevelFlow::measure_intermediates() {
    FFtowav.ClearTasks();
    measures_.clear();
    const BatchJob& job = *run().job;
    for (size_t i = 0; i < job.rows.size(); ++i) {
        if (!job.to_convert(i)) continue;
        for (size_t j = 0; j < job.rows[i].tracks.size(); ++j) {
            auto readings = std::make_shared<MeterReadings>();
            add_meter_task(FFtowav, intermediate_->file(i, j).string(), LevelKind::Loudness, false, -1, readings);
            measures_.push_back({i, j, readings});
        }
    }
    state_ = State::Measuring;
    start_tasks(FFtowav, task_progress);
    // To the user this is the start of the data's analysis, whose Cancel is
    // disabled; the files are WAV, read in a moment.
    show_analysis();
}

void AverageLevelFlow::start_normalizer() {
    state_ = State::Normalizing;
    show_analysis();
    timer_callnormalizer->start();
}

void AverageLevelFlow::show_analysis() {
    batchaudioc->Label1->setText("Analyze audio data......");
    batchaudioc->show_percent(0);
    batchaudioc->Button1->setEnabled(false);
}

void AverageLevelFlow::timer_callnormalizerTimer() {
    timer_callnormalizer->stop();
    normalize();
}

// Phase 2: starts the normalizer; normalizer_output follows it to its end.
void AverageLevelFlow::normalize() {
    const std::vector<fs::path> files = run().job->intermediate_files();
    normalizer_ = std::make_unique<NormalizerRun>();
    normalizer_step_ = marker_step(files.size());
    if (!normalizer_->start(normalizer_program(), files)) {
        end_average_level(normalizer_->failure_text());
        return;
    }
    normalizer_poll_->start();
}

void AverageLevelFlow::normalizer_output() {
    if (!normalizer_) {
        normalizer_poll_->stop();
        return;
    }
    const bool going = normalizer_->pump(0);
    batchaudioc->show_percent(std::min(100, normalizer_->output().markers() * normalizer_step_));
    if (going) return;
    normalizer_poll_->stop();
    if (normalizer_->failure()) {
        // Nothing is converted from files it may have left half adjusted.
        end_average_level(normalizer_->failure_text());
        return;
    }
    run().job->normalized(normalizer_->output());
    timer_mux->start();
}

// Phase 3.
void AverageLevelFlow::timer_muxTimer() {
    timer_mux->stop();
    if (FFwavtoall.TasksCount() > 0) FFwavtoall.ClearTasks();
    FFwavtoall.DeferSetup = true;
    // Rows keep the numbers of phase 1, whatever the probe removes now; the
    // probe is the list's.
    ListFlow& list = window_.list_flow();
    list.skip_removed_rows();
    const auto failure =
        run().job->add_conversions(FFwavtoall, list.FFdirectc.Decoder(),
                                   [&list](size_t row, std::string& reason) { return list.open_row(row, reason); });
    if (failure) {
        FFwavtoall.ClearTasks();
        end_average_level(*failure);
        return;
    }
    if (FFwavtoall.TasksCount() == 0) {
        end_average_level("");
        return;
    }
    // The dialog of phase 1 is still open.
    start_tasks(FFwavtoall, task_progress);
    state_ = State::Converting;
    show_progress(*this, "Adjust volume ......");
}

void AverageLevelFlow::FFwavtoallProgress(TObject*, PProgressInfo AProgressInfo) {
    show_task_progress(task_progress, AProgressInfo);
}

void AverageLevelFlow::FFwavtoallTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    show_task_ended(task_progress, ATerminateInfo);
    if (BatchJob* job = run().job.get()) job->conversion_ended(ATerminateInfo);
    // Failed rows are named with their reasons in the end message.
    end_phase(
        ATerminateInfo, cancelled(), [] {}, [this] { clean_folder(); },
        [this] {
            clean_folder();
            Timer_endmsg->start();
        });
}

void AverageLevelFlow::Timer_endmsgTimer() {
    Timer_endmsg->stop();
    // The list's columns, the levels, the end message and the results, as
    // the list's other runs end.
    window_.list_flow().show_end();
}

// Phase 4: deletes the run's intermediate files and their folder, and closes
// the dialog.
bool AverageLevelFlow::clean_folder() {
    batchaudioc->progresstotal->setValue(0);
    batchaudioc->Label1->setText("Gather Stream Information");
    batchaudioc->Button1->setEnabled(false);
    normalizer_.reset();
    if (intermediate_) {
        const BatchJob* job = run().job.get();
        intermediate_->remove(job ? job->rows.size() : 0, [] {
            QCoreApplication::processEvents();
            const int next = batchaudioc->progresstotal->value() + 1;
            batchaudioc->progresstotal->setValue(next >= 100 ? 0 : next);
        });
        intermediate_.reset();
    }
    close_form(batchaudioc);
    return true;
}

// A run that cannot go on, or has nothing left to do: the intermediate files
// go, the dialog closes, and the user learns why (or that it finished).
void AverageLevelFlow::end_average_level(const std::string& message) {
    clean_folder();
    if (message.empty()) {
        Timer_endmsg->start();
    } else {
        MessageBoxA(&window_, message, "Error", MB_ICONERROR);
    }
}

}  // namespace sonorix::ui
