// The headless front end: the same engine and rules as the window.
#pragma once

#include <csignal>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <iosfwd>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
class Validator;
}  // namespace CLI

namespace sonorix {
class BatchJob;
class TFFDecoder;
class TFFEncoder;
struct TProgressInfo;
}  // namespace sonorix

namespace sonorix::cli {

// Runs one command line (without the program name); returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The engine's texts start with the file name; the CLI names the file itself.
std::string reason_of(const std::string& message, const std::string& path);

// A verb of the command line: its subcommand, whose options the parser fills,
// and what runs it once the whole line was read. Each verb's file adds its
// own (cli.cpp: info; cli_jobs.cpp: measure, convert; cli_batch.cpp: the
// list runs; cli_tag.cpp: tag).
struct Verb {
    CLI::App* command = nullptr;
    std::function<int(std::ostream& out, std::ostream& err)> run;
};
Verb add_info(CLI::App& app);
Verb add_measure(CLI::App& app);
Verb add_convert(CLI::App& app);
std::vector<Verb> add_list_runs(CLI::App& app);
Verb add_tag(CLI::App& app);

// The verbs' files: every argument that is no option's ("--" first for
// names that start with '-'), at least one.
CLI::Option* add_files(CLI::App& command, std::vector<std::string>& files, const std::string& what);
// -r, --recursive: folders among the files are entered with their sub-folders.
CLI::Option* add_folder_flag(CLI::App& command, bool& recursive);
// The files of the command line with its folders' media files in their
// place (see expand_folders); false, with the message, when a folder holds
// none or nothing is left.
bool list_files(const std::vector<std::string>& args, bool recursive, std::vector<std::string>& files,
                std::ostream& err);
// --jobs N: a whole number of at least 1; 3 when not given.
CLI::Option* add_jobs(CLI::App& command, int& jobs);
// A check of an option's text: why it is wrong, empty when it is right.
CLI::Validator check_that(const std::function<bool(const std::string&)>& ok, const std::string& why);

// The progress line on stderr while tasks run, on a terminal only: the mean
// share done, the speed (media time per wall second) and the time left.
class ProgressLine {
public:
    ProgressLine(std::ostream& err, size_t tasks);
    // first: the place of the encoder's task 0 among all tasks (a list run
    // in slices counts its tasks across them).
    void update(const TProgressInfo& p, size_t first = 0);
    // Ends the line before a message, or at the end.
    void break_line();
    bool shown() const { return show_; }

private:
    std::ostream& err_;
    bool show_;
    bool open_ = false;
    std::vector<int> percent_;
    std::vector<int64_t> position_;
    std::chrono::steady_clock::time_point start_;
};

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
// loading the libraries; a number for JSON kept to a few decimals, to stay
// readable; printing records.
void run_to_end(TFFEncoder& encoder, const bool& finished);
bool load_libraries(TFFEncoder& encoder, std::ostream& err);
double rounded(double value, int decimals = 2);
// A JSON array of records, one record a line (for line-based tools).
void print_records(std::ostream& out, const nlohmann::ordered_json& records);

// Steps of the list runs (cli_batch.cpp): the test that a file opens and has
// audio (false with the reason), which the tag verb shares, and the
// measurement of every row still to convert, jobs at a time (false when
// stopped).
bool open_in_probe(TFFDecoder& probe, const std::string& file, std::string& reason);
bool measure_rows(BatchJob& job, int jobs);

}  // namespace sonorix::cli
