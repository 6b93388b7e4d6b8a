#include "workflow/loudness.h"

#include <cstdlib>
#include <cstring>

#include "base/FFBase.h"

namespace sonorix {

namespace {

// The measurement's absolute gate: a file this quiet has no loudness.
constexpr double kSilence = -70.0;

// The number after "KEY:" in line, when the line holds that key.
std::optional<double> value_after(const std::string& line, const char* key) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    const char* start = line.c_str() + at + std::strlen(key);
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    if (end == start) return std::nullopt;
    return v;
}

}  // namespace

void LoudnessReading::read(const std::string& line) {
    if (line.find("Integrated loudness:") != std::string::npos) section_ = Section::Integrated;
    else if (line.find("Loudness range:") != std::string::npos) section_ = Section::Range;
    else if (line.find("Sample peak:") != std::string::npos) section_ = Section::SamplePeak;
    else if (line.find("True peak:") != std::string::npos) section_ = Section::TruePeak;
    else if (line.find("Summary:") != std::string::npos) section_ = Section::None;
    else if (line.find("] Channel:") != std::string::npos) section_ = Section::None;
    else if (line.size() >= 7 && line.compare(line.size() - 7, 7, "Overall") == 0) section_ = Section::Overall;
    switch (section_) {
        case Section::Integrated:
            if (auto v = value_after(line, " I:")) integrated = v;
            break;
        case Section::Range:
            if (auto v = value_after(line, " LRA:")) range = v;
            break;
        case Section::SamplePeak:
            if (auto v = value_after(line, " Peak:")) sample_peak = v;
            break;
        case Section::TruePeak:
            if (auto v = value_after(line, " Peak:")) true_peak = v;
            break;
        case Section::Overall:
            if (auto v = value_after(line, "Peak level dB:")) sample_peak = v;
            break;
        case Section::None: break;
    }
}

std::optional<LoudnessGain> loudness_gain(const LoudnessReading& reading, double target, double ceiling) {
    if (!reading.integrated || *reading.integrated <= kSilence) return std::nullopt;
    LoudnessGain g;
    g.gain_db = target - *reading.integrated;
    if (reading.true_peak && *reading.true_peak + g.gain_db > ceiling) {
        g.gain_db = ceiling - *reading.true_peak;
        g.below_target = target - (*reading.integrated + g.gain_db);
    }
    return g;
}

std::string gain_filter(double gain_db) { return Format(",volume=%.2fdB", gain_db); }

std::optional<double> second_pass_gain(double gain_db, std::optional<double> decoded_peak, double limit) {
    if (!decoded_peak || *decoded_peak <= limit) return std::nullopt;
    return gain_db - kSecondPassFactor * (*decoded_peak - limit) - kSecondPassMargin;
}

}  // namespace sonorix
