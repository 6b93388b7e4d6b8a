// sonorix-cli's conversion and measurement jobs, run on the encoder component
// as the window runs them. The CLI's main thread drains the engine's
// main-thread queue while the tasks work.
#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "workflow/batch_rules.h"
#include "workflow/task_log.h"
#include "workflow/loudness.h"
#include "workflow/meter_task.h"
#include "workflow/peak_analysis.h"
#include "workflow/track_levels.h"
#include "cli/cli.h"
#include "engine/FFEncode.h"
#include "base/FFLoad.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"

namespace sonorix::cli {

namespace {

namespace fs = std::filesystem;

}  // namespace

// Runs the queue until the encoder's final notification. A stop signal stops
// the tasks and waits for them, once; the queue is looked at every few
// milliseconds, so the stop reaches the tasks at once.
void run_to_end(TFFEncoder& encoder, const bool& finished) {
    bool stopped = false;
    MainThreadQueue& queue = MainThreadQueue::Instance();
    while (!finished) {
        queue.WaitAndDrain(std::chrono::milliseconds(20));
        if (StopSignals::received() && !stopped) {
            stopped = true;
            encoder.Stop(true);
        }
    }
}

bool load_libraries(TFFEncoder& encoder, std::ostream& err) {
    if (encoder.LoadLibraries("")) return true;
    err << encoder.LastErrorMessage() << "\n";
    return false;
}

namespace {

// Which file a target names: existing files by identity, others by their
// normalised path.
std::string target_identity(const std::string& target) {
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0)
        return Format("file %llu:%llu", static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
    std::error_code ec;
    const fs::path absolute = fs::absolute(target, ec);
    return "path " + fs::weakly_canonical(absolute, ec).lexically_normal().string();
}

// Two pairs with one target would write one file twice, the second result
// over the first: the command is refused before anything starts. The null
// device takes any number of writers.
bool targets_are_distinct(const std::vector<std::string>& files, std::ostream& err) {
    const std::string null_device = target_identity(kNullDevice);
    std::map<std::string, size_t> pair_of;  // identity -> first pair
    for (size_t i = 1; i < files.size(); i += 2) {
        const std::string identity = target_identity(files[i]);
        if (identity == null_device) continue;
        const auto [it, added] = pair_of.emplace(identity, i);
        if (added) continue;
        err << "sonorix-cli convert: pairs " << it->second / 2 + 1 << " and " << i / 2 + 1 << " have one target ("
            << files[it->second] << ", " << files[i] << "); give each pair its own\n";
        return false;
    }
    return true;
}

}  // namespace

namespace {

struct MeasureArgs {
    bool json = false, csv = false, loudness = false, recursive = false;
    int jobs = 3;
    std::vector<std::string> files;
};

struct ConvertArgs {
    int jobs = 3;
    std::string input_options, output_options, second, second_options;
    std::vector<std::string> files;  // IN OUT pairs
};

// A CSV field as RFC 4180 quotes it: in quotes, quotes doubled, when it
// holds a comma, a quote, a line break or blanks at its ends.
std::string csv_field(const std::string& text) {
    const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                       (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quote) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// A figure with a "." whatever the locale; empty when there is none.
std::string csv_number(const std::optional<double>& v, int decimals) {
    if (!v || !std::isfinite(*v)) return {};
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, rounded(*v, decimals) + 0.0, std::chars_format::fixed, decimals);
    return ec == std::errc() ? std::string(text, end) : std::string();
}

int measure(const MeasureArgs& a, std::ostream& out, std::ostream& err) {
    // The CSV's columns hold the loudness too.
    const bool with_loudness = a.loudness || a.csv;
    std::vector<std::string> files;
    if (!list_files(a.files, a.recursive, files, err)) return 1;
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder encoder;
    if (!load_libraries(encoder, err)) return 1;

    struct Result {
        std::string error;
        std::shared_ptr<MeterReadings> readings = std::make_shared<MeterReadings>();
        bool ok = false;
        std::chrono::steady_clock::time_point end;
    };
    std::vector<Result> results(files.size());
    std::map<int, size_t> file_of_task;
    const LevelKind kind = with_loudness ? LevelKind::Loudness : LevelKind::Peak;

    // Each file is one work task of the engine: every audio track read once
    // by the meter on the task's worker, which opens the file and names its
    // main track, so nothing is opened here.
    for (size_t i = 0; i < files.size() && !StopSignals::received(); ++i) {
        file_of_task[add_meter_task(encoder, files[i], kind, false, -1, results[i].readings)] = i;
    }
    bool finished = encoder.TasksCount() == 0;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            finished = true;
            return;
        }
        Result& r = results[file_of_task[info.TaskIndex]];
        r.end = std::chrono::steady_clock::now();
        r.ok = info.Completed && !info.Failed;
        if (info.Failed)
            r.error = info.ErrorText;
        else if (!info.Completed)
            r.error = "stopped";
    };
    encoder.ThreadPriority = tpNormal;  // a shell job: an idle class would starve it on a busy machine
    if (StopSignals::received()) return StopSignals::exit_status();
    encoder.StartTask(a.jobs);
    run_to_end(encoder, finished);

    // What was measured before a stop is still told.
    int status = StopSignals::received() ? StopSignals::exit_status() : 0;
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    if (a.csv) out << "file,track,main,max_volume,mean_volume,integrated,range,true_peak\r\n";
    for (size_t i = 0; i < files.size(); ++i) {
        Result& r = results[i];
        auto& tracks = r.readings->tracks;
        // A file without audio (or unread) still has its one row of nulls.
        if (tracks.empty()) tracks.emplace_back();
        if (r.ok && !tracks[0].peak_db) r.error = "the peak level could not be measured";
        const bool good = r.error.empty();
        if (!good) {
            err << files[i] << ": " << reason_of(r.error, files[i]) << "\n";
            if (status == 0) status = 1;
        }
        // A level that is not a number (a silent track's -inf) is null.
        auto number = [&](const std::optional<double>& v, int decimals) -> nlohmann::ordered_json {
            if (!good || !v || !std::isfinite(*v)) return nullptr;
            return rounded(*v, decimals);
        };
        auto levels = [&](nlohmann::ordered_json& record, const TrackReading& t) {
            record["max_volume"] = number(t.peak_db, 2);
            record["mean_volume"] = number(t.mean_db, 2);
            if (with_loudness) {
                record["integrated"] = number(t.loudness.integrated, 1);
                record["range"] = number(t.loudness.range, 1);
                record["true_peak"] = number(t.loudness.true_peak, 1);
            }
        };
        const size_t main = std::min(r.readings->main_track, tracks.size() - 1);
        if (a.json) {
            // The file's own figures are its main track's; every track follows.
            nlohmann::ordered_json record = {{"file", files[i]}};
            levels(record, tracks[main]);
            record["seconds"] = nullptr;
            if (good) record["seconds"] = rounded(std::chrono::duration<double>(r.end - r.readings->start).count(), 3);
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (size_t t = 0; good && t < tracks.size(); ++t) {
                nlohmann::ordered_json track = {{"index", t}, {"main", t == main}};
                levels(track, tracks[t]);
                list.push_back(std::move(track));
            }
            if (good) record["tracks"] = std::move(list);
            records.push_back(std::move(record));
        } else if (a.csv && good) {
            for (size_t t = 0; t < tracks.size(); ++t) {
                const LoudnessReading& l = tracks[t].loudness;
                out << csv_field(files[i]) << "," << t << "," << (t == main ? "true" : "false") << ","
                    << csv_number(tracks[t].peak_db, 2) << "," << csv_number(tracks[t].mean_db, 2) << ","
                    << csv_number(l.integrated, 1) << "," << csv_number(l.range, 1) << "," << csv_number(l.true_peak, 1)
                    << "\r\n";
            }
        } else if (good) {
            auto db = [](const std::optional<double>& v) { return v ? Format("%.1f", *v) : std::string("N/A"); };
            for (size_t t = 0; t < tracks.size(); ++t) {
                // One line a track; a file of one track reads as it always did.
                if (tracks.size() > 1) out << "a:" << t << (t == main ? "* " : "  ");
                out << "max_volume: " << db(tracks[t].peak_db) << " dB  mean_volume: " << db(tracks[t].mean_db)
                    << " dB  ";
                if (with_loudness) {
                    const LoudnessReading& l = tracks[t].loudness;
                    out << "integrated: " << db(l.integrated) << " LUFS  range: " << db(l.range)
                        << " LU  true_peak: " << db(l.true_peak) << " dBTP  ";
                }
                out << files[i] << "\n";
            }
        }
    }
    if (a.json) print_records(out, records);
    return status;
}

int convert(const ConvertArgs& a, std::ostream& err) {
    const std::string &input_options = a.input_options, &output_options = a.output_options;
    const std::string &second = a.second, &second_options = a.second_options;
    const std::vector<std::string>& files = a.files;
    if (files.size() % 2 != 0) {
        err << "sonorix-cli convert: expected IN OUT [IN OUT ...]\n";
        return 2;
    }
    if (!second.empty() && files.size() != 2) {
        err << "sonorix-cli convert: --second-input takes one IN OUT pair\n";
        return 2;
    }
    if (!targets_are_distinct(files, err)) return 2;
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder encoder;
    if (!load_libraries(encoder, err)) return 1;

    int status = 0;
    std::map<int, std::string> target_of_task;
    // A pair is named by its target; the engine's texts name the file they
    // concern (the source, for one that cannot be read).
    auto report = [&](const std::string& target, const std::string& message) {
        err << target << ": " << reason_of(message, target) << "\n";
        status = 1;
    };
    for (size_t i = 0; i < files.size() && !StopSignals::received(); i += 2) {
        TInputOptions in;
        in.Options = input_options;
        const int task = encoder.AddTask(files[i], &in);
        if (task < 0) {
            report(files[i + 1], encoder.LastErrorMessage());
            continue;
        }
        TOutputOptions o;
        o.Options = output_options;
        TInputOptions in2;
        in2.Options = second_options;
        if ((!second.empty() && encoder.AddInput(task, second, &in2) < 0) ||
            encoder.SetOutput(task, files[i + 1], &o) < 0) {
            report(files[i + 1], encoder.LastErrorMessage());
            encoder.RemoveTask(task);
            continue;
        }
        target_of_task[task] = files[i + 1];
    }
    // Tasks set up but never started are freed with the encoder, and their
    // temporary files with them.
    if (StopSignals::received()) return StopSignals::exit_status();
    if (encoder.TasksCount() == 0) return status;

    ProgressLine progress(err, static_cast<size_t>(encoder.TasksCount()));
    encoder.OnProgress = [&](TObject*, PProgressInfo p) { progress.update(*p); };
    bool finished = false;
    bool stopped = false;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            finished = true;
            return;
        }
        if (info.Failed) {
            progress.break_line();
            report(target_of_task[info.TaskIndex], info.ErrorText);
        } else if (!info.Completed) {
            stopped = true;
        }
    };
    encoder.StartTask(a.jobs);
    run_to_end(encoder, finished);
    progress.break_line();
    if (StopSignals::received()) return StopSignals::exit_status();
    // Only a stop ends a task neither completed nor failed.
    if (stopped && status == 0) status = 1;
    return status;
}

}  // namespace

Verb add_measure(CLI::App& app) {
    CLI::App* command = app.add_subcommand(
        "measure",
        "measure the peak and mean level of each file's audio (with --loudness also its integrated loudness, range "
        "and true peak)");
    auto a = std::make_shared<MeasureArgs>();
    CLI::Option* json = command->add_flag("--json", a->json, "print one JSON array of the results");
    command->add_flag("--csv", a->csv, "print CSV, one row per audio track, with its loudness (RFC 4180)")
        ->excludes(json);
    add_folder_flag(*command, a->recursive);
    command->add_flag("--loudness", a->loudness, "measure the loudness too, in the same pass");
    add_jobs(*command, a->jobs);
    add_files(*command, a->files, "the media files, or folders of them");
    return {command, [a](std::ostream& out, std::ostream& err) { return measure(*a, out, err); }};
}

Verb add_convert(CLI::App& app) {
    CLI::App* command = app.add_subcommand("convert", "convert each IN OUT pair with option texts, N at a time");
    auto a = std::make_shared<ConvertArgs>();
    add_jobs(*command, a->jobs);
    command->add_option("--input-options", a->input_options, "the option text of every input")->type_name("TEXT");
    command->add_option("--output-options", a->output_options, "the option text of every output")->type_name("TEXT");
    command->add_option("--second-input", a->second, "a second input of the one task (one pair only)")
        ->type_name("FILE");
    command->add_option("--second-input-options", a->second_options, "the second input's option text")
        ->type_name("TEXT");
    add_files(*command, a->files, "IN OUT [IN OUT ...]");
    return {command, [a](std::ostream&, std::ostream& err) { return convert(*a, err); }};
}

}  // namespace sonorix::cli
