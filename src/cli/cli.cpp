#include "cli/cli.h"

#include <atomic>
#include <ostream>

#include "engine/FFDecode.h"
#include "engine/base/FFLoad.h"

namespace sonorix::cli {

namespace {

constexpr const char* kVersion = "2.2.0";

constexpr const char* kUsage =
    "Usage: sonorix-cli COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  info FILE...     describe each media file (format, duration, streams)\n"
    "  measure [--json] [--jobs N] [--loudness] FILE...\n"
    "                   measure the peak and mean level of each file's audio (with\n"
    "                   --loudness also its integrated loudness, range and true peak)\n"
    "  convert [--jobs N] IN OUT [IN OUT ...] [--input-options TEXT]\n"
    "          [--output-options TEXT] [--second-input FILE [--second-input-options TEXT]]\n"
    "                   convert each pair with option texts, N at a time\n"
    "  change --percent N -o DIR [--prefix P] [--jobs N] [--dry-run] [--json] FILE...\n"
    "                   convert each file with the volume N % (0 to 1000) into DIR\n"
    "  normalize -o DIR [--prefix P] [--jobs N] [--dry-run] [--json] FILE...\n"
    "                   measure each file's peak, then amplify it to full scale into DIR\n"
    "  average -o DIR [--prefix P] [--jobs N] [--dry-run] [--json] FILE...\n"
    "                   bring every file to the average level of all of them, into DIR\n"
    "                   (the normalizer: $SONORIX_NORMALIZER, else sonorix-normalize\n"
    "                   beside this program)\n"
    "  loudness --target LUFS [--ceiling dBTP] -o DIR [--prefix P] [--jobs N] [--dry-run]\n"
    "           [--json] FILE...\n"
    "                   bring each file to the integrated loudness LUFS (-40 to -5) with one\n"
    "                   gain, its true peak at most the ceiling (default -1 dBTP), into DIR\n"
    "\n"
    "Options:\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "  --               every argument after it is a file, also one that starts with '-'\n"
    "\n"
    "Ctrl-C, SIGTERM and SIGHUP stop the tasks and remove their temporary files;\n"
    "the exit status is then 128 + the signal's number (130, 143, 129).\n";

std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void on_stop_signal(int signal) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signal);
}

int info(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto parsed = parse_arguments("info", args, {}, err);
    if (!parsed) return 2;
    const std::vector<std::string>& files = parsed->files;
    if (files.empty()) {
        err << "sonorix-cli info: no file given\n" << kUsage;
        return 2;
    }
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

const std::string* Arguments::value(std::string_view flag) const {
    const auto it = flags.find(flag);
    return it == flags.end() ? nullptr : &it->second;
}

std::optional<Arguments> parse_arguments(std::string_view command, const std::vector<std::string>& args,
                                         std::initializer_list<Flag> known, std::ostream& err) {
    Arguments parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            parsed.files.insert(parsed.files.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            parsed.files.push_back(arg);
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const Flag* flag = nullptr;
        for (const Flag& f : known) {
            if (f.name == name) flag = &f;
        }
        if (!flag) {
            err << "sonorix-cli: unknown option '" << name << "'\n";
            return std::nullopt;
        }
        if (!flag->takes_value) {
            if (eq != std::string::npos) {
                err << "sonorix-cli " << command << ": " << name << " takes no value\n";
                return std::nullopt;
            }
            parsed.flags[name];
        } else if (eq != std::string::npos) {
            parsed.flags[name] = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            parsed.flags[name] = args[++i];  // taken as it is, also when it starts with '-'
        } else {
            err << "sonorix-cli " << command << ": " << name << " needs a value\n";
            return std::nullopt;
        }
    }
    return parsed;
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
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage;
        return 0;
    }
    if (command == "--version") {
        out << "sonorix-cli " << kVersion << "\n";
        return 0;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const StopSignals stop_signals;
    if (command == "info") return info(rest, out, err);
    if (command == "measure") return measure(rest, out, err);
    if (command == "convert") return convert(rest, out, err);
    if (command == "change") return change(rest, out, err);
    if (command == "normalize") return normalize(rest, out, err);
    if (command == "average") return average(rest, out, err);
    if (command == "loudness") return loudness(rest, out, err);
    err << "sonorix-cli: unknown command \"" << command << "\"\n" << kUsage;
    return 2;
}

}  // namespace sonorix::cli
