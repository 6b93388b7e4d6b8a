// Benchmark driver: several conversions on one encoder component, N at once,
// as the window's batch runs them. sonorix-cli converts one file per run, so
// bench/jobs.sh needs this to time the component's own parallel runs.
//
//   convert_batch [--jobs N] [--output-options TEXT] IN OUT [IN OUT ...]
//
// Built by bench/setup.sh against the benchmark build's libraries. Prints one
// line per task (seconds from start to its end) and exits 1 if any failed.
// Workers run at normal priority, as `sonorix-cli convert` runs them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/FFEncode.h"
#include "base/MainThreadQueue.h"

using namespace sonorix;

int main(int argc, char** argv) {
    int jobs = 1;
    std::string options;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--jobs" && i + 1 < argc)
            jobs = std::atoi(argv[++i]);
        else if (a == "--output-options" && i + 1 < argc)
            options = argv[++i];
        else
            files.push_back(a);
    }
    if (files.empty() || files.size() % 2 != 0 || jobs < 1) {
        std::fprintf(stderr, "usage: convert_batch [--jobs N] [--output-options TEXT] IN OUT [IN OUT ...]\n");
        return 2;
    }
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder encoder;
    if (!encoder.LoadLibraries("")) {
        std::fprintf(stderr, "%s\n", encoder.LastErrorMessage().c_str());
        return 1;
    }
    for (size_t i = 0; i < files.size(); i += 2) {
        const int task = encoder.AddTask(files[i]);
        TOutputOptions out;
        out.Options = options;
        if (task < 0 || encoder.SetOutput(task, files[i + 1], &out) < 0) {
            std::fprintf(stderr, "%s: %s\n", files[i].c_str(), encoder.LastErrorMessage().c_str());
            return 1;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    bool finished = false;
    int failed = 0;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0) {
            finished = true;
            return;
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool ok = info.Completed && !info.Failed;
        if (!ok) ++failed;
        std::printf("task %d %s at %.3f s%s%s\n", info.TaskIndex, ok ? "done" : "FAILED", s, ok ? "" : ": ",
                    ok ? "" : info.ErrorText.c_str());
    };
    encoder.StartTask(jobs);
    while (!finished) MainThreadQueue::Instance().WaitAndDrain(std::chrono::milliseconds(20));
    return failed ? 1 : 0;
}
