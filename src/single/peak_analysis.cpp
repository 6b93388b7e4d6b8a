#include "single/peak_analysis.h"

#include <filesystem>

#include "single/text.h"

namespace sonorix {

const char* const kNullDevice = "/dev/null";
const char* const kMeasurementOptions = " -af \"volumedetect\" -f null -vn";

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

// Digits with at most one dot and not all zero (read without the locale).
bool is_positive_number(const std::string& s) {
    if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos) return false;
    if (s.find('.') != s.rfind('.')) return false;
    return s.find_first_of("123456789") != std::string::npos;
}

}  // namespace

std::optional<std::string> max_volume_from_line(const std::string& line) {
    const size_t p = line.find("max_volume:");
    if (p == std::string::npos) return std::nullopt;
    const size_t q = line.find("dB");
    std::string value;
    if (q != std::string::npos && q > p + 12) value = line.substr(p + 12, q - p - 12);
    value = trim_blanks(value);
    if (!value.empty() && value[0] == '-') {
        value.erase(0, 1);
    } else if (is_positive_number(value)) {
        // A float source may peak above full scale: its headroom is negative,
        // or the gain would push it further over.
        value = "-" + value;
    }
    return value;
}

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
