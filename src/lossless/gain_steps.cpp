#include "lossless/gain_steps.h"

#include <cmath>

namespace sonorix::lossless {

namespace {
// A gain already on a step (say, measured 6.0206 dB for 4 steps) must not
// lose that step to the last bits of a double.
constexpr double kSlack = 1e-9;

int rounded(double units, StepRounding rounding) {
    return static_cast<int>(rounding == StepRounding::Down ? std::floor(units + kSlack) : std::lround(units));
}
}  // namespace

int steps_for(double db, StepRounding rounding) { return rounded(db / kStepDb, rounding); }

double db_of_steps(int steps) { return steps * kStepDb; }

int opus_gain_q8(double db, StepRounding rounding) { return rounded(db * 256.0, rounding); }

}  // namespace sonorix::lossless
