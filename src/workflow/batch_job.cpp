#include "workflow/batch_job.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "lossless/lossless_remux.h"
#include "workflow/average_level.h"
#include "workflow/batch_list.h"
#include "engine/FFEncode.h"
#include "workflow/conversion_options.h"
#include "workflow/lossless_task.h"
#include "workflow/loudness.h"
#include "workflow/meter_task.h"
#include "workflow/output_options.h"
#include "workflow/track_levels.h"

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

int BatchJob::add_measurement(TCustomEncoder& encoder, size_t row, std::shared_ptr<MeterReadings>& readings) {
    BatchRow& r = rows[row];
    r.tracks.clear();
    r.main_track = 0;
    readings = std::make_shared<MeterReadings>();
    const bool loudness = mode_ == BatchMode::Loudness;
    return add_meter_task(encoder, r.source, loudness ? LevelKind::Loudness : LevelKind::Peak,
                          loudness && album_ != AlbumGroups::None, -1, readings);
}

void BatchJob::measured(size_t row, const MeterReadings& readings, const std::string& failure) {
    BatchRow& r = rows[row];
    r.main_track = readings.main_track;
    // The meter names the file before its reason; the row's texts name it once.
    const std::string prefix = r.source + ": ";
    measured(row, readings.tracks, failure.rfind(prefix, 0) == 0 ? failure.substr(prefix.size()) : failure);
    if (!r.tracks.empty()) r.main_track = std::min(r.main_track, r.tracks.size() - 1);
}

void BatchJob::measured(size_t row, const std::vector<TrackReading>& readings, const std::string& failure) {
    BatchRow& r = rows[row];
    const bool loudness = mode_ == BatchMode::Loudness;
    if (r.tracks.size() < readings.size()) {
        for (size_t i = r.tracks.size(); i < readings.size(); ++i) {
            r.tracks.emplace_back();
            r.tracks.back().audio_index = static_cast<int>(i);
        }
    }
    bool measured_any = false, audible = false;
    for (size_t i = 0; failure.empty() && i < readings.size(); ++i) {
        TrackLevel& t = r.tracks[i];
        const TrackReading& reading = readings[i];
        t.peak_db = reading.peak_db;
        t.integrated = reading.loudness.integrated;
        t.range = reading.loudness.range;
        t.true_peak = reading.loudness.true_peak;
        if (album_ != AlbumGroups::None) t.blocks = reading.loudness.blocks;
        measured_any |= reading.peak_db.has_value();
        // A silent track keeps its level; the others get their own gain.
        if (loudness) {
            if (const auto g = loudness_gain(reading.loudness, loudness_target_, ceiling_)) {
                t.gain = g->gain_db;
                t.below_target = g->below_target;
            }
        } else {
            t.gain = headroom_gain(reading);
        }
        audible |= t.gain.has_value();
    }
    if (!failure.empty() || !measured_any || r.tracks.empty()) {
        r.max_db = kNoPeakCell;
        skip(row, failure.empty() ? (loudness ? "the loudness could not be measured" : kNoPeakReason) : failure);
        return;
    }
    if (!audible) {
        r.max_db = kNoPeakCell;
        skip(row,
             loudness ? "the loudness could not be measured (silence?)" : "the file is silent: nothing to amplify");
        return;
    }
    take_main_track(row);
}

void BatchJob::take_main_track(size_t row) {
    BatchRow& r = rows[row];
    if (r.tracks.empty()) return;
    const TrackLevel& m = r.tracks[std::min(r.main_track, r.tracks.size() - 1)];
    r.gain = m.gain;
    r.below_target = m.below_target;
    std::string figure = kNoPeakCell;
    // Normalize shows the headroom; Loudness the gain.
    if (mode_ == BatchMode::Loudness && m.gain) figure = Format("%.1f", *m.gain);
    if (mode_ != BatchMode::Loudness && m.peak_db && std::isfinite(*m.peak_db))
        figure = Format("%.1f", -*m.peak_db + 0.0);
    r.max_db = max_db_cell(figure, r.tracks.size());
}

std::string BatchJob::group_of(size_t row) const {
    if (album_ == AlbumGroups::List) return "list";
    std::string folder = std::filesystem::path(rows[row].source).parent_path().lexically_normal().string();
    return folder.empty() ? "." : folder;
}

void BatchJob::apply_album() {
    if (album_ == AlbumGroups::None || (mode_ != BatchMode::Normalize && mode_ != BatchMode::Loudness)) return;
    // Folders are told apart by identity, named as the list spells them.
    std::map<std::string, std::vector<size_t>> groups;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!to_convert(i) || rows[i].tracks.empty()) continue;
        std::string key = group_of(i);
        if (album_ == AlbumGroups::Folder) {
            std::error_code ec;
            const auto canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(key, ec), ec);
            if (!ec) key = canonical.string();
        }
        groups[key].push_back(i);
    }
    const bool loudness = mode_ == BatchMode::Loudness;
    for (const auto& [key, members] : groups) {
        std::optional<double> level, gain;
        double below = 0;
        if (loudness) {
            std::vector<const std::vector<float>*> blocks;
            double top = -HUGE_VAL;  // the highest true peak of any track
            for (size_t i : members) {
                const BatchRow& r = rows[i];
                blocks.push_back(&r.tracks[std::min(r.main_track, r.tracks.size() - 1)].blocks);
                for (const TrackLevel& t : r.tracks) {
                    if (t.true_peak && std::isfinite(*t.true_peak)) top = std::max(top, *t.true_peak);
                }
            }
            level = gated_loudness(blocks);
            if (level) {
                gain = loudness_target_ - *level;
                if (top + *gain > ceiling_) {
                    below = *gain - (ceiling_ - top);
                    gain = ceiling_ - top;
                }
            }
        } else {
            for (size_t i : members) {
                for (const TrackLevel& t : rows[i].tracks) {
                    if (t.gain) gain = gain ? std::min(*gain, *t.gain) : *t.gain;
                }
            }
            level = gain;
        }
        for (size_t i : members) {
            BatchRow& r = rows[i];
            r.album = group_of(i);
            r.album_level = level;
            r.album_gain = gain;
            if (!gain) {
                skip(i, "the album's loudness could not be measured");
                continue;
            }
            for (TrackLevel& t : r.tracks) {
                t.gain = gain;
                t.below_target = below;
            }
            take_main_track(i);
        }
    }
}

void BatchJob::settle_gains() {
    apply_album();
    if (!skip_within_) return;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!to_convert(i)) continue;
        std::vector<double> gains;
        if (mode_ == BatchMode::VolumeChange) {
            if (const auto g = gain_db(i)) gains.push_back(*g);
        } else {
            for (const TrackLevel& t : rows[i].tracks) {
                if (t.gain) gains.push_back(*t.gain);
            }
        }
        if (gains.empty() ||
            !std::all_of(gains.begin(), gains.end(), [&](double g) { return std::fabs(g) < *skip_within_; })) {
            continue;
        }
        const double figure = gain_db(i).value_or(gains.front());
        skip(i, Format("gain %+.2f dB is within %.2f dB", figure + 0.0, *skip_within_));
        rows[i].within = true;
    }
}

std::string max_db_cell(const std::string& main_figure, size_t tracks) {
    return tracks > 1 ? main_figure + Format(" (+%zu)", tracks - 1) : main_figure;
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

std::vector<std::string> BatchJob::audio_filters(size_t row) const {
    if (mode_ == BatchMode::VolumeChange) return {volume_change_filter(percent_)};
    std::vector<std::string> chains;
    if (mode_ == BatchMode::AverageLevel) return chains;  // the intermediate file carries the adjustment
    for (const TrackLevel& t : rows[row].tracks) chains.push_back(t.gain ? gain_filter(*t.gain) : std::string());
    return chains;
}

const SourceFacts* BatchJob::row_facts(size_t row, TCustomDecoder& probe, const OpenRow& open_row,
                                       std::string& reason) {
    BatchRow& r = rows[row];
    if (r.facts && facts_current(*r.facts, r.source)) return r.facts.get();
    r.facts.reset();
    // Taken before the file is read: one changed while it is read is read
    // again next time.
    const std::optional<SourceStamp> stamp = source_stamp(r.source);
    if (!open_row(row, reason)) return nullptr;
    auto facts = std::make_shared<SourceFacts>(source_facts(probe));
    facts->stamp = stamp;
    r.facts = facts;
    return facts.get();
}

std::optional<std::string> BatchJob::add_decodes(TCustomEncoder& encoder, const IntermediateFolder& folder) {
    folder_ = &folder;
    decodes_.clear();
    for (size_t i = 0; i < rows.size(); ++i) {
        if (!to_convert(i)) continue;
        BatchRow& r = rows[i];
        TCustomDecoder& probe = encoder.Decoder();
        // The probe cannot open it: the task's own error will tell.
        std::string unused;
        const SourceFacts* facts = row_facts(
            i, probe, [&](size_t, std::string&) { return probe.LoadFile(r.source); }, unused);
        std::vector<int> tracks = facts ? average_tracks(r.source, *facts) : std::vector<int>{0};
        if (tracks.empty()) {
            skip(i, "it has no audio track");
            continue;
        }
        r.tracks.clear();
        r.main_track = 0;
        const int main = facts ? main_audio_track(*facts) : 0;
        // A row whose files cannot be set up fails alone; the others run.
        std::string failure;
        for (size_t j = 0; j < tracks.size() && failure.empty(); ++j) {
            r.tracks.emplace_back().audio_index = tracks[j];
            if (tracks[j] == main) r.main_track = j;
            TInputOptions in;
            ResetInputOptions(in);
            const int task = encoder.AddTask(r.source, &in);
            if (task < 0) {
                failure = "Add file error: " + encoder.LastErrorMessage();
                break;
            }
            TOutputOptions out;
            ResetOutputOptions(out);
            out.Options = facts ? intermediate_options(*facts, tracks[j]) : " -y";
            if (encoder.SetOutput(task, folder.file(i, j).string(), &out) < 0) {
                failure = "Cannot do convert, error: " + encoder.LastErrorMessage();
                encoder.RemoveTask(task);
                break;
            }
            decodes_.push_back({task, i});
            if (j == 0) r.task = task;
        }
        r.state = failure.empty() ? BatchRow::State::Decoding : BatchRow::State::Failed;
        r.reason = failure;
    }
    return std::nullopt;
}

void BatchJob::decode_ended(const TTerminateInfo& info) {
    if (info.TaskIndex < 0) return;
    for (Decode& d : decodes_) {
        if (d.task != info.TaskIndex || d.ended) continue;
        d.ended = true;
        BatchRow& r = rows[d.row];
        if (r.state != BatchRow::State::Decoding) continue;
        if (info.Failed) {
            r.state = BatchRow::State::Failed;
            r.reason = info.ErrorText;
        } else if (!info.Completed) {
            r.state = BatchRow::State::Stopped;
        } else if (std::all_of(decodes_.begin(), decodes_.end(),
                               [&](const Decode& e) { return e.row != d.row || e.ended; })) {
            r.state = BatchRow::State::Waiting;
        } else {
            continue;
        }
        r.task = -1;
    }
}

std::vector<std::filesystem::path> BatchJob::intermediate_files() const {
    std::vector<std::filesystem::path> files;
    for (size_t i = 0; folder_ && i < rows.size(); ++i) {
        if (!to_convert(i)) continue;
        for (size_t j = 0; j < rows[i].tracks.size(); ++j) files.push_back(folder_->file(i, j));
    }
    return files;
}

void BatchJob::normalized(const NormalizerOutput& output) {
    for (size_t i = 0; folder_ && i < rows.size(); ++i) {
        BatchRow& r = rows[i];
        if (!to_convert(i)) continue;
        // The normalizer names only the files it changes: one it leaves
        // alone keeps its level, a gain of 0 dB.
        for (size_t j = 0; j < r.tracks.size(); ++j) {
            const auto found = output.adjustments().find(folder_->file(i, j).string());
            r.tracks[j].gain = found != output.adjustments().end() ? found->second : 0.0;
        }
        if (r.main_track < r.tracks.size()) r.gain = r.tracks[r.main_track].gain;
    }
}

std::optional<std::string> BatchJob::add_conversions(TCustomEncoder& encoder, TCustomDecoder& probe,
                                                     const OpenRow& open_row, bool dry, size_t max_tasks) {
    // A second pass writes the targets the first one named.
    bool named = false;
    for (size_t i = 0; i < rows.size(); ++i) named |= to_convert(i) && !rows[i].target.empty();
    if (!named) plan_targets();
    const bool average = mode_ == BatchMode::AverageLevel;
    size_t added = 0;
    for (size_t i = 0; i < rows.size() && added < max_tasks; ++i) {
        if (!to_convert(i)) continue;
        BatchRow& r = rows[i];
        std::string reason;
        const SourceFacts* facts = row_facts(i, probe, open_row, reason);
        if (!facts) {
            skip(i, reason);
            continue;
        }
        if (lossless_ != LosslessUse::Never && !average && r.lossless_refusal.empty()) {
            // A measured gain belongs to its own track only. A dry run reads
            // the file for the plan and writes nothing.
            std::string why;
            if (mode_ != BatchMode::VolumeChange && r.tracks.size() != static_cast<size_t>(audio_track_count(*facts))) {
                why = "not every audio track was measured";
            } else if (dry) {
                const lossless::RemuxResult plan = plan_lossless(r.source, r.target.string(), lossless_requests(i));
                if (plan.end == lossless::RemuxEnd::Completed) {
                    r.lossless = true;
                    r.options.clear();
                    take_gains(i, plan.gains);
                    continue;
                }
                why = plan.text;
            } else if (add_remux(encoder, *facts, i, why) >= 0) {
                ++added;
                continue;
            }
            r.lossless_refusal = why;
            if (lossless_ == LosslessUse::Only) {
                r.state = BatchRow::State::Failed;
                r.reason = lossless_refusal_text(why);
                continue;
            }
        }
        // The source first, then each adjusted track's file (see
        // average_mux_options); a dry run names the tracks it would decode.
        std::vector<int> tracks;
        for (const TrackLevel& t : r.tracks) tracks.push_back(t.audio_index);
        if (average && tracks.empty()) tracks = average_tracks(r.source, *facts);
        r.options = average ? average_mux_options(r.source, r.target.string(), *facts, tracks)
                            : conversion_options(r.source, r.target.string(), *facts, audio_filters(i));
        if (dry) continue;
        TInputOptions in;
        ResetInputOptions(in);
        // A row whose files cannot be set up fails alone; the others run.
        auto fail = [&](const std::string& why) {
            r.state = BatchRow::State::Failed;
            r.reason = why + encoder.LastErrorMessage();
        };
        const int task = encoder.AddTask(r.source, &in);
        if (task < 0) {
            fail("Add file error: ");
            continue;
        }
        bool inputs = true;
        for (size_t j = 0; average && folder_ && j < tracks.size() && inputs; ++j) {
            inputs = encoder.AddInput(task, folder_->file(i, j).string(), &in) >= 0;
        }
        if (!inputs) {
            fail("Add file error: ");
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
        ++added;
    }
    return std::nullopt;
}

std::vector<lossless::GainRequest> BatchJob::lossless_requests(size_t row) const {
    if (mode_ == BatchMode::VolumeChange) return volume_change_requests(percent_);
    std::vector<TrackGain> tracks;
    for (const TrackLevel& t : rows[row].tracks) tracks.push_back({t.gain, t.true_peak});
    return measured_requests(mode_, tracks, ceiling_);
}

int BatchJob::add_remux(TCustomEncoder& encoder, const SourceFacts& facts, size_t row, std::string& why) {
    BatchRow& r = rows[row];
    auto result = std::make_shared<lossless::RemuxResult>();
    const int task = add_lossless_task(encoder, r.source, r.target.string(), lossless_requests(row),
                                       lossless_ == LosslessUse::Only, facts.duration, result);
    // A task that cannot be added is a refusal like any other: the row is
    // re-encoded (Prefer) or fails, never left converting with no task.
    if (task < 0) {
        why = "the task could not be added: " + encoder.LastErrorMessage();
        return -1;
    }
    remuxes_[row] = result;
    r.task = task;
    r.lossless = true;
    r.state = BatchRow::State::Converting;
    return task;
}

void BatchJob::take_gains(size_t row, const std::vector<lossless::AppliedGain>& gains) {
    BatchRow& r = rows[row];
    // Each track's applied gain beside what was asked (Volume Change
    // measures no track: its one gain for every track).
    for (size_t t = r.tracks.size(); t < gains.size(); ++t) {
        r.tracks.emplace_back().audio_index = static_cast<int>(t);
        r.tracks.back().gain = gains[t].asked_db;
    }
    for (size_t t = 0; t < r.tracks.size() && t < gains.size(); ++t) {
        if (gains[t].asked_db) r.tracks[t].applied = gains[t].db;
    }
}

std::string BatchJob::lossless_text(size_t row) const {
    const BatchRow& r = rows[row];
    if (!r.lossless) return {};
    std::vector<lossless::AppliedGain> gains;
    for (const TrackLevel& level : r.tracks)
        gains.push_back({0, level.applied.value_or(0), level.applied ? level.gain : std::nullopt});
    return gains_text(gains);
}

size_t BatchJob::waiting_rows() const {
    size_t n = 0;
    for (size_t i = 0; i < rows.size(); ++i) n += to_convert(i);
    return n;
}

int BatchJob::conversion_tasks() const {
    int n = 0;
    for (const BatchRow& r : rows) n += r.task >= 0;
    return n;
}

void BatchJob::conversion_ended(const TTerminateInfo& info) {
    if (info.TaskIndex < 0) return;
    for (size_t i = 0; i < rows.size(); ++i) {
        BatchRow& r = rows[i];
        if (r.task != info.TaskIndex || r.state != BatchRow::State::Converting) continue;
        if (const auto found = remuxes_.find(i); r.lossless && found != remuxes_.end()) {
            const std::shared_ptr<lossless::RemuxResult> result = found->second;
            remuxes_.erase(found);
            if (result->end == lossless::RemuxEnd::Refused) {
                r.lossless = false;
                r.lossless_refusal = result->text;
                if (lossless_ == LosslessUse::Prefer) {
                    r.state = BatchRow::State::Waiting;  // re-encoded by the next add_conversions
                    r.task = -1;
                    continue;
                }
            } else if (result->end == lossless::RemuxEnd::Completed) {
                take_gains(i, result->gains);
            }
        }
        if (info.Failed) {
            r.state = BatchRow::State::Failed;
            r.reason = info.ErrorText;
        } else {
            r.state = info.Completed ? BatchRow::State::Completed : BatchRow::State::Stopped;
        }
    }
}

std::vector<size_t> BatchJob::add_checks(TCustomEncoder& encoder,
                                         std::vector<std::shared_ptr<MeterReadings>>& readings) {
    std::vector<size_t> checked_rows;
    readings.clear();
    if (mode_ != BatchMode::Normalize && mode_ != BatchMode::Loudness) return checked_rows;
    for (size_t i = 0; i < rows.size(); ++i) {
        BatchRow& r = rows[i];
        // A lossless target decodes to exactly its source's samples times
        // the gain (rounded down, or kept under the ceiling): nothing to check.
        if (r.state != BatchRow::State::Completed || r.second_pass || r.tracks.empty() || r.lossless) continue;
        // Every lossy track of the target is checked, in one pass; the task
        // learns which are.
        auto reading = std::make_shared<MeterReadings>();
        add_meter_task(encoder, r.target.string(), LevelKind::Loudness, false, -1, reading, true);
        for (size_t t = 0; t < r.tracks.size(); ++t) r.tracks[t].second_pass = false;
        checked_rows.push_back(i);
        readings.push_back(std::move(reading));
    }
    return checked_rows;
}

void BatchJob::checked(size_t row, const std::vector<TrackReading>& readings) {
    BatchRow& r = rows[row];
    const bool loudness = mode_ == BatchMode::Loudness;
    bool again = false;
    for (size_t t = 0; t < r.tracks.size() && t < readings.size(); ++t) {
        TrackLevel& track = r.tracks[t];
        if (!track.gain || !readings[t].lossy) continue;
        const TrackReading& reading = readings[t];
        const auto lower = second_pass_gain(*track.gain, loudness ? reading.loudness.true_peak : reading.peak_db,
                                            loudness ? ceiling_ : 0.0);
        if (!lower) continue;
        if (loudness) track.below_target += *track.gain - *lower;
        track.gain = *lower;
        track.second_pass = again = true;
    }
    if (!again) return;
    take_main_track(row);
    r.second_pass = true;
    r.state = BatchRow::State::Waiting;
    r.task = -1;
}

void BatchJob::checks_ended() {
    if (album_ == AlbumGroups::None) return;
    std::map<std::string, double> lowering;  // by group: the largest
    for (const BatchRow& r : rows) {
        if (!r.second_pass || r.state != BatchRow::State::Waiting || !r.album_gain) continue;
        for (const TrackLevel& t : r.tracks) {
            if (t.gain) lowering[r.album] = std::max(lowering[r.album], *r.album_gain - *t.gain);
        }
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        BatchRow& r = rows[i];
        const auto low = lowering.find(r.album);
        const bool again = r.state == BatchRow::State::Waiting && r.second_pass;
        if (low == lowering.end() || !r.album_gain || (r.state != BatchRow::State::Completed && !again)) continue;
        for (TrackLevel& t : r.tracks) {
            const double lowered = *r.album_gain - low->second;
            if (mode_ == BatchMode::Loudness && t.gain) t.below_target += *t.gain - lowered;
            t.gain = lowered;
            t.second_pass = true;
        }
        take_main_track(i);
        r.second_pass = true;
        r.state = BatchRow::State::Waiting;
        r.task = -1;
    }
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
    // The lossless path: what each file's fields moved by, and why a file
    // was re-encoded instead.
    std::string moved, reencoded;
    for (size_t i = 0; i < rows.size(); ++i) {
        const BatchRow& r = rows[i];
        if (r.state != BatchRow::State::Completed) continue;
        if (r.lossless)
            moved += "\r" + r.target.string() + ": " + lossless_text(i);
        else if (!r.lossless_refusal.empty())
            reencoded += "\r" + r.source + ": " + r.lossless_refusal;
    }
    if (!moved.empty()) text += "\r\rChanged without re-encoding:" + moved;
    if (!reencoded.empty()) text += "\r\rRe-encoded, as the lossless path was refused:" + reencoded;
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
