// The AAC-LC syntax behind the gain editor: the standard's tables
// (aac_tables.cpp) and a count of the coding tools a packet uses, by which
// the tests show that their streams reach every path of the parser. Private
// to the lossless layer and its tests.
#pragma once

#include "lossless/aac_gain.h"

#include <cstdint>
#include <span>
#include <string>

namespace sonorix::lossless::aac {

struct HuffCode {
    uint32_t code;   // right-aligned; its most significant bit is sent first
    uint8_t length;  // in bits
};

// Scale factor deltas: index = delta + 60.
std::span<const HuffCode> scalefactor_book();
// Spectral books 1..11 in the index order of the standard's tables; empty
// for any other number.
std::span<const HuffCode> spectral_book(int book);
// Starts of the scale factor bands of one window, closed by the window's
// length; empty for a reserved sampling frequency index.
std::span<const uint16_t> band_offsets(int sampling_index, bool short_window, bool frame_960);

struct ToolCounts {
    int channel_streams = 0;  // individual_channel_stream()s
    int silent_streams = 0;   // ... whose every band is in codebook 0
    int short_windows = 0;    // ... of eight short windows
    int tns = 0;              // ... with tns_data()
    int pulses = 0;           // ... with pulse_data()
    int noise_bands = 0;      // codebook 13
    int intensity_bands = 0;  // codebooks 14 and 15
    int ms_bands = 0;         // ms_used set
    int escapes = 0;          // escape sequences of codebook 11
};

// Adds what the packet uses to `counts`; false, with the reason, where
// aac_survey refuses the packet.
bool count_tools(const AacConfig& config, std::span<const uint8_t> packet, ToolCounts& counts, std::string& why);

}  // namespace sonorix::lossless::aac
