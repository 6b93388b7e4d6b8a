// Benchmark companion: the log of one job to the null device, as its task
// writes it, so that two builds can be compared line by line
// (bench/null_agreement.sh). Prints every line at llInfo or above in order;
// of the stats lines only the final one is kept, and there the fps field
// (frames per second of wall time) is blanked, as are the addresses of the
// libraries' objects ("[aac @ 0x...]"): nothing else may vary between runs.
//
//   null_log [--output-options TEXT] FILE     (default " -af volumedetect -f null -vn")
//
// Built by bench/null_agreement.sh against the engine libraries of a build.
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "engine/FFEncode.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"

using namespace sonorix;

int main(int argc, char** argv) {
    std::string options = " -af \"volumedetect\" -f null -vn";
    std::string file;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--output-options" && i + 1 < argc)
            options = argv[++i];
        else
            file = a;
    }
    if (file.empty()) {
        std::fprintf(stderr, "usage: null_log [--output-options TEXT] FILE\n");
        return 2;
    }
    MainThreadQueue::Instance().SetMainThread();
    TFFEncoder encoder;
    if (!encoder.LoadLibraries("")) {
        std::fprintf(stderr, "%s\n", encoder.LastErrorMessage().c_str());
        return 1;
    }
    std::vector<std::string> lines;
    TFFLogger logger;
    logger.SetLogLevel(llInfo);
    logger.SetOnLog([&](TObject*, int, TLogLevel level, const std::string& line) {
        if (level <= llInfo) lines.push_back(line);
    });
    const int task = encoder.AddTask(file);
    TOutputOptions out;
    out.Options = options;
    if (task < 0 || encoder.SetOutput(task, "/dev/null", &out) < 0) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), encoder.LastErrorMessage().c_str());
        return 1;
    }
    bool finished = false;
    bool ok = false;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex < 0)
            finished = true;
        else
            ok = info.Completed && !info.Failed;
    };
    encoder.StartTask(1);
    while (!finished) MainThreadQueue::Instance().WaitAndDrain(std::chrono::milliseconds(20));
    MainThreadQueue::Instance().Drain();

    const std::regex stats("^frame= *[0-9]+ fps=[ 0-9.]+ ");
    const std::regex fps("fps=[ 0-9.]+ ");
    const std::regex address(" @ 0x[0-9a-f]+\\]");
    size_t last_stats = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_search(lines[i], stats)) last_stats = i;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        if (std::regex_search(lines[i], stats)) {
            if (i == last_stats) std::printf("%s\n", std::regex_replace(lines[i], fps, "fps=- ").c_str());
        } else {
            std::printf("%s\n", std::regex_replace(lines[i], address, " @ -]").c_str());
        }
    }
    return ok ? 0 : 1;
}
