#include "workflow/tag_run.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "engine/FFDecode.h"
#include "engine/FFEncode.h"
#include "workflow/loudness.h"
#include "workflow/meter_task.h"
#include "workflow/track_levels.h"

namespace sonorix {

namespace {

namespace fs = std::filesystem;

// The album a file belongs to: the whole list, or its folder by identity.
std::string album_of(const std::string& path, AlbumGroups album) {
    if (album != AlbumGroups::Folder) return "list";
    std::error_code ec;
    std::string folder = fs::path(path).parent_path().lexically_normal().string();
    if (folder.empty()) folder = ".";
    const auto canonical = fs::weakly_canonical(fs::absolute(folder, ec), ec);
    return ec ? folder : canonical.string();
}

const char* const kStopped = "stopped before its tags were written";

}  // namespace

// What a writing task's worker leaves for the main thread.
struct TagRun::Outcome {
    bool done = false;  // write_tags ran to its end
    std::string error;
};

TagRun::TagRun(const std::vector<std::string>& paths, AlbumGroups album, bool remove)
    : files(paths.size()), job_(BatchMode::Loudness, 0, {}, {}, paths), remove_(remove), durations_(paths.size(), -1) {
    for (size_t i = 0; i < paths.size(); ++i) files[i].path = paths[i];
    job_.set_loudness(kReplayGainReference, kMaxTruePeakCeiling);
    job_.set_album(album);
}

TagRun::~TagRun() = default;

void TagRun::classify(size_t file, TCustomDecoder& probe) {
    TagFile& f = files[file];
    f.format = tag_format(probe, f.error);
    f.refused = f.format == TagFormat::None;
    if (f.refused && f.error.empty()) f.error = "takes no ReplayGain tags";
    if (f.refused) return;
    TFileStreamInfo info;
    probe.GetFileInfo(info);
    durations_[file] = info.Duration > 0 ? info.Duration : -1;
    BatchRow& r = job_.rows[file];
    r.tracks.assign(1, TrackLevel{});
    r.main_track = 0;  // a file that takes tags has one audio track
}

void TagRun::refuse(size_t file, const std::string& reason) {
    files[file].error = reason;
    files[file].refused = true;
}

int TagRun::add_measurements(TCustomEncoder& encoder) {
    if (remove_) return 0;
    const bool blocks = job_.album() != AlbumGroups::None;
    int added = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i].error.empty()) {
            job_.skip(i, files[i].error);
            continue;
        }
        auto readings = std::make_shared<MeterReadings>();
        const int task = add_meter_task(encoder, files[i].path, LevelKind::Loudness, blocks, durations_[i], readings);
        if (task < 0) {
            files[i].error = "the measurement could not be started: " + encoder.LastErrorMessage();
            job_.skip(i, files[i].error);
            continue;
        }
        measuring_[task] = i;
        readings_[i] = std::move(readings);
        ++added;
    }
    return added;
}

void TagRun::measured(const TTerminateInfo& info) {
    const auto task = measuring_.find(info.TaskIndex);
    if (task == measuring_.end()) return;
    const size_t i = task->second;
    const MeterReadings& r = *readings_[i];
    std::string failure = r.error;
    if (failure.empty() && info.Failed) failure = info.ErrorText;
    if (failure.empty() && !info.Completed) failure = "the measurement was stopped";
    job_.measured(i, failure.empty() ? r.tracks : std::vector<TrackReading>{}, failure);
    readings_.erase(i);  // an album's blocks live on in the job's row
}

void TagRun::choose_tags() {
    job_.settle_gains();
    for (size_t i = 0; i < files.size(); ++i) {
        TagFile& f = files[i];
        if (!f.error.empty()) continue;
        const BatchRow& r = job_.rows[i];
        if (!job_.to_convert(i)) {
            f.error = r.reason.empty() ? "the loudness could not be measured" : r.reason;
            continue;
        }
        const TrackLevel& t = r.tracks[std::min(r.main_track, r.tracks.size() - 1)];
        if (!t.integrated || !t.peak_db || !std::isfinite(*t.peak_db)) {
            f.error = "the loudness could not be measured";
            continue;
        }
        f.loudness = t.integrated;
        f.tags = GainTags{replaygain_of(*t.integrated), peak_ratio(*t.peak_db), std::nullopt, std::nullopt};
    }
    if (job_.album() == AlbumGroups::None) return;
    // An album whose file could not be measured has no loudness: its other
    // files keep their track tags rather than take a wrong album gain. A
    // silent file was measured: its blocks are below the gate, none of the
    // album's.
    std::map<std::string, std::vector<size_t>> groups;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i].refused) groups[album_of(files[i].path, job_.album())].push_back(i);
    }
    auto unmeasured = [&](size_t i) {
        const BatchRow& r = job_.rows[i];
        return !files[i].tags && (r.tracks.empty() || !r.tracks[std::min(r.main_track, r.tracks.size() - 1)].peak_db);
    };
    for (const auto& [key, members] : groups) {
        const auto failed = std::find_if(members.begin(), members.end(), unmeasured);
        const auto measured =
            std::find_if(members.begin(), members.end(), [&](size_t i) { return files[i].tags.has_value(); });
        if (measured == members.end()) continue;
        const auto& level = job_.rows[*measured].album_level;
        if (failed != members.end() || !level) {
            const std::string why =
                failed != members.end()
                    ? "its album's loudness is not known: " + files[*failed].path + " was not measured"
                    : "its album's loudness could not be measured";
            for (size_t i : members) {
                if (files[i].tags) {
                    files[i].tags.reset();
                    files[i].error = why;
                }
            }
            continue;
        }
        double peak = 0;
        for (size_t i : members) {
            if (files[i].tags) peak = std::max(peak, files[i].tags->track_peak);
        }
        for (size_t i : members) {
            if (!files[i].tags) continue;  // silent
            files[i].tags->album_gain = replaygain_of(*level);
            files[i].tags->album_peak = peak;
        }
    }
}

int TagRun::add_writes(TCustomEncoder& encoder, bool keep_time) {
    int added = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const TagFile& f = files[i];
        if (!f.error.empty()) continue;
        auto outcome = std::make_shared<Outcome>();
        const std::optional<GainTags> tags = remove_ ? std::nullopt : f.tags;
        const int task = encoder.AddWorkTask([path = f.path, format = f.format, tags, keep_time, outcome](
                                                 const std::atomic<bool>& stop, const std::function<void(double)>&) {
            if (stop) return std::string();
            outcome->error = write_tags(path, format, tags ? &*tags : nullptr, keep_time);
            outcome->done = true;
            return outcome->error;
        });
        if (task < 0) {
            files[i].error = "its tags could not be written: " + encoder.LastErrorMessage();
            continue;
        }
        writing_[task] = i;
        outcomes_[i] = std::move(outcome);
        ++added;
    }
    return added;
}

void TagRun::written(const TTerminateInfo& info) {
    const auto task = writing_.find(info.TaskIndex);
    if (task == writing_.end()) return;
    TagFile& f = files[task->second];
    // The engine counts a task that ended as the stop came as stopped; the
    // file's worker knows whether the file was written.
    const Outcome& o = *outcomes_[task->second];
    if (o.done) {
        f.error = o.error;
        f.written = o.error.empty();
    } else if (info.Failed) {
        f.error = info.ErrorText;
    } else {
        f.error = kStopped;
        f.stopped = true;
    }
    outcomes_.erase(task->second);
    writing_.erase(task);
}

void TagRun::stopped() {
    writing_.clear();
    outcomes_.clear();
    for (TagFile& f : files) {
        if (f.error.empty() && !f.written) {
            f.error = kStopped;
            f.stopped = true;
        }
    }
}

int TagRun::count_written() const {
    return static_cast<int>(std::count_if(files.begin(), files.end(), [](const TagFile& f) { return f.written; }));
}

std::string TagRun::tags_text(size_t file) const {
    const TagFile& f = files[file];
    if (!f.written) return "";
    if (remove_ || !f.tags) return "removed";
    const GainTags& t = *f.tags;
    if (f.format == TagFormat::Opus) {
        std::string text = "R128_TRACK_GAIN " + std::to_string(r128_gain(t.track_gain));
        if (t.album_gain) text += ", R128_ALBUM_GAIN " + std::to_string(r128_gain(*t.album_gain));
        return text;
    }
    std::string text =
        "REPLAYGAIN_TRACK_GAIN " + gain_text(t.track_gain) + ", REPLAYGAIN_TRACK_PEAK " + peak_text(t.track_peak);
    if (t.album_gain) {
        text += ", REPLAYGAIN_ALBUM_GAIN " + gain_text(*t.album_gain) + ", REPLAYGAIN_ALBUM_PEAK " +
                peak_text(t.album_peak.value_or(t.track_peak));
    }
    return text;
}

}  // namespace sonorix
