#include "workflow/output_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "engine/FFDecode.h"
#include "base/libav.h"
#include "workflow/text.h"

namespace sonorix {

namespace {

std::string extension_of(const std::string& file) {
    return lower_text(std::filesystem::path(file).extension().string());
}

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
    s.disposition = st->disposition;
    const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
    s.lossy = desc && (desc->props & AV_CODEC_PROP_LOSSY);
    s.lossless = desc && (desc->props & AV_CODEC_PROP_LOSSLESS);
    if (s.kind == 'a') {
        s.channels = par->ch_layout.nb_channels;
        s.decoded_format = par->format;
        s.raw_bits = par->bits_per_raw_sample;
        s.coded_bits = par->bits_per_coded_sample;
    }
    const AVCodec* enc = avcodec_find_encoder(par->codec_id);
    if (!enc || (enc->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) return s;
    s.encoder = enc->name;
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

void add_names(std::vector<std::string>& names, const char* list) {
    if (!list) return;
    for (std::string_view rest = list; !rest.empty();) {
        const size_t comma = rest.find(',');
        if (comma) names.push_back(lower_text(std::string(rest.substr(0, comma))));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
}

std::vector<std::string> writer_names(const AVOutputFormat* fmt) {
    std::vector<std::string> names;
    add_names(names, fmt->name);
    add_names(names, fmt->extensions);
    return names;
}

// A stream's rate is read from its packets over this much of its length at
// most: the demuxer alone reads, and a VBR track's mean is steady by then.
constexpr double kMeasuredSeconds = 120;
// ... and no further into the file than this, whatever other streams take.
constexpr int64_t kMeasuredBytes = 256LL << 20;

// Fills packet_bit_rate of every audio stream whose container states no rate
// (or one above the whole file's), from its packet sizes over its duration.
// A second reader of the same file, so the probe's own position stays.
void measure_packet_rates(const AVFormatContext* probed, SourceFacts& f) {
    const int64_t file_rate = probed->bit_rate;
    std::vector<bool> wanted(f.streams.size());
    bool any = false;
    for (size_t i = 0; i < f.streams.size(); ++i) {
        const StreamFacts& s = f.streams[i];
        wanted[i] = s.kind == 'a' && (s.bit_rate <= 0 || (file_rate > 0 && s.bit_rate > file_rate));
        any |= wanted[i];
    }
    if (!any || !probed->url || !probed->iformat) return;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, probed->url, probed->iformat, nullptr) < 0) return;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> ctx(
        raw, [](AVFormatContext* c) { avformat_close_input(&c); });
    struct Sum {
        int64_t bytes = 0, first = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
    };
    std::vector<Sum> sums(f.streams.size());
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        if (i >= wanted.size() || !wanted[i]) ctx->streams[i]->discard = AVDISCARD_ALL;
    }
    auto seconds = [&](size_t i) {
        const Sum& s = sums[i];
        if (s.first == AV_NOPTS_VALUE || s.end <= s.first) return 0.0;
        return static_cast<double>(s.end - s.first) * av_q2d(ctx->streams[i]->time_base);
    };
    AVPacket* pkt = av_packet_alloc();
    while (pkt && av_read_frame(ctx.get(), pkt) >= 0) {
        const auto i = static_cast<size_t>(pkt->stream_index);
        const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (i < wanted.size() && wanted[i] && ts != AV_NOPTS_VALUE) {
            Sum& s = sums[i];
            s.bytes += pkt->size;
            if (s.first == AV_NOPTS_VALUE || ts < s.first) s.first = ts;
            s.end = std::max(s.end == AV_NOPTS_VALUE ? ts : s.end, ts + std::max<int64_t>(pkt->duration, 0));
        }
        av_packet_unref(pkt);
        bool done = ctx->pb && avio_tell(ctx->pb) > kMeasuredBytes;
        for (size_t w = 0; w < wanted.size() && !done; ++w) {
            if (wanted[w] && seconds(w) < kMeasuredSeconds) break;
            if (w + 1 == wanted.size()) done = true;
        }
        if (done) break;
    }
    av_packet_free(&pkt);
    for (size_t i = 0; i < sums.size(); ++i) {
        const double s = seconds(i);
        if (wanted[i] && s > 0 && sums[i].bytes > 0) {
            f.streams[i].packet_bit_rate =
                static_cast<int>(std::min<double>(std::nearbyint(sums[i].bytes * 8 / s), INT32_MAX));
        }
    }
}

}  // namespace

bool probed_container_is(const SourceFacts& facts, const std::string& target_file) {
    if (facts.container_names.empty()) return true;
    const AVOutputFormat* fmt = av_guess_format(nullptr, target_file.c_str(), nullptr);
    if (!fmt) return true;
    for (const std::string& name : writer_names(fmt)) {
        if (std::find(facts.container_names.begin(), facts.container_names.end(), name) !=
            facts.container_names.end()) {
            return true;
        }
    }
    return false;
}

std::string target_audio_encoder(const std::string& target_file, const std::string& codec, bool keep_codec) {
    const AVOutputFormat* fmt = av_guess_format(nullptr, target_file.c_str(), nullptr);
    if (!fmt) return "";
    auto encoder_of = [](AVCodecID id) -> std::string {
        const AVCodec* enc = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_encoder(id);
        return enc && !(enc->capabilities & AV_CODEC_CAP_EXPERIMENTAL) ? enc->name : "";
    };
    const AVCodecDescriptor* own = avcodec_descriptor_get_by_name(codec.c_str());
    if (keep_codec && own && avformat_query_codec(fmt, own->id, FF_COMPLIANCE_NORMAL) != 0) {
        if (std::string name = encoder_of(own->id); !name.empty()) return name;
    }
    return encoder_of(fmt->audio_codec);
}

int fallback_audio_bit_rate(int channels) { return 64000 * std::max(channels, 1); }

std::optional<SourceStamp> source_stamp(const std::filesystem::path& file) {
    std::error_code ec;
    SourceStamp stamp;
    stamp.size = std::filesystem::file_size(file, ec);
    if (ec) return std::nullopt;
    stamp.modified = std::filesystem::last_write_time(file, ec);
    if (ec) return std::nullopt;
    return stamp;
}

bool facts_current(const SourceFacts& facts, const std::filesystem::path& file) {
    return facts.stamp && source_stamp(file) == facts.stamp;
}

std::vector<StreamFacts> source_streams(TCustomDecoder& probe) {
    std::vector<StreamFacts> streams;
    if (const AVFormatContext* ctx = probe.FormatContext()) {
        for (unsigned i = 0; i < ctx->nb_streams; ++i) streams.push_back(stream_facts(ctx->streams[i]));
    }
    return streams;
}

std::shared_ptr<SourceFacts> load_source_facts(TCustomDecoder& probe, const std::string& file) {
    const std::optional<SourceStamp> stamp = source_stamp(file);
    if (!probe.LoadFile(file)) return nullptr;
    auto facts = std::make_shared<SourceFacts>(source_facts(probe));
    facts->stamp = stamp;
    return facts;
}

SourceFacts source_facts(TCustomDecoder& probe) {
    SourceFacts f;
    if (const AVFormatContext* ctx = probe.FormatContext()) {
        f.streams = source_streams(probe);
        if (ctx->iformat) {
            add_names(f.container_names, ctx->iformat->name);
            add_names(f.container_names, ctx->iformat->extensions);
            // The program-stream reader names none of the DVD writers.
            if (f.container_names.front() == "mpeg") add_names(f.container_names, "vob,svcd,dvd,vcd");
        }
        // The container's own audio codec: of the format the probe found,
        // where the file's name says another (a WAV file named .mp3).
        const AVOutputFormat* own = ctx->url ? av_guess_format(nullptr, ctx->url, nullptr) : nullptr;
        if (!own || !probed_container_is(f, ctx->url)) {
            if (const AVOutputFormat* probed =
                    f.container_names.empty() ? nullptr
                                              : av_guess_format(f.container_names.front().c_str(), nullptr, nullptr)) {
                own = probed;
            }
        }
        if (own) f.container_audio_codec = avcodec_get_name(own->audio_codec);
        measure_packet_rates(ctx, f);
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
    f.audio_bit_rate = audio.BitRate;
    TFileStreamInfo info;
    probe.GetFileInfo(info);
    f.file_bit_rate = info.BitRate;
    f.duration = info.Duration;
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
