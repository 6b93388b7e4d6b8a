// sonorix-cli change, normalize and average: the list page's runs without the
// window. The rows, measurements, intermediate files, targets, option texts
// and tasks are the window's BatchJob, the normalizer run is the window's
// NormalizerRun; this file only reads the command line, opens the rows'
// files, runs the engine's queue and reports. Main thread only, besides the
// engine's workers.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <map>
#include <ostream>

#include "batch/average_level.h"
#include "batch/batch_job.h"
#include "batch/batch_list.h"
#include "batch/batch_rules.h"
#include "batch/task_log.h"
#include "cli/cli.h"
#include "engine/FFEncode.h"
#include "engine/base/FFLog.h"
#include "engine/base/MainThreadQueue.h"
#include "single/loudness.h"
#include "single/peak_analysis.h"

namespace sonorix::cli {

namespace {

namespace fs = std::filesystem;

struct BatchArgs {
    int percent = -1;
    double target = kDefaultLoudnessTarget, ceiling = kDefaultTruePeakCeiling;
    std::string output, prefix;
    bool dry = false, json = false;
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

// Nothing when the command line is not usable (the reason was printed).
std::optional<BatchArgs> batch_args(const char* verb, BatchMode mode, const std::vector<std::string>& args,
                                    std::ostream& err) {
    const auto parsed = parse_arguments(verb, args,
                                        {{"--percent", true}, {"--target", true}, {"--ceiling", true}, {"-o", true},
                                         {"--output", true}, {"--prefix", true}, {"--jobs", true}, {"--dry-run"},
                                         {"--json"}},
                                        err);
    if (!parsed) return std::nullopt;
    // The mode's own flags: the others are not this verb's.
    const std::map<std::string, BatchMode> own = {
        {"--percent", BatchMode::VolumeChange}, {"--target", BatchMode::Loudness}, {"--ceiling", BatchMode::Loudness}};
    for (const auto& [flag, of] : own) {
        if (parsed->has(flag) && of != mode) {
            err << "sonorix-cli: unknown option '" << flag << "'\n";
            return std::nullopt;
        }
    }
    const auto jobs = jobs_of(*parsed, err);
    if (!jobs) return std::nullopt;
    auto usage = [&](const std::string& why) {
        err << "sonorix-cli " << verb << ": " << why << "\n";
        return std::nullopt;
    };
    BatchArgs a;
    a.jobs = *jobs;
    a.dry = parsed->has("--dry-run");
    a.json = parsed->has("--json");
    a.files = parsed->files;
    if (const std::string* o = parsed->value("-o")) a.output = *o;
    if (const std::string* o = parsed->value("--output")) a.output = *o;
    if (const std::string* p = parsed->value("--prefix")) {
        a.prefix = *p;
        if (!is_prefix_text(a.prefix)) return usage("--prefix takes at most 20 of the characters - _ 0-9 A-Z a-z");
    }
    if (const std::string* text = parsed->value("--percent")) {
        char* end = nullptr;
        const long p = text->empty() ? -1 : std::strtol(text->c_str(), &end, 10);
        if (p < 0 || *end || p > 1000) return usage("--percent needs a number from 0 to 1000");
        a.percent = static_cast<int>(p);
    }
    if (const std::string* text = parsed->value("--target")) {
        const auto t = number_in(*text, kMinLoudnessTarget, kMaxLoudnessTarget);
        if (!t) return usage("--target needs a loudness from -40 to -5 LUFS");
        a.target = *t;
    }
    if (const std::string* text = parsed->value("--ceiling")) {
        const auto c = number_in(*text, kMinTruePeakCeiling, kMaxTruePeakCeiling);
        if (!c) return usage("--ceiling needs a true peak from -9 to 0 dBTP");
        a.ceiling = *c;
    }
    if (mode == BatchMode::VolumeChange && a.percent < 0) return usage("--percent N is needed");
    if (mode == BatchMode::Loudness && !parsed->has("--target")) return usage("--target LUFS is needed");
    if (a.output.empty()) return usage("-o DIR is needed");
    std::error_code ec;
    if (!fs::is_directory(a.output, ec)) return usage("the output folder " + a.output + " does not exist");
    if (a.files.empty()) return usage("no file given");
    return a;
}

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

// Runs the measurement tasks of detect, jobs at a time, handing each log
// line of a task to line(row, text) and telling a failed or stopped one;
// false when stopped.
bool run_measurements(TFFEncoder& detect, const std::map<int, size_t>& row_of_task, int jobs,
                      const std::function<void(size_t row, const std::string& line)>& line,
                      std::map<size_t, std::string>& failure) {
    if (detect.TasksCount() == 0) return true;
    TFFLogger logger;
    TaskLogRouter router(detect);
    logger.SetOnLog([&](TObject*, int thread, TLogLevel, const std::string& text) {
        const int task = router.task_of(thread);
        if (const auto row = row_of_task.find(task); row != row_of_task.end()) line(row->second, text);
    });
    bool finished = false;
    detect.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            finished = true;
            return;
        }
        const size_t row = row_of_task.at(info.TaskIndex);
        if (info.Failed) failure[row] = info.ErrorText;
        else if (!info.Completed) failure[row] = "the measurement was stopped";
    };
    detect.ThreadPriority = tpNormal;  // a shell job: an idle class would starve it on a busy machine
    detect.StartTask(jobs);
    run_to_end(detect, finished);
    return !StopSignals::received();
}

// Measures every row still to convert (its peak, or its loudness); false
// when stopped.
bool measure_rows(BatchJob& job, int jobs) {
    TFFEncoder detect;
    std::map<int, size_t> row_of_task;
    std::map<size_t, std::string> headroom, failure;
    std::map<size_t, LoudnessReading> loudness;
    for (size_t i = 0; i < job.rows.size(); ++i) {
        if (!job.to_convert(i)) continue;
        std::string message;
        const int task = job.add_measurement(detect, i, true, message);
        if (task < 0) {
            job.skip(i, message);
        } else {
            row_of_task[task] = i;
        }
    }
    const bool whole = run_measurements(detect, row_of_task, jobs, [&](size_t row, const std::string& line) {
        if (const auto value = max_volume_from_line(line)) headroom[row] = *value;
        loudness[row].read(line);
    }, failure);
    if (!whole) return false;
    for (const auto& [task, row] : row_of_task) {
        if (job.mode() == BatchMode::Loudness) {
            job.measured_loudness(row, loudness[row], failure[row]);
        } else {
            job.measured(row, headroom[row], failure[row]);
        }
    }
    return true;
}

// The decoded peaks of the lossy targets; the rows that passed the limit
// wait for a second conversion. False when stopped.
bool check_targets(BatchJob& job, int jobs) {
    TFFEncoder check;
    const std::vector<size_t> rows = job.add_checks(check, true);
    std::map<int, size_t> row_of_task;
    for (size_t t = 0; t < rows.size(); ++t) row_of_task[static_cast<int>(t)] = rows[t];
    std::map<size_t, LoudnessReading> peaks;
    std::map<size_t, std::string> failure;
    const bool whole = run_measurements(check, row_of_task, jobs, [&](size_t row, const std::string& line) {
        peaks[row].read(line);
    }, failure);
    if (!whole) return false;
    for (size_t row : rows) {
        if (failure[row].empty()) job.checked(row, peaks[row]);
    }
    return true;
}

std::string clock_text(double seconds) {
    const long s = std::lround(seconds);
    return Format("%ld:%02ld", s / 60, s % 60);
}

// Runs the tasks of encoder, telling ended of each termination event;
// false when stopped.
bool run_tasks(TFFEncoder& encoder, int jobs, std::ostream& err, const std::function<void(const TTerminateInfo&)>& ended) {
    const bool show = ::isatty(STDERR_FILENO);
    std::vector<int> percent(static_cast<size_t>(encoder.TasksCount()), 0);
    const auto start = std::chrono::steady_clock::now();
    encoder.OnProgress = [&](TObject*, PProgressInfo p) {
        const auto done = task_percent(p->Position, p->Duration);
        if (!show || !done || p->TaskIndex < 0 || static_cast<size_t>(p->TaskIndex) >= percent.size()) return;
        percent[static_cast<size_t>(p->TaskIndex)] = *done;
        const int mean = mean_percent(percent);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        err << Format("\r%3d%%", mean);
        if (mean > 0) err << "  " << clock_text(elapsed * (100 - mean) / mean) << " left ";
        err << std::flush;
    };
    bool finished = false;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        ended(info);
        if (info.TaskIndex < 0) finished = true;
    };
    encoder.ThreadPriority = tpNormal;
    encoder.StartTask(jobs);
    run_to_end(encoder, finished);
    if (show) err << "\n";
    return !StopSignals::received();
}

// The average level's first two phases: every row decoded into folder, then
// the normalizer over the files. The exit status when the run cannot go on.
std::optional<int> decode_and_normalize(BatchJob& job, const IntermediateFolder& folder, int jobs, std::ostream& err) {
    TFFEncoder towav;
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
            if (show) err << Format("\rnormalizing %3d%%", std::min(100, normalizer.output().markers() * step)) << std::flush;
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

void report(const BatchJob& job, bool json, bool dry, std::ostream& out, std::ostream& err) {
    if (json) out << "[";
    for (size_t i = 0; i < job.rows.size(); ++i) {
        const BatchRow& r = job.rows[i];
        const bool good = r.state == BatchRow::State::Completed || (dry && r.state == BatchRow::State::Waiting);
        if (!good) err << r.source << ": " << state_name(r.state) << (r.reason.empty() ? "" : ": " + r.reason) << "\n";
        if (json) {
            const auto gain = job.gain_db(i);
            out << (i ? ",\n " : "\n ") << "{\"source\": " << json_string(r.source) << ", \"target\": "
                << (r.target.empty() ? "null" : json_string(r.target.string())) << ", \"gain_db\": "
                << (gain ? Format("%.2f", *gain) : "null") << ", \"status\": \""
                << (dry && good ? "planned" : state_name(r.state)) << "\", \"error\": "
                << (r.reason.empty() ? "null" : json_string(r.reason));
            if (job.mode() == BatchMode::Loudness) out << Format(", \"below_target_db\": %.2f", r.below_target);
            if (job.mode() == BatchMode::Loudness || job.mode() == BatchMode::Normalize) {
                out << ", \"second_pass\": " << (r.second_pass ? "true" : "false");
            }
            if (dry) out << ", \"options\": " << json_string(r.options);
            out << "}";
        } else if (good && dry) {
            out << r.source << " -> " << r.target.string() << ":" << r.options << "\n";
        } else if (good) {
            out << r.source << " -> " << r.target.string() << "\n";
        }
    }
    if (json) out << "\n]\n";
}

int batch(BatchMode mode, const BatchArgs& a, std::ostream& out, std::ostream& err) {
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder directc;
    if (!load_libraries(directc, err)) return 1;
    BatchJob job(mode, a.percent, a.output, a.prefix, a.files);
    job.set_loudness(a.target, a.ceiling);
    // The rows the list would take.
    for (size_t i = 0; i < job.rows.size(); ++i) {
        std::string reason;
        if (!open_in_probe(directc.Decoder(), job.rows[i].source, reason)) job.skip(i, reason);
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
    // The conversions; then, for a lossy target whose decoded peak passed the
    // limit, once more with the gain lowered.
    bool stopped = false;
    for (int pass = 0; pass < 2 && !stopped; ++pass) {
        if (pass == 1 && (a.dry || !check_targets(job, a.jobs) || job.second_passes() == 0)) {
            stopped = StopSignals::received();
            break;
        }
        if (directc.TasksCount() > 0) directc.ClearTasks();
        const auto failure = job.add_conversions(
            directc, directc.Decoder(),
            [&](size_t row, std::string& reason) { return open_in_probe(directc.Decoder(), job.rows[row].source, reason); },
            a.dry);
        if (failure) {
            err << *failure << "\n";
            return 1;
        }
        stopped = !a.dry && directc.TasksCount() > 0 &&
                  !run_tasks(directc, a.jobs, err, [&](const TTerminateInfo& i) { job.conversion_ended(i); });
    }
    report(job, a.json, a.dry, out, err);
    if (stopped) return StopSignals::exit_status();
    for (size_t i = 0; i < job.rows.size(); ++i) {
        const auto state = job.rows[i].state;
        if (state != BatchRow::State::Completed && !(a.dry && state == BatchRow::State::Waiting)) return 1;
    }
    return 0;
}

}  // namespace

int change(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto a = batch_args("change", BatchMode::VolumeChange, args, err);
    return a ? batch(BatchMode::VolumeChange, *a, out, err) : 2;
}

int normalize(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto a = batch_args("normalize", BatchMode::Normalize, args, err);
    return a ? batch(BatchMode::Normalize, *a, out, err) : 2;
}

int average(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto a = batch_args("average", BatchMode::AverageLevel, args, err);
    return a ? batch(BatchMode::AverageLevel, *a, out, err) : 2;
}

int loudness(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto a = batch_args("loudness", BatchMode::Loudness, args, err);
    return a ? batch(BatchMode::Loudness, *a, out, err) : 2;
}

}  // namespace sonorix::cli
