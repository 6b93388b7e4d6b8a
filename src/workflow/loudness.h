// The loudness mode's rules: the one linear gain that brings a track to the
// target without its true peak passing the ceiling, an album's pooled
// loudness, and the gain of a lossy target's second pass.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sonorix {

constexpr double kDefaultLoudnessTarget = -16.0;  // LUFS
constexpr double kMinLoudnessTarget = -40.0;
constexpr double kMaxLoudnessTarget = -5.0;
constexpr double kDefaultTruePeakCeiling = -1.0;  // dBTP
constexpr double kMinTruePeakCeiling = -9.0;
constexpr double kMaxTruePeakCeiling = 0.0;
// A second pass lowers the gain by the overshoot times kSecondPassFactor plus
// kSecondPassMargin: the coder's error does not shrink with the gain in
// step (an AAC target 0.36 dB over still came out 0.02 dB over with 0.73 dB
// less), and the true peak is read to 0.1 dB.
constexpr double kSecondPassFactor = 2.0;
constexpr double kSecondPassMargin = 0.5;

// A track's loudness as the meter reads it.
struct LoudnessReading {
    std::optional<double> integrated;   // LUFS
    std::optional<double> range;        // LU
    std::optional<double> sample_peak;  // dBFS
    std::optional<double> true_peak;    // dBTP
    // The momentary loudness (LUFS) of every whole 400 ms block, one every
    // 100 ms: what an album's loudness pools. Filled only when asked for.
    std::vector<float> blocks;
};

struct LoudnessGain {
    double gain_db = 0;
    double below_target = 0;  // LU the ceiling keeps the file below the target; 0 when it did not
};

// target - integrated, lowered so that true peak + gain stays at or below the
// ceiling; nothing when the file's loudness was not measured or it is
// silent (below the measurement's absolute gate).
std::optional<LoudnessGain> loudness_gain(const LoudnessReading& reading, double target, double ceiling);

// The gated loudness of several programmes' blocks taken as one programme
// (an album), as BS.1770 gates them: blocks above -70 LUFS, then those
// above the loudness of these less 10 LU; nothing when no block passes.
// One programme's blocks give its own integrated loudness.
std::optional<double> gated_loudness(const std::vector<const std::vector<float>*>& programmes);

// ",volume=3.50dB".
std::string gain_filter(double gain_db);

// After a conversion to a lossy codec with gain_db: the lowered gain of a
// second pass (see kSecondPassFactor) when the decoded target's peak passes the limit (its sample
// peak over full scale, limit 0, or its true peak over the ceiling); nothing
// when it stays within or the target was not measured.
std::optional<double> second_pass_gain(double gain_db, std::optional<double> decoded_peak, double limit);

}  // namespace sonorix
