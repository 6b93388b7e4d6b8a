// The list page's run "Adjust to Average Level": every row decoded into a
// WAV file of the run's private folder (FFtowav), the batch normalizer over
// all of them (its own process, its output read while the window runs), the
// adjusted files converted back into targets of the sources' kinds
// (FFwavtoall), and the folder removed. One progress dialog stays open from
// the first phase to the last. Main thread only; phases continue through the
// one-shot timers, never from inside an engine event.
#include <algorithm>
#include <filesystem>

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "app/forms.h"
#include "app/messages.h"
#include "app/p_batchaudioc.h"
#include "app/xp_main.h"
#include "workflow/average_level.h"
#include "workflow/batch_job.h"

namespace sonorix::ui {

namespace fs = std::filesystem;

void Tmain::connect_average_level() {
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

// Phase 1.
void Tmain::multi_rms() {
    std::error_code ec;
    fs::create_directories(output_folder, ec);
    if (!fs::is_directory(output_folder, ec)) {
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
    if (const auto failure = batch_job_->add_decodes(FFtowav, *intermediate_)) {
        FFtowav.ClearTasks();
        intermediate_.reset();
        MessageBoxA(this, *failure, "Error", MB_ICONERROR);
        return;
    }
    start_conversions(FFtowav, "fftowav", "Analyze audio header information......");
}

void Tmain::FFtowavProgress(TObject*, PProgressInfo AProgressInfo) { show_task_progress(AProgressInfo); }

void Tmain::FFtowavTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    if (batch_job_) batch_job_->decode_ended(ATerminateInfo);
    // A row that failed to decode is left out and named in the end message;
    // the others go on to the normalizer.
    if (ATerminateInfo.TaskIndex >= 0) return;
    if (cancelled) {
        clean_folder();
    } else if (!batch_job_ || batch_job_->intermediate_files().empty()) {
        // Not one file was decoded: nothing to normalize.
        end_average_level("");
    } else {
        batchaudioc->Label1->setText("Analyze audio data......");
        batchaudioc->progresstotal->setValue(0);
        batchaudioc->Button1->setEnabled(false);
        timer_callnormalizer->start();
    }
}

void Tmain::timer_callnormalizerTimer() {
    timer_callnormalizer->stop();
    normalize();
}

// Phase 2: starts the normalizer; normalizer_output follows it to its end.
void Tmain::normalize() {
    const std::vector<fs::path> files = batch_job_->intermediate_files();
    normalizer_ = std::make_unique<NormalizerRun>();
    normalizer_step_ = marker_step(files.size());
    if (!normalizer_->start(normalizer_program(), files)) {
        end_average_level(normalizer_->failure_text());
        return;
    }
    normalizer_poll_->start();
}

void Tmain::normalizer_output() {
    if (!normalizer_) {
        normalizer_poll_->stop();
        return;
    }
    const bool going = normalizer_->pump(0);
    batchaudioc->progresstotal->setValue(std::min(100, normalizer_->output().markers() * normalizer_step_));
    if (going) return;
    normalizer_poll_->stop();
    if (normalizer_->failure()) {
        // Nothing is converted from files it may have left half adjusted.
        end_average_level(normalizer_->failure_text());
        return;
    }
    batch_job_->normalized(normalizer_->output());
    timer_mux->start();
}

// Phase 3.
void Tmain::timer_muxTimer() {
    timer_mux->stop();
    if (FFwavtoall.TasksCount() > 0) FFwavtoall.ClearTasks();
    FFwavtoall.DeferSetup = true;
    // Rows keep the numbers of phase 1, whatever the probe removes now.
    const auto failure =
        batch_job_->add_conversions(FFwavtoall, FFdirectc.Decoder(), [this](size_t row, std::string& reason) {
            QTreeWidgetItem* item = row < batch_items_.size() ? batch_items_[row] : nullptr;
            if (!item || !select_row(item)) {
                reason = item ? row_rejection_ : "the row was removed";
                return false;
            }
            target_file = batch_job_->rows[row].target.string();
            return true;
        });
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
    start_conversions(FFwavtoall, "ffwavtoall", "Adjust volume ......");
}

void Tmain::FFwavtoallProgress(TObject*, PProgressInfo AProgressInfo) { show_task_progress(AProgressInfo); }

void Tmain::FFwavtoallTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    if (batch_job_) batch_job_->conversion_ended(ATerminateInfo);
    // Failed rows are named with their reasons in the end message.
    if (ATerminateInfo.TaskIndex < 0) {
        clean_folder();
        if (!cancelled) Timer_endmsg->start();
    }
}

void Tmain::Timer_endmsgTimer() {
    Timer_endmsg->stop();
    MessageBoxA(this, batch_job_ ? batch_job_->finish_text() : "Process is finished!", "", MB_ICONWARNING);
}

// Phase 4: deletes the run's intermediate files and their folder, and closes
// the dialog.
bool Tmain::clean_folder() {
    batchaudioc->progresstotal->setValue(0);
    batchaudioc->Label1->setText("Gather Stream Information");
    batchaudioc->Button1->setEnabled(false);
    normalizer_.reset();
    if (intermediate_) {
        intermediate_->remove(batch_job_ ? batch_job_->rows.size() : 0, [this] {
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
void Tmain::end_average_level(const std::string& message) {
    clean_folder();
    if (message.empty()) {
        Timer_endmsg->start();
    } else {
        MessageBoxA(this, message, "Error", MB_ICONERROR);
    }
}

}  // namespace sonorix::ui
