#include "workflow/peak_analysis.h"

#include <filesystem>

#include "workflow/text.h"

namespace sonorix {

const char* const kNullDevice = "/dev/null";

namespace {

// Byte offset of the n-th code point (or the size when there are fewer).
size_t utf8_offset(const std::string& s, size_t n) {
    size_t i = 0;
    for (size_t count = 0; i < s.size() && count < n; ++count) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    }
    return i;
}

}  // namespace

std::string analysis_file_label(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    const size_t cut = utf8_offset(name, 46);
    if (cut >= name.size()) return name;
    return name.substr(0, cut) + "...";
}

std::string next_analysis_dots(const std::string& label) {
    const std::string next = label + ".";
    return next.size() > 69 ? "Analyzing" : next;
}

}  // namespace sonorix
