// sonorix-cli change, normalize and average: the list page's runs without the
// window. The rows, measurements, intermediate files, targets, option texts
// and tasks are the window's BatchJob, the normalizer run is the window's
// NormalizerRun; this file only reads the command line, opens the rows'
// files, runs the engine's queue and reports. Main thread only, besides the
// engine's workers.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <thread>

#include "workflow/average_level.h"
#include "workflow/batch_job.h"
#include "workflow/batch_list.h"
#include "workflow/batch_rules.h"
#include "cli/cli.h"
#include "engine/FFEncode.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"
#include "workflow/loudness.h"
#include "workflow/meter_task.h"
#include "workflow/track_levels.h"

namespace sonorix::cli {

namespace {

namespace fs = std::filesystem;

struct BatchArgs {
    int percent = -1;
    double target = kDefaultLoudnessTarget, ceiling = kDefaultTruePeakCeiling;
    std::string output, prefix;
    bool dry = false, json = false, overwrite = false, recursive = false;
    bool album = false, album_per_folder = false;
    bool lossless = false, prefer_lossless = false;
    std::optional<double> skip_within;
    int jobs = 3;
    std::vector<std::string> files;
};

// A number from the command line within [lo, hi].
std::optional<double> number_in(const std::string& text, double lo, double hi) {
    char* end = nullptr;
    const double v = text.empty() ? NAN : std::strtod(text.c_str(), &end);
    if (std::isnan(v) || *end || v < lo || v > hi) return std::nullopt;
    return v;
}

// The options every list run takes, and the verb's own (the percent, the
// loudness target and ceiling).
CLI::App* add_list_run(CLI::App& app, const char* verb, const char* what, BatchArgs& a) {
    CLI::App* command = app.add_subcommand(verb, what);
    command->add_option("-o,--output", a.output, "the folder the targets are written into")
        ->type_name("DIR")
        ->required()
        ->check(CLI::Validator(
            [](std::string& folder) {
                std::error_code ec;
                return fs::is_directory(folder, ec) ? std::string() : "the output folder " + folder + " does not exist";
            },
            ""));
    command->add_option("--prefix", a.prefix, "put before each target's name")
        ->type_name("P")
        ->check(check_that(is_prefix_text, "takes at most 20 of the characters - _ 0-9 A-Z a-z"));
    add_jobs(*command, a.jobs);
    command->add_flag("--dry-run", a.dry, "print each target and its options, convert nothing");
    command->add_flag("--json", a.json, "print one JSON array of records");
    command->add_flag("--overwrite", a.overwrite, "replace files in DIR that have a target's name (else refused)");
    command->add_option("--skip-within", a.skip_within, "leave files whose gain would be smaller than DB (absolute)")
        ->type_name("DB")
        ->check(check_that([](const std::string& t) { return number_in(t, 0, 100).has_value(); },
                           "needs a gain from 0 to 100 dB"));
    add_folder_flag(*command, a.recursive);
    add_files(*command, a.files, "the media files, or folders of them");
    return command;
}

}  // namespace

// The list's test of a row's file: it opens and has audio.
bool open_in_probe(TFFDecoder& probe, const std::string& file, std::string& reason) {
    if (!probe.LoadFile(file)) {
        reason = "File load error: " + reason_of(probe.LastErrorMessage(), file);
        return false;
    }
    if (probe.FirstAudioStream < 0) {
        reason = "No audio stream";
        return false;
    }
    return true;
}

// Runs the meter tasks of detect, jobs at a time, telling a failed or
// stopped one; false when stopped.
bool run_measurements(TFFEncoder& detect, const std::map<int, size_t>& row_of_task, int jobs,
                      std::map<size_t, std::string>& failure) {
    if (detect.TasksCount() == 0) return true;
    bool finished = false;
    detect.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            finished = true;
            return;
        }
        const size_t row = row_of_task.at(info.TaskIndex);
        if (info.Failed)
            failure[row] = info.ErrorText;
        else if (!info.Completed)
            failure[row] = "the measurement was stopped";
    };
    detect.ThreadPriority = tpNormal;  // a shell job: an idle class would starve it on a busy machine
    detect.StartTask(jobs);
    run_to_end(detect, finished);
    return !StopSignals::received();
}

// Measures every audio track of every row still to convert (its peak, or its
// loudness); false when stopped. Each task opens its file when it starts.
bool measure_rows(BatchJob& job, int jobs) {
    TFFEncoder detect;
    std::map<int, size_t> row_of_task;
    std::map<size_t, std::string> failure;
    std::map<size_t, std::shared_ptr<MeterReadings>> readings;
    for (size_t i = 0; i < job.rows.size(); ++i) {
        if (job.to_convert(i)) row_of_task[job.add_measurement(detect, i, readings[i])] = i;
    }
    if (!run_measurements(detect, row_of_task, jobs, failure)) return false;
    for (const auto& [task, row] : row_of_task) job.measured(row, *readings[row], failure[row]);
    return true;
}

namespace {

// The decoded peaks of every lossy track of the targets; the rows with a
// track past the limit wait for a second conversion. False when stopped.
bool check_targets(BatchJob& job, int jobs) {
    TFFEncoder check;
    std::vector<std::shared_ptr<MeterReadings>> peaks;
    const std::vector<size_t> rows = job.add_checks(check, peaks);
    std::map<int, size_t> row_of_task;
    for (size_t t = 0; t < rows.size(); ++t) row_of_task[static_cast<int>(t)] = rows[t];
    std::map<size_t, std::string> failure;
    if (!run_measurements(check, row_of_task, jobs, failure)) return false;
    for (size_t t = 0; t < rows.size(); ++t) {
        if (failure[rows[t]].empty()) job.checked(rows[t], peaks[t]->tracks);
    }
    job.checks_ended();
    return true;
}

// Runs the tasks of encoder, telling ended of each termination event;
// false when stopped.
bool run_tasks(TFFEncoder& encoder, int jobs, std::ostream& err,
               const std::function<void(const TTerminateInfo&)>& ended, ProgressLine* shared = nullptr,
               size_t first = 0) {
    ProgressLine own(err, shared ? 0 : static_cast<size_t>(encoder.TasksCount()));
    ProgressLine& progress = shared ? *shared : own;
    encoder.OnProgress = [&](TObject*, PProgressInfo p) { progress.update(*p, first); };
    bool finished = false;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        ended(info);
        if (info.TaskIndex < 0) finished = true;
    };
    encoder.ThreadPriority = tpNormal;
    encoder.StartTask(jobs);
    run_to_end(encoder, finished);
    if (!shared) progress.break_line();
    return !StopSignals::received();
}

// The average level's first two phases: every row decoded into folder, then
// the normalizer over the files. The exit status when the run cannot go on.
std::optional<int> decode_and_normalize(BatchJob& job, const IntermediateFolder& folder, int jobs, std::ostream& err) {
    TFFEncoder towav;
    towav.DeferSetup = true;
    if (const auto failure = job.add_decodes(towav, folder)) {
        err << *failure << "\n";
        return 1;
    }
    if (towav.TasksCount() > 0 && !run_tasks(towav, jobs, err, [&](const TTerminateInfo& i) { job.decode_ended(i); })) {
        return StopSignals::exit_status();
    }
    const auto files = job.intermediate_files();
    if (files.empty()) return std::nullopt;
    NormalizerRun normalizer;
    const bool show = ::isatty(STDERR_FILENO);
    if (normalizer.start(normalizer_program(), files)) {
        const int step = marker_step(files.size());
        while (normalizer.pump(100)) {
            if (StopSignals::received()) {
                normalizer.kill();
                return StopSignals::exit_status();
            }
            if (show)
                err << Format("\rnormalizing %3d%%", std::min(100, normalizer.output().markers() * step)) << std::flush;
        }
        if (show) err << "\n";
    }
    if (normalizer.failure()) {
        std::string text = normalizer.failure_text();
        std::replace(text.begin(), text.end(), '\r', '\n');
        err << text << "\n";
        return StopSignals::received() ? StopSignals::exit_status() : 1;
    }
    job.normalized(normalizer.output());
    return std::nullopt;
}

// Every row's facts, read by jobs threads at once, each with a probe of its
// own that posts nothing to the main thread; a row whose file does not open,
// or has no audio, is skipped with the reason. Each thread writes only the
// rows it took.
void take_facts(BatchJob& job, int jobs) {
    std::atomic<size_t> next{0};
    std::vector<std::string> reasons(job.rows.size());
    std::vector<char> taken(job.rows.size());
    auto work = [&] {
        TFFDecoder probe;
        probe.TriggerEventInMainThread = false;
        const ThreadLogSilence silence;
        const BatchJob::OpenRow open_row = [&](size_t row, std::string& reason) {
            return open_in_probe(probe, job.rows[row].source, reason);
        };
        for (size_t i; (i = next++) < job.rows.size();)
            taken[i] = job.row_facts(i, probe, open_row, reasons[i]) != nullptr;
    };
    std::vector<std::thread> threads;
    const size_t count = std::min<size_t>(static_cast<size_t>(std::max(jobs, 1)), job.rows.size());
    for (size_t t = 1; t < count; ++t) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < job.rows.size(); ++i) {
        if (!taken[i]) job.skip(i, reasons[i]);
    }
}

void refuse_existing(const BatchJob& job, const std::vector<size_t>& rows, std::ostream& err) {
    err << Format("%zu target(s) exist already and are kept (--overwrite replaces them):\n", rows.size());
    for (size_t i : rows) err << "  " << job.rows[i].target.string() << " (from " << job.rows[i].source << ")\n";
}

// Which path a row's conversion took, and for the lossless one the gain
// each track's fields moved by beside the gain asked.
void add_path(const BatchJob& job, size_t row, bool dry, nlohmann::ordered_json& record) {
    const BatchRow& r = job.rows[row];
    // A dry run tells the path it plans.
    const bool ran = r.state == BatchRow::State::Completed || r.state == BatchRow::State::Stopped ||
                     (r.state == BatchRow::State::Failed && r.lossless_refusal.empty()) || r.lossless ||
                     (dry && r.state == BatchRow::State::Waiting);
    record["path"] = !ran ? nlohmann::ordered_json() : nlohmann::ordered_json(r.lossless ? "lossless" : "re-encoded");
    if (!r.lossless_refusal.empty()) record["lossless_refused"] = r.lossless_refusal;
    if (!r.lossless) return;
    const TrackLevel* main = r.main_track < r.tracks.size() ? &r.tracks[r.main_track] : nullptr;
    auto number = [](const std::optional<double>& v) {
        return v && std::isfinite(*v) ? nlohmann::ordered_json(rounded(*v)) : nlohmann::ordered_json();
    };
    record["gain_db"] = number(main ? main->applied : std::nullopt);
    record["asked_gain_db"] = number(main ? main->gain : job.gain_db(row));
    if (job.mode() != BatchMode::VolumeChange) return;  // the tracks' records carry both
    nlohmann::ordered_json tracks = nlohmann::ordered_json::array();
    for (const TrackLevel& t : r.tracks) {
        tracks.push_back({{"index", t.audio_index}, {"gain_db", number(t.applied)}, {"asked_gain_db", number(t.gain)}});
    }
    record["tracks"] = std::move(tracks);
}

void report(const BatchJob& job, bool json, bool dry, std::ostream& out, std::ostream& err,
            const std::vector<size_t>& existing) {
    auto replaces = [&](size_t row) { return std::find(existing.begin(), existing.end(), row) != existing.end(); };
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    auto text_or_null = [](const std::string& text) {
        return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
    };
    for (size_t i = 0; i < job.rows.size(); ++i) {
        const BatchRow& r = job.rows[i];
        const bool good = r.state == BatchRow::State::Completed || (dry && r.state == BatchRow::State::Waiting);
        if (!good) err << r.source << ": " << state_name(r.state) << (r.reason.empty() ? "" : ": " + r.reason) << "\n";
        if (json) {
            const auto gain = job.gain_db(i);
            nlohmann::ordered_json record = {
                {"source", r.source},
                {"target", text_or_null(r.state == BatchRow::State::Skipped ? "" : r.target.string())},
                {"gain_db", gain ? nlohmann::ordered_json(rounded(*gain)) : nlohmann::ordered_json()},
                {"status", dry && good ? "planned" : state_name(r.state)},
                {"error", text_or_null(r.reason)}};
            if (job.mode() == BatchMode::Loudness) record["below_target_db"] = rounded(r.below_target);
            if (job.lossless() != LosslessUse::Never) add_path(job, i, dry, record);
            if (!r.album.empty()) {
                record["album"] = r.album;
                const char* level = job.mode() == BatchMode::Loudness ? "album_loudness" : "album_headroom_db";
                record[level] =
                    r.album_level ? nlohmann::ordered_json(rounded(*r.album_level)) : nlohmann::ordered_json();
            }
            if (job.mode() != BatchMode::VolumeChange) {
                if (job.mode() != BatchMode::AverageLevel) record["second_pass"] = r.second_pass;
                // Every audio track with its own figures and gain.
                auto number = [](const std::optional<double>& v, int decimals) {
                    return v && std::isfinite(*v) ? nlohmann::ordered_json(rounded(*v, decimals))
                                                  : nlohmann::ordered_json();
                };
                nlohmann::ordered_json tracks = nlohmann::ordered_json::array();
                for (size_t t = 0; t < r.tracks.size(); ++t) {
                    const TrackLevel& level = r.tracks[t];
                    nlohmann::ordered_json track = {{"index", level.audio_index}, {"main", t == r.main_track}};
                    if (job.mode() != BatchMode::AverageLevel) track["peak_db"] = number(level.peak_db, 2);
                    if (job.mode() == BatchMode::Loudness) {
                        track["integrated"] = number(level.integrated, 1);
                        track["true_peak"] = number(level.true_peak, 1);
                        track["below_target_db"] = rounded(level.below_target);
                    }
                    track["gain_db"] = number(r.lossless ? level.applied : level.gain, 2);
                    if (r.lossless) track["asked_gain_db"] = number(level.gain, 2);
                    if (job.mode() != BatchMode::AverageLevel) track["second_pass"] = level.second_pass;
                    tracks.push_back(std::move(track));
                }
                record["tracks"] = std::move(tracks);
            }
            if (dry) {
                // A lossless plan runs no encoder: it has no options.
                record["options"] = r.lossless ? nlohmann::ordered_json() : nlohmann::ordered_json(r.options);
                record["replaces_existing"] = good && replaces(i);
            }
            records.push_back(std::move(record));
        } else if (good) {
            out << r.source << " -> " << r.target.string()
                << (dry && replaces(i) ? " (replaces an existing file)" : "");
            if (r.lossless)
                out << " (lossless: " << job.lossless_text(i) << ")";
            else if (!r.lossless_refusal.empty())
                out << " (re-encoded: " << r.lossless_refusal << ")";
            if (dry && !r.lossless) out << ":" << r.options;
            out << "\n";
        }
    }
    if (json) print_records(out, records);
}

int batch(BatchMode mode, const BatchArgs& a, std::ostream& out, std::ostream& err) {
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder directc;
    if (!load_libraries(directc, err)) return 1;
    // Each task opens its files when it starts: a list of any length holds
    // those of the running tasks only, and a row that cannot be set up fails
    // alone.
    directc.DeferSetup = true;
    std::vector<std::string> files;
    if (!list_files(a.files, a.recursive, files, err)) return 1;
    BatchJob job(mode, a.percent, a.output, a.prefix, files);
    job.set_loudness(a.target, a.ceiling);
    job.set_album(a.album ? AlbumGroups::List : a.album_per_folder ? AlbumGroups::Folder : AlbumGroups::None);
    job.set_skip_within(a.skip_within);
    job.set_lossless(a.lossless ? LosslessUse::Only : a.prefer_lossless ? LosslessUse::Prefer : LosslessUse::Never);
    // The rows the list would take. Their facts, read here once, serve every
    // later phase while their files stay as they are.
    take_facts(job, a.jobs);
    // A row whose file changed since is read again, here.
    const BatchJob::OpenRow open_row = [&](size_t row, std::string& reason) {
        return open_in_probe(directc.Decoder(), job.rows[row].source, reason);
    };
    // The targets are named before anything runs, so that files already in
    // the folder are refused (or, asked for, replaced) before any work.
    job.plan_targets();
    const std::vector<size_t> existing = job.existing_targets();
    if (!existing.empty() && !a.overwrite && !a.dry) {
        refuse_existing(job, existing, err);
        return 1;
    }
    if ((mode == BatchMode::Normalize || mode == BatchMode::Loudness) && !measure_rows(job, a.jobs)) {
        return StopSignals::exit_status();
    }
    std::unique_ptr<IntermediateFolder> folder;  // removed with its files whatever the end
    if (mode == BatchMode::AverageLevel && !a.dry) {
        std::string why;
        folder = IntermediateFolder::make(why);
        if (!folder) {
            err << "sonorix-cli average: cannot make a folder for the intermediate files: " << why << "\n";
            return 1;
        }
        if (const auto status = decode_and_normalize(job, *folder, a.jobs, err)) return *status;
    }
    if (!(mode == BatchMode::AverageLevel && a.dry)) job.settle_gains();
    // The conversions; then, for a lossy target whose decoded peak passed the
    // limit, once more with the gain lowered. False: the set-up failed.
    bool stopped = false;
    // A long list runs in slices: the tasks of one slice, finished, are
    // freed before the next is set up, so memory stays flat with the
    // list's length; one progress line counts them all.
    const size_t slice = a.dry ? SIZE_MAX : std::max<size_t>(64, static_cast<size_t>(a.jobs) * 32);
    auto convert = [&] {
        ProgressLine progress(err, job.waiting_rows());
        size_t first = 0;
        do {
            if (directc.TasksCount() > 0) directc.ClearTasks();
            const auto failure = job.add_conversions(directc, directc.Decoder(), open_row, a.dry, slice);
            if (failure) {
                progress.break_line();
                err << *failure << "\n";
                return false;
            }
            const size_t tasks = static_cast<size_t>(directc.TasksCount());
            stopped =
                !a.dry && tasks > 0 &&
                !run_tasks(
                    directc, a.jobs, err, [&](const TTerminateInfo& i) { job.conversion_ended(i); }, &progress, first);
            first += tasks;
            if (tasks == 0) break;
        } while (!a.dry && !stopped && job.waiting_rows() > 0);
        progress.break_line();
        return true;
    };
    if (!convert()) return 1;
    if (!a.dry && !stopped) {
        stopped = !check_targets(job, a.jobs);
        if (!stopped && job.second_passes() > 0 && !convert()) return 1;
    }
    report(job, a.json, a.dry, out, err, existing);
    if (!a.dry) err << job.counts_text() << "\n";
    if (stopped) return StopSignals::exit_status();
    if (a.dry && !existing.empty() && !a.overwrite) {
        refuse_existing(job, existing, err);
        return 1;
    }
    for (size_t i = 0; i < job.rows.size(); ++i) {
        const auto state = job.rows[i].state;
        if (job.rows[i].within) continue;  // already right: nothing to do is no failure
        if (state != BatchRow::State::Completed && !(a.dry && state == BatchRow::State::Waiting)) return 1;
    }
    return 0;
}

}  // namespace

std::vector<Verb> add_list_runs(CLI::App& app) {
    std::vector<Verb> verbs;
    auto verb = [&](BatchMode mode, const char* name, const char* what) {
        auto a = std::make_shared<BatchArgs>();
        CLI::App* command = add_list_run(app, name, what, *a);
        verbs.push_back(
            {command, [a, mode](std::ostream& out, std::ostream& err) { return batch(mode, *a, out, err); }});
        return std::make_pair(command, a.get());
    };
    // Moving the gain fields of MP3, AAC-LC and Opus tracks instead of
    // re-encoding them.
    auto lossless = [](CLI::App* command, BatchArgs* args) {
        CLI::Option* only = command->add_flag(
            "--lossless", args->lossless,
            "change MP3, AAC-LC and Opus tracks without re-encoding (in steps of 1.5 dB for MP3 and AAC); a file that "
            "cannot take that path fails with the reason");
        command->add_flag("--prefer-lossless", args->prefer_lossless, "as --lossless, but such a file is re-encoded")
            ->excludes(only);
    };
    auto [change, change_args] =
        verb(BatchMode::VolumeChange, "change", "convert each file with the volume N % into DIR");
    lossless(change, change_args);
    change->add_option("--percent", change_args->percent, "the volume, 0 to 1000 %")
        ->type_name("N")
        ->required()
        ->check(check_that(
            [](const std::string& text) {
                char* end = nullptr;
                const long p = text.empty() ? -1 : std::strtol(text.c_str(), &end, 10);
                return p >= 0 && !*end && p <= 1000;
            },
            "needs a number from 0 to 1000"));
    auto album = [](CLI::App* command, BatchArgs* args) {
        CLI::Option* list = command->add_flag(
            "--album", args->album, "keep the files' levels relative to each other: one gain for the whole list");
        command->add_flag("--album-per-folder", args->album_per_folder, "as --album, one group per folder")
            ->excludes(list);
    };
    auto [normalize, normalize_args] =
        verb(BatchMode::Normalize, "normalize", "measure each file's peak, then amplify it to full scale into DIR");
    album(normalize, normalize_args);
    lossless(normalize, normalize_args);
    verb(BatchMode::AverageLevel, "average",
         "bring every file to the average level of all of them, into DIR (the normalizer: $SONORIX_NORMALIZER, else "
         "sonorix-normalize beside this program)");
    auto [loud, loud_args] = verb(BatchMode::Loudness, "loudness",
                                  "bring each file to the integrated loudness LUFS with one gain, its true peak at "
                                  "most the ceiling, into DIR");
    loud->add_option("--target", loud_args->target, "the integrated loudness, -40 to -5 LUFS")
        ->type_name("LUFS")
        ->required()
        ->check(check_that(
            [](const std::string& t) { return number_in(t, kMinLoudnessTarget, kMaxLoudnessTarget).has_value(); },
            "needs a loudness from -40 to -5 LUFS"));
    loud->add_option("--ceiling", loud_args->ceiling, "the highest true peak, -9 to 0 dBTP (default -1)")
        ->type_name("dBTP")
        ->check(check_that(
            [](const std::string& t) { return number_in(t, kMinTruePeakCeiling, kMaxTruePeakCeiling).has_value(); },
            "needs a true peak from -9 to 0 dBTP"));
    album(loud, loud_args);
    lossless(loud, loud_args);
    return verbs;
}

}  // namespace sonorix::cli
