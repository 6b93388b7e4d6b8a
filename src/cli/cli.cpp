#include "cli/cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>

#include "workflow/batch_list.h"
#include "workflow/batch_rules.h"
#include "engine/FFDecode.h"
#include "engine/FFEncode.h"
#include "base/FFLoad.h"

namespace sonorix::cli {

namespace {

constexpr const char* kVersion = "2.2.0";

constexpr const char* kFooter =
    "Every command takes its options anywhere on the line, as --name VALUE or\n"
    "--name=VALUE; after -- every argument is a file, also one that starts with '-'.\n"
    "'sonorix-cli COMMAND --help' shows a command's options.\n"
    "\n"
    "Exit status: 0 when everything succeeded, 1 when a file or pair failed, 2 for a\n"
    "wrong command line. Ctrl-C, SIGTERM and SIGHUP stop the tasks and remove their\n"
    "temporary files; the exit status is then 128 + the signal's number (130, 143, 129).\n";

std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void on_stop_signal(int signal) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signal);
}

int info(const std::vector<std::string>& files, std::ostream& out, std::ostream& err) {
    TFFLoader& loader = TFFLoader::Instance();
    if (!loader.Load(kDecoderLibraries)) {
        err << loader.LastErrorMessage() << "\n";
        return 1;
    }
    TFFDecoder probe;
    int status = 0;
    bool first = true;
    for (const auto& file : files) {
        if (StopSignals::received()) return StopSignals::exit_status();
        if (!probe.LoadFile(file)) {
            err << "File load error: " << file << ": " << reason_of(probe.LastErrorMessage(), file) << "\n";
            status = 1;
            continue;
        }
        if (!first) out << "\n";
        first = false;
        std::string text = probe.GetInfoText();
        // The description uses CR LF; a terminal wants LF.
        std::string lf;
        lf.reserve(text.size());
        for (char c : text) {
            if (c != '\r') lf += c;
        }
        out << lf;
        probe.CloseFile();
    }
    return status;
}

}  // namespace

Verb add_info(CLI::App& app) {
    CLI::App* command = app.add_subcommand("info", "describe each media file (format, duration, streams)");
    auto files = std::make_shared<std::vector<std::string>>();
    add_files(*command, *files, "the media files");
    return {command, [files](std::ostream& out, std::ostream& err) { return info(*files, out, err); }};
}

CLI::Option* add_files(CLI::App& command, std::vector<std::string>& files, const std::string& what) {
    return command.add_option("FILE", files, what)->required()->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CLI::Option* add_folder_flag(CLI::App& command, bool& recursive) {
    return command.add_flag("-r,--recursive", recursive, "enter the sub-folders of the folders named too");
}

bool list_files(const std::vector<std::string>& args, bool recursive, std::vector<std::string>& files,
                std::ostream& err) {
    std::vector<std::string> empty;
    files = expand_folders(args, recursive, empty);
    for (const std::string& folder : empty) {
        err << folder << ": no media files in this folder" << (recursive ? " or its sub-folders" : "") << "\n";
    }
    return empty.empty() && !files.empty();
}

CLI::Validator check_that(const std::function<bool(const std::string&)>& ok, const std::string& why) {
    return CLI::Validator([ok, why](std::string& text) { return ok(text) ? std::string() : why; }, "");
}

CLI::Option* add_jobs(CLI::App& command, int& jobs) {
    jobs = 3;
    return command.add_option("--jobs", jobs, "how many files at a time (default 3)")
        ->type_name("N")
        ->check(check_that(
            [](const std::string& text) {
                int n = 0;
                const char* end = text.data() + text.size();
                const auto [ptr, ec] = std::from_chars(text.data(), end, n);
                return ec == std::errc() && ptr == end && n >= 1;
            },
            "needs a number of at least 1"));
}

double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

namespace {

bool valid_utf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// The name's bytes as text: printable ASCII as it is, a backslash doubled,
// every other byte as \xHH (the shell's $'...' reads it back).
std::string byte_escaped(const std::string& text) {
    std::string escaped;
    for (const unsigned char c : text) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c >= 0x20 && c < 0x7f)
            escaped += static_cast<char>(c);
        else
            escaped += Format("\\x%02x", c);
    }
    return escaped;
}

}  // namespace

// File names are bytes: one that is no UTF-8 is written with U+FFFD in its
// field, and its exact bytes in a "<field>_bytes" field beside it.
void print_records(std::ostream& out, const nlohmann::ordered_json& records) {
    out << "[";
    for (size_t i = 0; i < records.size(); ++i) {
        nlohmann::ordered_json record = records[i];
        if (record.is_object()) {
            for (const auto& [key, value] : records[i].items()) {
                if (value.is_string() && !valid_utf8(value.get_ref<const std::string&>())) {
                    record[key + "_bytes"] = byte_escaped(value.get_ref<const std::string&>());
                }
            }
        }
        out << (i ? ",\n " : "\n ") << record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    out << "\n]\n";
}

ProgressLine::ProgressLine(std::ostream& err, size_t tasks)
    : err_(err),
      show_(::isatty(STDERR_FILENO)),
      percent_(tasks, 0),
      position_(tasks, 0),
      start_(std::chrono::steady_clock::now()) {}

void ProgressLine::update(const TProgressInfo& p, size_t first) {
    const auto done = task_percent(p.Position, p.Duration);
    if (!show_ || !done || p.TaskIndex < 0 || first + static_cast<size_t>(p.TaskIndex) >= percent_.size()) return;
    const auto task = first + static_cast<size_t>(p.TaskIndex);
    percent_[task] = *done;
    position_[task] = std::max(position_[task], p.Position);
    const int mean = mean_percent(percent_);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    int64_t media = 0;
    for (int64_t position : position_) media += position;
    std::string line = Format("\r%3d%%", mean);
    if (elapsed > 0.5) line += Format("  %.1fx", static_cast<double>(media) / 1e6 / elapsed);
    if (mean > 0) {
        const long left = std::lround(elapsed * (100 - mean) / mean);
        line += Format("  %ld:%02ld left ", left / 60, left % 60);
    }
    err_ << line << std::flush;
    open_ = true;
}

void ProgressLine::break_line() {
    if (!open_) return;
    err_ << "\n";
    open_ = false;
}

StopSignals::StopSignals() {
    g_stop_signal = 0;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the engine's calls on this thread go on; the loop looks at the flag
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], nullptr, &previous_[i]);
        // A signal ignored from the start stays ignored (nohup, a shell's
        // background job): whoever started the program does not want it to stop.
        if (!(previous_[i].sa_flags & SA_SIGINFO) && previous_[i].sa_handler == SIG_IGN) continue;
        sigaction(kSignals[i], &action, nullptr);
    }
}

StopSignals::~StopSignals() {
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
}

int StopSignals::received() { return g_stop_signal.load(); }

std::string reason_of(const std::string& message, const std::string& path) {
    const std::string prefix = path + ": ";
    return message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CLI::App app("Converts, measures and levels media files with the engine of the window.", "sonorix-cli");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("sonorix-cli ") + kVersion, "show the version");
    app.set_help_flag("-h,--help", "show this text");
    // Unknown options are collected and named below; a flag takes no value;
    // a repeated option keeps its last value.
    app.allow_extras();
    app.option_defaults()->disable_flag_override()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // One verb per line: a file that is named like a verb is a file.
    app.require_subcommand(0, 1);
    std::vector<Verb> verbs = {add_info(app), add_measure(app), add_convert(app)};
    for (Verb& v : add_list_runs(app)) verbs.push_back(std::move(v));
    verbs.push_back(add_tag(app));
    if (args.empty()) {
        err << app.help();
        return 2;
    }
    if (args[0] == "help") {
        out << app.help();
        return 0;
    }
    // "--name=" gives an option an empty value, where the parser would take
    // the next argument (a file, for one); a flag takes no value.
    const auto named =
        std::find_if(verbs.begin(), verbs.end(), [&](const Verb& v) { return v.command->get_name() == args[0]; });
    std::vector<std::string> line;
    bool files_only = false;
    for (const std::string& arg : args) {
        files_only = files_only || arg == "--";
        const size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, eq);
        const CLI::Option* option = !files_only && named != verbs.end() && eq != std::string::npos
                                        ? named->command->get_option_no_throw(name)
                                        : nullptr;
        line.push_back(arg);
        if (!option) continue;
        if (option->get_expected_min() == 0) {
            err << "sonorix-cli " << args[0] << ": " << name << " takes no value\n";
            return 2;
        }
        if (eq + 1 == arg.size()) {
            line.back() = name;
            line.emplace_back();
        }
    }
    const Verb* verb = nullptr;
    auto where = [&] { return verb ? "sonorix-cli " + verb->command->get_name() : std::string("sonorix-cli"); };
    try {
        app.parse(std::vector<std::string>(line.rbegin(), line.rend()));
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        for (const Verb& v : verbs) {
            if (v.command->parsed()) verb = &v;
        }
        err << where() << ": " << e.what() << "\n";
        return 2;
    }
    for (const Verb& v : verbs) {
        if (v.command->parsed()) verb = &v;
    }
    std::vector<std::string> extras = app.remaining();
    if (verb) {
        const std::vector<std::string> own = verb->command->remaining();
        extras.insert(extras.begin(), own.begin(), own.end());
    }
    for (const std::string& extra : extras) {
        // The parser keeps the "--" it has read among them.
        if (extra.size() > 1 && extra[0] == '-' && extra != "--") {
            err << "sonorix-cli: unknown option '" << extra.substr(0, extra.find('=')) << "'\n";
            return 2;
        }
    }
    if (!verb) {
        err << "sonorix-cli: unknown command \"" << args[0] << "\"\n" << app.help();
        return 2;
    }
    const StopSignals stop_signals;
    return verb->run(out, err);
}

}  // namespace sonorix::cli
