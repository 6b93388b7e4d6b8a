// Opening input files and their streams; the interrupt call-backs.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/FFLoad.h"
#include "transcoder/FFmpeg.h"
#include "transcoder/FFmpegFiles.h"

namespace sonorix {

namespace {

// A call-back's verdict for one stamp: 1 aborts the library call.
int check_stamp(TCustomFFmpeg* core, int64_t stamp, int timeout_ms, const char* timeout_text, const char* cancel_text) {
    if (core->stop_requested) {
        log_message(core, llInfo, "reading/writing broken");
        return 1;
    }
    if (stamp == INT64_MAX || timeout_ms <= 0) return 0;
    if (stamp == 0) {
        log_message(core, llInfo, cancel_text);
        return 1;
    }
    if (av_gettime_relative() - stamp > static_cast<int64_t>(timeout_ms) * 1000) {
        log_message(core, llInfo, timeout_text);
        return 1;
    }
    return 0;
}

}  // namespace

// A -tag value: a number (decimal or 0x...) or a four-character code.
uint32_t parse_codec_tag(const std::string& text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (!text.empty() && end && *end == '\0') return static_cast<uint32_t>(value);
    uint32_t tag = 0;
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t c = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
        tag |= static_cast<uint32_t>(c) << (8 * i);
    }
    return tag;
}

TCustomFFmpeg::TCustomFFmpeg() = default;

TCustomFFmpeg::~TCustomFFmpeg() {
    // A running worker, or a termination still being delivered, uses this
    // object: wait for both before anything is freed.
    Stop(true);
    WaitDraining(terminate_delivered_);
    close_codecs();
    filtergraphs.clear();
    discard_temp_outputs();
    output_streams.clear();
    output_files.clear();
    input_streams.clear();
}

int TCustomFFmpeg::read_interrupt(void* opaque) {
    auto* core = static_cast<TCustomFFmpeg*>(opaque);
    return check_stamp(core, core->read_stamp, core->read_timeout, "connecting/reading timeout",
                       "connecting/reading canceled");
}

int TCustomFFmpeg::write_interrupt(void* opaque) {
    auto* core = static_cast<TCustomFFmpeg*>(opaque);
    return check_stamp(core, core->write_stamp, core->write_timeout, "connecting/writing timeout",
                       "connecting/writing canceled");
}

Dictionary TCustomFFmpeg::filter_codec_opts(const AVDictionary* opts, AVCodecID codec_id, AVFormatContext* s,
                                            AVStream* st, const AVCodec* codec, bool encoder) {
    Dictionary result;
    const AVClass* cc = avcodec_get_class();
    int flags = encoder ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
    if (!codec) codec = encoder ? avcodec_find_encoder(codec_id) : avcodec_find_decoder(codec_id);
    char prefix = 0;
    switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        prefix = 'v';
        flags |= AV_OPT_FLAG_VIDEO_PARAM;
        break;
    case AVMEDIA_TYPE_AUDIO:
        prefix = 'a';
        flags |= AV_OPT_FLAG_AUDIO_PARAM;
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        prefix = 's';
        flags |= AV_OPT_FLAG_SUBTITLE_PARAM;
        break;
    default: break;
    }
    const AVDictionaryEntry* t = nullptr;
    while ((t = av_dict_get(opts, "", t, AV_DICT_IGNORE_SUFFIX))) {
        std::string key = t->key;
        if (const size_t colon = key.find(':'); colon != std::string::npos) {
            if (options_.check_stream_specifier(s, st, key.substr(colon + 1)) <= 0) continue;
            key.resize(colon);
        }
        auto has = [&](const AVClass* const* cls, const std::string& name) {
            return av_opt_find(const_cast<const AVClass**>(cls), name.c_str(), nullptr, flags,
                               AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
        };
        if (has(&cc, key) || !codec || (codec->priv_class && has(&codec->priv_class, key))) {
            result.set(key, t->value);
        } else if (prefix && key.size() > 1 && key[0] == prefix && has(&cc, key.substr(1))) {
            result.set(key.substr(1), t->value);
        }
    }
    return result;
}

int TCustomFFmpeg::OpenInputFile(TOptionsContext& o, const std::string& options, const std::string& file_name,
                                 const std::string& presets) {
    int ret = options_.ParseOptions(o, options, "input file", presets);
    if (ret < 0) return ret;

    const AVInputFormat* file_iformat = nullptr;
    if (!o.format.empty()) {
        file_iformat = find_input_format(o.format);
        if (!file_iformat) {
            set_last_error(Format("Unknown input format: \"%s\"", o.format.c_str()));
            log_message(this, llFatal, last_error());
            return AVERROR(EINVAL);
        }
    }

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        set_last_error("avformat_alloc_context() failed");
        return AVERROR(ENOMEM);
    }
    Dictionary& format_opts = o.g->format_opts;
    auto has_private = [&](const char* name) {
        return file_iformat && file_iformat->priv_class &&
               av_opt_find(const_cast<AVClass**>(&file_iformat->priv_class), name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
    };
    if (!o.audio_sample_rate.empty()) format_opts.set("sample_rate", std::to_string(o.audio_sample_rate.back().u));
    if (!o.audio_channels.empty() && has_private("channels")) {
        format_opts.set("channels", std::to_string(o.audio_channels.back().u));
    }
    if (!o.frame_rates.empty() && has_private("framerate")) format_opts.set("framerate", o.frame_rates.back().u);
    if (!o.frame_sizes.empty()) format_opts.set("video_size", o.frame_sizes.back().u);
    if (!o.frame_pix_fmts.empty()) format_opts.set("pixel_format", o.frame_pix_fmts.back().u);

    // Forced decoders by exact media specifier; any other specifier applies per stream.
    struct Forced {
        const char* specifier;
        AVMediaType type;
        AVCodecID* id;
        const AVCodec** codec;
    } forced[] = {
        {"v", AVMEDIA_TYPE_VIDEO, &raw->video_codec_id, &raw->video_codec},
        {"a", AVMEDIA_TYPE_AUDIO, &raw->audio_codec_id, &raw->audio_codec},
        {"s", AVMEDIA_TYPE_SUBTITLE, &raw->subtitle_codec_id, &raw->subtitle_codec},
    };
    for (const Forced& f : forced) {
        *f.id = AV_CODEC_ID_NONE;
        if (const std::string* name = options_.exact_specifier(o.codec_names, f.specifier)) {
            try {
                const AVCodec* codec = options_.find_codec_or_die(*name, f.type, false);
                *f.id = codec->id;
                *f.codec = codec;
            } catch (...) {
                avformat_free_context(raw);
                throw;
            }
        }
    }

    raw->flags |= AVFMT_FLAG_NONBLOCK;
    raw->interrupt_callback = {&read_interrupt, this};
    auto refuse = [&](const std::string& text, int code) {
        set_last_error(text);
        log_message(this, llFatal, text);
        return code;
    };
    if (const auto id = file_identity(file_name)) {
        for (const TOutputFile& of : output_files) {
            if (!of.final_name.empty() && file_identity(of.final_name) == id) {
                avformat_free_context(raw);
                return refuse(file_name + ": the input is the same file as the target " + of.target_name,
                              AVERROR(EINVAL));
            }
        }
    }
    arm_read_stamp();
    AVIOContext* own_io = nullptr;
    if (!file_iformat || !(file_iformat->flags & AVFMT_NOFILE)) {
        ret = open_input_io(file_name, raw->interrupt_callback, format_opts.address(), &own_io);
        if (ret < 0) {
            avformat_free_context(raw);
            read_stamp = INT64_MAX;
            return refuse(error_code_text(file_name, ret), ret);
        }
        raw->pb = own_io;
    }
    ret = avformat_open_input(&raw, file_name.c_str(), file_iformat, format_opts.address());
    read_stamp = INT64_MAX;
    if (ret < 0) {  // the library freed the context, not an I/O context of ours
        close_input_io(own_io);
        return refuse(error_code_text(file_name, ret), ret);
    }
    std::unique_ptr<AVFormatContext, InputContextCloser> ic(raw);
    options_.check_options_consumed(format_opts.get());

    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        if (auto name = options_.match_per_stream(o.codec_names, ic.get(), st)) {
            st->codecpar->codec_id = options_.find_codec_or_die(*name, st->codecpar->codec_type, false)->id;
        }
    }

    // Per-stream decoder options for the stream-information search.
    const int nb_streams = static_cast<int>(ic->nb_streams);
    std::vector<Dictionary> info_opts(static_cast<size_t>(nb_streams));
    std::vector<AVDictionary*> info_ptrs(static_cast<size_t>(nb_streams), nullptr);
    for (int i = 0; i < nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        info_opts[static_cast<size_t>(i)] =
            filter_codec_opts(o.g->codec_opts.get(), st->codecpar->codec_id, ic.get(), st, nullptr, false);
        info_ptrs[static_cast<size_t>(i)] = info_opts[static_cast<size_t>(i)].get();
    }
    if (OnBeforeFindStreamInfo) OnBeforeFindStreamInfo(this, ic.get());
    arm_read_stamp();
    ret = avformat_find_stream_info(ic.get(), nb_streams ? info_ptrs.data() : nullptr);
    read_stamp = INT64_MAX;
    // The library may have replaced the dictionaries it was given.
    for (int i = 0; i < nb_streams; ++i)
        *info_opts[static_cast<size_t>(i)].address() = info_ptrs[static_cast<size_t>(i)];
    if (ret < 0) {
        set_last_error(Format("%s: could not find codec parameters", file_name.c_str()));
        log_message(this, llFatal, last_error());
        return ret;
    }
    // Only now: the search probes what it reads, at a cost that grows with
    // the packets' size.
    if (!o.rate_emu) av::read_in_large_packets(ic.get());  // unless "-max_size" chose; "-re" paces packet by packet

    int64_t timestamp = o.start_time;
    if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
    if (o.start_time != 0) {
        arm_read_stamp();
        ret = avformat_seek_file(ic.get(), -1, INT64_MIN, timestamp, timestamp, 0);
        read_stamp = INT64_MAX;
        if (ret < 0) {
            log_format(this, llWarning, "%s: could not seek to position %0.3f", file_name.c_str(),
                       static_cast<double>(timestamp) / AV_TIME_BASE);
        }
    }

    const int file_index = static_cast<int>(input_files.size());
    dump_attachments(o, ic.get());
    const size_t first_ist = input_streams.size();
    try {
        add_input_streams(o, ic.get(), file_index);
    } catch (...) {
        input_streams.resize(first_ist);  // the file is not added
        throw;
    }
    av_dump_format(ic.get(), file_index, file_name.c_str(), 0);

    if (ic->duration != AV_NOPTS_VALUE && ic->duration > 0) {
        longest_input_duration = std::max(longest_input_duration, ic->duration - o.start_time);
    }

    TInputFile& f = add_input_file(input_files, ic.release());
    f.ts_offset = o.input_ts_offset - (options_.copy_ts ? 0 : timestamp);
    f.rate_emu = o.rate_emu;
    return file_index;
}

void TCustomFFmpeg::dump_attachments(TOptionsContext& o, AVFormatContext* ic) {
    for (const auto& entry : o.dump_attachment) {
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            AVStream* st = ic->streams[i];
            if (st->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT ||
                options_.check_stream_specifier(ic, st, entry.specifier) <= 0) {
                continue;
            }
            std::string name = entry.u;
            if (name.empty()) {
                const AVDictionaryEntry* e = av_dict_get(st->metadata, "filename", nullptr, 0);
                if (!e) {
                    options_.raise_format("No filename specified and no 'filename' tag in stream #%d:%d.",
                                          static_cast<int>(input_files.size()), static_cast<int>(i));
                }
                name = e->value;
            }
            if (!st->codecpar->extradata_size) continue;
            AVIOContext* out = nullptr;
            const AVIOInterruptCB callback = write_interrupt_callback();
            if (avio_open2(&out, name.c_str(), AVIO_FLAG_WRITE, &callback, nullptr) < 0) {
                options_.raise_format("Could not open file %s for writing.", name.c_str());
            }
            avio_write(out, st->codecpar->extradata, st->codecpar->extradata_size);
            avio_closep(&out);
        }
    }
}

void TCustomFFmpeg::add_input_streams(TOptionsContext& o, AVFormatContext* ic, int file_index) {
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        AVCodecParameters* par = st->codecpar;
        auto ist = std::make_unique<TInputStream>();
        ist->file_index = file_index;
        ist->st = st;
        st->discard = AVDISCARD_ALL;
        ist->ts_scale = options_.match_per_stream(o.ts_scale, ic, st).value_or(1.0);
        if (auto tag = options_.match_per_stream(o.codec_tags, ic, st)) par->codec_tag = parse_codec_tag(*tag);

        if (auto name = options_.match_per_stream(o.codec_names, ic, st)) {
            ist->dec = options_.find_codec_or_die(*name, par->codec_type, false);
        } else {
            ist->dec = avcodec_find_decoder(par->codec_id);
        }
        ist->dec_ctx.reset(avcodec_alloc_context3(ist->dec));
        if (!ist->dec_ctx) options_.raise_error("av_mallocz() failed");
        if (avcodec_parameters_to_context(ist->dec_ctx.get(), par) < 0) options_.raise_error("av_mallocz() failed");
        ist->dec_ctx->pkt_timebase = st->time_base;
        ist->decoder_opts = filter_codec_opts(o.g->codec_opts.get(), par->codec_id, ic, st, ist->dec, false);
        ist->reinit_filters = options_.match_per_stream(o.reinit_filters, ic, st).value_or(-1);

        AVCodecContext* dec = ist->dec_ctx.get();
        switch (par->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            // 5.1 has no edge-emulation flag: low resolution needs nothing more.
            ist->resample_width = dec->width;
            ist->resample_height = dec->height;
            ist->resample_pix_fmt = dec->pix_fmt;
            if (auto rate = options_.match_per_stream(o.frame_rates, ic, st)) {
                if (av_parse_video_rate(&ist->framerate, rate->c_str()) < 0) {
                    options_.raise_format("Error parsing framerate %s.", rate->c_str());
                }
            }
            ist->top_field_first = options_.match_per_stream(o.top_field_first, ic, st).value_or(-1);
            break;
        case AVMEDIA_TYPE_AUDIO: {
            ist->guess_layout_max = options_.match_per_stream(o.guess_layout_max, ic, st).value_or(INT_MAX);
            const int channels = dec->ch_layout.nb_channels;
            if (dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC && channels > 0 && channels <= ist->guess_layout_max) {
                av_channel_layout_uninit(&dec->ch_layout);
                av_channel_layout_default(&dec->ch_layout, channels);
                av_channel_layout_copy(&par->ch_layout, &dec->ch_layout);
                char name[128] = {};
                av_channel_layout_describe(&dec->ch_layout, name, sizeof name);
                log_format(this, llWarning, "Guessed Channel Layout for  Input Stream #%d.%d : %s", file_index,
                           static_cast<int>(i), name);
            }
            ist->resample_sample_fmt = dec->sample_fmt;
            ist->resample_sample_rate = dec->sample_rate;
            ist->resample_channels = channels;
            av_channel_layout_copy(&ist->resample_ch_layout, &dec->ch_layout);
            break;
        }
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT: break;
        case AVMEDIA_TYPE_SUBTITLE:
        case AVMEDIA_TYPE_UNKNOWN:
            ist->fix_sub_duration = options_.match_per_stream(o.fix_sub_duration, ic, st).value_or(0);
            break;
        default: options_.raise_error("Never occur");
        }
        input_streams.push_back(std::move(ist));
    }
}

}  // namespace sonorix
