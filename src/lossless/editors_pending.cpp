// Stand-ins for the MP3 and AAC editors until their own files land: every
// such track refuses the lossless path, so those files are re-encoded.
#include "lossless/aac_gain.h"
#include "lossless/mp3_gain.h"

namespace sonorix::lossless {

namespace {
bool not_yet(std::string& why) {
    why = "this build does not change the codec's gain fields";
    return false;
}
}  // namespace

bool mp3_survey(std::span<const uint8_t>, GainRoom&, std::string& why) { return not_yet(why); }
bool mp3_apply(std::span<uint8_t>, int, std::string& why) { return not_yet(why); }
bool aac_config(std::span<const uint8_t>, AacConfig&, std::string& why) { return not_yet(why); }
bool aac_survey(const AacConfig&, std::span<const uint8_t>, GainRoom&, std::string& why) { return not_yet(why); }
bool aac_apply(const AacConfig&, std::span<uint8_t>, int, std::string& why) { return not_yet(why); }

}  // namespace sonorix::lossless
