#include "app/single_file_flow.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include "app/dialogs.h"
#include "app/forms.h"
#include "app/messages.h"
#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/p_options.h"
#include "app/results_view.h"
#include "app/step_button.h"
#include "app/xp_main.h"
#include "workflow/batch_job.h"
#include "workflow/conversion_options.h"
#include "workflow/lossless_task.h"
#include "workflow/meter_task.h"
#include "workflow/output_options.h"
#include "workflow/peak_analysis.h"
#include "workflow/source_types.h"

namespace sonorix::ui {

namespace fs = std::filesystem;

namespace {

const char* const kPeakNotMeasured = "The peak level of the file could not be measured, so it cannot be normalized.";
const char* const kLoudnessNotMeasured =
    "The loudness of the file could not be measured (is it silent?), so it cannot be brought to the target.";
const char* const kSilent = "The file is silent: there is nothing to amplify.";

}  // namespace

SingleFileFlow::SingleFileFlow(Tmain& window, LevelMeter& meter) : QObject(&window), window_(window), meter_(meter) {
    setObjectName("single_file_flow");
    timer_ffencoder = continuation_timer(this, "timer_ffencoder");
    connect(timer_ffencoder, &QTimer::timeout, this, [this] { timer_ffencoderTimer(); });
    FFencoder.OnProgress = [this](TObject* s, PProgressInfo p) { FFencoderProgress(s, p); };
    FFencoder.OnTerminate = [this](TObject* s, const TTerminateInfo& i) { FFencoderTerminate(s, i); };
    // The conversion opens the source and creates the target on its worker;
    // a failure there ends it Failed, with the reason.
    FFencoder.DeferSetup = true;
}

void SingleFileFlow::cancel() {
    TFFEncoder* running = state_ == State::Converting                               ? &FFencoder
                          : state_ == State::Measuring || state_ == State::Checking ? &meter_.FFdetect
                                                                                    : nullptr;
    state_ = State::Cancelled;
    if (running) running->Stop(true);
}

void SingleFileFlow::Button1Click() {
    TFileDialog& open = window_.OpenDialog1;
    open.FileName.clear();
    open.Filter = source_file_filter();
    open.FilterIndex = 1;
    open.AllowMultiSelect = true;
    if (!open.Execute(&window_)) return;
    add_file(open.FileName);
}

// The user's choice, probed at once for its description; the facts the run
// reads are kept with it.
void SingleFileFlow::add_file(const std::string& file_name) {
    TFFDecoder& probe = FFencoder.Decoder();
    auto refuse = [&](const char* message) {
        if (message) MessageBoxA(&window_, message, "", MB_ICONERROR);
    };
    std::shared_ptr<SourceFacts> facts = load_source_facts(probe, file_name);
    if (!facts) return refuse("File load error! ");
    if (probe.AudioStreamCount <= 0) return refuse("No audio stream! ");
    TFileStreamInfo info;
    probe.GetFileInfo(info);
    if (info.Duration <= 0) return refuse(nullptr);
    QString text = QString::fromStdString(probe.GetInfoText());
    text.remove('\r');
    window_.Memo1->setPlainText(text);
    source_file = file_name;
    facts_ = std::move(facts);
}

// The kept facts, read again on the main thread when the file changed since
// and no measurement did so on its worker (Volume Change).
bool SingleFileFlow::facts_stale() const { return !facts_ || !facts_current(*facts_, source_file); }

const SourceFacts& SingleFileFlow::source_facts_now() {
    if (facts_stale()) {
        std::shared_ptr<SourceFacts> facts = load_source_facts(FFencoder.Decoder(), source_file);
        // One that can no longer be read: its task's own error will tell.
        facts_ = facts ? std::move(facts) : std::make_shared<SourceFacts>();
    }
    return *facts_;
}

// Every job's one task: a fresh list, the source as input, target with
// options as output. Failures are told in the job's words.
bool SingleFileFlow::add_source_task(TFFEncoder& encoder, const std::string& target, const std::string& options) {
    if (encoder.TasksCount() > 0) encoder.ClearTasks();
    TInputOptions in;
    ResetInputOptions(in);
    const int task = encoder.AddTask(source_file, &in);
    if (task < 0) {
        MessageBoxA(&window_, "Add file error: " + encoder.LastErrorMessage(), "Error", MB_ICONERROR);
        return false;
    }
    TOutputOptions out;
    ResetOutputOptions(out);
    out.Options += options;
    if (encoder.SetOutput(task, target, &out) < 0) {
        encoder.RemoveTask(task);
        MessageBoxA(&window_, "Cannot do convert, error: " + encoder.LastErrorMessage(), "Error", MB_ICONERROR);
        return false;
    }
    return true;
}

void SingleFileFlow::single_peak() {
    meter_.clear_results();
    const LevelKind kind = window_.radio_loudness_single->isChecked() ? LevelKind::Loudness : LevelKind::Peak;
    // The meter task opens the file itself; one that cannot be read fails
    // the task, which tells why. A file changed since it was loaded has its
    // facts read again there, for the conversion's options.
    TFFEncoder& detect = meter_.FFdetect;
    if (detect.TasksCount() > 0) detect.ClearTasks();
    auto readings = std::make_shared<MeterReadings>();
    add_meter_task(detect, source_file, kind, false, -1, readings, false, facts_stale());
    state_ = State::Measuring;
    meter_.measure(*this, std::move(readings));

    analyzeaudio->flow = this;
    analyzeaudio->Label1->setText("Analyzing");
    analyzeaudio->Label2->setText(QString::fromStdString(analysis_file_label(source_file)));
    analyzeaudio->Button1->setEnabled(true);
    analyzeaudio->show_count(1, 1);
    analyzeaudio->timer1->start();
    show_modal(*analyzeaudio);
}

void SingleFileFlow::measured() {
    analyzeaudio->timer1->stop();
    close_form(analyzeaudio);
    meter_.continue_later();
}

void SingleFileFlow::meter_done() {
    if (meter_.checking()) {
        single_target_checked();
    } else {
        convert_measured();
    }
}

// Each track's own gain; a silent track keeps its level.
void SingleFileFlow::convert_measured() {
    if (meter_.track_readings->facts) facts_ = meter_.track_readings->facts;
    const bool loudness = window_.radio_loudness_single->isChecked();
    const auto& tracks = meter_.track_readings->tracks;
    const size_t main = std::min(meter_.track_readings->main_track, tracks.empty() ? 0 : tracks.size() - 1);
    single_track_gains_.clear();
    single_track_below_.clear();
    single_true_peaks_.clear();
    bool measured = false;
    for (const TrackReading& t : tracks) {
        measured |= t.peak_db.has_value();
        single_true_peaks_.push_back(t.loudness.true_peak);
        const auto g =
            loudness ? loudness_gain(t.loudness, window_.spin_loudness_single->value(), options->ed_ceiling->value())
                     : std::nullopt;
        single_track_gains_.push_back(loudness ? (g ? std::optional<double>(g->gain_db) : std::nullopt)
                                               : headroom_gain(t));
        single_track_below_.push_back(g ? g->below_target : 0);
    }
    const bool audible = std::any_of(single_track_gains_.begin(), single_track_gains_.end(),
                                     [](const std::optional<double>& g) { return g.has_value(); });
    if (meter_.peak_failed && !meter_.peak_error.empty()) {
        Application.MessageBox(meter_.peak_error, Application.Title, MB_ICONWARNING);
    }
    if (meter_.peak_failed || !measured || (loudness && !audible)) {
        MessageBoxA(&window_, loudness ? kLoudnessNotMeasured : kPeakNotMeasured, "Error", MB_ICONERROR);
        return;
    }
    if (!audible) {
        MessageBoxA(&window_, kSilent, "Error", MB_ICONERROR);
        return;
    }
    // The main track's headroom, as the measurement used to tell it.
    if (!loudness && tracks[main].peak_db) meter_.max_volume_text = Format("%.1f", -*tracks[main].peak_db + 0.0);
    single_main_track_ = main;
    single_before_ = loudness ? tracks[main].loudness.integrated : tracks[main].peak_db;
    single_convert();
}

void SingleFileFlow::bt_amplifyclick() {
    if (source_file.empty()) {
        MessageBoxA(&window_, "Please load file at first!", "Error", MB_ICONERROR);
        return;
    }
    std::error_code ec;
    if (!fs::exists(source_file, ec)) {
        MessageBoxA(&window_, "Can not locate the source file: " + source_file, "Error", MB_ICONERROR);
        return;
    }
    TFileDialog& save = window_.SaveDialog1;
    save.Filter.clear();
    save.FileName.clear();
    const SaveChoices choices = save_choices(source_file);
    save.Filter = choices.filter;
    save.DefaultExt = choices.default_extension;
    save.FilterIndex = 1;
    save.InitialDir = fs::path(source_file).parent_path().string();
    if (!save.Execute(&window_)) return;
    const std::string target = save.FileName;
    if (same_file(target, source_file)) {
        MessageBoxA(&window_, "The target file name is as same as source file", "Error", MB_ICONERROR);
        return;
    }
    if (fs::exists(target, ec)) {
        const std::string question = target + " already exists.\rDo you want to replace it?";
        if (MessageBoxA(&window_, question, "Confirm", MB_ICONQUESTION | MB_YESNO) == IDNO) return;
    }
    single_track_gains_.clear();
    single_checked_ = false;
    single_before_.reset();
    single_after_.reset();
    single_true_peaks_.clear();
    single_remux_.reset();
    single_refusal_.clear();
    single_lossless_ = false;
    single_gains_.clear();
    if (window_.RadioButton2->isChecked() || window_.radio_loudness_single->isChecked()) single_peak();
    if (window_.RadioButton1->isChecked()) single_convert();
}

void SingleFileFlow::single_convert() {
    const std::string target = window_.SaveDialog1.FileName;
    std::vector<std::string> chains;
    if (window_.RadioButton1->isChecked()) {
        chains.push_back(volume_change_filter(window_.NCTStepButton21->Value()));
        const int percent = window_.NCTStepButton21->Value();
        single_gain_ = percent > 0 ? 20 * std::log10(percent / 100.0) : 0;
    }
    single_below_target_ = 0;
    if (window_.RadioButton2->isChecked() || window_.radio_loudness_single->isChecked()) {
        for (const auto& gain : single_track_gains_) chains.push_back(gain ? gain_filter(*gain) : std::string());
        const size_t main = std::min(single_main_track_, single_track_gains_.size() - 1);
        single_gain_ = single_track_gains_[main].value_or(0);
        if (window_.radio_loudness_single->isChecked()) single_below_target_ = single_track_below_[main];
    }
    // The lossless path first, unless it refused the file; a second pass
    // follows only a re-encoded target's check.
    if (window_.check_lossless_single->isChecked() && single_refusal_.empty() && !single_checked_ &&
        start_lossless(target)) {
        return;
    }
    const std::string options = conversion_options(source_file, target, source_facts_now(), chains);
    if (!add_source_task(FFencoder, target, options)) return;
    start_tasks(FFencoder, task_progress);
    state_ = State::Converting;
    show_progress(*this, "Adjust volume......");
}

bool SingleFileFlow::start_lossless(const std::string& target) {
    std::vector<lossless::GainRequest> requests;
    if (window_.RadioButton1->isChecked()) {
        requests = volume_change_requests(window_.NCTStepButton21->Value());
    } else {
        std::vector<TrackGain> tracks;
        for (size_t t = 0; t < single_track_gains_.size(); ++t)
            tracks.push_back(
                {single_track_gains_[t], t < single_true_peaks_.size() ? single_true_peaks_[t] : std::nullopt});
        requests =
            measured_requests(window_.radio_loudness_single->isChecked() ? BatchMode::Loudness : BatchMode::Normalize,
                              tracks, options->ed_ceiling->value());
    }
    if (FFencoder.TasksCount() > 0) FFencoder.ClearTasks();
    const int64_t duration = source_facts_now().duration;
    single_remux_ = std::make_shared<lossless::RemuxResult>();
    if (add_lossless_task(FFencoder, source_file, target, std::move(requests), false, duration, single_remux_) < 0) {
        single_remux_.reset();
        single_refusal_ = "the task could not be added: " + FFencoder.LastErrorMessage();
        return false;
    }
    start_tasks(FFencoder, task_progress);
    state_ = State::Converting;
    show_progress(*this, "Adjust volume......");
    return true;
}

void SingleFileFlow::FFencoderProgress(TObject*, PProgressInfo AProgressInfo) {
    show_task_progress(task_progress, AProgressInfo);
}

void SingleFileFlow::FFencoderTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    show_task_ended(task_progress, ATerminateInfo);
    end_phase(
        ATerminateInfo, cancelled(),
        [&] {
            if (ATerminateInfo.Failed)
                Application.MessageBox(ATerminateInfo.ErrorText, Application.Title, MB_ICONWARNING);
        },
        [] { close_form(batchaudioc); },
        [&] {
            // A failed conversion wrote nothing: whatever lies at the target
            // path is not its output, so it is neither checked nor converted
            // again.
            if (ATerminateInfo.Completed) {
                timer_ffencoder->start();
            } else {
                close_form(batchaudioc);
                show_single_results("failed", ATerminateInfo.ErrorText);
            }
        });
}

// Normalize and Loudness: the decoded peak of the target's lossy tracks,
// with the dialog still open; false when the mode needs no check. The meter
// task opens the target on its worker and decodes it only when a track is
// lossy, so the main thread opens nothing after the conversion.
bool SingleFileFlow::check_single_target() {
    single_checked_ = true;
    if (!window_.RadioButton2->isChecked() && !window_.radio_loudness_single->isChecked()) return false;
    const std::string target = window_.SaveDialog1.FileName;
    TFFEncoder& detect = meter_.FFdetect;
    if (detect.TasksCount() > 0) detect.ClearTasks();
    auto readings = std::make_shared<MeterReadings>();
    add_meter_task(detect, target, LevelKind::Loudness, false, -1, readings, true);
    state_ = State::Checking;
    meter_.check(*this, {std::move(readings)});
    show_checks(*this);
    return true;
}

// Its peak passed the limit: once more with the gain lowered by the
// overshoot and a margin. Otherwise the run is done.
void SingleFileFlow::single_target_checked() {
    const bool loudness = window_.radio_loudness_single->isChecked();
    const auto& tracks = meter_.check_readings().front()->tracks;
    bool again = false;
    for (size_t t = 0; !cancelled() && t < single_track_gains_.size() && t < tracks.size(); ++t) {
        if (!single_track_gains_[t] || !tracks[t].lossy) continue;
        const auto lower =
            second_pass_gain(*single_track_gains_[t], loudness ? tracks[t].loudness.true_peak : tracks[t].peak_db,
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
    // A target without a lossy track was not decoded: no level after.
    if (single_main_track_ < tracks.size()) {
        single_after_ = loudness ? tracks[single_main_track_].loudness.integrated : tracks[single_main_track_].peak_db;
    }
    close_form(batchaudioc);
    if (!cancelled()) show_single_end();
}

void SingleFileFlow::timer_ffencoderTimer() {
    timer_ffencoder->stop();
    // The remux task ended: its result is the main thread's now.
    if (const std::shared_ptr<lossless::RemuxResult> remux = std::move(single_remux_)) {
        single_remux_.reset();
        if (remux->end == lossless::RemuxEnd::Refused) {
            single_refusal_ = remux->text.empty() ? "the file was refused" : remux->text;
            single_convert();  // re-encoded, in the same dialog
            return;
        }
        if (remux->end == lossless::RemuxEnd::Completed && !remux->gains.empty()) {
            single_lossless_ = true;
            single_gains_ = gains_text(remux->gains);
            const size_t main = std::min(static_cast<size_t>(std::max(main_audio_track(source_facts_now()), 0)),
                                         remux->gains.size() - 1);
            single_gain_ = remux->gains[main].db;
            // Its headroom is exact (rounded down, or kept under the
            // ceiling): no second pass can be needed.
            single_checked_ = true;
        }
    }
    if (!single_checked_ && check_single_target()) return;
    close_form(batchaudioc);
    show_single_end();
}

void SingleFileFlow::show_single_end() {
    std::string text = "Process is finished!";
    if (single_below_target_ > 0.05) {
        text += Format("\r\rThe true-peak ceiling kept the file %.1f LU below the target.", single_below_target_);
    }
    MessageBoxA(&window_, text, "", MB_ICONWARNING);
    // Which path the file took, where the lossless one was offered.
    const bool offered = single_lossless_ || !single_refusal_.empty();
    show_single_results(offered ? lossless_status(single_gains_, single_lossless_ ? "" : single_refusal_) : "converted",
                        "");
}

void SingleFileFlow::show_single_results(const std::string& status, const std::string& reason) {
    RunResults results;
    results.level_unit = window_.radio_loudness_single->isChecked() ? "LUFS" : "dBFS";
    const std::string target = window_.SaveDialog1.FileName;
    results.output_folder = fs::path(target).parent_path().string();
    ResultRow row{source_file,
                  status,
                  reason,
                  single_before_,
                  single_gain_,
                  single_after_,
                  status.rfind("converted", 0) == 0 ? target : ""};
    results.rows.push_back(row);
    window_.results_view->show_results(results);
}

}  // namespace sonorix::ui
