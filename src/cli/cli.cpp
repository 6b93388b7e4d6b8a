#include "cli/cli.h"

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
    "  measure [--json] [--jobs N] FILE...\n"
    "                   measure the peak and mean level of each file's audio\n"
    "  convert [--jobs N] IN OUT [IN OUT ...] [--input-options TEXT]\n"
    "          [--output-options TEXT] [--second-input FILE [--second-input-options TEXT]]\n"
    "                   convert each pair with option texts, N at a time; Ctrl-C stops\n"
    "  change --percent N -o DIR [--prefix P] [--jobs N] [--dry-run] [--json] FILE...\n"
    "                   convert each file with the volume N % (0 to 1000) into DIR\n"
    "  normalize -o DIR [--prefix P] [--jobs N] [--dry-run] [--json] FILE...\n"
    "                   measure each file's peak, then amplify it to full scale into DIR\n"
    "\n"
    "Options:\n"
    "  --help           show this text\n"
    "  --version        show the version\n";

int info(const std::vector<std::string>& files, std::ostream& out, std::ostream& err) {
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
    if (command == "info") return info(rest, out, err);
    if (command == "measure") return measure(rest, out, err);
    if (command == "convert") return convert(rest, out, err);
    if (command == "change") return change(rest, out, err);
    if (command == "normalize") return normalize(rest, out, err);
    err << "sonorix-cli: unknown command \"" << command << "\"\n" << kUsage;
    return 2;
}

}  // namespace sonorix::cli
