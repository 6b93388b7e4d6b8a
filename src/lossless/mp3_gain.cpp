#include "lossless/mp3_gain.h"

#include <array>
#include <string>
#include <vector>

namespace sonorix::lossless {

namespace {

constexpr uint32_t kSync = 0x7ff;  // the first 11 header bits
constexpr int kMaxGlobalGain = 255;
constexpr size_t kHeaderBytes = 4;
constexpr size_t kCrcBytes = 2;
constexpr uint16_t kCrcPolynomial = 0x8005;  // x^16 + x^15 + x^2 + 1
constexpr uint16_t kCrcInit = 0xffff;

// The header's version field: 0 is MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1.
constexpr uint32_t kVersionReserved = 1;
constexpr uint32_t kMpeg1 = 3;

// Layer III bit rates in kbit/s by bitrate_index; 0 is free format, 15 forbidden.
constexpr std::array<int, 15> kMpeg1Kbps = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr std::array<int, 15> kLsfKbps = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
// By version, then sampling_frequency (3 is reserved).
constexpr std::array<std::array<int, 3>, 4> kSampleRates = {{
    {11025, 12000, 8000},
    {0, 0, 0},
    {22050, 24000, 16000},
    {44100, 48000, 32000},
}};

// Side information of one granule of one channel: part2_3_length (12),
// big_values (9), global_gain (8), scalefac_compress (4; 9 in MPEG-2 and
// 2.5), window_switching_flag (1), then 22 bits of block type or table
// selection and region counts, then preflag (MPEG-1 only), scalefac_scale
// and count1table_select.
constexpr int kPart23LengthBits = 12;
constexpr int kBigValuesBits = 9;
constexpr int kGlobalGainBits = 8;
constexpr int kMpeg1GranuleChannelBits = 59;
constexpr int kLsfGranuleChannelBits = 63;

// What a frame header says about the frame.
struct Header {
    bool lsf = false;  // MPEG-2 or 2.5: one granule a frame, the longer fields
    int channels = 0;
    bool crc = false;
    size_t length = 0;  // the whole frame in bytes
    size_t side_info_bytes = 0;
};

// One frame of a packet and where its gain fields lie.
struct Frame {
    size_t offset = 0;  // of the header in the packet
    bool crc = false;
    size_t side_info_bytes = 0;
    int fields = 0;                     // gain fields that carry sound
    std::array<size_t, 4> field_bit{};  // their bit positions in the packet
    std::array<uint8_t, 4> field_value{};
};

// Reads the header at the start of `bytes`. Refuses everything but layer
// III with a known bit rate and sampling frequency.
bool read_header(std::span<const uint8_t> bytes, Header& header, std::string& why) {
    if (bytes.size() < kHeaderBytes) {
        why = "too short for an MPEG audio frame header";
        return false;
    }
    BitReader r(bytes);
    if (r.read(11) != kSync) {
        why = "no MPEG audio frame sync";
        return false;
    }
    const uint32_t version = r.read(2);
    const uint32_t layer = r.read(2);  // 1: III, 2: II, 3: I
    const bool protection_bit = r.read_bit();
    const uint32_t bitrate_index = r.read(4);
    const uint32_t sampling_frequency = r.read(2);
    const uint32_t padding_bit = r.read_bit();
    r.skip(1);  // private_bit
    const uint32_t mode = r.read(2);
    r.skip(2 + 1 + 1);  // mode_extension, copyright, original/home
    const uint32_t emphasis = r.read(2);

    if (version == kVersionReserved) {
        why = "reserved MPEG audio version";
        return false;
    }
    if (layer != 1) {
        why = layer == 0   ? "reserved MPEG audio layer"
              : layer == 2 ? "MPEG audio layer II, not layer III"
                           : "MPEG audio layer I, not layer III";
        return false;
    }
    if (bitrate_index == 0) {
        why = "free-format MP3 frame: its length is not in its header";
        return false;
    }
    if (bitrate_index == 15) {
        why = "forbidden bit rate index in an MP3 frame header";
        return false;
    }
    if (sampling_frequency == 3) {
        why = "reserved sampling frequency in an MP3 frame header";
        return false;
    }
    if (emphasis == 2) {
        why = "reserved emphasis in an MP3 frame header";
        return false;
    }
    header.lsf = version != kMpeg1;
    header.channels = mode == 3 ? 1 : 2;  // 3: single channel
    header.crc = !protection_bit;
    const int kbps = (header.lsf ? kLsfKbps : kMpeg1Kbps)[bitrate_index];
    const int rate = kSampleRates[version][sampling_frequency];
    // 1152 samples a frame in MPEG-1, 576 in MPEG-2 and 2.5; a slot is a byte.
    header.length = static_cast<size_t>((header.lsf ? 72000 : 144000) * kbps / rate) + padding_bit;
    header.side_info_bytes = header.lsf ? (header.channels == 1 ? 9 : 17) : (header.channels == 1 ? 17 : 32);
    return true;
}

// Splits the packet into its frames and finds the gain fields that carry
// sound. A frame whose part2_3_length is 0 codes no spectrum, so its gain
// is left alone; this covers the Xing, Info and VBRI header frames, whose
// side information is all zero.
bool read_frames(std::span<const uint8_t> packet, std::vector<Frame>& frames, std::string& why) {
    frames.clear();
    size_t offset = 0;
    while (offset < packet.size() || frames.empty()) {
        Header header;
        if (!read_header(packet.subspan(offset), header, why)) {
            if (!frames.empty())
                why = std::to_string(packet.size() - offset) + " bytes after the last MP3 frame of the packet: " + why;
            return false;
        }
        Frame frame;
        frame.offset = offset;
        frame.crc = header.crc;
        frame.side_info_bytes = header.side_info_bytes;
        const size_t side_info_at = offset + kHeaderBytes + (frame.crc ? kCrcBytes : 0);
        if (side_info_at + frame.side_info_bytes > packet.size()) {
            why = "MP3 frame cut short inside its side information";
            return false;
        }
        const bool lsf = header.lsf;
        const size_t channels = static_cast<size_t>(header.channels);
        const size_t granules = lsf ? 1 : 2;
        // main_data_begin, private_bits and (MPEG-1) scfsi come first.
        const size_t lead_bits = lsf ? 8 + (channels == 1 ? 1 : 2) : 9 + (channels == 1 ? 5 : 3) + 4 * channels;
        const size_t block_bits = lsf ? kLsfGranuleChannelBits : kMpeg1GranuleChannelBits;
        BitReader r(packet);
        for (size_t i = 0; i < granules * channels; ++i) {
            const size_t block = side_info_at * 8 + lead_bits + i * block_bits;
            r.seek(block);
            const uint32_t part2_3_length = r.read(kPart23LengthBits);
            r.seek(block + kPart23LengthBits + kBigValuesBits);
            const size_t gain_bit = r.position();
            const uint32_t global_gain = r.read(kGlobalGainBits);
            if (part2_3_length == 0) continue;
            frame.field_bit[frame.fields] = gain_bit;
            frame.field_value[frame.fields] = static_cast<uint8_t>(global_gain);
            ++frame.fields;
        }
        frames.push_back(frame);
        // The last frame may be cut short in its main data (the end of a
        // damaged file): its side information is whole, and that is all
        // this editor reads or writes.
        offset += header.length;
    }
    return true;
}

uint16_t crc16(uint16_t crc, std::span<const uint8_t> bytes) {
    for (const uint8_t byte : bytes) {
        crc ^= static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ kCrcPolynomial : crc << 1);
    }
    return crc;
}

// The check word of a protected frame covers the header's last 16 bits and
// the side information.
uint16_t frame_crc(std::span<const uint8_t> packet, const Frame& frame) {
    const uint16_t crc = crc16(kCrcInit, packet.subspan(frame.offset + 2, 2));
    return crc16(crc, packet.subspan(frame.offset + kHeaderBytes + kCrcBytes, frame.side_info_bytes));
}

}  // namespace

bool mp3_survey(std::span<const uint8_t> packet, GainRoom& room, std::string& why) {
    std::vector<Frame> frames;
    if (!read_frames(packet, frames, why)) return false;
    GainRoom packet_room;
    for (const Frame& frame : frames) {
        for (int i = 0; i < frame.fields; ++i)
            packet_room.narrow({frame.field_value[i], kMaxGlobalGain - frame.field_value[i]});
    }
    room.narrow(packet_room);
    return true;
}

bool mp3_apply(std::span<uint8_t> packet, int steps, std::string& why) {
    std::vector<Frame> frames;
    if (!read_frames(packet, frames, why)) return false;
    for (const Frame& frame : frames) {
        for (int i = 0; i < frame.fields; ++i) {
            const int moved = frame.field_value[i] + steps;
            if (moved < 0 || moved > kMaxGlobalGain) {
                why = "an MP3 global gain of " + std::to_string(frame.field_value[i]) + " cannot move by " +
                      std::to_string(steps) + " steps (0..255)";
                return false;
            }
        }
    }
    if (steps == 0) return true;
    for (const Frame& frame : frames) {
        if (frame.fields == 0) continue;
        const uint16_t before = frame.crc ? frame_crc(packet, frame) : 0;
        for (int i = 0; i < frame.fields; ++i)
            write_bits(packet, frame.field_bit[i], kGlobalGainBits,
                       static_cast<uint32_t>(frame.field_value[i] + steps));
        if (!frame.crc) continue;
        // The check word changes by exactly what the edit changes: a right
        // one stays right, and one that was already wrong stays wrong, so a
        // frame damaged before the edit is still found out after it.
        const size_t crc_at = frame.offset + kHeaderBytes;
        const uint16_t stored = static_cast<uint16_t>(packet[crc_at] << 8 | packet[crc_at + 1]);
        const uint16_t now = stored ^ before ^ frame_crc(packet, frame);
        packet[crc_at] = static_cast<uint8_t>(now >> 8);
        packet[crc_at + 1] = static_cast<uint8_t>(now & 0xff);
    }
    return true;
}

}  // namespace sonorix::lossless
