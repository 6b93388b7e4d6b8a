// sonorix-cli's conversion and measurement jobs, run on the encoder component
// as the window runs them. The CLI's main thread drains the engine's
// main-thread queue while the tasks work.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <mutex>
#include <optional>
#include <ostream>

#include "batch/batch_rules.h"
#include "batch/task_log.h"
#include "single/peak_analysis.h"
#include "cli/cli.h"
#include "engine/FFEncode.h"
#include "engine/base/FFLoad.h"
#include "engine/base/FFLog.h"
#include "engine/base/MainThreadQueue.h"

namespace sonorix::cli {

namespace {

std::atomic<bool> g_interrupted{false};

void on_sigint(int) { g_interrupted = true; }

}  // namespace

bool interrupted() { return g_interrupted; }

// Runs the queue until the encoder's final notification; SIGINT stops the
// tasks (and waits for them) once.
void run_to_end(TFFEncoder& encoder, const bool& finished) {
    g_interrupted = false;
    auto previous = std::signal(SIGINT, on_sigint);
    bool stopped = false;
    MainThreadQueue& queue = MainThreadQueue::Instance();
    while (!finished) {
        queue.WaitAndDrain(std::chrono::milliseconds(20));
        if (g_interrupted && !stopped) {
            stopped = true;
            encoder.Stop(true);
        }
    }
    std::signal(SIGINT, previous);
}

bool load_libraries(TFFEncoder& encoder, std::ostream& err) {
    if (encoder.LoadLibraries("")) return true;
    err << encoder.LastErrorMessage() << "\n";
    return false;
}

std::optional<int> jobs_option(std::vector<std::string>& args, std::ostream& err) {
    int jobs = 3;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--jobs") continue;
        if (i + 1 >= args.size() || std::atoi(args[i + 1].c_str()) < 1) {
            err << "sonorix-cli: --jobs needs a number of at least 1\n";
            return std::nullopt;
        }
        jobs = std::atoi(args[i + 1].c_str());
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        break;
    }
    return jobs;
}

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

int measure(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    const auto jobs = jobs_option(args, err);
    if (!jobs) return 2;
    bool json = false;
    std::vector<std::string> files;
    for (const auto& a : args) {
        if (a == "--json") json = true;
        else files.push_back(a);
    }
    if (files.empty()) {
        err << "sonorix-cli measure: no file given\n";
        return 2;
    }
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder encoder;
    if (!load_libraries(encoder, err)) return 1;

    struct Result {
        std::string max_volume, mean_volume, error;
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
        if (!max && !mean) return;
        const int task = router.task_of(thread);
        if (task < 0) return;
        Result& r = results[file_of_task[task]];
        const size_t at = line.find(max ? "max_volume:" : "mean_volume:");
        std::string value = line.substr(at + (max ? 11 : 12));
        value = value.substr(0, value.find("dB"));
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of(' ') + 1);
        (max ? r.max_volume : r.mean_volume) = value;
    });

    for (size_t i = 0; i < files.size(); ++i) {
        const int task = encoder.AddTask(files[i]);
        if (task < 0) {
            results[i].error = encoder.LastErrorMessage();
            continue;
        }
        TOutputOptions options;
        options.Options = kMeasurementOptions;
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
    encoder.StartTask(*jobs);
    run_to_end(encoder, finished);

    int status = g_interrupted ? 130 : 0;
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
                << (good ? Format("%.3f", seconds) : "null") << "}";
        } else if (good) {
            out << "max_volume: " << r.max_volume << " dB  mean_volume: " << r.mean_volume << " dB  " << files[i]
                << "\n";
        }
    }
    if (json) out << "\n]\n";
    return status;
}

int convert(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    (void)out;
    const auto jobs = jobs_option(args, err);
    if (!jobs) return 2;
    std::string input_options, output_options, second, second_options;
    std::vector<std::string> files;  // IN OUT pairs
    for (size_t i = 0; i < args.size(); ++i) {
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        bool ok = true;
        if (args[i] == "--input-options") ok = value(input_options);
        else if (args[i] == "--output-options") ok = value(output_options);
        else if (args[i] == "--second-input") ok = value(second);
        else if (args[i] == "--second-input-options") ok = value(second_options);
        else files.push_back(args[i]);
        if (!ok) {
            err << "sonorix-cli convert: " << args[i] << " needs a value\n";
            return 2;
        }
    }
    if (files.empty() || files.size() % 2 != 0) {
        err << "sonorix-cli convert: expected IN OUT [IN OUT ...]\n";
        return 2;
    }
    if (!second.empty() && files.size() != 2) {
        err << "sonorix-cli convert: --second-input takes one IN OUT pair\n";
        return 2;
    }
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder encoder;
    if (!load_libraries(encoder, err)) return 1;

    int status = 0;
    std::map<int, std::string> target_of_task;
    for (size_t i = 0; i < files.size(); i += 2) {
        TInputOptions in;
        in.Options = input_options;
        const int task = encoder.AddTask(files[i], &in);
        if (task < 0) {
            err << encoder.LastErrorMessage() << "\n";
            status = 1;
            continue;
        }
        TOutputOptions o;
        o.Options = output_options;
        TInputOptions in2;
        in2.Options = second_options;
        if ((!second.empty() && encoder.AddInput(task, second, &in2) < 0) ||
            encoder.SetOutput(task, files[i + 1], &o) < 0) {
            err << encoder.LastErrorMessage() << "\n";
            encoder.RemoveTask(task);
            status = 1;
            continue;
        }
        target_of_task[task] = files[i + 1];
    }
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
            err << target_of_task[info.TaskIndex] << ": " << info.ErrorText << "\n";
            status = 1;
        } else if (!info.Completed) {
            stopped = true;
        }
    };
    encoder.StartTask(*jobs);
    run_to_end(encoder, finished);
    if (show) err << "\n";
    if (status == 0 && (stopped || g_interrupted)) status = 130;
    return status;
}

}  // namespace sonorix::cli
