#include "support/stream_packets.h"

#include <algorithm>
#include <cmath>
#include <functional>

extern "C" {
#include <libavformat/avformat.h>
}

namespace sonorix::test {

namespace {

// Hands the nth stream of the type to take with no packet, then with each of
// its packets; false when the file or the stream is not there.
bool for_each_packet(const std::filesystem::path& path, AVMediaType type, int nth,
                     const std::function<void(const AVStream*, const AVPacket*)>& take) {
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return false;
    avformat_find_stream_info(ic, nullptr);
    int index = -1;
    for (unsigned i = 0; i < ic->nb_streams && index < 0; ++i) {
        if (ic->streams[i]->codecpar->codec_type == type && nth-- == 0) index = static_cast<int>(i);
    }
    if (index >= 0) take(ic->streams[index], nullptr);
    AVPacket* pkt = av_packet_alloc();
    while (index >= 0 && av_read_frame(ic, pkt) >= 0) {
        if (pkt->stream_index == index) take(ic->streams[index], pkt);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ic);
    return index >= 0;
}

}  // namespace

StreamPackets count_packets(const std::filesystem::path& path, AVMediaType type, int nth) {
    StreamPackets out;
    int64_t end = 0;
    uint64_t hash = 14695981039346656037ull;
    AVRational time_base{0, 1};
    const bool found = for_each_packet(path, type, nth, [&](const AVStream* st, const AVPacket* pkt) {
        if (!pkt) {
            out.codec = st->codecpar->codec_id;
            time_base = st->time_base;
            return;
        }
        ++out.packets;
        out.key_packets += (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        for (int b = 0; b < pkt->size; ++b) hash = (hash ^ pkt->data[b]) * 1099511628211ull;
        const int64_t at = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (at != AV_NOPTS_VALUE) end = std::max(end, at + pkt->duration);
    });
    if (found) {
        out.data_hash = hash;
        out.seconds = static_cast<double>(end) * av_q2d(time_base);
    }
    return out;
}

bool PacketFacts::operator==(const PacketFacts& o) const {
    auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || std::fabs(a - b) < 1e-9; };
    return same(pts, o.pts) && same(dts, o.dts) && same(duration, o.duration) && flags == o.flags && data == o.data;
}

void PrintTo(const PacketFacts& p, std::ostream* os) {
    *os << "pts " << p.pts << " dts " << p.dts << " dur " << p.duration << " flags " << p.flags << " size "
        << p.data.size();
}

std::vector<PacketFacts> stream_packets(const std::filesystem::path& path, AVMediaType type, int nth) {
    std::vector<PacketFacts> out;
    for_each_packet(path, type, nth, [&](const AVStream* st, const AVPacket* pkt) {
        if (!pkt) return;
        const double tb = av_q2d(st->time_base);
        auto seconds = [&](int64_t t) { return t == AV_NOPTS_VALUE ? NAN : static_cast<double>(t) * tb; };
        out.push_back({seconds(pkt->pts), seconds(pkt->dts), static_cast<double>(pkt->duration) * tb, pkt->flags,
                       std::string(reinterpret_cast<const char*>(pkt->data), static_cast<size_t>(pkt->size))});
    });
    return out;
}

}  // namespace sonorix::test
