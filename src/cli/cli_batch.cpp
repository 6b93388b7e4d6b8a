// sonorix-cli change, normalize and average: the list page's runs without the
// window. The rows, measurements, intermediate files, targets, option texts
// and tasks are the window's BatchJob, the normalizer run is the window's
// NormalizerRun; this file only reads the command line, opens the rows'
// files, runs the engine's queue and reports. Main thread only, besides the
// engine's workers.
#include <unistd.h>

#include <algorithm>
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
#include "single/peak_analysis.h"

namespace sonorix::cli {

namespace {

namespace fs = std::filesystem;

struct BatchArgs {
    int percent = -1;
    std::string output, prefix;
    bool dry = false, json = false;
    int jobs = 3;
    std::vector<std::string> files;
};

// Nothing when the command line is not usable (the reason was printed).
std::optional<BatchArgs> batch_args(const char* verb, bool with_percent, const std::vector<std::string>& args,
                                    std::ostream& err) {
    std::optional<Arguments> parsed;
    if (with_percent) {
        parsed = parse_arguments(verb, args,
                                 {{"--percent", true}, {"-o", true}, {"--output", true}, {"--prefix", true},
                                  {"--jobs", true}, {"--dry-run"}, {"--json"}},
                                 err);
    } else {
        parsed = parse_arguments(
            verb, args, {{"-o", true}, {"--output", true}, {"--prefix", true}, {"--jobs", true}, {"--dry-run"}, {"--json"}},
            err);
    }
    if (!parsed) return std::nullopt;
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
    if (with_percent && a.percent < 0) return usage("--percent N is needed");
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

// Measures every row still to convert, jobs at a time; false when stopped.
bool measure_rows(BatchJob& job, int jobs) {
    TFFEncoder detect;
    TFFLogger logger;
    TaskLogRouter router(detect);
    std::map<int, size_t> row_of_task;
    std::map<size_t, std::string> headroom, failure;
    logger.SetOnLog([&](TObject*, int thread, TLogLevel, const std::string& line) {
        const auto value = max_volume_from_line(line);
        const int task = value ? router.task_of(thread) : -1;
        if (task >= 0) headroom[row_of_task[task]] = *value;
    });
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
    if (detect.TasksCount() == 0) return true;
    bool finished = false;
    detect.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            finished = true;
            return;
        }
        const size_t row = row_of_task[info.TaskIndex];
        if (info.Failed) failure[row] = info.ErrorText;
        else if (!info.Completed) failure[row] = "the measurement was stopped";
    };
    detect.ThreadPriority = tpNormal;  // a shell job: an idle class would starve it on a busy machine
    detect.StartTask(jobs);
    run_to_end(detect, finished);
    if (StopSignals::received()) return false;
    for (const auto& [task, row] : row_of_task) job.measured(row, headroom[row], failure[row]);
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
    // The rows the list would take.
    for (size_t i = 0; i < job.rows.size(); ++i) {
        std::string reason;
        if (!open_in_probe(directc.Decoder(), job.rows[i].source, reason)) job.skip(i, reason);
    }
    if (mode == BatchMode::Normalize && !measure_rows(job, a.jobs)) return StopSignals::exit_status();
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
    const auto failure = job.add_conversions(
        directc, directc.Decoder(),
        [&](size_t row, std::string& reason) { return open_in_probe(directc.Decoder(), job.rows[row].source, reason); },
        a.dry);
    if (failure) {
        err << *failure << "\n";
        return 1;
    }
    const bool stopped = !a.dry && directc.TasksCount() > 0 &&
                         !run_tasks(directc, a.jobs, err, [&](const TTerminateInfo& i) { job.conversion_ended(i); });
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
    const auto a = batch_args("change", true, args, err);
    return a ? batch(BatchMode::VolumeChange, *a, out, err) : 2;
}

int normalize(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto a = batch_args("normalize", false, args, err);
    return a ? batch(BatchMode::Normalize, *a, out, err) : 2;
}

int average(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto a = batch_args("average", false, args, err);
    return a ? batch(BatchMode::AverageLevel, *a, out, err) : 2;
}

}  // namespace sonorix::cli
