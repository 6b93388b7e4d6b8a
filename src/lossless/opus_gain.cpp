#include "lossless/opus_gain.h"

#include <cstring>
#include <limits>

#include "base/FFBase.h"

namespace sonorix::lossless {

namespace {

constexpr size_t kGainAt = 16;  // signed Q7.8 dB, little endian

int read_gain(std::span<const uint8_t> head) {
    return static_cast<int16_t>(static_cast<uint16_t>(head[kGainAt] | (head[kGainAt + 1] << 8)));
}

}  // namespace

bool opus_output_gain(std::span<const uint8_t> head, int& gain_q8, std::string& why) {
    if (head.size() < kOpusHeadSize || std::memcmp(head.data(), "OpusHead", 8) != 0) {
        why = "the Opus track has no identification header";
        return false;
    }
    // Versions 0-15 share the layout; a higher major version may not.
    if (head[8] > 15) {
        why = "the Opus header's version " + std::to_string(head[8]) + " is not known";
        return false;
    }
    gain_q8 = read_gain(head);
    return true;
}

bool opus_survey(std::span<const uint8_t> head, GainRoom& room, std::string& why) {
    int gain = 0;
    if (!opus_output_gain(head, gain, why)) return false;
    room.narrow({gain - std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max() - gain});
    return true;
}

bool opus_apply(std::span<uint8_t> head, int gain_q8, std::string& why) {
    int gain = 0;
    if (!opus_output_gain(head, gain, why)) return false;
    const long sum = static_cast<long>(gain) + gain_q8;
    if (sum < std::numeric_limits<int16_t>::min() || sum > std::numeric_limits<int16_t>::max()) {
        why = Format("the Opus output gain would leave its range (%+.2f dB in the header, %+.2f dB asked)",
                     gain / 256.0, gain_q8 / 256.0);
        return false;
    }
    const auto bits = static_cast<uint16_t>(static_cast<int16_t>(sum));
    head[kGainAt] = static_cast<uint8_t>(bits & 0xFF);
    head[kGainAt + 1] = static_cast<uint8_t>(bits >> 8);
    return true;
}

}  // namespace sonorix::lossless
