// Opus: the output gain of the identification header (OpusHead), which every
// decoder applies to all of the track's samples. The header is the track's
// extradata in Ogg, Matroska and WebM; the MP4 demuxer builds one from the
// dOps box and the MP4 muxer writes dOps back from it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "lossless/bits.h"

namespace sonorix::lossless {

// The header's smallest size: magic, version, channels, pre-skip, input
// rate, output gain and mapping family.
inline constexpr size_t kOpusHeadSize = 19;

// The output gain in 1/256 dB; false, with the reason, when head is not an
// OpusHead this editor understands (magic, major version 0, size).
bool opus_output_gain(std::span<const uint8_t> head, int& gain_q8, std::string& why);

// How far the output gain may move, in 1/256 dB, before it leaves int16.
bool opus_survey(std::span<const uint8_t> head, GainRoom& room, std::string& why);

// Adds gain_q8 to the output gain (an existing gain is kept and added to);
// false, with nothing changed, when the sum leaves int16.
bool opus_apply(std::span<uint8_t> head, int gain_q8, std::string& why);

}  // namespace sonorix::lossless
