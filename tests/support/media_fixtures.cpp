#include "support/media_fixtures.h"

#include "base/libav.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace sonorix::test {
namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* pkt) const { av_packet_free(&pkt); }
};
struct InputDeleter {
    void operator()(AVFormatContext* fmt) const { avformat_close_input(&fmt); }
};
struct OutputDeleter {
    void operator()(AVFormatContext* fmt) const {
        if (fmt->pb && !(fmt->oformat->flags & AVFMT_NOFILE)) avio_closep(&fmt->pb);
        avformat_free_context(fmt);
    }
};
struct ScaleDeleter {
    void operator()(SwsContext* sws) const { sws_freeContext(sws); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;
using ScalePtr = std::unique_ptr<SwsContext, ScaleDeleter>;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

void check(int ret, const std::string& what) {
    if (ret < 0) fail(what + ": " + av::error_text(ret));
}

FramePtr alloc_frame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) fail("out of memory allocating a frame");
    return frame;
}

PacketPtr alloc_packet() {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) fail("out of memory allocating a packet");
    return pkt;
}

// What a file name's extension stands for: the muxer and its default encoders.
struct Container {
    std::string muxer;
    std::string audio;
    std::string video;     // empty: the container takes no video here
    std::string subtitle;  // empty: no text subtitles
    bool single_audio = false;
};

Container container_for(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".wav") return {"wav", "pcm_s16le", "", "", true};
    if (ext == ".mp3") return {"mp3", "libmp3lame", "", "", true};
    if (ext == ".flac") return {"flac", "flac", "", "", true};
    if (ext == ".ogg") return {"ogg", "libvorbis", "", "", false};
    if (ext == ".m4a") return {"ipod", "aac", "", "mov_text", false};
    if (ext == ".aac") return {"adts", "aac", "", "", true};
    if (ext == ".mp4") return {"mp4", "aac", "libx264", "mov_text", false};
    if (ext == ".mkv") return {"matroska", "libvorbis", "libx264", "subrip", false};
    if (ext == ".avi") return {"avi", "libmp3lame", "mpeg4", "", false};
    // Anything else: whatever the libraries pick for that extension.
    const AVOutputFormat* fmt = av_guess_format(nullptr, path.c_str(), nullptr);
    if (!fmt) fail("no container is known for the extension '" + ext + "'");
    auto encoder_name = [](AVCodecID id) -> std::string {
        const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_encoder(id);
        return codec ? codec->name : "";
    };
    return {fmt->name, encoder_name(fmt->audio_codec), encoder_name(fmt->video_codec),
            encoder_name(fmt->subtitle_codec), false};
}

const AVCodec* find_encoder(const std::string& name, AVMediaType type) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec) fail("encoder '" + name + "' is not available in this machine's FFmpeg libraries");
    if (codec->type != type)
        fail("encoder '" + name + "' is not " +
             (type == AVMEDIA_TYPE_AUDIO   ? "an audio"
              : type == AVMEDIA_TYPE_VIDEO ? "a video"
                                           : "a subtitle") +
             " encoder");
    return codec;
}

void require_muxable(const AVOutputFormat* fmt, const AVCodec* codec) {
    if (avformat_query_codec(fmt, codec->id, FF_COMPLIANCE_NORMAL) == 0)
        fail(std::string("container '") + fmt->name + "' cannot hold " + codec->name);
}

std::string base64(const std::string& bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k) v = v << 8 | (i + k < bytes.size() ? static_cast<uint8_t>(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; ++k) out += k <= bytes.size() - i ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

int64_t rounded_samples(double seconds, int rate) { return std::llround(seconds * rate); }

// The test tone: cos(2πf(n - crest)/rate) under a 100 ms raised-cosine fade
// at either end, so the one sample at `crest` is exactly 1.0 and nothing is
// larger. Shorter fades let lossy coders overshoot the onset by up to 0.3 dB.
class Tone {
public:
    Tone(double tone_hz, double phase_degrees, int rate, int64_t total)
        : step_(2 * std::numbers::pi * tone_hz / rate), phase_(phase_degrees * std::numbers::pi / 180), total_(total) {
        fade_ = std::min<int64_t>(rate / 10, total / 4);
        crest_ = fade_ + std::llround(rate / (4 * tone_hz));
        if (crest_ >= total - fade_) crest_ = total / 2;  // too short to reach a crest after the fade
    }

    double at(int64_t n) const { return std::cos(step_ * static_cast<double>(n - crest_) + phase_) * envelope(n); }

    // White noise in -1..1 (the same on every run) with the tone as its
    // level: bursts at twice the tone's frequency.
    double noise_at(int64_t n) const {
        uint64_t x = static_cast<uint64_t>(n) * 0x9e3779b97f4a7c15ull;
        x = (x ^ (x >> 31)) * 0xbf58476d1ce4e5b9ull;
        x ^= x >> 29;
        return (static_cast<double>(x >> 11) / 4503599627370496.0 - 1.0) * at(n);
    }

    double envelope(int64_t n) const {
        double v = 1.0;
        if (n < fade_) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(n) / fade_);
        int64_t left = total_ - 1 - n;
        if (left < fade_) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(left) / fade_);
        return v;
    }

private:
    double step_;
    double phase_;
    int64_t total_;
    int64_t fade_ = 0;
    int64_t crest_ = 0;
};

AVSampleFormat pick_sample_format(const AVCodec* codec) {
    // Float first (lossy coders work in it); 16-bit before 32-bit so lossless
    // files hold the exact integer amplitude.
    static constexpr std::array kPreferred = {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_S16,
                                              AV_SAMPLE_FMT_S16P, AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_S32P,
                                              AV_SAMPLE_FMT_DBLP, AV_SAMPLE_FMT_DBL};
    if (!codec->sample_fmts) return AV_SAMPLE_FMT_FLTP;
    for (AVSampleFormat want : kPreferred)
        for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
            if (*f == want) return want;
    fail(std::string("encoder '") + codec->name + "' takes no sample format the generator writes");
}

void pick_channel_layout(const AVCodec* codec, int channels, AVChannelLayout* out) {
    if (channels < 1 || channels > 64) fail("bad channel count " + std::to_string(channels));
    if (!codec->ch_layouts) {
        av_channel_layout_default(out, channels);
        return;
    }
    for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l) {
        if (l->nb_channels == channels) {
            check(av_channel_layout_copy(out, l), "channel layout");
            return;
        }
    }
    fail(std::string("encoder '") + codec->name + "' takes no " + std::to_string(channels) + "-channel audio");
}

void require_sample_rate(const AVCodec* codec, int rate) {
    if (rate <= 0) fail("bad sample rate " + std::to_string(rate));
    if (!codec->supported_samplerates) return;
    for (const int* r = codec->supported_samplerates; *r; ++r)
        if (*r == rate) return;
    fail(std::string("encoder '") + codec->name + "' does not take " + std::to_string(rate) + " Hz");
}

// Settings under which the decoded peak stays within 0.1 dB of the source:
// lossy coders quantise a pure tone's level in steps that show on the crest
// at low rates.
void tune_audio_encoder(AVCodecContext* enc, const AVCodec* codec, int channels) {
    const std::string name = codec->name;
    if (name == "libmp3lame") {
        // Below 256k lame codes a pure tone 0.2-0.4 dB low (its quantiser
        // steps), whatever the -q; at 256k it is within 0.01 dB.
        enc->bit_rate = 256000;
        enc->compression_level = 7;  // lame -q7: faster, and the peak is the same
    } else if (name == "aac") {
        // The fast coder codes tones louder than about -10 dBFS up to 3 dB
        // too quiet; the default two-loop one keeps the level (its bursts of
        // +0.15 dB are calibrated away). Below 192k a stream, loud mono is
        // off by up to 0.4 dB; above 96k a channel it only gets slower.
        enc->bit_rate = std::max(192000, 96000 * channels);
    } else if (name == "libvorbis") {
        // Its level error does not shrink with quality (calibrated_gains
        // corrects it); q6 is its usual high setting.
        enc->flags |= AV_CODEC_FLAG_QSCALE;
        enc->global_quality = 6 * FF_QP2LAMBDA;
    } else if (name == "flac") {
        enc->compression_level = 2;  // fast; the samples are the same at any level
    } else if (codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) {
        // PCM-like: nothing to tune
    } else {
        enc->bit_rate = 96000 * channels;
    }
    // Named explicitly, so allowed even if the libraries mark it unfinished.
    if (codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) enc->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
}

class MediaWriter {
public:
    // `gains` scales each audio stream's tone (see calibrated_gains).
    MediaWriter(const std::filesystem::path& path, const MediaSpec& media, const std::vector<double>& gains)
        : path_(path), spec_(media), gains_(gains) {}

    bool lossy_audio() const { return lossy_audio_; }

    void write() {
        const Container container = container_for(path_);
        AVFormatContext* raw = nullptr;
        check(avformat_alloc_output_context2(&raw, nullptr, container.muxer.c_str(), path_.c_str()),
              "cannot set up the '" + container.muxer + "' container");
        out_.reset(raw);

        if (spec_.duration_seconds <= 0) fail("duration must be positive");
        if (spec_.audio_channels.empty() && !spec_.video) fail("nothing to write: no audio and no video");
        if (container.single_audio && spec_.audio_channels.size() > 1)
            fail("a " + path_.extension().string() + " file takes one audio stream");

        if (spec_.video) add_video(container);
        for (size_t i = 0; i < spec_.audio_channels.size(); ++i) {
            add_audio(container, i, spec_.audio_channels[i], i < gains_.size() ? gains_[i] : 1.0, spec_.peak_of(i));
            AVStream* st = audio_.back().stream;
            if (i < spec_.audio_titles.size()) {
                // The MP4 family names a track by its handler.
                av_dict_set(&st->metadata, "title", spec_.audio_titles[i].c_str(), 0);
                av_dict_set(&st->metadata, "handler_name", spec_.audio_titles[i].c_str(), 0);
            }
            if (i < spec_.audio_dispositions.size()) st->disposition = spec_.audio_dispositions[i];
            if (i < spec_.audio_languages.size())
                av_dict_set(&st->metadata, "language", spec_.audio_languages[i].c_str(), 0);
        }
        if (spec_.subtitle)
            for (int i = 0; i < spec_.subtitle_streams; ++i) add_subtitle(container);
        if (spec_.cover) add_cover();
        if (spec_.attachment) add_attachment();
        add_chapters();
        for (const auto& [key, value] : spec_.tags) av_dict_set(&out_->metadata, key.c_str(), value.c_str(), 0);

        if (!(out_->oformat->flags & AVFMT_NOFILE))
            check(avio_open(&out_->pb, path_.c_str(), AVIO_FLAG_WRITE), "cannot create " + path_.string());
        check(avformat_write_header(out_.get(), nullptr), "cannot write the header of " + path_.string());
        if (cover_) {
            cover_->stream_index = cover_stream_->index;
            check(av_interleaved_write_frame(out_.get(), cover_.get()), "cannot write the cover");
        }
        pump();
        check(av_write_trailer(out_.get()), "cannot finish " + path_.string());
        check(avio_closep(&out_->pb), "cannot close " + path_.string());
    }

private:
    struct AudioTrack {
        CodecContextPtr enc;
        AVStream* stream = nullptr;
        FramePtr frame;
        int frame_samples = 0;
        int64_t total = 0;     // samples fed to the encoder
        int64_t next = 0;      // next sample to feed
        double peak = 0;       // crest as a fraction of full scale
        int64_t int_peak = 0;  // crest as an integer for integer formats
        std::optional<Tone> tone;
    };
    struct VideoTrack {
        CodecContextPtr enc;
        AVStream* stream = nullptr;
        FramePtr frame;  // in the encoder's format
        FramePtr yuv;    // drawn here when the encoder wants another format
        ScalePtr scale;
        int64_t total = 0;
        int64_t next = 0;
    };
    struct SubtitleTrack {
        CodecContextPtr enc;
        AVStream* stream = nullptr;
        int64_t total_ms = 0;
        int64_t next = 0;  // cue index; one cue a second
    };

    CodecContextPtr open_context(const AVCodec* codec) {
        CodecContextPtr enc(avcodec_alloc_context3(codec));
        if (!enc) fail("out of memory allocating an encoder");
        enc->thread_count = 1;  // the machines running tests are shared; fixtures are small
        if (out_->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        return enc;
    }

    AVStream* new_stream(AVCodecContext* enc) {
        AVStream* st = avformat_new_stream(out_.get(), nullptr);
        if (!st) fail("out of memory adding a stream");
        check(avcodec_parameters_from_context(st->codecpar, enc), "stream parameters");
        st->time_base = enc->time_base;
        return st;
    }

    void open_encoder(AVCodecContext* enc, const AVCodec* codec) {
        check(avcodec_open2(enc, codec, nullptr), std::string("cannot open encoder '") + codec->name + "'");
    }

    void add_audio(const Container& container, size_t index, int channels, double gain, double peak_db) {
        std::string name = index < spec_.audio_codecs.size() && !spec_.audio_codecs[index].empty()
                               ? spec_.audio_codecs[index]
                           : spec_.audio_codec.empty() ? container.audio
                                                       : spec_.audio_codec;
        if (spec_.bits == 24 && name == "pcm_s16le") name = "pcm_s24le";
        if (name.empty()) fail("a " + path_.extension().string() + " file takes no audio here");
        const AVCodec* codec = find_encoder(name, AVMEDIA_TYPE_AUDIO);
        require_muxable(out_->oformat, codec);
        require_sample_rate(codec, spec_.sample_rate);
        if (!(spec_.tone_hz > 0 && spec_.tone_hz < spec_.sample_rate / 2.0))
            fail("the tone must lie above 0 Hz and below half the sample rate");
        AudioTrack t;
        t.enc = open_context(codec);
        AVCodecContext* enc = t.enc.get();
        enc->sample_fmt = pick_sample_format(codec);
        if (peak_db > 0 &&
            !(is_float(enc->sample_fmt) && avcodec_descriptor_get(codec->id)->props & AV_CODEC_PROP_LOSSLESS))
            fail("the peak must not be above full scale (0 dB) but in float PCM");
        if (spec_.bits == 24) {
            enc->sample_fmt =
                av_get_packed_sample_fmt(enc->sample_fmt) == AV_SAMPLE_FMT_S32 ? enc->sample_fmt : AV_SAMPLE_FMT_S32;
            enc->bits_per_raw_sample = 24;
        }
        enc->sample_rate = spec_.sample_rate;
        enc->time_base = {1, spec_.sample_rate};
        pick_channel_layout(codec, channels, &enc->ch_layout);
        tune_audio_encoder(enc, codec, channels);
        if (audio_.size() < spec_.audio_bit_rates.size() && spec_.audio_bit_rates[audio_.size()] > 0) {
            enc->bit_rate = spec_.audio_bit_rates[audio_.size()];
            enc->flags &= ~AV_CODEC_FLAG_QSCALE;
            // A tone needs far less than any average rate: hold the coder to it.
            if (name == "libvorbis") enc->rc_min_rate = enc->rc_max_rate = enc->bit_rate;
        }
        for (const auto& [option, value] : spec_.audio_encoder_options)
            check(av_opt_set(enc, option.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN),
                  "encoder option " + option + "=" + value);
        open_encoder(enc, codec);
        t.stream = new_stream(enc);

        t.frame_samples = enc->frame_size > 0 ? enc->frame_size : 4096;
        t.total = rounded_samples(spec_.duration_seconds, spec_.sample_rate);
        // Containers that keep no record of the coder's priming samples play
        // them; feed that many fewer so the decoded length still matches.
        if (!keeps_priming()) t.total = std::max<int64_t>(t.total - enc->initial_padding, 1);
        t.tone.emplace(spec_.tone_hz, spec_.tone_phase_degrees, spec_.sample_rate, t.total);

        t.peak = std::pow(10.0, peak_db / 20.0) * gain;
        const int bytes = av_get_bytes_per_sample(enc->sample_fmt);
        if (bytes == 2) t.int_peak = std::min<int64_t>(std::llround(t.peak * 32768.0), 32767);
        if (bytes == 4 && !is_float(enc->sample_fmt))
            t.int_peak = std::min<int64_t>(std::llround(t.peak * 2147483648.0), 2147483647);
        const AVCodecDescriptor* desc = avcodec_descriptor_get(codec->id);
        if (desc && (desc->props & AV_CODEC_PROP_LOSSY)) lossy_audio_ = true;

        t.frame = alloc_frame();
        t.frame->format = enc->sample_fmt;
        t.frame->sample_rate = enc->sample_rate;
        t.frame->nb_samples = t.frame_samples;
        check(av_channel_layout_copy(&t.frame->ch_layout, &enc->ch_layout), "channel layout");
        check(av_frame_get_buffer(t.frame.get(), 0), "audio frame buffer");
        audio_.push_back(std::move(t));
    }

    // MP4-family edit lists and the MP3 info frame carry the coder's delay;
    // elsewhere the decoder plays it.
    bool keeps_priming() const {
        const std::string muxer = out_->oformat->name;
        return muxer == "mp4" || muxer == "ipod" || muxer == "mov" || muxer == "mp3";
    }

    static bool is_float(AVSampleFormat fmt) {
        AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
        return packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL;
    }

    void add_video(const Container& container) {
        const std::string name = spec_.video_codec.empty() ? container.video : spec_.video_codec;
        if (name.empty()) fail("a " + path_.extension().string() + " file takes no video stream");
        const AVCodec* codec = find_encoder(name, AVMEDIA_TYPE_VIDEO);
        require_muxable(out_->oformat, codec);
        if (spec_.width <= 0 || spec_.height <= 0 || spec_.width % 2 || spec_.height % 2)
            fail("the picture size must be positive and even, not " + std::to_string(spec_.width) + "x" +
                 std::to_string(spec_.height));
        if (spec_.frame_rate_num <= 0 || spec_.frame_rate_den <= 0) fail("bad frame rate");

        VideoTrack t;
        t.enc = open_context(codec);
        AVCodecContext* enc = t.enc.get();
        enc->width = spec_.width;
        enc->height = spec_.height;
        enc->framerate = {spec_.frame_rate_num, spec_.frame_rate_den};
        enc->time_base = av_inv_q(enc->framerate);
        enc->sample_aspect_ratio = {1, 1};
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        if (codec->pix_fmts) {
            enc->pix_fmt = codec->pix_fmts[0];
            for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
                if (*f == AV_PIX_FMT_YUV420P) enc->pix_fmt = *f;
        }
        // A keyframe every two seconds, so seeking tests find one nearby.
        enc->gop_size = std::max(1, 2 * spec_.frame_rate_num / spec_.frame_rate_den);
        av_opt_set(enc->priv_data, "preset", "ultrafast", 0);  // libx264; ignored by others
        open_encoder(enc, codec);
        t.stream = new_stream(enc);
        t.stream->avg_frame_rate = enc->framerate;
        t.stream->r_frame_rate = enc->framerate;
        t.total = std::max<int64_t>(1, std::llround(spec_.duration_seconds * av_q2d(enc->framerate)));

        t.frame = video_frame(enc->pix_fmt);
        if (enc->pix_fmt != AV_PIX_FMT_YUV420P) {
            t.yuv = video_frame(AV_PIX_FMT_YUV420P);
            t.scale.reset(sws_getContext(spec_.width, spec_.height, AV_PIX_FMT_YUV420P, spec_.width, spec_.height,
                                         enc->pix_fmt, SWS_POINT, nullptr, nullptr, nullptr));
            if (!t.scale) fail(std::string("cannot convert pictures for encoder '") + codec->name + "'");
        }
        video_ = std::move(t);
    }

    FramePtr video_frame(AVPixelFormat fmt) {
        FramePtr frame = alloc_frame();
        frame->format = fmt;
        frame->width = spec_.width;
        frame->height = spec_.height;
        check(av_frame_get_buffer(frame.get(), 0), "video frame buffer");
        return frame;
    }

    // A 16x16 PNG picture: the cover of an album or film.
    void add_cover() {
        const AVCodec* codec = find_encoder("png", AVMEDIA_TYPE_VIDEO);
        CodecContextPtr enc = open_context(codec);
        enc->width = enc->height = 16;
        enc->pix_fmt = AV_PIX_FMT_RGB24;
        enc->time_base = {1, 25};
        open_encoder(enc.get(), codec);
        FramePtr picture = alloc_frame();
        picture->format = enc->pix_fmt;
        picture->width = picture->height = 16;
        check(av_frame_get_buffer(picture.get(), 0), "picture buffer");
        for (int y = 0; y < 16; ++y) std::memset(picture->data[0] + y * picture->linesize[0], 16 * y, 48);
        picture->pts = 0;
        cover_ = alloc_packet();
        check(avcodec_send_frame(enc.get(), picture.get()), "cannot encode the cover");
        check(avcodec_receive_packet(enc.get(), cover_.get()), "cannot encode the cover");
        if (!std::strcmp(out_->oformat->name, "ogg")) {
            // Ogg carries a cover as a FLAC picture block, base64, in the
            // first stream's comments.
            if (audio_.empty()) fail("an Ogg cover needs an audio stream");
            std::string block;
            auto be32 = [&](uint32_t v) {
                for (int shift = 24; shift >= 0; shift -= 8) block += static_cast<char>((v >> shift) & 0xff);
            };
            const std::string mime = "image/png";
            be32(3);  // front cover
            be32(static_cast<uint32_t>(mime.size()));
            block += mime;
            be32(0);  // no description
            be32(16), be32(16), be32(24), be32(0);
            be32(static_cast<uint32_t>(cover_->size));
            block.append(reinterpret_cast<const char*>(cover_->data), static_cast<size_t>(cover_->size));
            av_dict_set(&audio_.front().stream->metadata, "METADATA_BLOCK_PICTURE", base64(block).c_str(), 0);
            cover_.reset();
            return;
        }
        cover_stream_ = new_stream(enc.get());
        cover_stream_->disposition = AV_DISPOSITION_ATTACHED_PIC;
        cover_stream_->time_base = {1, 90000};
        cover_->pts = cover_->dts = 0;
        cover_->flags |= AV_PKT_FLAG_KEY;
    }

    void add_attachment() {
        static constexpr char kFont[] = "not really a font, but its bytes must arrive unchanged";
        AVStream* st = avformat_new_stream(out_.get(), nullptr);
        if (!st) fail("out of memory adding a stream");
        st->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
        st->codecpar->codec_id = AV_CODEC_ID_TTF;
        st->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(sizeof kFont + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!st->codecpar->extradata) fail("out of memory");
        std::memcpy(st->codecpar->extradata, kFont, sizeof kFont);
        st->codecpar->extradata_size = sizeof kFont;
        av_dict_set(&st->metadata, "filename", "font.ttf", 0);
        av_dict_set(&st->metadata, "mimetype", "application/x-truetype-font", 0);
    }

    void add_chapters() {
        const int64_t total_ms = std::llround(spec_.duration_seconds * 1000);
        for (int i = 0; i < spec_.chapters; ++i) {
            auto** grown =
                static_cast<AVChapter**>(av_realloc_array(out_->chapters, out_->nb_chapters + 1, sizeof(AVChapter*)));
            if (!grown) fail("out of memory");
            out_->chapters = grown;
            auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
            if (!chapter) fail("out of memory");
            chapter->id = i + 1;
            chapter->time_base = {1, 1000};
            chapter->start = total_ms * i / spec_.chapters;
            chapter->end = total_ms * (i + 1) / spec_.chapters;
            av_dict_set(&chapter->metadata, "title", ("Chapter " + std::to_string(i + 1)).c_str(), 0);
            out_->chapters[out_->nb_chapters++] = chapter;
        }
    }

    void add_subtitle(const Container& container) {
        const std::string name = spec_.subtitle_codec.empty() ? container.subtitle : spec_.subtitle_codec;
        if (name.empty()) fail("a " + path_.extension().string() + " file takes no text subtitle here");
        const AVCodec* codec = find_encoder(name, AVMEDIA_TYPE_SUBTITLE);
        require_muxable(out_->oformat, codec);

        SubtitleTrack t;
        t.enc = open_context(codec);
        AVCodecContext* enc = t.enc.get();
        enc->time_base = {1, 1000};
        // Text encoders take ASS events and read the styles from this header.
        static constexpr char kAssHeader[] =
            "[Script Info]\r\nScriptType: v4.00+\r\nPlayResX: 384\r\nPlayResY: 288\r\n\r\n"
            "[V4+ Styles]\r\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
            "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, "
            "Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\r\n"
            "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\r\n\r\n"
            "[Events]\r\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\r\n";
        enc->subtitle_header = static_cast<uint8_t*>(av_malloc(sizeof kAssHeader));
        if (!enc->subtitle_header) fail("out of memory");
        std::memcpy(enc->subtitle_header, kAssHeader, sizeof kAssHeader);
        enc->subtitle_header_size = sizeof kAssHeader - 1;
        open_encoder(enc, codec);
        t.stream = new_stream(enc);
        t.total_ms = std::llround(spec_.duration_seconds * 1000);
        subtitles_.push_back(std::move(t));
    }

    // Feeds every stream in time order, so the muxer's interleaving queue
    // stays short and nothing larger than a frame is held.
    void pump() {
        pkt_ = alloc_packet();
        for (;;) {
            enum class Kind { kNone, kAudio, kVideo, kSubtitle } kind = Kind::kNone;
            AudioTrack* audio = nullptr;
            int64_t best_ts = 0;
            AVRational best_tb{1, 1};
            auto consider = [&](Kind k, int64_t ts, AVRational tb) {
                if (kind == Kind::kNone || av_compare_ts(ts, tb, best_ts, best_tb) < 0) {
                    kind = k;
                    best_ts = ts;
                    best_tb = tb;
                    return true;
                }
                return false;
            };
            for (AudioTrack& a : audio_)
                if (a.next < a.total && consider(Kind::kAudio, a.next, a.enc->time_base)) audio = &a;
            if (video_ && video_->next < video_->total) consider(Kind::kVideo, video_->next, video_->enc->time_base);
            SubtitleTrack* cue = nullptr;
            for (SubtitleTrack& t : subtitles_)
                if (t.next * 1000 < t.total_ms && consider(Kind::kSubtitle, t.next * 1000, {1, 1000})) cue = &t;
            if (kind == Kind::kAudio) {
                send_audio(*audio);
            } else if (kind == Kind::kVideo) {
                send_video();
            } else if (kind == Kind::kSubtitle) {
                send_cue(*cue);
            } else {
                break;
            }
        }
        for (AudioTrack& a : audio_) encode(a.enc.get(), a.stream, nullptr);
        if (video_) encode(video_->enc.get(), video_->stream, nullptr);
    }

    void send_audio(AudioTrack& t) {
        AVFrame* frame = t.frame.get();
        check(av_frame_make_writable(frame), "audio frame buffer");
        int n = static_cast<int>(std::min<int64_t>(t.frame_samples, t.total - t.next));
        const bool short_ok =
            t.enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
        const int count = short_ok ? n : t.frame_samples;  // else pad the last frame with silence
        frame->nb_samples = count;
        samples_.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            samples_[static_cast<size_t>(i)] = i >= n        ? 0.0
                                               : spec_.noise ? t.tone->noise_at(t.next + i)
                                                             : t.tone->at(t.next + i);
        fill_audio(t, frame, count);
        frame->pts = t.next;
        t.next += n;
        encode(t.enc.get(), t.stream, frame);
    }

    void fill_audio(const AudioTrack& t, AVFrame* frame, int count) {
        const auto fmt = static_cast<AVSampleFormat>(frame->format);
        const int channels = frame->ch_layout.nb_channels;
        const bool planar = av_sample_fmt_is_planar(fmt);
        const double peak = t.peak;
        auto write_all = [&](auto* type_tag, auto convert) {
            using T = std::remove_pointer_t<decltype(type_tag)>;
            for (int c = 0; c < (planar ? channels : 1); ++c) {
                T* dst = reinterpret_cast<T*>(frame->extended_data[c]);
                const int stride = planar ? 1 : channels;
                for (int i = 0; i < count; ++i) {
                    const T v = convert(samples_[static_cast<size_t>(i)]);
                    for (int k = 0; k < stride; ++k) dst[i * stride + k] = v;
                }
            }
        };
        switch (av_get_packed_sample_fmt(fmt)) {
        case AV_SAMPLE_FMT_FLT:
            write_all(static_cast<float*>(nullptr), [&](double s) { return static_cast<float>(peak * s); });
            break;
        case AV_SAMPLE_FMT_DBL: write_all(static_cast<double*>(nullptr), [&](double s) { return peak * s; }); break;
        case AV_SAMPLE_FMT_S16:
            write_all(static_cast<int16_t*>(nullptr),
                      [&](double s) { return static_cast<int16_t>(std::lrint(t.int_peak * s)); });
            break;
        case AV_SAMPLE_FMT_S32:
            write_all(static_cast<int32_t*>(nullptr),
                      [&](double s) { return static_cast<int32_t>(std::llrint(t.int_peak * s)); });
            break;
        default: fail("unsupported sample format");
        }
    }

    void send_video() {
        VideoTrack& t = *video_;
        AVFrame* frame = t.frame.get();
        check(av_frame_make_writable(frame), "video frame buffer");
        AVFrame* draw = t.yuv ? t.yuv.get() : frame;
        if (t.yuv) check(av_frame_make_writable(draw), "video frame buffer");
        draw_pattern(draw, t.next);
        if (t.scale)
            sws_scale(t.scale.get(), draw->data, draw->linesize, 0, spec_.height, frame->data, frame->linesize);
        frame->pts = t.next++;
        encode(t.enc.get(), t.stream, frame);
    }

    // A diagonal ramp drifting with time and a bright square crossing the
    // picture: cheap, and every frame differs so encoders emit real frames.
    void draw_pattern(AVFrame* f, int64_t index) const {
        const int w = spec_.width, h = spec_.height;
        const int shift = static_cast<int>(index * 4 % 256);
        const int box = std::max(4, std::min(w, h) / 6);
        const int box_x = static_cast<int>(index * 2 % std::max(1, w - box));
        const int box_y = (h - box) / 2;
        for (int y = 0; y < h; ++y) {
            uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
            for (int x = 0; x < w; ++x) {
                const bool in_box = x >= box_x && x < box_x + box && y >= box_y && y < box_y + box;
                row[x] = in_box ? 235 : static_cast<uint8_t>(16 + (x + y + shift) % 200);
            }
        }
        for (int y = 0; y < h / 2; ++y) {
            uint8_t* u = f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1];
            uint8_t* v = f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2];
            for (int x = 0; x < w / 2; ++x) {
                u[x] = static_cast<uint8_t>(128 + (x * 64 / std::max(1, w / 2)) - 32);
                v[x] = static_cast<uint8_t>(128 + ((y + shift / 8) % 64) - 32);
            }
        }
    }

    void send_cue(SubtitleTrack& t) {
        const int64_t start = t.next * 1000;
        const int64_t length = std::min<int64_t>(800, t.total_ms - start);
        std::string event = "0,0,Default,,0,0,0,,Cue " + std::to_string(t.next + 1);
        AVSubtitleRect rect{};
        rect.type = SUBTITLE_ASS;
        rect.ass = event.data();
        AVSubtitleRect* rects[] = {&rect};
        AVSubtitle sub{};
        sub.num_rects = 1;
        sub.rects = rects;
        sub.end_display_time = static_cast<uint32_t>(length);
        sub.pts = av_rescale_q(start, {1, 1000}, AV_TIME_BASE_Q);
        std::array<uint8_t, 1024> buf{};
        const int size = avcodec_encode_subtitle(t.enc.get(), buf.data(), static_cast<int>(buf.size()), &sub);
        check(size, "cannot encode a subtitle");
        av_packet_unref(pkt_.get());
        check(av_new_packet(pkt_.get(), size), "subtitle packet");
        std::memcpy(pkt_->data, buf.data(), static_cast<size_t>(size));
        pkt_->pts = pkt_->dts = start;
        pkt_->duration = length;
        pkt_->flags |= AV_PKT_FLAG_KEY;
        write_packet(t.enc->time_base, t.stream);
        ++t.next;
    }

    void encode(AVCodecContext* enc, AVStream* st, const AVFrame* frame) {
        check(avcodec_send_frame(enc, frame), std::string("encoder '") + enc->codec->name + "' refused a frame");
        for (;;) {
            int ret = avcodec_receive_packet(enc, pkt_.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
            check(ret, std::string("encoder '") + enc->codec->name + "' failed");
            write_packet(enc->time_base, st);
        }
    }

    void write_packet(AVRational from, AVStream* st) {
        av_packet_rescale_ts(pkt_.get(), from, st->time_base);
        pkt_->stream_index = st->index;
        check(av_interleaved_write_frame(out_.get(), pkt_.get()), "cannot write to " + path_.string());
    }

    const std::filesystem::path& path_;
    const MediaSpec& spec_;
    const std::vector<double>& gains_;
    bool lossy_audio_ = false;
    OutputPtr out_;
    PacketPtr pkt_;
    std::vector<AudioTrack> audio_;
    std::optional<VideoTrack> video_;
    std::vector<SubtitleTrack> subtitles_;
    PacketPtr cover_;
    AVStream* cover_stream_ = nullptr;
    std::vector<double> samples_;
};

// Largest magnitude in one decoded frame as a fraction of full scale, and
// the frame's sum of squares added to `energy`.
double frame_peak(const AVFrame* frame, double& energy) {
    const auto fmt = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(fmt);
    const int channels = frame->ch_layout.nb_channels;
    const int planes = planar ? channels : 1;
    const int count = frame->nb_samples * (planar ? 1 : channels);
    double peak = 0;
    auto scan = [&](auto* type_tag, double scale, double offset) {
        using T = std::remove_pointer_t<decltype(type_tag)>;
        for (int p = 0; p < planes; ++p) {
            const T* src = reinterpret_cast<const T*>(frame->extended_data[p]);
            for (int i = 0; i < count; ++i) {
                const double v = (static_cast<double>(src[i]) - offset) * scale;
                peak = std::max(peak, std::abs(v));
                energy += v * v;
            }
        }
    };
    switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8: scan(static_cast<const uint8_t*>(nullptr), 1.0 / 128, 128); break;
    case AV_SAMPLE_FMT_S16: scan(static_cast<const int16_t*>(nullptr), 1.0 / 32768, 0); break;
    case AV_SAMPLE_FMT_S32: scan(static_cast<const int32_t*>(nullptr), 1.0 / 2147483648.0, 0); break;
    case AV_SAMPLE_FMT_S64: scan(static_cast<const int64_t*>(nullptr), 1.0 / 9223372036854775808.0, 0); break;
    case AV_SAMPLE_FMT_FLT: scan(static_cast<const float*>(nullptr), 1.0, 0); break;
    case AV_SAMPLE_FMT_DBL: scan(static_cast<const double*>(nullptr), 1.0, 0); break;
    default: fail(std::string("cannot measure sample format ") + av_get_sample_fmt_name(fmt));
    }
    return peak;
}

// Lossy coders code a pure tone's level with a small error that no setting
// removes (libvorbis: +0.1 to +0.2 dB at every quality, tone and rate
// tried; the AAC coder: bursts of about +0.15 dB). Such a stream's tone is
// scaled by the error measured on a probe, so the decoded file holds the asked
// peak; a few rounds, keeping the best. Lossless files are never scaled.
constexpr double kGoodEnoughDb = 0.05;
constexpr int kMaxRounds = 3;
constexpr double kProbeSeconds = 10;  // longer files are calibrated on a probe this long

// Returns the gains for the file; `file_written` says whether the last probe
// written was the file itself with those gains.
std::vector<double> calibrated_gains(const std::filesystem::path& path, const MediaSpec& media, bool& file_written) {
    const bool probe_is_file = media.duration_seconds <= kProbeSeconds || media.audio_channels.empty();
    MediaSpec probe = media;
    std::filesystem::path probe_path = path;
    if (!probe_is_file) {
        probe.duration_seconds = kProbeSeconds;
        probe.video = probe.subtitle = false;
        probe_path += ".probe" + path.extension().string();
    }
    struct Cleanup {
        const std::filesystem::path& path;
        bool keep;
        ~Cleanup() {
            std::error_code ec;
            if (!keep) std::filesystem::remove(path, ec);
        }
    } cleanup{probe_path, probe_is_file};

    std::vector<double> gains(media.audio_channels.size(), 1.0);
    std::vector<double> best = gains;
    double best_error = std::numeric_limits<double>::infinity();
    for (int round = 0; round < kMaxRounds; ++round) {
        MediaWriter writer(probe_path, probe, gains);
        writer.write();
        file_written = probe_is_file;
        if (!writer.lossy_audio()) return gains;
        double worst = 0;
        std::vector<double> next = gains;
        for (size_t i = 0; i < gains.size(); ++i) {
            const double error_db = measure_audio(probe_path, static_cast<int>(i)).peak_db - media.peak_of(i);
            worst = std::max(worst, std::abs(error_db));
            next[i] *= std::pow(10.0, -error_db / 20.0);
        }
        if (worst < best_error) {
            best_error = worst;
            best = gains;
        } else {
            file_written = false;  // an earlier round was better
        }
        if (worst <= kGoodEnoughDb) break;
        if (round + 1 < kMaxRounds) gains = next;
    }
    return best;
}

}  // namespace

std::filesystem::path make_media(const std::filesystem::path& path, const MediaSpec& media) {
    try {
        bool written = false;
        const std::vector<double> gains = calibrated_gains(path, media, written);
        if (!written) MediaWriter(path, media, gains).write();
    } catch (const std::runtime_error& e) {
        // No half-written fixture is left for a later test to pick up.
        std::error_code ec;
        std::filesystem::remove(path, ec);
        throw std::runtime_error(path.filename().string() + ": " + e.what());
    }
    return path;
}

MeasuredAudio measure_audio(const std::filesystem::path& path, int audio_stream) {
    const std::string name = path.string();
    AVFormatContext* raw = nullptr;
    check(avformat_open_input(&raw, name.c_str(), nullptr, nullptr), "cannot open " + name);
    InputPtr in(raw);
    check(avformat_find_stream_info(in.get(), nullptr), "cannot read the streams of " + name);

    const AVStream* st = nullptr;
    int seen = 0;
    for (unsigned i = 0; i < in->nb_streams && !st; ++i)
        if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && seen++ == audio_stream) st = in->streams[i];
    if (!st) fail(name + " has no audio stream #" + std::to_string(audio_stream));
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) fail(name + ": no decoder for " + avcodec_get_name(st->codecpar->codec_id));

    CodecContextPtr dec(avcodec_alloc_context3(codec));
    if (!dec) fail("out of memory allocating a decoder");
    check(avcodec_parameters_to_context(dec.get(), st->codecpar), "decoder parameters");
    dec->pkt_timebase = st->time_base;
    check(avcodec_open2(dec.get(), codec, nullptr), std::string("cannot open decoder ") + codec->name);

    PacketPtr pkt = alloc_packet();
    FramePtr frame = alloc_frame();
    double peak = 0;
    double energy = 0;
    int64_t samples = 0;
    int64_t values = 0;  // samples times channels
    MeasuredAudio result;
    auto drain = [&] {
        for (;;) {
            int ret = avcodec_receive_frame(dec.get(), frame.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
            check(ret, name + ": decoding failed");
            peak = std::max(peak, frame_peak(frame.get(), energy));
            samples += frame->nb_samples;
            values += static_cast<int64_t>(frame->nb_samples) * frame->ch_layout.nb_channels;
            result.channels = frame->ch_layout.nb_channels;
            result.sample_rate = frame->sample_rate;
            av_frame_unref(frame.get());
        }
    };
    for (;;) {
        int ret = av_read_frame(in.get(), pkt.get());
        if (ret == AVERROR_EOF) break;
        check(ret, name + ": reading failed");
        if (pkt->stream_index == st->index) {
            ret = avcodec_send_packet(dec.get(), pkt.get());
            av_packet_unref(pkt.get());
            check(ret, name + ": decoding failed");
            drain();
        } else {
            av_packet_unref(pkt.get());
        }
    }
    check(avcodec_send_packet(dec.get(), nullptr), name + ": decoding failed");
    drain();

    if (result.sample_rate <= 0) fail(name + ": no audio could be decoded");
    result.peak_db = peak > 0 ? 20.0 * std::log10(peak) : -std::numeric_limits<double>::infinity();
    result.duration_seconds = static_cast<double>(samples) / result.sample_rate;
    const double mean_square = energy / static_cast<double>(values);
    result.rms_db = mean_square > 0 ? 10.0 * std::log10(mean_square) : -std::numeric_limits<double>::infinity();
    return result;
}

}  // namespace sonorix::test
