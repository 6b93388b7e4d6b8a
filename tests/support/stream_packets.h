// Packet-level facts of one stream of a file, read with the libraries: what
// tests compare after stream copies, bitstream filters and re-encoding.
#pragma once

#include <cstdint>
#include <filesystem>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avutil.h>
}

namespace sonorix::test {

struct StreamPackets {
    AVCodecID codec = AV_CODEC_ID_NONE;  // NONE: no such stream (or unreadable file)
    int packets = 0;
    int key_packets = 0;
    double seconds = 0;  // end of the last packet (timestamp + duration)
    uint64_t data_hash = 0;  // FNV-1a over every packet's bytes in order: equal when no byte changed
};

// The nth stream of a type (0: the first).
StreamPackets count_packets(const std::filesystem::path& path, AVMediaType type, int nth = 0);

}  // namespace sonorix::test
