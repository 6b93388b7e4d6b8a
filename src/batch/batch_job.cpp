#include "batch/batch_job.h"

#include <cmath>
#include <cstdlib>

#include "batch/average_level.h"
#include "batch/batch_list.h"
#include "engine/FFEncode.h"
#include "single/conversion_options.h"
#include "single/loudness.h"
#include "single/peak_analysis.h"

namespace sonorix {

namespace {

std::filesystem::file_type fs_type(const std::filesystem::path& p, std::error_code& ec) {
    return std::filesystem::symlink_status(p, ec).type();
}

}  // namespace

const char* const kNoPeakCell = "N/A";
const char* const kNoPeakReason = "the peak level could not be measured";

BatchJob::BatchJob(BatchMode mode, int percent, std::filesystem::path output_folder, std::string prefix,
                   const std::vector<std::string>& sources)
    : mode_(mode), percent_(percent), output_folder_(std::move(output_folder)), prefix_(std::move(prefix)) {
    rows.resize(sources.size());
    for (size_t i = 0; i < sources.size(); ++i) rows[i].source = sources[i];
}

void BatchJob::set_loudness(double target, double ceiling) {
    loudness_target_ = target;
    ceiling_ = ceiling;
}

int BatchJob::add_measurement(TCustomEncoder& encoder, size_t row, bool audio_hook, std::string& message) const {
    TInputOptions in;
    ResetInputOptions(in);
    const int task = encoder.AddTask(rows[row].source, &in);
    if (task < 0) {
        message = "Add file error: " + encoder.LastErrorMessage();
        return -1;
    }
    TOutputOptions out;
    ResetOutputOptions(out);
    out.Options += mode_ == BatchMode::Loudness ? kLoudnessMeasurementOptions : kMeasurementOptions;
    out.AudioInputHook = audio_hook;
    if (encoder.SetOutput(task, kNullDevice, &out) < 0) {
        message = "Cannot do convert, error: " + encoder.LastErrorMessage();
        encoder.RemoveTask(task);
        return -1;
    }
    return task;
}

void BatchJob::measured(size_t row, const std::string& headroom, const std::string& failure) {
    BatchRow& r = rows[row];
    if (failure.empty() && !headroom.empty()) {
        r.max_db = headroom;
        r.gain = std::strtod(headroom.c_str(), nullptr);
        return;
    }
    r.max_db = kNoPeakCell;
    skip(row, failure.empty() ? kNoPeakReason : failure);
}

void BatchJob::measured_loudness(size_t row, const LoudnessReading& reading, const std::string& failure) {
    BatchRow& r = rows[row];
    const auto g = failure.empty() ? loudness_gain(reading, loudness_target_, ceiling_) : std::nullopt;
    if (!g) {
        r.max_db = kNoPeakCell;
        skip(row, failure.empty() ? "the loudness could not be measured (silence?)" : failure);
        return;
    }
    r.gain = g->gain_db;
    r.below_target = g->below_target;
    r.max_db = Format("%.1f", g->gain_db);
}

void BatchJob::skip(size_t row, const std::string& reason) {
    rows[row].state = BatchRow::State::Skipped;
    rows[row].reason = reason;
}

std::vector<size_t> BatchJob::existing_targets() const {
    std::vector<size_t> found;
    for (size_t i = 0; i < rows.size(); ++i) {
        std::error_code ec;
        const auto type = fs_type(rows[i].target, ec);
        if (to_convert(i) && !rows[i].target.empty() && !ec && type != std::filesystem::file_type::not_found) {
            found.push_back(i);
        }
    }
    return found;
}

void BatchJob::plan_targets(bool keep_existing) {
    std::vector<std::string> sources;
    std::vector<size_t> named;
    for (size_t i = 0; i < rows.size(); ++i) {
        sources.push_back(rows[i].source);
        if (to_convert(i)) named.push_back(i);
    }
    const auto targets = distinct_targets(sources, named, output_folder_, prefix_, keep_existing);
    for (size_t i : named) rows[i].target = targets[i];
}

std::string BatchJob::audio_filters(size_t row) const {
    switch (mode_) {
        case BatchMode::Normalize:
            return rows[row].second_pass ? gain_filter(*rows[row].gain) : normalize_filter(rows[row].max_db);
        case BatchMode::Loudness: return gain_filter(rows[row].gain.value_or(0));
        case BatchMode::VolumeChange: return volume_change_filter(percent_);
        case BatchMode::AverageLevel: break;  // the intermediate file carries the adjustment
    }
    return {};
}

std::optional<std::string> BatchJob::add_decodes(TCustomEncoder& encoder, const IntermediateFolder& folder) {
    folder_ = &folder;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!to_convert(i)) continue;
        TInputOptions in;
        ResetInputOptions(in);
        const int task = encoder.AddTask(rows[i].source, &in);
        if (task < 0) {
            rows[i].state = BatchRow::State::Failed;
            rows[i].reason = "Add file error: " + encoder.LastErrorMessage();
            continue;
        }
        TOutputOptions out;
        ResetOutputOptions(out);
        // The probe cannot open it: the task's own error will tell.
        out.Options = encoder.Decoder().LoadFile(rows[i].source) ? intermediate_options(encoder.Decoder()) : " -y";
        if (encoder.SetOutput(task, folder.file(i).string(), &out) < 0) {
            rows[i].state = BatchRow::State::Failed;
            rows[i].reason = "Cannot do convert, error: " + encoder.LastErrorMessage();
            encoder.RemoveTask(task);
            continue;
        }
        rows[i].task = task;
        rows[i].state = BatchRow::State::Decoding;
    }
    return std::nullopt;
}

void BatchJob::decode_ended(const TTerminateInfo& info) {
    for (BatchRow& r : rows) {
        if (info.TaskIndex < 0 || r.task != info.TaskIndex || r.state != BatchRow::State::Decoding) continue;
        r.task = -1;
        if (info.Failed) {
            r.state = BatchRow::State::Failed;
            r.reason = info.ErrorText;
        } else {
            r.state = info.Completed ? BatchRow::State::Waiting : BatchRow::State::Stopped;
        }
    }
}

std::vector<std::filesystem::path> BatchJob::intermediate_files() const {
    std::vector<std::filesystem::path> files;
    for (size_t i = 0; folder_ && i < rows.size(); ++i) {
        if (to_convert(i)) files.push_back(folder_->file(i));
    }
    return files;
}

void BatchJob::normalized(const NormalizerOutput& output) {
    for (size_t i = 0; folder_ && i < rows.size(); ++i) {
        const auto found = output.adjustments().find(folder_->file(i).string());
        if (found != output.adjustments().end()) rows[i].gain = found->second;
    }
}

std::optional<std::string> BatchJob::add_conversions(TCustomEncoder& encoder, TCustomDecoder& probe,
                                                     const OpenRow& open_row, bool dry) {
    // A second pass writes the targets the first one named.
    bool named = false;
    for (size_t i = 0; i < rows.size(); ++i) named |= to_convert(i) && !rows[i].target.empty();
    if (!named) plan_targets();
    const bool average = mode_ == BatchMode::AverageLevel;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!to_convert(i)) continue;
        BatchRow& r = rows[i];
        std::string reason;
        if (!open_row(i, reason)) {
            skip(i, reason);
            continue;
        }
        r.options = average ? average_mux_options(r.source, r.target.string(), probe)
                            : conversion_options(r.source, r.target.string(), probe, audio_filters(i));
        if (dry) continue;
        TInputOptions in;
        ResetInputOptions(in);
        // A row whose files cannot be set up fails alone; the others run.
        auto fail = [&](const std::string& why) {
            r.state = BatchRow::State::Failed;
            r.reason = why + encoder.LastErrorMessage();
        };
        const int task = encoder.AddTask(average && folder_ ? folder_->file(i).string() : r.source, &in);
        if (task < 0) {
            fail("Add file error: ");
            continue;
        }
        if (average && encoder.AddInput(task, r.source, &in) < 0) {
            fail("Add video file error: ");
            encoder.RemoveTask(task);
            continue;
        }
        TOutputOptions out;
        ResetOutputOptions(out);
        out.Options += r.options;
        if (encoder.SetOutput(task, r.target.string(), &out) < 0) {
            fail("Cannot do convert, error: ");
            encoder.RemoveTask(task);
            continue;
        }
        r.task = task;
        r.state = BatchRow::State::Converting;
    }
    return std::nullopt;
}

int BatchJob::conversion_tasks() const {
    int n = 0;
    for (const BatchRow& r : rows) n += r.task >= 0;
    return n;
}

void BatchJob::conversion_ended(const TTerminateInfo& info) {
    if (info.TaskIndex < 0) return;
    for (BatchRow& r : rows) {
        if (r.task != info.TaskIndex || r.state != BatchRow::State::Converting) continue;
        if (info.Failed) {
            r.state = BatchRow::State::Failed;
            r.reason = info.ErrorText;
        } else {
            r.state = info.Completed ? BatchRow::State::Completed : BatchRow::State::Stopped;
        }
    }
}

std::vector<size_t> BatchJob::add_checks(TCustomEncoder& encoder, bool audio_hook) {
    std::vector<size_t> checked_rows;
    if (mode_ != BatchMode::Normalize && mode_ != BatchMode::Loudness) return checked_rows;
    for (size_t i = 0; i < rows.size(); ++i) {
        BatchRow& r = rows[i];
        if (r.state != BatchRow::State::Completed || r.second_pass || !r.gain) continue;
        TCustomDecoder& probe = encoder.Decoder();
        if (!probe.LoadFile(r.target.string()) || !first_audio_is_lossy(probe)) continue;
        TInputOptions in;
        ResetInputOptions(in);
        const int task = encoder.AddTask(r.target.string(), &in);
        if (task < 0) continue;
        TOutputOptions out;
        ResetOutputOptions(out);
        out.Options += kPeakCheckOptions;
        out.AudioInputHook = audio_hook;
        if (encoder.SetOutput(task, kNullDevice, &out) < 0) {
            encoder.RemoveTask(task);
            continue;
        }
        checked_rows.push_back(i);
    }
    return checked_rows;
}

void BatchJob::checked(size_t row, const LoudnessReading& reading) {
    BatchRow& r = rows[row];
    const bool loudness = mode_ == BatchMode::Loudness;
    const auto lower = second_pass_gain(r.gain.value_or(0), loudness ? reading.true_peak : reading.sample_peak,
                                        loudness ? ceiling_ : 0.0);
    if (!lower) return;
    if (loudness) r.below_target += r.gain.value_or(0) - *lower;
    r.gain = *lower;
    r.second_pass = true;
    r.state = BatchRow::State::Waiting;
    r.task = -1;
}

int BatchJob::second_passes() const {
    int n = 0;
    for (const BatchRow& r : rows) n += r.second_pass;
    return n;
}

std::optional<double> BatchJob::gain_db(size_t row) const {
    if (mode_ != BatchMode::VolumeChange) return rows[row].gain;
    if (percent_ <= 0) return std::nullopt;
    return 20 * std::log10(percent_ / 100.0);
}

std::string BatchJob::counts_text() const {
    int converted = 0, skipped = 0, failed = 0, stopped = 0;
    for (const BatchRow& r : rows) {
        converted += r.state == BatchRow::State::Completed;
        skipped += r.state == BatchRow::State::Skipped;
        failed += r.state == BatchRow::State::Failed;
        stopped += r.state == BatchRow::State::Stopped;
    }
    std::string text = Format("%d converted, %d skipped, %d failed", converted, skipped, failed);
    if (stopped) text += Format(", %d stopped", stopped);
    return text + ".";
}

bool BatchJob::any_failed() const {
    for (const BatchRow& r : rows) {
        if (r.state == BatchRow::State::Failed) return true;
    }
    return false;
}

std::string BatchJob::finish_text() const {
    std::string text = any_failed() ? "Process is finished with errors!" : "Process is finished!";
    text += "\r\r" + counts_text();
    std::string skipped, failed;
    for (const BatchRow& r : rows) {
        if (r.state == BatchRow::State::Skipped) skipped += "\r" + r.source + ": " + r.reason;
        if (r.state == BatchRow::State::Failed) failed += "\r" + r.source + ": " + r.reason;
    }
    if (!failed.empty()) text += "\r\rThese files failed:" + failed;
    if (!skipped.empty()) text += "\r\rThese files were skipped:" + skipped;
    std::string below;
    for (const BatchRow& r : rows) {
        if (r.state == BatchRow::State::Completed && r.below_target > 0.05) {
            below += "\r" + r.target.string() + Format(": %.1f LU below the target", r.below_target);
        }
    }
    if (!below.empty()) text += "\r\rThe true-peak ceiling kept these files below the target:" + below;
    return text;
}

const char* state_name(BatchRow::State state) {
    switch (state) {
        case BatchRow::State::Waiting: return "waiting";
        case BatchRow::State::Skipped: return "skipped";
        case BatchRow::State::Decoding: return "decoding";
        case BatchRow::State::Converting: return "converting";
        case BatchRow::State::Completed: return "completed";
        case BatchRow::State::Failed: return "failed";
        case BatchRow::State::Stopped: return "stopped";
    }
    return "";
}

}  // namespace sonorix
