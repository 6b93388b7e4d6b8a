// sonorix-cli tag: ReplayGain tags written into the files instead of new
// files. The loudness is measured as the list's Loudness run measures it
// (BatchJob's rows, measure_rows; an album pools its files' gated blocks);
// the tags are written by the workflow's replaygain_tags, file by file on
// the main thread once every measurement has ended.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "cli/cli.h"
#include "engine/FFEncode.h"
#include "base/MainThreadQueue.h"
#include "workflow/batch_job.h"
#include "workflow/loudness.h"
#include "workflow/replaygain_tags.h"

namespace sonorix::cli {

namespace {

namespace fs = std::filesystem;

struct TagArgs {
    bool recursive = false, album = false, album_per_folder = false, remove = false, keep_time = false, json = false;
    int jobs = 3;
    std::vector<std::string> files;
};

struct TagFile {
    std::string path;
    TagFormat format = TagFormat::None;
    std::optional<GainTags> tags;  // measured (not with --remove)
    std::string error;             // why it failed; the file is unchanged
    bool refused = false;          // takes no tags: no member of any album
};

// The album a file belongs to: the whole list, or its folder by identity.
std::string album_of(const std::string& path, bool per_folder) {
    if (!per_folder) return "list";
    std::error_code ec;
    std::string folder = fs::path(path).parent_path().lexically_normal().string();
    if (folder.empty()) folder = ".";
    const auto canonical = fs::weakly_canonical(fs::absolute(folder, ec), ec);
    return ec ? folder : canonical.string();
}

// Measures every file that takes tags; false when stopped.
bool measure(std::vector<TagFile>& files, const TagArgs& a) {
    std::vector<std::string> paths;
    for (const TagFile& f : files) paths.push_back(f.path);
    BatchJob job(BatchMode::Loudness, 0, {}, {}, paths);
    // The ceiling lowers no gain here: the tags carry the plain gain to the
    // reference, the player keeps the peak in hand.
    job.set_loudness(kReplayGainReference, kMaxTruePeakCeiling);
    const bool album = a.album || a.album_per_folder;
    job.set_album(a.album ? AlbumGroups::List : a.album_per_folder ? AlbumGroups::Folder : AlbumGroups::None);
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i].error.empty()) job.skip(i, files[i].error);
    }
    if (!measure_rows(job, a.jobs)) return false;
    job.settle_gains();
    for (size_t i = 0; i < files.size(); ++i) {
        TagFile& f = files[i];
        const BatchRow& r = job.rows[i];
        if (!f.error.empty()) continue;
        if (!job.to_convert(i)) {
            f.error = r.reason;
            continue;
        }
        const TrackLevel& t = r.tracks[std::min(r.main_track, r.tracks.size() - 1)];
        if (!t.integrated || !t.peak_db || !std::isfinite(*t.peak_db)) {
            f.error = "the loudness could not be measured";
            continue;
        }
        f.tags = GainTags{replaygain_of(*t.integrated), peak_ratio(*t.peak_db), std::nullopt, std::nullopt};
    }
    if (!album) return true;
    // An album whose file could not be measured has no loudness: its other
    // files keep their tags rather than take a wrong album gain. A silent
    // file was measured: its blocks are below the gate, none of the album's.
    std::map<std::string, std::vector<size_t>> groups;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i].refused) groups[album_of(files[i].path, a.album_per_folder)].push_back(i);
    }
    auto unmeasured = [&](size_t i) {
        const BatchRow& r = job.rows[i];
        return !files[i].tags && (r.tracks.empty() || !r.tracks[std::min(r.main_track, r.tracks.size() - 1)].peak_db);
    };
    for (const auto& [key, members] : groups) {
        const auto failed = std::find_if(members.begin(), members.end(), unmeasured);
        const auto measured =
            std::find_if(members.begin(), members.end(), [&](size_t i) { return files[i].tags.has_value(); });
        if (measured == members.end()) continue;
        const auto& level = job.rows[*measured].album_level;
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
    return true;
}

void report(const std::vector<TagFile>& files, const TagArgs& a, std::ostream& out, std::ostream& err) {
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    auto number = [](const std::optional<double>& v, int decimals) {
        return v ? nlohmann::ordered_json(rounded(*v, decimals)) : nlohmann::ordered_json();
    };
    for (const TagFile& f : files) {
        const bool done = f.error.empty();
        const char* status = !done ? "failed" : a.remove ? "removed" : "tagged";
        if (!done) err << f.path << ": " << f.error << "\n";
        const GainTags* t = f.tags ? &*f.tags : nullptr;
        if (a.json) {
            nlohmann::ordered_json record = {
                {"file", f.path},
                {"format", f.format == TagFormat::None ? nlohmann::ordered_json()
                                                       : nlohmann::ordered_json(tag_format_name(f.format))},
                {"track_gain_db", number(t ? std::optional(t->track_gain) : std::nullopt, 2)},
                {"track_peak", number(t ? std::optional(t->track_peak) : std::nullopt, 6)},
                {"album_gain_db", number(t ? t->album_gain : std::nullopt, 2)},
                {"album_peak", number(t ? t->album_peak : std::nullopt, 6)}};
            if (t && f.format == TagFormat::Opus) {
                record["r128_track_gain"] = r128_gain(t->track_gain);
                record["r128_album_gain"] =
                    t->album_gain ? nlohmann::ordered_json(r128_gain(*t->album_gain)) : nlohmann::ordered_json();
            }
            record["status"] = status;
            record["error"] = done ? nlohmann::ordered_json() : nlohmann::ordered_json(f.error);
            records.push_back(std::move(record));
        } else if (done && a.remove) {
            out << f.path << ": ReplayGain tags removed\n";
        } else if (done && t) {
            out << f.path << ": track " << gain_text(t->track_gain) << ", peak " << peak_text(t->track_peak);
            if (t->album_gain) out << "; album " << gain_text(*t->album_gain) << ", peak " << peak_text(*t->album_peak);
            if (f.format == TagFormat::Opus) {
                out << " (R128_TRACK_GAIN " << r128_gain(t->track_gain);
                if (t->album_gain) out << ", R128_ALBUM_GAIN " << r128_gain(*t->album_gain);
                out << ")";
            }
            out << "\n";
        }
    }
    if (a.json) print_records(out, records);
}

int tag(const TagArgs& a, std::ostream& out, std::ostream& err) {
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder encoder;
    if (!load_libraries(encoder, err)) return 1;
    std::vector<std::string> paths;
    if (!list_files(a.files, a.recursive, paths, err)) return 1;
    // A file named twice is tagged once (and counts once in its album).
    std::map<std::string, std::string> first_name;
    std::vector<std::string> distinct;
    for (const std::string& path : paths) {
        std::error_code ec;
        const fs::path identity = fs::weakly_canonical(fs::absolute(path, ec), ec);
        const auto [it, added] = first_name.emplace(ec ? path : identity.string(), path);
        if (added)
            distinct.push_back(path);
        else
            err << path << ": the same file as " << it->second << ", tagged once\n";
    }
    paths = std::move(distinct);
    std::vector<TagFile> files(paths.size());
    // What each file really is decides the tags it takes.
    for (size_t i = 0; i < paths.size(); ++i) {
        TagFile& f = files[i];
        f.path = paths[i];
        if (open_in_probe(encoder.Decoder(), f.path, f.error)) f.format = tag_format(encoder.Decoder(), f.error);
        f.refused = f.format == TagFormat::None;
        if (f.refused && f.error.empty()) f.error = "takes no ReplayGain tags";
        encoder.Decoder().CloseFile();
    }
    if (!a.remove && !measure(files, a)) return StopSignals::exit_status();
    bool stopped = false;
    for (TagFile& f : files) {
        if (!f.error.empty()) continue;
        // A stop keeps the files not yet written as they are.
        if (StopSignals::received()) {
            stopped = true;
            f.error = "stopped before its tags were written";
            continue;
        }
        f.error = write_tags(f.path, f.format, f.tags ? &*f.tags : nullptr, a.keep_time);
    }
    report(files, a, out, err);
    if (stopped) return StopSignals::exit_status();
    return std::all_of(files.begin(), files.end(), [](const TagFile& f) { return f.error.empty(); }) ? 0 : 1;
}

}  // namespace

Verb add_tag(CLI::App& app) {
    CLI::App* command = app.add_subcommand(
        "tag", "measure each file's loudness and write ReplayGain tags into the file itself (no new file)");
    auto a = std::make_shared<TagArgs>();
    CLI::Option* list = command->add_flag("--album", a->album, "the whole list is one album: album gain and peak too");
    command->add_flag("--album-per-folder", a->album_per_folder, "as --album, one album per folder")->excludes(list);
    command->add_flag("--remove", a->remove, "take the ReplayGain tags away (nothing is measured)");
    command->add_flag("--keep-time", a->keep_time, "keep each file's modification time");
    command->add_flag("--json", a->json, "print one JSON array of records");
    add_jobs(*command, a->jobs);
    add_folder_flag(*command, a->recursive);
    add_files(*command, a->files, "the audio files, or folders of them");
    return {command, [a](std::ostream& out, std::ostream& err) { return tag(*a, out, err); }};
}

}  // namespace sonorix::cli
