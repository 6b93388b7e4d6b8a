// Gains in the steps the lossy codecs' gain fields move in.
#pragma once

namespace sonorix::lossless {

// MP3's and AAC's global gain: one step is 2^(1/4) in amplitude.
constexpr double kStepDb = 1.5051499783199060;  // 20 * log10(2) / 4

// Down: never more than asked (full scale and ceilings stay kept).
// Nearest: as close as the steps allow (a volume or a loudness target).
enum class StepRounding { Down, Nearest };

int steps_for(double db, StepRounding rounding);
double db_of_steps(int steps);

// Opus's output gain is Q7.8 dB: steps of 1/256 dB in a signed 16-bit field.
int opus_gain_q8(double db, StepRounding rounding);

}  // namespace sonorix::lossless
