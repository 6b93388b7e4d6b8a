// sonorix-cli's conversion and measurement jobs, run on the encoder component
// as the window runs them. The CLI's main thread drains the engine's
// main-thread queue while the tasks work.
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>

#include "batch/batch_rules.h"
#include "batch/task_log.h"
#include "single/loudness.h"
#include "single/peak_analysis.h"
#include "cli/cli.h"
#include "engine/FFEncode.h"
#include "engine/base/FFLoad.h"
#include "engine/base/FFLog.h"
#include "engine/base/MainThreadQueue.h"

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

// --jobs N: a whole number of at least 1; 3 when not given.
std::optional<int> jobs_of(const Arguments& args, std::ostream& err) {
    const std::string* text = args.value("--jobs");
    if (!text) return 3;
    int jobs = 0;
    const char* end = text->data() + text->size();
    const auto [ptr, ec] = std::from_chars(text->data(), end, jobs);
    if (ec != std::errc() || ptr != end || jobs < 1) {
        err << "sonorix-cli: --jobs needs a number of at least 1\n";
        return std::nullopt;
    }
    return jobs;
}

namespace {

// Which file a target names: existing files by identity, others by their
// normalised path.
std::string target_identity(const std::string& target) {
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) return Format("file %llu:%llu", static_cast<unsigned long long>(st.st_dev),
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
        err << "sonorix-cli convert: pairs " << it->second / 2 + 1 << " and " << i / 2 + 1
            << " have one target (" << files[it->second] << ", " << files[i]
            << "); give each pair its own\n";
        return false;
    }
    return true;
}

}  // namespace

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += Format("\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int measure(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto parsed = parse_arguments("measure", args, {{"--json"}, {"--jobs", true}, {"--loudness"}}, err);
    if (!parsed) return 2;
    const auto jobs = jobs_of(*parsed, err);
    if (!jobs) return 2;
    const bool json = parsed->has("--json");
    const bool with_loudness = parsed->has("--loudness");
    const std::vector<std::string>& files = parsed->files;
    if (files.empty()) {
        err << "sonorix-cli measure: no file given\n";
        return 2;
    }
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder encoder;
    if (!load_libraries(encoder, err)) return 1;

    struct Result {
        std::string max_volume, mean_volume, error;
        LoudnessReading loudness;
        bool ok = false;
        std::chrono::steady_clock::time_point start, end;
    };
    std::vector<Result> results(files.size());
    std::vector<int> task_of_file(files.size(), -1);
    std::map<int, size_t> file_of_task;

    // The result lines carry the worker's thread id; the router tells which
    // task that thread runs.
    TaskLogRouter router(encoder, [&](int task, TaskLogRouter::Clock::time_point start) {
        results[file_of_task[task]].start = start;
    });
    TFFLogger logger;
    logger.SetOnLog([&](TObject*, int thread, TLogLevel, const std::string& line) {
        const bool max = line.find("max_volume:") != std::string::npos;
        const bool mean = line.find("mean_volume:") != std::string::npos;
        if (!max && !mean && !with_loudness) return;
        const int task = router.task_of(thread);
        if (task < 0) return;
        Result& r = results[file_of_task[task]];
        if (with_loudness) r.loudness.read(line);
        if (!max && !mean) return;
        const size_t at = line.find(max ? "max_volume:" : "mean_volume:");
        std::string value = line.substr(at + (max ? 11 : 12));
        value = value.substr(0, value.find("dB"));
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of(' ') + 1);
        (max ? r.max_volume : r.mean_volume) = value;
    });

    for (size_t i = 0; i < files.size() && !StopSignals::received(); ++i) {
        const int task = encoder.AddTask(files[i]);
        if (task < 0) {
            results[i].error = encoder.LastErrorMessage();
            continue;
        }
        TOutputOptions options;
        options.Options = with_loudness ? kLoudnessMeasurementOptions : kMeasurementOptions;
        options.AudioInputHook = true;
        if (encoder.SetOutput(task, kNullDevice, &options) < 0) {
            results[i].error = encoder.LastErrorMessage();
            encoder.RemoveTask(task);
            continue;
        }
        task_of_file[i] = task;
        file_of_task[task] = i;
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
        if (info.Failed) r.error = info.ErrorText;
        else if (!info.Completed) r.error = "stopped";
    };
    encoder.ThreadPriority = tpNormal;  // a shell job: an idle class would starve it on a busy machine
    if (StopSignals::received()) return StopSignals::exit_status();
    encoder.StartTask(*jobs);
    run_to_end(encoder, finished);

    // What was measured before a stop is still told.
    int status = StopSignals::received() ? StopSignals::exit_status() : 0;
    if (json) out << "[";
    for (size_t i = 0; i < files.size(); ++i) {
        Result& r = results[i];
        if (r.ok && r.max_volume.empty()) r.error = "the peak level could not be measured";
        const bool good = r.error.empty();
        if (!good) {
            err << files[i] << ": " << reason_of(r.error, files[i]) << "\n";
            if (status == 0) status = 1;
        }
        if (json) {
            const double seconds = std::chrono::duration<double>(r.end - r.start).count();
            out << (i ? ",\n " : "\n ") << "{\"file\": " << json_string(files[i]) << ", \"max_volume\": "
                << (good ? r.max_volume : "null") << ", \"mean_volume\": "
                << (good && !r.mean_volume.empty() ? r.mean_volume : "null") << ", \"seconds\": "
                << (good ? Format("%.3f", seconds) : "null");
            if (with_loudness) {
                auto number = [&](const std::optional<double>& v) { return good && v ? Format("%.1f", *v) : "null"; };
                out << ", \"integrated\": " << number(r.loudness.integrated) << ", \"range\": "
                    << number(r.loudness.range) << ", \"true_peak\": " << number(r.loudness.true_peak);
            }
            out << "}";
        } else if (good) {
            out << "max_volume: " << r.max_volume << " dB  mean_volume: " << r.mean_volume << " dB  ";
            if (with_loudness) {
                auto number = [](const std::optional<double>& v) { return v ? Format("%.1f", *v) : "N/A"; };
                out << "integrated: " << number(r.loudness.integrated) << " LUFS  range: " << number(r.loudness.range)
                    << " LU  true_peak: " << number(r.loudness.true_peak) << " dBTP  ";
            }
            out << files[i] << "\n";
        }
    }
    if (json) out << "\n]\n";
    return status;
}

int convert(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    (void)out;
    const auto parsed = parse_arguments("convert", args,
                                        {{"--jobs", true},
                                         {"--input-options", true},
                                         {"--output-options", true},
                                         {"--second-input", true},
                                         {"--second-input-options", true}},
                                        err);
    if (!parsed) return 2;
    const auto jobs = jobs_of(*parsed, err);
    if (!jobs) return 2;
    auto text_of = [&](std::string_view flag) {
        const std::string* v = parsed->value(flag);
        return v ? *v : std::string();
    };
    const std::string input_options = text_of("--input-options"), output_options = text_of("--output-options");
    const std::string second = text_of("--second-input"), second_options = text_of("--second-input-options");
    const std::vector<std::string>& files = parsed->files;  // IN OUT pairs
    if (files.empty() || files.size() % 2 != 0) {
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

    // Progress: the mean share done over all tasks, on a terminal only.
    const bool show = ::isatty(STDERR_FILENO);
    std::vector<int> percent(static_cast<size_t>(encoder.TasksCount()), 0);
    encoder.OnProgress = [&](TObject*, PProgressInfo p) {
        const auto done = task_percent(p->Position, p->Duration);
        if (!show || !done || p->TaskIndex < 0 || static_cast<size_t>(p->TaskIndex) >= percent.size()) return;
        percent[static_cast<size_t>(p->TaskIndex)] = *done;
        err << Format("\r%3d%%", mean_percent(percent)) << std::flush;
    };
    bool finished = false;
    bool stopped = false;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            finished = true;
            return;
        }
        if (info.Failed) {
            if (show) err << "\n";
            report(target_of_task[info.TaskIndex], info.ErrorText);
        } else if (!info.Completed) {
            stopped = true;
        }
    };
    encoder.StartTask(*jobs);
    run_to_end(encoder, finished);
    if (show) err << "\n";
    if (StopSignals::received()) return StopSignals::exit_status();
    // Only a stop ends a task neither completed nor failed.
    if (stopped && status == 0) status = 1;
    return status;
}

}  // namespace sonorix::cli
