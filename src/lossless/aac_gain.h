// AAC-LC: the global gain of every individual channel stream of every
// single-channel, channel-pair and LFE element, read and moved in place.
// Packets are raw data blocks (MP4, MOV, MKV: the configuration comes from
// the stream's extradata) or ADTS frames (.aac files, MPEG-TS).
#pragma once

#include "lossless/bits.h"

#include <cstdint>
#include <span>
#include <string>

namespace sonorix::lossless {

struct AacConfig {
    bool adts = false;  // packets carry their own ADTS headers
    int object_type = 0;
    int sampling_index = 0;
    int channel_config = 0;
    bool frame_length_960 = false;
};

// The track's configuration from its extradata (AudioSpecificConfig); empty
// extradata means ADTS-framed packets. False, with the reason, for what this
// editor does not change (HE-AAC, other object types, ...).
bool aac_config(std::span<const uint8_t> extradata, AacConfig& config, std::string& why);

// As mp3_survey and mp3_apply: the room every scale factor of the packet
// leaves, and the move of every global gain in place (CRCs of ADTS frames
// rewritten).
bool aac_survey(const AacConfig& config, std::span<const uint8_t> packet, GainRoom& room, std::string& why);
bool aac_apply(const AacConfig& config, std::span<uint8_t> packet, int steps, std::string& why);

}  // namespace sonorix::lossless
