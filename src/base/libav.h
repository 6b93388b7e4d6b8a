// The FFmpeg headers, wrapped for C++, and every line that depends on the
// libraries' generation. Everything else includes this file, never libav*
// headers directly.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/eval.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <string>

namespace sonorix::av {

// 5.1: AVChannelLayout replaces the channels / channel_layout pair.
inline int channel_count(const AVCodecParameters* par) { return par->ch_layout.nb_channels; }
inline int channel_count(const AVCodecContext* ctx) { return ctx->ch_layout.nb_channels; }
inline int channel_count(const AVFrame* frame) { return frame->ch_layout.nb_channels; }

// 5.1: AVStream::codec is gone; the stream's codec time base lives in the
// parameters only as the frame rate, so callers pass the decoder context when
// they have one.
inline AVRational codec_time_base(const AVCodecContext* ctx) { return ctx ? ctx->time_base : AVRational{0, 1}; }

// av_err2str uses a compound literal, which C++ lacks.
inline std::string error_text(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

// WAV's demuxer (and Wave64's) hands out packets of 4 KB, 1024 stereo
// frames, unless told otherwise: a packet's overhead then costs a third of
// reading the file. Asks for 64 KB where the caller did not choose. After
// avformat_find_stream_info: its search probes the packets it reads, at a
// cost that grows with their size.
inline void read_in_large_packets(AVFormatContext* input) {
    const std::string name = input->iformat ? input->iformat->name : "";
    int64_t chosen = 0;
    if ((name == "wav" || name == "w64") && av_opt_get_int(input->priv_data, "max_size", 0, &chosen) >= 0 &&
        chosen == 4096) {
        av_opt_set_int(input->priv_data, "max_size", 1 << 16, 0);
    }
}

// Library major versions actually linked (the loader's table reports these).
inline int major_version(unsigned packed) { return static_cast<int>(packed >> 16); }

}  // namespace sonorix::av
