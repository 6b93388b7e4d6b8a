// sonorix-cli tag: ReplayGain tags written into the files instead of new
// files, by the workflow's TagRun, as the window's list writes them: the
// meter's tasks jobs at a time, then the files written one at a time.
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
#include "workflow/replaygain_tags.h"
#include "workflow/tag_run.h"

namespace sonorix::cli {

namespace {

namespace fs = std::filesystem;

struct TagArgs {
    bool recursive = false, album = false, album_per_folder = false, remove = false, keep_time = false, json = false;
    int jobs = 3;
    std::vector<std::string> files;
};

// Runs encoder's tasks, jobs at a time, telling ended of each task's end;
// false when stopped.
bool run_all(TFFEncoder& encoder, int jobs, const std::function<void(const TTerminateInfo&)>& ended) {
    bool finished = encoder.TasksCount() == 0;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0)
            finished = true;
        else
            ended(info);
    };
    encoder.ThreadPriority = tpNormal;  // a shell job: an idle class would starve it on a busy machine
    if (!finished) encoder.StartTask(jobs);
    run_to_end(encoder, finished);
    return !StopSignals::received();
}

void report(const TagRun& run, const TagArgs& a, std::ostream& out, std::ostream& err) {
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    auto number = [](const std::optional<double>& v, int decimals) {
        return v ? nlohmann::ordered_json(rounded(*v, decimals)) : nlohmann::ordered_json();
    };
    for (const TagFile& f : run.files) {
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
    const AlbumGroups album = a.album              ? AlbumGroups::List
                              : a.album_per_folder ? AlbumGroups::Folder
                                                   : AlbumGroups::None;
    TagRun run(paths, album, a.remove);
    // What each file really is decides the tags it takes.
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string reason;
        if (open_in_probe(encoder.Decoder(), paths[i], reason))
            run.classify(i, encoder.Decoder());
        else
            run.refuse(i, reason);
        encoder.Decoder().CloseFile();
    }
    if (!a.remove) {
        TFFEncoder meter;
        run.add_measurements(meter);
        if (!run_all(meter, a.jobs, [&](const TTerminateInfo& info) { run.measured(info); })) {
            return StopSignals::exit_status();
        }
        run.choose_tags();
    }
    // One file at a time; a stop keeps the files not yet written as they are.
    TFFEncoder writer;
    run.add_writes(writer, a.keep_time);
    const bool whole = run_all(writer, 1, [&](const TTerminateInfo& info) { run.written(info); });
    if (!whole) run.stopped();
    report(run, a, out, err);
    if (!whole) return StopSignals::exit_status();
    return std::all_of(run.files.begin(), run.files.end(), [](const TagFile& f) { return f.error.empty(); }) ? 0 : 1;
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
