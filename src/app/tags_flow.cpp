#include "app/tags_flow.h"

#include <cmath>

#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>

#include "app/dialogs.h"
#include "app/forms.h"
#include "app/messages.h"
#include "app/p_batchaudioc.h"
#include "app/results_view.h"
#include "app/xp_main.h"
#include "workflow/tag_run.h"
#include "workflow/text.h"

namespace sonorix::ui {

namespace {

const char* status_of(const TagRun& run, const TagFile& f) {
    if (f.written) return run.remove() ? "removed" : "tagged";
    return f.stopped ? "stopped" : "failed";
}

std::optional<double> peak_db(const TagFile& f) {
    if (!f.tags || !(f.tags->track_peak > 0)) return std::nullopt;
    return 20 * std::log10(f.tags->track_peak);
}

}  // namespace

RunResults tag_results(const TagRun& run) {
    RunResults results;
    results.level_unit = "LUFS";
    results.target_title = "Tags written";
    for (size_t i = 0; i < run.files.size(); ++i) {
        const TagFile& f = run.files[i];
        ResultRow row;
        row.file = f.path;
        row.status = status_of(run, f);
        if (!f.written && !f.stopped) row.reason = f.error;
        row.level_before = f.loudness;
        if (f.tags) row.gain = f.tags->track_gain;
        row.target = run.tags_text(i);
        results.rows.push_back(row);
    }
    return results;
}

TagsFlow::TagsFlow(Tmain& window) : QObject(&window), window_(window) {
    setObjectName("tags_flow");
    timer_tags = continuation_timer(this, "timer_tags");
    connect(timer_tags, &QTimer::timeout, this, [this] {
        timer_tags->stop();
        phase_ended();
    });
    FFtags.OnProgress = [this](TObject*, PProgressInfo p) { show_task_progress(task_progress, p); };
    FFtags.OnTerminate = [this](TObject*, const TTerminateInfo& i) { terminated(i); };
}

// The window stops every encoder of its own; this one is the flow's.
TagsFlow::~TagsFlow() {
    FFtags.OnProgress = nullptr;
    FFtags.OnTerminate = nullptr;
    FFtags.Stop(true);
}

void TagsFlow::cancel() {
    const bool running = state_ == State::Measuring || state_ == State::Writing;
    state_ = State::Cancelled;
    if (running) FFtags.Stop(true);
}

void TagsFlow::start() {
    QTreeWidget* list = window_.ListView1;
    std::vector<std::string> paths;
    items_.clear();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        items_.push_back(list->topLevelItem(i));
        paths.push_back(items_.back()->text(0).toStdString());
    }
    const AlbumGroups album = !window_.check_album->isChecked()         ? AlbumGroups::None
                              : window_.check_album_folder->isChecked() ? AlbumGroups::Folder
                                                                        : AlbumGroups::List;
    run_ = std::make_unique<TagRun>(paths, album, window_.check_tags_remove->isChecked());
    // What each file really is decides the tags it takes.
    TFFDecoder& probe = FFtags.Decoder();
    for (size_t i = 0; i < paths.size(); ++i) {
        if (probe.LoadFile(paths[i]))
            run_->classify(i, probe);
        else
            run_->refuse(i, "the file could not be read: " + probe.LastErrorMessage());
        probe.CloseFile();
    }
    if (FFtags.TasksCount() > 0) FFtags.ClearTasks();
    writing_ = false;
    if (run_->add_measurements(FFtags) == 0) {
        write();
        return;
    }
    state_ = State::Measuring;
    start_tasks(FFtags, task_progress);
    show_progress(*this, "Measuring the loudness......");
}

void TagsFlow::terminated(const TTerminateInfo& info) {
    show_task_ended(task_progress, info);
    end_phase(
        info, cancelled(),
        [&] {
            if (writing_)
                run_->written(info);
            else
                run_->measured(info);
        },
        [this] {
            run_->stopped();
            close_form(batchaudioc);
            show_end();
        },
        [this] { timer_tags->start(); });
}

void TagsFlow::phase_ended() {
    // Cancelled between the phases: no task is left to end the run.
    if (cancelled()) {
        run_->stopped();
        close_form(batchaudioc);
        show_end();
        return;
    }
    if (!writing_) {
        write();
        return;
    }
    state_ = State::Idle;
    close_form(batchaudioc);
    show_end();
}

// The second phase, in the dialog the first opened (or its own).
void TagsFlow::write() {
    if (!run_->remove()) run_->choose_tags();
    show_rows();
    if (FFtags.TasksCount() > 0) FFtags.ClearTasks();
    writing_ = true;
    const int count = run_->add_writes(FFtags, false);
    if (count == 0) {
        state_ = State::Idle;
        close_form(batchaudioc);
        show_end();
        return;
    }
    state_ = State::Writing;
    // One file at a time: TagLib is never run on two threads at once.
    FFtags.ThreadPriority = tpNormal;
    FFtags.StartTask(1);
    task_progress.assign(static_cast<size_t>(count), 0);
    show_progress(*this, run_->remove() ? "Removing ReplayGain tags......" : "Writing ReplayGain tags......");
}

void TagsFlow::show_rows() {
    for (size_t i = 0; i < items_.size() && i < run_->files.size(); ++i) {
        QTreeWidgetItem* item = items_[i];
        const TagFile& f = run_->files[i];
        item->setText(Tmain::kPeakColumn, QString::fromStdString(level_figure(peak_db(f))));
        item->setText(Tmain::kLoudnessColumn, QString::fromStdString(level_figure(f.loudness)));
        item->setText(Tmain::kGainColumn,
                      QString::fromStdString(level_figure(f.tags ? std::optional(f.tags->track_gain) : std::nullopt)));
        const bool ended = state_ == State::Idle || state_ == State::Cancelled;
        item->setText(Tmain::kResultColumn, ended ? status_of(*run_, f) : "");
        item->setToolTip(Tmain::kResultColumn, QString::fromStdString(f.written ? run_->tags_text(i) : f.error));
        for (int column : {Tmain::kPeakColumn, Tmain::kLoudnessColumn, Tmain::kGainColumn}) {
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        }
    }
}

void TagsFlow::show_end() {
    show_rows();
    const RunResults results = tag_results(*run_);
    if (!cancelled()) {
        // As the list's conversions end: the heading, the counts, then the
        // failed files with their reasons.
        std::string failed;
        for (const TagFile& f : run_->files) {
            if (!f.written) failed += "\r" + f.path + ": " + f.error;
        }
        std::string text = results.heading() + "\r\r" +
                           Format("%d %s, %zu failed.", run_->count_written(), run_->remove() ? "removed" : "tagged",
                                  run_->files.size() - static_cast<size_t>(run_->count_written()));
        if (!failed.empty()) text += "\r\rThese files failed:" + failed;
        MessageBoxA(&window_, text, "", MB_ICONWARNING);
    }
    window_.results_view->show_results(results);
}

}  // namespace sonorix::ui
