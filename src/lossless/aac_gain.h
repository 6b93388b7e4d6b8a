// AAC-LC: the global gain of every individual channel stream of every
// single-channel, channel-pair and LFE element, read and moved in place.
// Packets are raw data blocks (MP4, MOV, MKV: the configuration comes from
// the stream's extradata) or ADTS frames (.aac files, MPEG-TS).
//
// Every scale factor and noise energy of a channel stream counts from its
// global gain, so one move of the gain scales the whole channel by
// 2^(steps/4) while every other bit stays as it was. Finding the next
// channel's gain takes a noiseless decoding of the spectral data before it;
// nothing is dequantised or transformed. Pure functions, safe on any thread.
#pragma once

#include "lossless/bits.h"

#include <cstdint>
#include <span>
#include <string>

namespace sonorix::lossless {

struct AacConfig {
    bool adts = false;  // packets carry their own ADTS headers (the fields below stay 0)
    int object_type = 0;
    int sampling_index = 0;  // 0..12; an explicit frequency maps to its nearest index
    int channel_config = 0;
    bool frame_length_960 = false;
};

// The track's configuration from its extradata (AudioSpecificConfig); empty
// extradata means ADTS-framed packets. False, with the reason, for what this
// editor does not change: HE-AAC (SBR or PS, explicit or by object type),
// object types other than AAC-LC, a channel layout given by a program
// config element.
bool aac_config(std::span<const uint8_t> extradata, AacConfig& config, std::string& why);

// Reads the packet's gain fields and narrows `room` to how far they may all
// move: global gains and the scale factors of spectral bands within 0..255,
// noise energies within -100..155. A channel stream whose bands are all of
// codebook 0 or intensity (levels that follow the other channel's) carries
// nothing that counts from its gain: it leaves the room alone and its gain
// stays. False, with the reason, for a packet this editor cannot change:
// truncated or damaged, HE-AAC (SBR fill data), coupling channels, in-band
// program config, gain control, an ADTS CRC that does not match its frame
// (a frame is changed only where its CRC shows the walk reads it right).
bool aac_survey(const AacConfig& config, std::span<const uint8_t> packet, GainRoom& room, std::string& why);

// Adds `steps` to every global gain that carries sound and rewrites the CRC
// of each protected ADTS frame; the packet keeps its size and every other
// bit. False, with the reason, when aac_survey refuses the packet or a field
// would leave its range; nothing is changed then.
bool aac_apply(const AacConfig& config, std::span<uint8_t> packet, int steps, std::string& why);

}  // namespace sonorix::lossless
