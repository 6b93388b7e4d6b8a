// Packet-level facts of one stream of a file, read with the libraries: what
// tests compare after stream copies, bitstream filters and re-encoding.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avutil.h>
}

namespace sonorix::test {

struct StreamPackets {
    AVCodecID codec = AV_CODEC_ID_NONE;  // NONE: no such stream (or unreadable file)
    int packets = 0;
    int key_packets = 0;
    double seconds = 0;      // end of the last packet (timestamp + duration)
    uint64_t data_hash = 0;  // FNV-1a over every packet's bytes in order: equal when no byte changed
};

// The nth stream of a type (0: the first).
StreamPackets count_packets(const std::filesystem::path& path, AVMediaType type, int nth = 0);

// One packet as a stream copy must keep it: timestamps in seconds (NaN when
// unset), flags and the payload's bytes.
struct PacketFacts {
    double pts = 0, dts = 0, duration = 0;
    int flags = 0;
    std::string data;
    bool operator==(const PacketFacts& other) const;
};
// "pts 0.021 dts 0.021 dur 0.02 flags 1 size 412", for test failures.
void PrintTo(const PacketFacts& packet, std::ostream* os);
// Every packet of the nth stream of a type, in file order (an attached
// picture's packet too).
std::vector<PacketFacts> stream_packets(const std::filesystem::path& path, AVMediaType type, int nth = 0);

}  // namespace sonorix::test
