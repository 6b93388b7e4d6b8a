// MPEG audio layer III (MPEG-1, 2 and 2.5): the global gain of every
// granule and channel, read and moved in place. One packet is what the
// demuxer gives for the track: one frame, header included.
#pragma once

#include "lossless/bits.h"

#include <cstdint>
#include <span>
#include <string>

namespace sonorix::lossless {

// Reads the packet's gain fields and narrows `room` to how far they may all
// move. False, with the reason, when the packet is not one this editor can
// change (another layer, free format, a damaged header or side info).
bool mp3_survey(std::span<const uint8_t> packet, GainRoom& room, std::string& why);

// Adds `steps` to every gain field that carries sound and rewrites the CRC
// of a protected frame; the packet keeps its size and every other bit.
// False, with the reason, when a field would leave its range (nothing is
// changed then).
bool mp3_apply(std::span<uint8_t> packet, int steps, std::string& why);

}  // namespace sonorix::lossless
