#include "workflow/loudness.h"

#include <algorithm>
#include <cmath>

#include "base/FFBase.h"

namespace sonorix {

namespace {

// The measurement's absolute gate: a file this quiet has no loudness.
constexpr double kSilence = -70.0;

}  // namespace

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
