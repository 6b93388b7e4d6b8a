// The headless front end: the same engine and rules as the window.
#pragma once

#include <csignal>
#include <initializer_list>
#include <iterator>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sonorix {
class TFFEncoder;
}

namespace sonorix::cli {

// Runs one command line (without the program name); returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The engine's texts start with the file name; the CLI names the file itself.
std::string reason_of(const std::string& message, const std::string& path);

// A flag a command knows, and whether the next argument is its value.
struct Flag {
    std::string_view name;
    bool takes_value = false;
};

// A command's arguments taken apart: the flags given (a switch has an empty
// value; a repeated flag keeps its last value) and the files, in order.
struct Arguments {
    std::map<std::string, std::string, std::less<>> flags;
    std::vector<std::string> files;

    bool has(std::string_view flag) const { return flags.find(flag) != flags.end(); }
    const std::string* value(std::string_view flag) const;
};

// The one parser of every command: "--name VALUE" or "--name=VALUE"; an
// argument after "--", and "-" alone, is a file whatever it looks like;
// anything else that starts with '-' must be a known flag. Reports on err and
// gives nothing when the line is wrong (exit status 2).
std::optional<Arguments> parse_arguments(std::string_view command, const std::vector<std::string>& args,
                                         std::initializer_list<Flag> known, std::ostream& err);

// While one lives (run() holds one), SIGINT, SIGTERM and SIGHUP only record
// the first signal that came, so the command can stop its tasks and remove
// their temporary files; one that was ignored stays ignored. The handlers
// before it are put back at its end.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal that asked to stop, 0 when none came.
    static int received();
    // 128 + that signal, the shell's status for a command it ended.
    static int exit_status() { return 128 + received(); }

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous_[std::size(kSignals)];
};

// What the jobs share (cli_jobs.cpp): running the engine's queue until the
// encoder's final notification, where a stop signal stops the tasks once;
// loading the libraries; "--jobs N" (nothing: a usage error was printed); a
// JSON string.
void run_to_end(TFFEncoder& encoder, const bool& finished);
bool load_libraries(TFFEncoder& encoder, std::ostream& err);
std::optional<int> jobs_of(const Arguments& args, std::ostream& err);
std::string json_string(const std::string& s);

// The jobs (cli_jobs.cpp).
int measure(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int convert(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The list runs (cli_batch.cpp): "change", "normalize", "average" and "loudness".
int change(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int normalize(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int average(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int loudness(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace sonorix::cli
