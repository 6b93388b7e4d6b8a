// The list page's workflow: the file list, and the runs of the modes
// Normalize, Loudness target and Volume Change over it. The run itself (measurements, targets,
// option texts, tasks) is a BatchJob, shared with sonorix-cli; the handlers
// here select rows, show the dialogs and messages, and continue through the
// one-shot timers, never from inside an engine event.
#include <algorithm>
#include <filesystem>
#include <utility>

#include <QApplication>
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "app/forms.h"
#include "app/list_adder.h"
#include "app/messages.h"
#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/p_options.h"
#include "app/xp_main.h"
#include "workflow/batch_job.h"
#include "workflow/batch_list.h"
#include "workflow/peak_analysis.h"
#include "workflow/source_types.h"
#include "workflow/text.h"

namespace sonorix::ui {

namespace fs = std::filesystem;

namespace {

// Columns of a row: its caption, then the cells.
constexpr int kSizeColumn = 1;
constexpr int kTimeColumn = 2;
constexpr int kFormatColumn = 3;
constexpr int kMaxDbColumn = 4;

const char* const kStopped = "the measurement was stopped";

// Added files join the list in batches: at most this many rows per slice,
// one slice per tick, so that the window repaints and takes clicks between.
constexpr size_t kRowsPerSlice = 200;
constexpr int kAddingTickMs = 30;

// Key presses and the leaving focus of the volume field.
class SpinFilter : public QObject {
public:
    explicit SpinFilter(Tmain* owner) : QObject(owner), owner_(owner) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const QString text = static_cast<QKeyEvent*>(event)->text();
            // Control keys (Tab, Enter, Esc) are no typed characters.
            if (!text.isEmpty() && (text[0].unicode() >= 32 || text[0].unicode() == 8) &&
                !Tmain::batch_spin_volumeKeyPress(text[0].unicode())) {
                return true;
            }
        } else if (event->type() == QEvent::FocusOut) {
            owner_->batch_spin_volumeExit();
        }
        return false;
    }

private:
    Tmain* owner_;
};

}  // namespace

void Tmain::connect_list_page() {
    list_add_file = [this](const std::string& file) { add_file_b(file); };
    list_adder_ = std::make_unique<ListAdder>();
    list_add_timer_ = new QTimer(this);
    list_add_timer_->setInterval(kAddingTickMs);
    connect(list_add_timer_, &QTimer::timeout, this, [this] { take_added_rows(); });
    connect(btn_add, &QToolButton::clicked, this, [this] { btn_addClick(); });
    connect(btn_openfolder, &QToolButton::clicked, this, [this] { btn_openfolderClick(); });
    connect(btn_remove, &QToolButton::clicked, this, [this] { btn_removeClick(); });
    connect(btn_clear, &QToolButton::clicked, this, [this] { btn_clearClick(); });
    // Only a change of selection probes: writing cells does not.
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!deleting_row_) ListView1Change();
    });
    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(timer_ffdirectc, &QTimer::timeout, this, [this] { timer_ffdirectcTimer(); });
    batch_spin_volume->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    batch_spin_volume->installEventFilter(new SpinFilter(this));
    FFdirectc.OnProgress = [this](TObject* s, PProgressInfo p) { FFdirectcProgress(s, p); };
    FFdirectc.OnTerminate = [this](TObject* s, const TTerminateInfo& i) { FFdirectcTerminate(s, i); };
    connect_average_level();
}

// ---- The file list ---------------------------------------------------------

void Tmain::btn_addClick() {
    OpenDialog1.FileName.clear();
    OpenDialog1.Filter = list_file_filter();
    OpenDialog1.FilterIndex = 1;
    OpenDialog1.AllowMultiSelect = true;
    if (!OpenDialog1.Execute(this)) return;
    const std::vector<std::string> files = OpenDialog1.Files;
    for (const std::string& file : files) add_file_b(file);
}

// The file is probed on the adder's thread; its row joins the list when the
// result is taken, in the order the files were added.
void Tmain::add_file_b(const std::string& file_name) {
    if (!list_adder_->busy()) {
        label_before_adding_ = label_totalfiles->text();
        round_accepted_ = false;
    }
    list_adder_->add(file_name);
    show_adding();
    if (!list_add_timer_->isActive()) list_add_timer_->start();
}

bool Tmain::adding_files() const { return list_adder_ && list_adder_->busy(); }

void Tmain::show_adding() {
    label_totalfiles->setText(QString::fromUtf8("Adding files\u2026 %1 of %2")
                                  .arg(list_adder_->round_taken())
                                  .arg(list_adder_->round_total()));
}

// One slice of probed files: accepted ones become rows (in one insertion,
// without a probe each), a refused one gets its message as a selection's
// probe gives it. When the last file is in, the last row added is selected,
// as adding always left it, and the count shows.
void Tmain::take_added_rows() {
    // A refusal's message box runs the loop: no second slice inside it.
    if (taking_rows_) return;
    taking_rows_ = true;
    QList<QTreeWidgetItem*> rows;
    auto insert = [&] {
        if (rows.isEmpty()) return;
        ListView1->addTopLevelItems(rows);
        last_added_ = rows.back();
        round_accepted_ = true;
        rows.clear();
    };
    for (const ProbedRow& row : list_adder_->take(kRowsPerSlice)) {
        if (row.accepted()) {
            rows << new QTreeWidgetItem(QStringList{QString::fromStdString(row.path), QString::fromStdString(row.size),
                                                    QString::fromStdString(row.time),
                                                    QString::fromStdString(row.format), ""});
            continue;
        }
        insert();  // the rows before it are in the list when its message shows
        if (!row.raised) MessageBoxA(this, row.refusal + row.path, "", MB_ICONERROR);
    }
    insert();
    taking_rows_ = false;
    if (list_adder_->busy()) {
        show_adding();
        return;
    }
    list_add_timer_->stop();
    label_totalfiles->setText(round_accepted_ ? QString::number(ListView1->topLevelItemCount()) + " Files"
                                              : label_before_adding_);
    if (QTreeWidgetItem* last = std::exchange(last_added_, nullptr)) select_row(last);
}

void Tmain::btn_openfolderClick() {
    if (!select_folder("", add_folder)) return;
    add_folder = folder_with_separator(add_folder);
    std::error_code ec;
    if (!fs::is_directory(add_folder, ec)) return;
    for (const std::string& file : folder_media_files(add_folder)) add_file_b(file);
}

// Selects item, which probes it; false when the probe rejected it and the
// row is gone. An item already selected is probed all the same: a run must
// find the probe holding the row's file as it is now.
bool Tmain::select_row(QTreeWidgetItem* item) {
    row_rejection_.clear();
    if (item->isSelected()) {
        ListView1Change();
    } else {
        ListView1->setCurrentItem(item);
    }
    return row_rejection_.empty();
}

void Tmain::ListView1Change() {
    const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
    if (selected.isEmpty()) return;
    QTreeWidgetItem* item = selected.front();
    const ProbedRow row = probe_row(FFdirectc.Decoder(), item->text(0).toStdString());
    if (row.accepted()) {
        item->setText(kSizeColumn, QString::fromStdString(row.size));
        item->setText(kTimeColumn, QString::fromStdString(row.time));
        item->setText(kFormatColumn, QString::fromStdString(row.format));
        label_totalfiles->setText(QString::number(ListView1->topLevelItemCount()) + " Files");
        return;
    }
    // A probe that raised: deleted without a further message.
    if (!row.raised) MessageBoxA(this, row.refusal + row.path, "", MB_ICONERROR);
    row_rejection_ = row.raised ? "the file could not be read" : trim_blanks(row.refusal.substr(0, row.refusal.size() - 2));
    delete_row(item);
}

void Tmain::delete_row(QTreeWidgetItem* item) {
    if (item == last_added_) last_added_ = nullptr;
    std::replace(batch_items_.begin(), batch_items_.end(), item, static_cast<QTreeWidgetItem*>(nullptr));
    deleting_row_ = true;
    delete item;
    ListView1->clearSelection();
    deleting_row_ = false;
}

void Tmain::btn_removeClick() {
    const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
    if (selected.isEmpty()) return;
    const int i = ListView1->indexOfTopLevelItem(selected.front());
    delete_row(selected.front());
    const int count = ListView1->topLevelItemCount();
    if (i < count) {
        select_row(ListView1->topLevelItem(i));
    } else if (count > 0) {
        select_row(ListView1->topLevelItem(i - 1));
    }
    ListView1->setFocus();
    label_totalfiles->setText(QString::number(ListView1->topLevelItemCount()) + " Files");
}

void Tmain::btn_clearClick() {
    // Files still being probed are dropped too: the list is to be empty.
    list_adder_->cancel();
    list_add_timer_->stop();
    last_added_ = nullptr;
    std::fill(batch_items_.begin(), batch_items_.end(), nullptr);
    deleting_row_ = true;
    ListView1->clear();
    deleting_row_ = false;
    label_totalfiles->setText("0 Files");
}

bool Tmain::select_folder(const std::string& caption, std::string& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) folder.clear();
    return choose_folder(this, caption, folder);
}

// ---- The runs --------------------------------------------------------------

void Tmain::BitBtn1Click() {
    // A run takes the rows as they stand when it starts; while files are
    // still being probed the list is not what the user asked for.
    if (adding_files()) {
        MessageBoxA(this, "Please wait until all files are added to the list!", "Error", MB_ICONERROR);
        return;
    }
    if (ListView1->topLevelItemCount() == 0) {
        MessageBoxA(this, "Please add file at first!", "Error", MB_ICONERROR);
        return;
    }
    if (!select_folder("Select an output folder for output files", output_folder)) return;
    if (!radio_auto->isChecked() && !radio_change->isChecked() && !radio_mix->isChecked() &&
        !radio_loudness->isChecked()) {
        return;
    }

    std::vector<std::string> sources;
    batch_items_.clear();
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ListView1->topLevelItem(i);
        sources.push_back(item->text(0).toStdString());
        batch_items_.push_back(item);
    }
    const BatchMode mode = radio_mix->isChecked()        ? BatchMode::AverageLevel
                           : radio_auto->isChecked()     ? BatchMode::Normalize
                           : radio_loudness->isChecked() ? BatchMode::Loudness
                                                         : BatchMode::VolumeChange;
    targets_checked_ = false;
    batch_job_ = std::make_unique<BatchJob>(mode, batch_spin_volume->value(), output_folder,
                                            trim_blanks(options->ed_prefix->text().toStdString()), sources);
    batch_job_->set_loudness(batch_spin_loudness->value(), options->ed_ceiling->value());
    // Files already in the folder under a target's name are the user's: one
    // question per run, before anything is measured or written.
    batch_job_->plan_targets();
    if (const size_t existing = batch_job_->existing_targets().size(); existing > 0) {
        const std::string text =
            Format("%zu file(s) in the output folder have the name of a target and would be replaced.", existing);
        const MessageAnswer answer = ask_three(this, text, "Replace files?", "Replace", "Keep both");
        if (answer == MessageAnswer::Cancel) {
            batch_job_.reset();
            return;
        }
        if (answer == MessageAnswer::No) batch_job_->plan_targets(true);
    }
    if (mode == BatchMode::AverageLevel) {
        multi_rms();
        return;
    }
    if (mode == BatchMode::VolumeChange) {
        multi_convert();
        return;
    }
    analysis_mode = "multi";
    cancelled = 0;
    batch_row_ = 0;
    measure_next_row();
}

// Selects the next row that can still be opened and measures it; after the
// last one the conversion follows. Runs from the click and from
// timer_ffdetect.
void Tmain::measure_next_row() {
    if (cancelled) {
        analyzeaudio->timer1->stop();
        close_form(analyzeaudio);
        return;
    }
    while (batch_row_ < batch_items_.size()) {
        QTreeWidgetItem* item = batch_items_[batch_row_];
        if (item && select_row(item)) {
            multi_peak();
            return;
        }
        batch_job_->skip(batch_row_, item ? row_rejection_ : "the row was removed");
        ++batch_row_;
    }
    analyzeaudio->timer1->stop();
    close_form(analyzeaudio);
    multi_convert();
}

void Tmain::multi_peak() {
    if (FFdetect.TasksCount() > 0) FFdetect.ClearTasks();
    // No value of an earlier row may stand in for this one's.
    max_volume_text.clear();
    peak_failed = false;
    peak_error.clear();
    std::string message;
    if (batch_job_->add_measurement(FFdetect, batch_row_, false, message) < 0) {
        end_batch_measuring(message);
        return;
    }
    track_readings = TrackReadings(static_cast<int>(batch_job_->rows[batch_row_].tracks.size()),
                                   batch_job_->mode() == BatchMode::Loudness ? LevelKind::Loudness : LevelKind::Peak);
    analysis_mode = "multi";
    FFdetect.ThreadPriority = tpIdle;
    // The logger listens before the task can print its result.
    FFLogger1.SetActive(true);
    cancelled = 0;
    FFdetect.StartTask(1);

    analyzeaudio->Label1->setText("Analyzing");
    analyzeaudio->Label2->setText(QString::fromStdString(analysis_file_label(batch_job_->rows[batch_row_].source)));
    analyzeaudio->Button1->setEnabled(true);
    analyzeaudio->timer1->start();
    if (!analyzeaudio->isVisible()) show_modal(*analyzeaudio);
}

// A set-up error of a later row: the dialog of the earlier one must not stay.
void Tmain::end_batch_measuring(const std::string& message) {
    analyzeaudio->timer1->stop();
    close_form(analyzeaudio);
    MessageBoxA(this, message, "Error", MB_ICONERROR);
}

// The final notification of a row's measurement (not cancelled).
void Tmain::multi_peak_done() {
    const std::string failure = peak_failed ? (peak_error.empty() ? kStopped : peak_error) : std::string();
    batch_job_->measured(batch_row_, peak_failed ? std::vector<TrackReading>{} : track_readings.tracks(), failure);
    if (QTreeWidgetItem* item = batch_items_[batch_row_]) {
        item->setText(kMaxDbColumn, QString::fromStdString(batch_job_->rows[batch_row_].max_db));
    }
    ++batch_row_;
    if (batch_row_ >= batch_items_.size()) {
        analyzeaudio->timer1->stop();
        close_form(analyzeaudio);
    }
    timer_ffdetect->start();
}

void Tmain::multi_convert() {
    if (FFdirectc.TasksCount() > 0) FFdirectc.ClearTasks();
    // The list's tasks open their files when they start, so a long list
    // holds few and a row that cannot be set up fails alone; the single-file
    // page's task on the same component opens at once.
    FFdirectc.DeferSetup = true;
    const auto failure = batch_job_->add_conversions(FFdirectc, FFdirectc.Decoder(), [this](size_t row, std::string& reason) {
        QTreeWidgetItem* item = batch_items_[row];
        if (!item || !select_row(item)) {
            reason = item ? row_rejection_ : "the row was removed";
            return false;
        }
        target_file = batch_job_->rows[row].target.string();
        return true;
    });
    FFdirectc.DeferSetup = false;
    if (failure) {
        MessageBoxA(this, *failure, "Error", MB_ICONERROR);
        return;
    }
    running_encoder = "ffdirectc";
    cancelled = 0;
    if (FFdirectc.TasksCount() == 0) {
        // Nothing to convert: the end message still says why.
        timer_ffdirectc->start();
        return;
    }
    start_conversions(FFdirectc, "ffdirectc", "Adjust volume......");
}

void Tmain::FFdirectcProgress(TObject*, PProgressInfo AProgressInfo) { show_task_progress(AProgressInfo); }

void Tmain::FFdirectcTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    if (batch_job_) batch_job_->conversion_ended(ATerminateInfo);
    // A failed row is named with its reason in the end message.
    if (ATerminateInfo.TaskIndex >= 0) return;
    if (cancelled) {
        close_form(batchaudioc);
        return;
    }
    // After a failure no check and no second pass: the end message says it.
    if (ATerminateInfo.Failed) targets_checked_ = true;
    timer_ffdirectc->start();
}

void Tmain::timer_ffdirectcTimer() {
    timer_ffdirectc->stop();
    // The dialog stays while the lossy targets' peaks are checked.
    if (!targets_checked_ && check_targets()) return;
    close_form(batchaudioc);
    MessageBoxA(this, batch_job_ ? batch_job_->finish_text() : "Process is finished!", "", MB_ICONWARNING);
}

// Normalize and Loudness: the decoded peak of each lossy target, one at a
// time, so that each log line belongs to the check running; false when no
// target needs one.
bool Tmain::check_targets() {
    targets_checked_ = true;
    if (!batch_job_) return false;
    if (FFdetect.TasksCount() > 0) FFdetect.ClearTasks();
    checked_rows_ = batch_job_->add_checks(FFdetect, false);
    if (checked_rows_.empty()) return false;
    start_checks("check", checked_rows_.size());
    return true;
}

// Runs the check tasks set up on FFdetect, with the dialog still open.
void Tmain::start_checks(const char* mode, size_t count) {
    check_readings_.assign(count, TrackReadings(1, LevelKind::Loudness));
    check_index_ = 0;
    analysis_mode = mode;
    running_encoder = "ffdetect";
    cancelled = 0;
    FFLogger1.SetActive(true);
    FFdetect.ThreadPriority = tpNormal;
    FFdetect.StartTask(1);
    batchaudioc->Label1->setText("Check the peaks......");
    batchaudioc->progresstotal->setValue(0);
    batchaudioc->Button1->setEnabled(true);
}

// The checks ended: the rows whose peak passed the limit are converted once
// more with the gain lowered; the others are done.
void Tmain::targets_checked() {
    for (size_t i = 0; i < checked_rows_.size() && i < check_readings_.size(); ++i) {
        batch_job_->checked(checked_rows_[i], check_readings_[i].tracks());
    }
    if (!cancelled && batch_job_->second_passes() > 0) {
        multi_convert();
        return;
    }
    close_form(batchaudioc);
    if (!cancelled) MessageBoxA(this, batch_job_->finish_text(), "", MB_ICONWARNING);
}

bool Tmain::batch_spin_volumeKeyPress(char16_t Key) { return Key == 8 || (Key >= u'0' && Key <= u'9'); }

void Tmain::batch_spin_volumeExit() {
    bool ok = false;
    const int typed = batch_spin_volume->text().toInt(&ok);
    const int value = std::clamp(ok ? typed : 0, batch_spin_volume->minimum(), batch_spin_volume->maximum());
    batch_spin_volume->setValue(value);
    if (auto* edit = batch_spin_volume->findChild<QLineEdit*>()) edit->setText(QString::number(value));
}

}  // namespace sonorix::ui
