#include "support/decoded_audio.h"

#include <algorithm>
#include <cmath>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

namespace sonorix::test {

namespace {

void take(const AVFrame* frame, std::vector<float>& out) {
    const int channels = frame->ch_layout.nb_channels;
    const auto fmt = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(fmt);
    for (int i = 0; i < frame->nb_samples; ++i) {
        for (int c = 0; c < channels; ++c) {
            const int plane = planar ? c : 0;
            const int at = planar ? i : i * channels + c;
            double v = 0;
            switch (av_get_packed_sample_fmt(fmt)) {
            case AV_SAMPLE_FMT_FLT: v = reinterpret_cast<const float*>(frame->extended_data[plane])[at]; break;
            case AV_SAMPLE_FMT_DBL: v = reinterpret_cast<const double*>(frame->extended_data[plane])[at]; break;
            case AV_SAMPLE_FMT_S16:
                v = reinterpret_cast<const int16_t*>(frame->extended_data[plane])[at] / 32768.0;
                break;
            case AV_SAMPLE_FMT_S32:
                v = reinterpret_cast<const int32_t*>(frame->extended_data[plane])[at] / 2147483648.0;
                break;
            default: return;
            }
            out.push_back(static_cast<float>(v));
        }
    }
}

}  // namespace

bool for_each_frame(const std::filesystem::path& path, StreamKind kind, int nth, const std::string& decoder,
                    const std::function<void(const AVFrame*)>& take) {
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return false;
    avformat_find_stream_info(ic, nullptr);
    const AVMediaType type = kind == StreamKind::Audio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
    int index = -1;
    for (unsigned i = 0; i < ic->nb_streams && index < 0; ++i) {
        if (ic->streams[i]->codecpar->codec_type == type && nth-- == 0) index = static_cast<int>(i);
    }
    const AVCodec* codec = index < 0         ? nullptr
                           : decoder.empty() ? avcodec_find_decoder(ic->streams[index]->codecpar->codec_id)
                                             : avcodec_find_decoder_by_name(decoder.c_str());
    AVCodecContext* dec = codec ? avcodec_alloc_context3(codec) : nullptr;
    const bool opened = dec && avcodec_parameters_to_context(dec, ic->streams[index]->codecpar) >= 0 &&
                        avcodec_open2(dec, codec, nullptr) >= 0;
    if (opened) {
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        auto drain = [&] {
            while (avcodec_receive_frame(dec, frame) >= 0) {
                take(frame);
                av_frame_unref(frame);
            }
        };
        while (av_read_frame(ic, pkt) >= 0) {
            if (pkt->stream_index == index && avcodec_send_packet(dec, pkt) >= 0) drain();
            av_packet_unref(pkt);
        }
        avcodec_send_packet(dec, nullptr);
        drain();
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }
    avcodec_free_context(&dec);
    avformat_close_input(&ic);
    return opened;
}

std::vector<float> decoded_samples(const std::filesystem::path& path, int nth, const std::string& decoder) {
    std::vector<float> out;
    for_each_frame(path, StreamKind::Audio, nth, decoder, [&](const AVFrame* frame) { take(frame, out); });
    return out;
}

double largest_error(const std::vector<float>& source, const std::vector<float>& target, double factor, size_t slack) {
    const size_t n = std::min(source.size(), target.size());
    if (std::max(source.size(), target.size()) - n > slack || n == 0) return std::numeric_limits<double>::infinity();
    double worst = 0;
    for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(target[i] - source[i] * factor));
    return worst;
}

}  // namespace sonorix::test
