#include "engine/FFDecode.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <system_error>
#include <vector>

#include "base/FFLoad.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"
#include "base/libav.h"

namespace sonorix {

namespace {

const char* const kCRLF = "\r\n";

int64_t now_us() { return av_gettime_relative(); }

std::string tag(const AVDictionary* dict, const char* key) {
    const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
    return e && e->value ? e->value : "";
}

// Integer tag; 0 when absent or not a number.
int int_tag(const AVDictionary* dict, const char* key) {
    const std::string v = tag(dict, key);
    return v.empty() ? 0 : std::atoi(v.c_str());
}

AVRational repaired_time_base(AVRational tb) {
    if (tb.den == 0) {
        tb.den = tb.num;
        if (tb.den == 0) tb.den = 1;
    }
    return tb;
}

int64_t to_us(int64_t ticks, AVRational tb) { return av_rescale_q(ticks, tb, AV_TIME_BASE_Q); }

std::string seconds_form(int64_t us) {
    const int64_t secs = us / AV_TIME_BASE;
    const int64_t frac = std::llabs(us % AV_TIME_BASE);
    return Format("%d.%.6d", static_cast<int>(secs), static_cast<int>(frac));
}

std::string metadata_block(const AVDictionary* dict, const std::string& indent) {
    if (!dict || av_dict_count(dict) == 0) return "";
    if (av_dict_count(dict) == 1 && av_dict_get(dict, "language", nullptr, 0)) return "";
    std::string out = indent + "Metadata:" + kCRLF;
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX))) {
        if (std::string(e->key) == "language") continue;
        std::string line = indent + "  " + Format("%-16s: ", e->key);
        for (const char* p = e->value; p && *p; ++p) {
            switch (*p) {
            case '\n':
                out += line + kCRLF;
                line = indent + "  " + Format("%-16s: ", "");
                break;
            case '\r': line += ' '; break;
            case '\b':
            case '\v':
            case '\f': break;
            default: line += *p;
            }
        }
        out += line + kCRLF;
    }
    return out;
}

}  // namespace

std::string duration_form(int64_t microseconds) {
    int64_t us = microseconds + 5000;
    int64_t secs = us / AV_TIME_BASE;
    us %= AV_TIME_BASE;
    const int64_t hours = secs / 3600;
    const int64_t mins = (secs / 60) % 60;
    secs %= 60;
    return Format("%.2d:%.2d:%.2d.%.3d", static_cast<int>(hours), static_cast<int>(mins), static_cast<int>(secs),
                  static_cast<int>(us / 1000));
}

std::string rate_text(double v, const char* unit) {
    const long long hundredths = std::llround(v * 100);
    if (hundredths % 100) return Format(", %3.2f %s", v, unit);
    if (hundredths % (100 * 1000)) return Format(", %1.0f %s", v, unit);
    return Format(", %1.0fk %s", v / 1000, unit);
}

std::string size_text(int64_t bytes) {
    if (bytes <= 1024) return Format("%d Byte", static_cast<int>(bytes));
    if (bytes <= 1048576) return Format("%.2f KB", bytes / 1024.0);
    if (bytes <= 1073741824) return Format("%.2f MB", bytes / 1048576.0);
    return Format("%.2f GB", bytes / 1073741824.0);
}

std::string codec_description(const AVStream* stream) {
    const AVCodecParameters* par = stream->codecpar;
    if (const AVCodec* codec = avcodec_find_decoder(par->codec_id)) {
        std::string long_name = codec->long_name ? codec->long_name : "";
        const auto first = long_name.find_first_not_of(" \t");
        if (first == std::string::npos) return codec->name;
        return Format("%s(%s)", codec->name, codec->long_name);
    }
    if (par->codec_id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
    if (par->codec_id != AV_CODEC_ID_NONE) return avcodec_get_name(par->codec_id);
    const uint32_t t = par->codec_tag;
    const char c[4] = {static_cast<char>(t & 0xff), static_cast<char>((t >> 8) & 0xff),
                       static_cast<char>((t >> 16) & 0xff), static_cast<char>((t >> 24) & 0xff)};
    bool printable = true;
    for (char ch : c) printable = printable && std::isprint(static_cast<unsigned char>(ch));
    if (printable) return Format("%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], t);
    return Format("0x%04x", t);
}

TFileStreamInfo::TFileStreamInfo() : StartTime(AV_NOPTS_VALUE) {}

TCustomDecoder::TCustomDecoder() = default;

TCustomDecoder::~TCustomDecoder() { CloseFile(); }

void TCustomDecoder::Error(TLogLevel level, const std::string& text) {
    last_error_ = text;
    log_message(this, level, text);
}

void TCustomDecoder::Warn(const std::string& text) { Error(llWarning, text); }

void TCustomDecoder::Interrupt() { timeout_start_ = 0; }

int TCustomDecoder::interrupt_check(void* opaque) {
    auto* self = static_cast<TCustomDecoder*>(opaque);
    const int64_t start = self->timeout_start_.load();
    if (start == kUnset || self->ReadTimeout <= 0) return 0;
    if (start != 0 && now_us() - start <= static_cast<int64_t>(self->ReadTimeout) * 1000) return 0;
    log_message(self, llInfo, start == 0 ? "connecting/reading canceled" : "connecting/reading timeout");
    return 1;
}

bool TCustomDecoder::LoadFile(const std::string& AFileName, const std::string& AFormatName) {
    TFFLoader::Instance().CheckLoaded(kDecoderLibraries);
    CloseFile();

    const AVInputFormat* forced = nullptr;
    if (!AFormatName.empty()) {
        forced = find_input_format(AFormatName);
        if (!forced) {
            Error(llError, Format("Unknown input format: %s", AFormatName.c_str()));
            CloseFile();
            return false;
        }
    }

    AVFormatContext* ctx = avformat_alloc_context();
    if (!ctx) {
        last_error_ = AFileName + ": " + av::error_text(AVERROR(ENOMEM));
        return false;
    }
    ctx->interrupt_callback.callback = &TCustomDecoder::interrupt_check;
    ctx->interrupt_callback.opaque = this;
    timeout_start_ = now_us();

    int ret = avformat_open_input(&ctx, AFileName.c_str(), forced, nullptr);
    if (ret < 0) {  // the libraries freed ctx
        last_error_ = AFileName + ": " + av::error_text(ret);
        timeout_start_ = kUnset;
        return false;
    }
    own_context_.reset(ctx);
    format_context_ = ctx;

    ctx->flags |= AVFMT_FLAG_NONBLOCK;
    if (OnBeforeFindStreamInfo) {
        MainThreadQueue::Instance().Raise(TriggerEventInMainThread, [&] { OnBeforeFindStreamInfo(this, ctx); });
    }

    timeout_start_ = now_us();
    ret = avformat_find_stream_info(ctx, nullptr);
    // A file in which no stream was found is no media file we can work on.
    if (ret < 0 || ctx->nb_streams == 0) {
        last_error_ = Format("%s: could not find codec parameters", AFileName.c_str());
        timeout_start_ = kUnset;
        CloseFile();
        return false;
    }
    timeout_start_ = kUnset;
    if (ctx->pb) {
        ctx->pb->eof_reached = 0;
        ctx->pb->error = 0;
    }
    GatherInfo();

    forced_format_ = AFormatName;
    return true;
}

void TCustomDecoder::CloseFile() {
    own_context_.reset();
    format_context_ = nullptr;
    GatherInfo();
}

void TCustomDecoder::AttachInput(AVFormatContext* AFormatContext) {
    if (AFormatContext == format_context_) return;
    TFFLoader::Instance().CheckLoaded(kDecoderLibraries);
    CloseFile();
    format_context_ = AFormatContext;
    GatherInfo();
}

int64_t TCustomDecoder::DeterminedFileSize() const {
    const AVFormatContext* ctx = format_context_;
    if (ctx->iformat && (ctx->iformat->flags & AVFMT_NOFILE)) return 0;
    int64_t size = ctx->pb ? avio_size(ctx->pb) : 0;
    if (size < 0) size = 0;
    if (size == 0 && ctx->url) {
        std::error_code ec;
        const auto fs_size = std::filesystem::file_size(ctx->url, ec);
        if (!ec) size = static_cast<int64_t>(fs_size);
    }
    return size;
}

void TCustomDecoder::GatherInfo() {
    FileSize = StreamCount = ProgramCount = -1;
    AudioStreamCount = VideoStreamCount = SubtitleStreamCount = -1;
    FirstAudioStream = FirstVideoStream = FirstSubtitleStream = -1;
    if (!format_context_) return;
    FileSize = DeterminedFileSize();
    StreamCount = static_cast<int>(format_context_->nb_streams);
    ProgramCount = static_cast<int>(format_context_->nb_programs);
    AudioStreamCount = VideoStreamCount = SubtitleStreamCount = 0;
    for (int i = 0; i < StreamCount; ++i) {
        switch (format_context_->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            if (VideoStreamCount++ == 0) FirstVideoStream = i;
            break;
        case AVMEDIA_TYPE_AUDIO:
            if (AudioStreamCount++ == 0) FirstAudioStream = i;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (SubtitleStreamCount++ == 0) FirstSubtitleStream = i;
            break;
        default: break;
        }
    }
}

void TCustomDecoder::GetFileInfo(TFileStreamInfo& AInfo) {
    AInfo = TFileStreamInfo();
    if (!format_context_) {
        Warn("file not loaded.");
        return;
    }
    const AVFormatContext* ctx = format_context_;
    AInfo.StartTime = ctx->start_time;
    AInfo.Duration = ctx->duration == AV_NOPTS_VALUE ? -1 : ctx->duration;
    AInfo.BitRate = static_cast<int>(ctx->bit_rate);
    AInfo.Year = int_tag(ctx->metadata, "year");
    AInfo.Track = int_tag(ctx->metadata, "track");
    AInfo.Title = tag(ctx->metadata, "title");
    AInfo.Author = tag(ctx->metadata, "author");
    AInfo.Copyright = tag(ctx->metadata, "copyright");
    AInfo.Comment = tag(ctx->metadata, "comment");
    AInfo.Album = tag(ctx->metadata, "album");
    AInfo.Genre = tag(ctx->metadata, "genre");
}

// Resolves a negative index to the first stream of the kind and checks it.
bool TCustomDecoder::CheckStream(int& index, bool video, const char* none_text, const char* kind) {
    if (!format_context_) {
        Warn("file not loaded.");
        return false;
    }
    if (index < 0) {
        index = video ? FirstVideoStream : FirstAudioStream;
        if (index < 0) {
            Error(llError, none_text);
            return false;
        }
    }
    if (index >= StreamCount) {
        Error(llError, Format("stream index #%d is invalid.", index));
        return false;
    }
    const AVMediaType want = video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    if (format_context_->streams[index]->codecpar->codec_type != want) {
        Error(llError, Format("stream #%d is not %s stream.", index, kind));
        return false;
    }
    return true;
}

namespace {

template <typename Info>
void fill_common(const AVStream* st, Info& info) {
    info.Language = tag(st->metadata, "language");
    info.CodecName = codec_description(st);
    const AVRational tb = repaired_time_base(st->time_base);
    info.StartTime = st->start_time;
    if (st->start_time != AV_NOPTS_VALUE) info.StartTimeUs = to_us(st->start_time, tb);
    info.DurationTicks = st->duration;
    if (st->duration != AV_NOPTS_VALUE) info.Duration = to_us(st->duration, tb);
    info.BitRate = static_cast<int>(st->codecpar->bit_rate);
}

}  // namespace

void TCustomDecoder::GetAudioStreamInfo(int AStreamIndex, TAudioStreamInfo& AInfo) {
    AInfo = TAudioStreamInfo();
    if (!CheckStream(AStreamIndex, false, "no audio stream.", "audio")) return;
    const AVStream* st = format_context_->streams[AStreamIndex];
    fill_common(st, AInfo);
    AInfo.Channels = av::channel_count(st->codecpar);
    AInfo.SampleRate = st->codecpar->sample_rate;
    AInfo.SampleFormat = st->codecpar->format;
}

void TCustomDecoder::GetVideoStreamInfo(int AStreamIndex, TVideoStreamInfo& AInfo) {
    AInfo = TVideoStreamInfo();
    if (!CheckStream(AStreamIndex, true, "no video stream.", "video")) return;
    const AVStream* st = format_context_->streams[AStreamIndex];
    const AVCodecParameters* par = st->codecpar;
    fill_common(st, AInfo);
    AInfo.Height = par->height;
    AInfo.Width = par->width;
    AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
    if (sar.num) {
        AInfo.SampleAspectRatio = {sar.num, sar.den};
        AInfo.SampleAspect = static_cast<float>(av_q2d(sar));
        if (par->width > 0 && par->height > 0) {
            AVRational dar{};
            av_reduce(&dar.num, &dar.den, static_cast<int64_t>(sar.num) * par->width,
                      static_cast<int64_t>(sar.den) * par->height, 1048576);
            AInfo.DisplayAspectRatio = {dar.num, dar.den};
            AInfo.DisplayAspect = static_cast<float>(av_q2d(dar));
        }
    } else {
        AInfo.SampleAspect = 0;
        AInfo.DisplayAspect = -1;
    }
    AInfo.PixelFormat = par->format;
    const AVRational fr = st->avg_frame_rate.num && st->avg_frame_rate.den ? st->avg_frame_rate : st->r_frame_rate;
    AInfo.FrameRate = {fr.num, fr.den};
}

bool TCustomDecoder::IsVideoStream(int AStreamIndex) {
    if (!format_context_) {
        Warn("file not loaded.");
        return false;
    }
    if (AStreamIndex < 0 || AStreamIndex >= StreamCount) {
        Error(llError, Format("stream index #%d is invalid.", AStreamIndex));
        return false;
    }
    return format_context_->streams[AStreamIndex]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

std::string TCustomDecoder::StreamLine(int index) {
    const AVFormatContext* ctx = format_context_;
    const AVStream* st = ctx->streams[index];
    std::string line = Format("  Stream #%d", index);
    if (ctx->iformat->flags & AVFMT_SHOW_IDS) line += Format("[0x%x]", st->id);
    const std::string lang = tag(st->metadata, "language");
    if (!lang.empty()) line += "(" + lang + ")";
    const int g = std::gcd(st->time_base.num, st->time_base.den);
    if (g) line += Format(", %d/%d", st->time_base.num / g, st->time_base.den / g);

    char summary[256] = {};
    if (AVCodecContext* cc = avcodec_alloc_context3(nullptr)) {
        if (avcodec_parameters_to_context(cc, st->codecpar) >= 0) avcodec_string(summary, sizeof summary, cc, 0);
        avcodec_free_context(&cc);
    }
    line += std::string(": ") + summary;

    const AVCodecParameters* par = st->codecpar;
    if (st->sample_aspect_ratio.num && av_cmp_q(st->sample_aspect_ratio, par->sample_aspect_ratio)) {
        AVRational dar{};
        av_reduce(&dar.num, &dar.den, static_cast<int64_t>(par->width) * st->sample_aspect_ratio.num,
                  static_cast<int64_t>(par->height) * st->sample_aspect_ratio.den, 1024 * 1024);
        line +=
            Format(", SAR %d:%d DAR %d:%d", st->sample_aspect_ratio.num, st->sample_aspect_ratio.den, dar.num, dar.den);
    }
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        // The codec time base (tbc) is not kept with the stream's parameters
        // in this library generation, so it shows only when known.
        if (st->avg_frame_rate.num && st->avg_frame_rate.den) line += rate_text(av_q2d(st->avg_frame_rate), "fps");
        if (st->r_frame_rate.num && st->r_frame_rate.den) line += rate_text(av_q2d(st->r_frame_rate), "tbr");
        if (st->time_base.num && st->time_base.den) line += rate_text(1 / av_q2d(st->time_base), "tbn");
    }
    static const std::pair<int, const char*> kDispositions[] = {
        {AV_DISPOSITION_DEFAULT, " (default)"},
        {AV_DISPOSITION_DUB, " (dub)"},
        {AV_DISPOSITION_ORIGINAL, " (original)"},
        {AV_DISPOSITION_COMMENT, " (comment)"},
        {AV_DISPOSITION_LYRICS, " (lyrics)"},
        {AV_DISPOSITION_KARAOKE, " (karaoke)"},
        {AV_DISPOSITION_FORCED, " (forced)"},
        {AV_DISPOSITION_HEARING_IMPAIRED, " (hearing impaired)"},
        {AV_DISPOSITION_VISUAL_IMPAIRED, " (visual impaired)"},
        {AV_DISPOSITION_CLEAN_EFFECTS, " (clean effects)"},
    };
    for (const auto& [bit, text] : kDispositions) {
        if (st->disposition & bit) line += text;
    }
    const AVRational tb = repaired_time_base(st->time_base);
    if (st->start_time != AV_NOPTS_VALUE) line += ", start: " + seconds_form(to_us(st->start_time, tb));
    if (st->duration != AV_NOPTS_VALUE) line += ", duration: " + duration_form(to_us(st->duration, tb));
    return line + kCRLF + metadata_block(st->metadata, "  ");
}

std::string TCustomDecoder::GetInfoText() {
    if (!format_context_) {
        Warn("file not loaded.");
        return "";
    }
    const AVFormatContext* ctx = format_context_;
    std::string out = Format("File Name: %s", ctx->url ? ctx->url : "") + kCRLF;
    out += Format("Format Name: %s", ctx->iformat->name) + kCRLF;
    if (ctx->iformat->long_name) out += Format("Format Long Name: %s", ctx->iformat->long_name) + kCRLF;
    out += "File Size: " + size_text(DeterminedFileSize()) + kCRLF;
    out += metadata_block(ctx->metadata, "");

    std::string line = "Duration: ";
    line += ctx->duration != AV_NOPTS_VALUE ? duration_form(ctx->duration) : "N/A";
    if (ctx->start_time != AV_NOPTS_VALUE) line += ", start: " + seconds_form(ctx->start_time);
    line += ", bitrate: ";
    line += ctx->bit_rate > 0 ? Format("%d kb/s", static_cast<int>(ctx->bit_rate / 1000)) : "N/A";
    out += line + kCRLF;

    for (unsigned i = 0; i < ctx->nb_chapters; ++i) {
        const AVChapter* ch = ctx->chapters[i];
        out += Format("Chapter #%d: start %.6f, end %.6f", static_cast<int>(i), ch->start * av_q2d(ch->time_base),
                      ch->end * av_q2d(ch->time_base)) +
               kCRLF;
        out += metadata_block(ch->metadata, "  ");
    }

    std::vector<bool> listed(ctx->nb_streams, false);
    unsigned in_programs = 0;
    for (unsigned p = 0; p < ctx->nb_programs; ++p) {
        const AVProgram* prog = ctx->programs[p];
        out += Format("Program %d %s", prog->id, tag(prog->metadata, "name").c_str()) + kCRLF;
        out += metadata_block(prog->metadata, "  ");
        for (unsigned k = 0; k < prog->nb_stream_indexes; ++k) {
            const unsigned idx = prog->stream_index[k];
            if (idx >= ctx->nb_streams) continue;
            out += StreamLine(static_cast<int>(idx));
            listed[idx] = true;
            ++in_programs;
        }
    }
    if (in_programs < ctx->nb_streams) out += std::string("No Program") + kCRLF;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        if (!listed[i]) out += StreamLine(static_cast<int>(i));
    }
    return out;
}

}  // namespace sonorix
