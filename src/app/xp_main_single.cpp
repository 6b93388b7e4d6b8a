// The single-file workflow of the main window: loading the source, measuring
// its peak, and converting it.
#include <cstdlib>
#include <filesystem>

#include <QDoubleSpinBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include "app/forms.h"
#include "app/messages.h"
#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/p_options.h"
#include "app/step_button.h"
#include <algorithm>

#include "app/xp_main.h"
#include "workflow/conversion_options.h"
#include "workflow/peak_analysis.h"
#include "workflow/source_types.h"

namespace sonorix::ui {

namespace fs = std::filesystem;

namespace {

const char* const kPeakNotMeasured =
    "The peak level of the file could not be measured, so it cannot be normalized.";
const char* const kLoudnessNotMeasured =
    "The loudness of the file could not be measured (is it silent?), so it cannot be brought to the target.";
const char* const kSilent = "The file is silent: there is nothing to amplify.";

}  // namespace

void Tmain::Button1Click() {
    OpenDialog1.FileName.clear();
    OpenDialog1.Filter = source_file_filter();
    OpenDialog1.FilterIndex = 1;
    OpenDialog1.AllowMultiSelect = true;
    if (!OpenDialog1.Execute(this)) return;
    add_file(OpenDialog1.FileName);
}

void Tmain::add_file(const std::string& file_name) {
    TFFDecoder& probe = FFencoder.Decoder();
    // A refused file does not stay in the probe: the conversion reads the
    // facts of the accepted source from it.
    auto refuse = [&](const char* message) {
        if (message) MessageBoxA(this, message, "", MB_ICONERROR);
        if (!source_file.empty()) probe.LoadFile(source_file);
    };
    if (!probe.LoadFile(file_name)) return refuse("File load error! ");
    if (probe.AudioStreamCount <= 0) return refuse("No audio stream! ");
    TFileStreamInfo info;
    probe.GetFileInfo(info);
    if (info.Duration <= 0) return refuse(nullptr);
    QString text = QString::fromStdString(probe.GetInfoText());
    text.remove('\r');
    Memo1->setPlainText(text);
    source_file = file_name;
}

// Every job's one task: a fresh list, the source as input, target with
// options as output. Failures are told in the job's words.
bool Tmain::add_source_task(TFFEncoder& encoder, const std::string& target, const std::string& options) {
    if (encoder.TasksCount() > 0) encoder.ClearTasks();
    TInputOptions in;
    ResetInputOptions(in);
    const int task = encoder.AddTask(source_file, &in);
    if (task < 0) {
        MessageBoxA(this, "Add file error: " + encoder.LastErrorMessage(), "Error", MB_ICONERROR);
        return false;
    }
    TOutputOptions out;
    ResetOutputOptions(out);
    out.Options += options;
    if (encoder.SetOutput(task, target, &out) < 0) {
        encoder.RemoveTask(task);
        MessageBoxA(this, "Cannot do convert, error: " + encoder.LastErrorMessage(), "Error", MB_ICONERROR);
        return false;
    }
    return true;
}

void Tmain::single_peak() {
    // No value of an earlier file may stand in for this one's.
    max_volume_text.clear();
    peak_failed = false;
    const LevelKind kind = radio_loudness_single->isChecked() ? LevelKind::Loudness : LevelKind::Peak;
    // Every audio track of the source, as it is now: the file may have changed
    // since it was loaded. One that cannot be read measures no track, and the
    // task tells why.
    const int tracks = FFencoder.Decoder().LoadFile(source_file) ? audio_track_count(FFencoder.Decoder()) : 0;
    track_readings = TrackReadings(tracks, kind);
    if (!add_source_task(FFdetect, kNullDevice, track_measurement_options(tracks, kind))) return;
    analysis_mode = "single";
    cancelled = 0;
    // The logger listens before the task can print its result.
    FFLogger1.SetActive(true);
    FFdetect.ThreadPriority = tpIdle;
    FFdetect.StartTask(1);

    analyzeaudio->Label1->setText("Analyzing");
    analyzeaudio->Label2->setText(QString::fromStdString(analysis_file_label(source_file)));
    analyzeaudio->Button1->setEnabled(true);
    analyzeaudio->timer1->start();
    show_modal(*analyzeaudio);
}

void Tmain::FFLogger1Log(TObject*, int, TLogLevel, const std::string& ALogMsg) {
    if (analysis_mode == "check" || analysis_mode == "single_check") {
        if (check_index_ < check_readings_.size()) check_readings_[check_index_].read(ALogMsg);
        return;
    }
    track_readings.read(ALogMsg);
}

void Tmain::FFdetectTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    if (analysis_mode == "check" || analysis_mode == "single_check") {
        // A check that fails leaves its target as it is.
        if (ATerminateInfo.TaskIndex >= 0) {
            ++check_index_;
            batchaudioc->progresstotal->setValue(
                static_cast<int>(100 * check_index_ / std::max<size_t>(1, checked_rows_.size())));
        } else {
            // A failed check leaves its target as it is; the others count.
            FFLogger1.SetActive(false);
            timer_ffdetect->start();
        }
        return;
    }
    FFLogger1.SetActive(false);
    if (ATerminateInfo.Failed && ATerminateInfo.TaskIndex >= 0) {
        peak_failed = true;
        peak_error = ATerminateInfo.ErrorText;
        Application.MessageBox(ATerminateInfo.ErrorText, Application.Title, MB_ICONWARNING);
        return;
    }
    if (ATerminateInfo.TaskIndex >= 0) {
        if (!ATerminateInfo.Completed) peak_failed = true;
        return;
    }
    if (cancelled == 1) {
        analyzeaudio->timer1->stop();
        close_form(analyzeaudio);
        return;
    }
    if (analysis_mode == "single") {
        analyzeaudio->timer1->stop();
        close_form(analyzeaudio);
        timer_ffdetect->start();
    } else if (analysis_mode == "multi") {
        multi_peak_done();
    }
}

void Tmain::timer_ffdetectTimer() {
    timer_ffdetect->stop();
    if (analysis_mode == "multi") return measure_next_row();
    if (analysis_mode == "check") return targets_checked();
    if (analysis_mode == "single_check") return single_target_checked();
    if (analysis_mode != "single") return;
    // Each track's own gain; a silent track keeps its level.
    const bool loudness = radio_loudness_single->isChecked();
    const auto& tracks = track_readings.tracks();
    const size_t main = std::min<size_t>(static_cast<size_t>(main_audio_track(FFencoder.Decoder())),
                                         tracks.empty() ? 0 : tracks.size() - 1);
    single_track_gains_.clear();
    single_track_below_.clear();
    bool measured = false;
    for (const TrackReading& t : tracks) {
        measured |= t.peak_db.has_value();
        const auto g = loudness ? loudness_gain(t.loudness, spin_loudness_single->value(), options->ed_ceiling->value())
                                : std::nullopt;
        single_track_gains_.push_back(loudness ? (g ? std::optional<double>(g->gain_db) : std::nullopt) : headroom_gain(t));
        single_track_below_.push_back(g ? g->below_target : 0);
    }
    const bool audible = std::any_of(single_track_gains_.begin(), single_track_gains_.end(),
                                     [](const std::optional<double>& g) { return g.has_value(); });
    if (peak_failed || !measured || (loudness && !audible)) {
        MessageBoxA(this, loudness ? kLoudnessNotMeasured : kPeakNotMeasured, "Error", MB_ICONERROR);
        return;
    }
    if (!audible) {
        MessageBoxA(this, kSilent, "Error", MB_ICONERROR);
        return;
    }
    // The main track's headroom, as the measurement used to tell it.
    if (!loudness && tracks[main].peak_db) max_volume_text = Format("%.1f", -*tracks[main].peak_db + 0.0);
    single_main_track_ = main;
    single_convert();
}

void Tmain::show_volume() { label_volume->setText(QString::number(NCTStepButton21->Value()) + "%"); }

void Tmain::BitBtn3Click() {
    if (NCTStepButton21->Value() <= 0) return;
    NCTStepButton21->SetValue(NCTStepButton21->Value() - 1);
    show_volume();
}

void Tmain::BitBtn4Click() {
    if (NCTStepButton21->Value() >= 1000) return;
    NCTStepButton21->SetValue(NCTStepButton21->Value() + 1);
    show_volume();
}

void Tmain::NCTStepButton21ValueChange(QObject*, int) { show_volume(); }

void Tmain::bt_amplifyclick() {
    if (source_file.empty()) {
        MessageBoxA(this, "Please load file at first!", "Error", MB_ICONERROR);
        return;
    }
    std::error_code ec;
    if (!fs::exists(source_file, ec)) {
        MessageBoxA(this, "Can not locate the source file: " + source_file, "Error", MB_ICONERROR);
        return;
    }
    SaveDialog1.Filter.clear();
    SaveDialog1.FileName.clear();
    const SaveChoices choices = save_choices(source_file);
    SaveDialog1.Filter = choices.filter;
    SaveDialog1.DefaultExt = choices.default_extension;
    SaveDialog1.FilterIndex = 1;
    SaveDialog1.InitialDir = fs::path(source_file).parent_path().string();
    if (!SaveDialog1.Execute(this)) return;
    const std::string target = SaveDialog1.FileName;
    if (same_file(target, source_file)) {
        MessageBoxA(this, "The target file name is as same as source file", "Error", MB_ICONERROR);
        return;
    }
    if (fs::exists(target, ec)) {
        const std::string question = target + " already exists.\rDo you want to replace it?";
        if (MessageBoxA(this, question, "Confirm", MB_ICONQUESTION | MB_YESNO) == IDNO) return;
    }
    single_track_gains_.clear();
    single_checked_ = false;
    if (RadioButton2->isChecked() || radio_loudness_single->isChecked()) single_peak();
    if (RadioButton1->isChecked()) single_convert();
}

void Tmain::single_convert() {
    const std::string target = SaveDialog1.FileName;
    std::vector<std::string> chains;
    if (RadioButton1->isChecked()) chains.push_back(volume_change_filter(NCTStepButton21->Value()));
    single_below_target_ = 0;
    if (RadioButton2->isChecked() || radio_loudness_single->isChecked()) {
        for (const auto& gain : single_track_gains_) chains.push_back(gain ? gain_filter(*gain) : std::string());
        const size_t main = std::min(single_main_track_, single_track_gains_.size() - 1);
        single_gain_ = single_track_gains_[main].value_or(0);
        if (radio_loudness_single->isChecked()) single_below_target_ = single_track_below_[main];
    }
    // The options read the probe, which holds the source; the task does not
    // change it.
    const std::string options = conversion_options(source_file, target, FFencoder.Decoder(), chains);
    if (!add_source_task(FFencoder, target, options)) return;
    start_conversions(FFencoder, "ffencoder", "Adjust volume......");
}

// Starts encoder's tasks three at a time (name: its running_encoder text)
// with the progress dialog showing status. A dialog already open, in a later
// phase or a second pass, stays; otherwise this returns when it closes.
void Tmain::start_conversions(TFFEncoder& encoder, const char* name, const char* status) {
    encoder.ThreadPriority = tpNormal;
    encoder.StartTask(3);
    task_progress.assign(static_cast<size_t>(encoder.TasksCount()), 0);
    running_encoder = name;
    cancelled = 0;
    batchaudioc->Label1->setText(status);
    batchaudioc->progresstotal->setValue(0);
    batchaudioc->Button1->setEnabled(true);
    if (!batchaudioc->isVisible()) show_modal(*batchaudioc);
}

void Tmain::FFencoderProgress(TObject*, PProgressInfo AProgressInfo) { show_task_progress(AProgressInfo); }

// The bar of the progress dialog: the plain mean of the task percentages.
void Tmain::show_task_progress(PProgressInfo AProgressInfo) {
    // A report without a known duration says nothing about the share done.
    const auto percent = task_percent(AProgressInfo->Position, AProgressInfo->Duration);
    const auto index = static_cast<size_t>(AProgressInfo->TaskIndex);
    if (!percent || AProgressInfo->TaskIndex < 0 || index >= task_progress.size()) return;
    task_progress[index] = *percent;
    batchaudioc->progresstotal->setValue(mean_percent(task_progress));
}

void Tmain::FFencoderTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    if (ATerminateInfo.TaskIndex >= 0) {
        if (ATerminateInfo.Failed) Application.MessageBox(ATerminateInfo.ErrorText, Application.Title, MB_ICONWARNING);
        return;
    }
    // A failed conversion wrote nothing: whatever lies at the target path is
    // not its output, so it is neither checked nor converted again.
    if (cancelled == 0 && ATerminateInfo.Completed) {
        timer_ffencoder->start();
    } else {
        close_form(batchaudioc);
    }
}

// Normalize and Loudness to a lossy target: its decoded peak, with the
// dialog still open; false when the target needs no check.
bool Tmain::check_single_target() {
    single_checked_ = true;
    if (!RadioButton2->isChecked() && !radio_loudness_single->isChecked()) return false;
    const std::string target = SaveDialog1.FileName;
    if (!FFdetect.Decoder().LoadFile(target)) return false;
    single_check_lossy_ = lossy_audio_tracks(FFdetect.Decoder());
    if (std::find(single_check_lossy_.begin(), single_check_lossy_.end(), true) == single_check_lossy_.end()) return false;
    if (FFdetect.TasksCount() > 0) FFdetect.ClearTasks();
    const int task = FFdetect.AddTask(target);
    TOutputOptions out;
    ResetOutputOptions(out);
    out.Options += track_measurement_options(static_cast<int>(single_check_lossy_.size()), LevelKind::Loudness);
    if (task < 0 || FFdetect.SetOutput(task, kNullDevice, &out) < 0) return false;
    checked_rows_.clear();
    start_checks("single_check", 1);
    return true;
}

// Its peak passed the limit: once more with the gain lowered by the
// overshoot and a margin. Otherwise the run is done.
void Tmain::single_target_checked() {
    const bool loudness = radio_loudness_single->isChecked();
    const auto& tracks = check_readings_.front().tracks();
    bool again = false;
    for (size_t t = 0; !cancelled && t < single_track_gains_.size() && t < tracks.size(); ++t) {
        if (!single_track_gains_[t] || t >= single_check_lossy_.size() || !single_check_lossy_[t]) continue;
        const auto lower = second_pass_gain(*single_track_gains_[t],
                                            loudness ? tracks[t].loudness.true_peak : tracks[t].peak_db,
                                            loudness ? options->ed_ceiling->value() : 0.0);
        if (!lower) continue;
        single_track_below_[t] += *single_track_gains_[t] - *lower;
        single_track_gains_[t] = lower;
        again = true;
    }
    if (again) {
        single_convert();
        return;
    }
    close_form(batchaudioc);
    if (!cancelled) show_single_end();
}

void Tmain::timer_ffencoderTimer() {
    timer_ffencoder->stop();
    if (!single_checked_ && check_single_target()) return;
    close_form(batchaudioc);
    show_single_end();
}

void Tmain::show_single_end() {
    std::string text = "Process is finished!";
    if (single_below_target_ > 0.05) {
        text += Format("\r\rThe true-peak ceiling kept the file %.1f LU below the target.", single_below_target_);
    }
    MessageBoxA(this, text, "", MB_ICONWARNING);
}

}  // namespace sonorix::ui
