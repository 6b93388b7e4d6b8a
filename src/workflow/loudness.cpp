#include "workflow/loudness.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/FFBase.h"

namespace sonorix {

namespace {

// The measurement's absolute gate: a file this quiet has no loudness.
constexpr double kSilence = -70.0;

}  // namespace

std::optional<double> number_after(const std::string& line, const char* key) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    const char* start = line.c_str() + at + std::strlen(key);
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    if (end == start) return std::nullopt;
    return v;
}

void LoudnessReading::read(const std::string& line) {
    // A frame log line: "t: 0.5  TARGET:-23 LUFS  M: -20.1 S: ...". The
    // first three come before the 400 ms window is whole.
    if (section_ == Section::None && line.find("TARGET:") != std::string::npos) {
        const auto t = number_after(line, "t:");
        const auto m = number_after(line, " M:");
        if (t && m && *t >= 0.4 - 1e-6) blocks.push_back(static_cast<float>(*m));
        return;
    }
    if (line.find("Integrated loudness:") != std::string::npos)
        section_ = Section::Integrated;
    else if (line.find("Loudness range:") != std::string::npos)
        section_ = Section::Range;
    else if (line.find("Sample peak:") != std::string::npos)
        section_ = Section::SamplePeak;
    else if (line.find("True peak:") != std::string::npos)
        section_ = Section::TruePeak;
    else if (line.find("Summary:") != std::string::npos)
        section_ = Section::None;
    else if (line.find("] Channel:") != std::string::npos)
        section_ = Section::None;
    else if (line.size() >= 7 && line.compare(line.size() - 7, 7, "Overall") == 0)
        section_ = Section::Overall;
    switch (section_) {
    case Section::Integrated:
        if (auto v = number_after(line, " I:")) integrated = v;
        break;
    case Section::Range:
        if (auto v = number_after(line, " LRA:")) range = v;
        break;
    case Section::SamplePeak:
        if (auto v = number_after(line, " Peak:")) sample_peak = v;
        break;
    case Section::TruePeak:
        if (auto v = number_after(line, " Peak:")) true_peak = v;
        break;
    case Section::Overall:
        if (auto v = number_after(line, "Peak level dB:")) sample_peak = v;
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

std::optional<double> gated_loudness(const std::vector<const std::vector<float>*>& programmes) {
    // The mean power of the blocks above gate, as loudness.
    auto mean_above = [&](double gate) -> std::optional<double> {
        double power = 0;
        size_t n = 0;
        for (const auto* blocks : programmes) {
            for (const float l : *blocks) {
                if (!(l > gate)) continue;
                power += std::pow(10.0, l / 10.0);
                ++n;
            }
        }
        if (n == 0) return std::nullopt;
        return 10.0 * std::log10(power / static_cast<double>(n));
    };
    const auto ungated = mean_above(kSilence);
    if (!ungated) return std::nullopt;
    return mean_above(std::max(kSilence, *ungated - 10.0));
}

std::string gain_filter(double gain_db) { return Format(",volume=%.2fdB", gain_db); }

std::optional<double> second_pass_gain(double gain_db, std::optional<double> decoded_peak, double limit) {
    if (!decoded_peak || *decoded_peak <= limit) return std::nullopt;
    return gain_db - kSecondPassFactor * (*decoded_peak - limit) - kSecondPassMargin;
}

}  // namespace sonorix
