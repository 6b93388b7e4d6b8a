#include "single/output_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "engine/FFDecode.h"
#include "engine/base/libav.h"
#include "single/text.h"

namespace sonorix {

namespace {


std::string extension_of(const std::string& file) { return lower_text(std::filesystem::path(file).extension().string()); }


bool contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

// mpeg4, with a frame rate the codec can take when the source's numerator
// is too large for it.
std::string mpeg4_with_fix(const SourceFacts& s) {
    std::string out = " -c:v mpeg4";
    if (s.frame_rate_num > 65535 && s.frame_rate_den != 0) {
        const double r = std::nearbyint(static_cast<double>(s.frame_rate_num) / s.frame_rate_den * 100);
        if (r / 100 <= 65535) out += " -r " + real_text(r / 100);
    }
    return out;
}

std::string h264_or(const SourceFacts& s, const std::string& otherwise) {
    return contains(s.info, "264") ? " -c:v libx264" : otherwise;
}

}  // namespace

namespace {

char kind_letter(AVMediaType type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: return 'v';
    case AVMEDIA_TYPE_AUDIO: return 'a';
    case AVMEDIA_TYPE_SUBTITLE: return 's';
    case AVMEDIA_TYPE_ATTACHMENT: return 't';
    case AVMEDIA_TYPE_DATA: return 'd';
    default: return 'u';
    }
}

StreamFacts stream_facts(const AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    StreamFacts s;
    s.kind = kind_letter(par->codec_type);
    s.codec = avcodec_get_name(par->codec_id);
    s.bit_rate = par->bit_rate > 0 ? static_cast<int>(std::min<int64_t>(par->bit_rate, INT32_MAX)) : -1;
    s.cover = st->disposition & AV_DISPOSITION_ATTACHED_PIC;
    const AVCodec* enc = avcodec_find_encoder(par->codec_id);
    if (!enc || (enc->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) return s;
    s.encoder = enc->name;
    const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
    const auto format = static_cast<AVSampleFormat>(par->format);
    if (s.kind != 'a' || !desc || !(desc->props & AV_CODEC_PROP_LOSSLESS) || !enc->sample_fmts ||
        enc->sample_fmts[0] == AV_SAMPLE_FMT_NONE || enc->sample_fmts[1] == AV_SAMPLE_FMT_NONE) {
        return s;
    }
    for (const AVSampleFormat* f = enc->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
        if (*f == format) s.sample_format = av_get_sample_fmt_name(format);
    }
    return s;
}

}  // namespace

SourceFacts source_facts(TCustomDecoder& probe) {
    SourceFacts f;
    if (const AVFormatContext* ctx = probe.FormatContext()) {
        for (unsigned i = 0; i < ctx->nb_streams; ++i) f.streams.push_back(stream_facts(ctx->streams[i]));
        if (const AVOutputFormat* own = ctx->url ? av_guess_format(nullptr, ctx->url, nullptr) : nullptr) {
            f.container_audio_codec = avcodec_get_name(own->audio_codec);
        }
    }
    f.amr_nb_encoder = avcodec_find_encoder(AV_CODEC_ID_AMR_NB) != nullptr;
    f.info = lower_text(probe.GetInfoText());
    TVideoStreamInfo video;
    if (probe.VideoStreamCount > 0) probe.GetVideoStreamInfo(-1, video);
    f.frame_rate_num = video.FrameRate.num;
    f.frame_rate_den = video.FrameRate.den;
    f.width = video.Width;
    f.height = video.Height;
    TAudioStreamInfo audio;
    if (probe.AudioStreamCount > 0) probe.GetAudioStreamInfo(-1, audio);
    f.sample_rate = audio.SampleRate;
    f.channels = audio.Channels;
    return f;
}

std::string real_text(double value) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    return std::string(buf, res.ptr);
}

std::string ffcodec(const std::string& target_file, const SourceFacts& s) {
    const std::string x = trim_blanks(extension_of(target_file));
    std::string out;
    if (x == ".avi") out += h264_or(s, contains(s.info, "xvid") ? " -c:v libxvid" : mpeg4_with_fix(s));
    if ((x == ".flv" || x == ".swf") && s.sample_rate != 11025 && s.sample_rate != 22050 && s.sample_rate != 44100) {
        out += " -ar 44100";
    }
    if (x == ".flv") out += h264_or(s, contains(s.info, "mpeg4") ? mpeg4_with_fix(s) : " -c:v flv1");
    if (x == ".mp4") {
        out += h264_or(s, mpeg4_with_fix(s));
        if (contains(s.info, "mp3")) out += " -c:a libmp3lame";
    }
    if (x == ".m4v") out += h264_or(s, mpeg4_with_fix(s));
    if (x == ".mkv") out += " -c:v libx264";
    if (x == ".3gp") {
        out += h264_or(s, mpeg4_with_fix(s)) + " -ar 8000 -ac 1";
        if (!s.amr_nb_encoder) out += " -c:a aac";  // the container's own AMR-NB cannot be written here
    }
    if (x == ".rm") out += " -c:v rv20";
    if (x == ".wmv") out += (contains(s.info, "wmv") ? std::string(" -c:v wmv2") : mpeg4_with_fix(s)) + " -c:a wmav2";
    if (x == ".webm") out += " -f webm -c:v libvpx -c:a libvorbis";
    if (x == ".mts") out += " -c:v libx264";
    if ((x == ".mpg" || x == ".mpeg") && s.frame_rate_den != 0 &&
        static_cast<double>(s.frame_rate_num) / s.frame_rate_den < 20) {
        out += " -r 20";
    }
    static const char* const kDownmix[] = {".avi", ".mpg", ".mpeg", ".wmv", ".m4v",
                                           ".flv", ".swf", ".mkv",  ".vob", ".asf"};
    if (std::find(std::begin(kDownmix), std::end(kDownmix), x) != std::end(kDownmix) && s.channels > 2) out += " -ac 2";
    return out;
}

std::string ffcodec(const std::string& target_file, TCustomDecoder& probe) {
    return ffcodec(target_file, source_facts(probe));
}

std::string ffframesize(const std::string& width, const std::string& height, const std::string& target_file,
                        const SourceFacts& s) {
    int w = std::atoi(width.c_str());
    int h = std::atoi(height.c_str());
    const std::string x = extension_of(target_file);  // not trimmed, as the rules say
    auto even = [](int& v) {
        if (v % 2) ++v;
    };
    if (x == ".rm") {
        if (w % 4) w += 4 - w % 4;
        if (h % 4) h += 4 - h % 4;
    } else if (x == ".wmv" && contains(s.info, "wmv")) {
        even(w);
    } else if (!x.empty() && std::string(".avi.mpg.mpeg.flv.webm.vob.asf").find(x) != std::string::npos) {
        if (contains(s.info, "264")) {
            even(w);
            even(h);
        }
    } else {
        even(w);
        even(h);
    }
    return std::to_string(w) + ":" + std::to_string(h);
}

std::string ffframesize(const std::string& width, const std::string& height, const std::string& target_file,
                        TCustomDecoder& probe) {
    return ffframesize(width, height, target_file, source_facts(probe));
}

}  // namespace sonorix
