// MPEG audio layer III (MPEG-1, 2 and 2.5): the global gain of every
// granule and channel, read and moved in place. One packet is what the
// demuxer gives for the track: one frame, header included; a packet that
// holds several whole frames is read frame by frame, and the last frame may
// be cut short after its side information (the end of a damaged file).
// Everything but layer III with a known bit rate and sampling frequency is
// refused, as is a packet whose bytes after its frames are not a frame.
#pragma once

#include "lossless/bits.h"

#include <cstdint>
#include <span>
#include <string>

namespace sonorix::lossless {

// Reads the packet's gain fields and narrows `room` to how far they may all
// move within 0..255. A granule's gain counts only when the granule codes
// something (part2_3_length above 0): so the zeroed side information of a
// Xing, Info or VBRI header frame never limits the room. False, with the
// reason, when the packet is not one this editor can change (another layer,
// free format, reserved values, a cut side information); `room` is then
// left as it was.
bool mp3_survey(std::span<const uint8_t> packet, GainRoom& room, std::string& why);

// Adds `steps` to every gain field that carries sound and rewrites the CRC
// of a protected frame; the packet keeps its size and every other bit. A
// check word that did not match before the edit still does not after it.
// False, with the reason, when the packet is refused or a field would leave
// its range (nothing is changed then).
bool mp3_apply(std::span<uint8_t> packet, int steps, std::string& why);

}  // namespace sonorix::lossless
