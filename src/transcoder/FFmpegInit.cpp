// The start of a run, on the task's worker thread: stream-copy parameters,
// encoders through their filter graphs, decoders, headers, the mapping log.
//
// Failure rules: output checks set last_error() and return at once; encoder,
// decoder and header failures only log their message (after the mapping),
// leaving last_error() for the loop to fill with its generic text.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "base/FFLoad.h"
#include "transcoder/FFmpeg.h"

namespace sonorix {

namespace {

// The process-wide lists of open codecs: whatever path a run takes, its end
// can close what is still open. Guarded by one mutex (any task's worker).
std::mutex open_codecs_mutex;
std::set<const TOutputStream*> open_encoders;
std::set<const TInputStream*> open_decoders;

bool is_one_of(const char* name, std::initializer_list<const char*> names) {
    for (const char* n : names) {
        if (!std::strcmp(name, n)) return true;
    }
    return false;
}

// Nobody reads a null output's packets. Where the options left the codec to
// the muxer, its default encoder packs each frame into one packet of a size
// known beforehand (PCM audio; video frames wrapped whole, the size of the
// library's frame record, which is this header's when the versions agree):
// such a stream's frames are counted instead of encoded, and the sizes and
// times of the reports stay the same.
bool packets_unread(const TOutputStream& ost, const AVFormatContext* oc) {
    const AVOutputFormat* f = oc->oformat;
    if (!ost.codec_from_muxer || !ost.enc || std::strcmp(f->name, "null") || !ost.bitstream_filters.empty())
        return false;
    if (ost.enc_ctx->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) return false;
    switch (ost.enc_ctx->codec_type) {
    case AVMEDIA_TYPE_AUDIO: return ost.enc->id == f->audio_codec && av_get_bits_per_sample(ost.enc->id) > 0;
    case AVMEDIA_TYPE_VIDEO:
        return ost.enc->id == f->video_codec && ost.enc->id == AV_CODEC_ID_WRAPPED_AVFRAME &&
               avutil_version() == LIBAVUTIL_VERSION_INT;
    default: return false;
    }
}

bool takes_sample_format(const AVCodec* codec, AVSampleFormat format) {
    for (const AVSampleFormat* p = codec->sample_fmts; p && *p != AV_SAMPLE_FMT_NONE; ++p) {
        if (*p == format) return true;
    }
    return !codec->sample_fmts;
}

}  // namespace

size_t TCustomFFmpeg::open_encoder_count() {
    std::lock_guard lock(open_codecs_mutex);
    return open_encoders.size();
}

size_t TCustomFFmpeg::open_decoder_count() {
    std::lock_guard lock(open_codecs_mutex);
    return open_decoders.size();
}

void TCustomFFmpeg::close_codecs() {
    std::lock_guard lock(open_codecs_mutex);
    for (auto& ost : output_streams) {
        if (ost->encoder_open && ost->enc_ctx) avcodec_close(ost->enc_ctx.get());
        ost->encoder_open = false;
        open_encoders.erase(ost.get());
    }
    for (auto& ist : input_streams) {
        if (ist->decoder_open && ist->dec_ctx) avcodec_close(ist->dec_ctx.get());
        ist->decoder_open = false;
        open_decoders.erase(ist.get());
    }
}

int TCustomFFmpeg::init_stream_copy(TOutputStream& ost, TInputStream& ist, std::string& error) {
    AVFormatContext* oc = output_files[static_cast<size_t>(ost.file_index)].ctx.get();
    AVCodecParameters* par = ost.st->codecpar;
    const AVCodecParameters* in = ist.st->codecpar;
    const AVMediaType type = in->codec_type;
    if (type == AVMEDIA_TYPE_AUDIO && options_.audio_volume != 256) {
        error = "-acodec copy and -vol are incompatible (frames are not decoded)";
        return AVERROR(EINVAL);
    }
    if (static_cast<uint64_t>(in->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE > INT_MAX) {
        error = "icodec.extradata_size is invalid (too large)";
        return AVERROR(EINVAL);
    }
    const uint32_t forced_tag = par->codec_tag;
    int ret = avcodec_parameters_copy(par, in);
    if (ret < 0) return ret;
    if (forced_tag) {
        par->codec_tag = forced_tag;
    } else {
        const AVCodecTag* const* table = oc->oformat->codec_tag;
        unsigned tag = 0;
        const bool keep = !table || av_codec_get_id(table, in->codec_tag) == in->codec_id ||
                          !av_codec_get_tag2(table, in->codec_id, &tag);
        par->codec_tag = keep ? in->codec_tag : 0;
    }

    // Time base: the source stream's, or for avi and fixed-rate muxers the
    // nominal frame period (5.1 keeps no decoder time base before opening).
    AVRational tb = ist.st->time_base;
    const AVRational rate = av_guess_frame_rate(nullptr, ist.st, nullptr);
    const char* muxer = oc->oformat->name;
    const bool avi = !std::strcmp(muxer, "avi");
    const bool fixed_rate = !(oc->oformat->flags & AVFMT_VARIABLE_FPS) &&
                            !is_one_of(muxer, {"mov", "mp4", "3gp", "3g2", "psp", "ipod", "f4v"});
    if (type == AVMEDIA_TYPE_VIDEO && (avi || fixed_rate) && rate.num > 0 && rate.den > 0) {
        const AVRational frame_tb = av_inv_q(rate);
        const AVRational half_tb{rate.den, 2 * rate.num};
        if (options_.copy_tb == 0) {
            tb = avi ? half_tb : frame_tb;
        } else if (options_.copy_tb == 2 && avi) {
            tb = half_tb;
        } else if (options_.copy_tb < 0 && av_q2d(ist.st->time_base) < 1.0 / 500 &&
                   av_q2d(frame_tb) > av_q2d(ist.st->time_base)) {
            tb = avi ? half_tb : frame_tb;
        }
    }
    if (ost.frame_rate.num) tb = av_inv_q(ost.frame_rate);
    av_reduce(&tb.num, &tb.den, tb.num, tb.den, INT_MAX);
    ost.st->time_base = tb;
    ost.enc_ctx->time_base = tb;

    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        ost.st->sample_aspect_ratio = ist.st->sample_aspect_ratio.num ? ist.st->sample_aspect_ratio
                                      : in->sample_aspect_ratio.num   ? in->sample_aspect_ratio
                                                                      : AVRational{0, 1};
        par->sample_aspect_ratio = ost.st->sample_aspect_ratio;
        ost.st->avg_frame_rate = ost.frame_rate.num ? ost.frame_rate : ist.st->avg_frame_rate;
        ost.st->r_frame_rate = ist.st->r_frame_rate;
        break;
    case AVMEDIA_TYPE_AUDIO:
        if ((par->block_align == 1 || par->block_align == 576 || par->block_align == 1152) &&
            par->codec_id == AV_CODEC_ID_MP3) {
            par->block_align = 0;
        }
        if (par->codec_id == AV_CODEC_ID_AC3) par->block_align = 0;
        break;
    case AVMEDIA_TYPE_SUBTITLE:
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_ATTACHMENT: break;
    default: error = "invalid codec_type of output stream"; return -1;
    }
    // Options of copied streams go to their context only (nothing is opened).
    av_opt_set_dict(ost.enc_ctx.get(), ost.encoder_opts.address());
    return 0;
}

void TCustomFFmpeg::parse_forced_key_frames(TOutputStream& ost) {
    const std::string& text = ost.forced_keyframes;
    if (text.empty()) return;
    if (text.rfind("expr:", 0) == 0) {
        // Evaluated per frame by the loop; a bad text is reported once, here.
        AVExpr* expr = nullptr;
        static const char* const names[] = {"n", "n_forced", "prev_forced_n", "prev_forced_t", "t", nullptr};
        if (av_expr_parse(&expr, text.c_str() + 5, names, nullptr, nullptr, nullptr, nullptr, 0, nullptr) < 0) {
            log_format(this, llError, "Invalid force_key_frames expression \"%s\"", text.c_str() + 5);
            return;
        }
        ost.forced_kf_expr.reset(expr);
        return;
    }
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        int64_t t = 0;
        if (!item.empty() && av_parse_time(&t, item.c_str(), 1) >= 0) {
            ost.forced_kf_pts.push_back(av_rescale_q(t, AV_TIME_BASE_Q, ost.enc_ctx->time_base));
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::sort(ost.forced_kf_pts.begin(), ost.forced_kf_pts.end());
}

int TCustomFFmpeg::init_two_pass(TOutputStream& ost, int ost_index, std::string& error) {
    AVCodecContext* enc = ost.enc_ctx.get();
    if (!(enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) return 0;
    const std::string name =
        Format("%s-%d.log", ost.logfile_prefix.empty() ? "ffencoder2pass" : ost.logfile_prefix.c_str(), ost_index);
    if (!std::strcmp(ost.enc->name, "libx264")) {
        if (!ost.encoder_opts.get("stats")) ost.encoder_opts.set("stats", name);
        return 0;
    }
    if (enc->flags & AV_CODEC_FLAG_PASS2) {
        FILE* f = std::fopen(name.c_str(), "rb");
        if (!f) {
            error = Format("Error reading log file \"%s\" for pass-2 encoding", name.c_str());
            return AVERROR(EIO);
        }
        std::string text;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        const bool bad = std::ferror(f);
        std::fclose(f);
        if (bad) {
            error = Format("Error reading log file \"%s\" for pass-2 encoding", name.c_str());
            return AVERROR(EIO);
        }
        enc->stats_in = static_cast<char*>(av_malloc(text.size() + 1));
        if (!enc->stats_in) {
            error = Format("Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding",
                           name.c_str());
            return AVERROR(ENOMEM);
        }
        std::memcpy(enc->stats_in, text.c_str(), text.size() + 1);
    }
    if (enc->flags & AV_CODEC_FLAG_PASS1) {
        ost.logfile = std::fopen(name.c_str(), "wb");
        if (!ost.logfile) {
            error = Format("Cannot write log file %s for pass-1 encoding", name.c_str());
            return AVERROR(errno);
        }
    }
    return 0;
}

int TCustomFFmpeg::init_encoding(TOutputStream& ost, std::string& error) {
    if (!ost.enc) ost.enc = avcodec_find_encoder(ost.st->codecpar->codec_id);
    if (!ost.enc) {
        error = Format("Encoder (codec %s) not found for output stream #%d:%d",
                       avcodec_get_name(ost.st->codecpar->codec_id), ost.file_index, ost.index);
        return AVERROR(EINVAL);
    }
    TInputStream* ist = get_input_stream(ost);
    if (ist) ist->decoding_needed++;
    ost.encoding_needed = true;
    AVCodecContext* enc = ost.enc_ctx.get();
    const AVMediaType type = enc->codec_type;
    AVFormatContext* oc = output_files[static_cast<size_t>(ost.file_index)].ctx.get();
    ost.discard_packets = packets_unread(ost, oc);

    AVFilterContext* sink = nullptr;
    if ((type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) && (ist || ost.filter)) {
        if (!ost.filter) {
            int index = 0;
            while (output_streams[static_cast<size_t>(index)].get() != &ost) ++index;
            init_simple_filtergraph(ost.source_index, index);
        }
        // Complex graphs were configured before the streams.
        if (!ost.filter->graph->configured && configure_filtergraph(*ost.filter->graph) < 0) {
            options_.raise_error("Error opening filters!");
        }
        sink = ost.filter->filter;
    }

    if (type == AVMEDIA_TYPE_VIDEO && sink) {
        AVRational rate = ost.frame_rate;
        if (!rate.num) rate = av_buffersink_get_frame_rate(sink);
        if (!rate.num && ist && ist->framerate.num) rate = ist->framerate;
        if (!rate.num && ist) rate = ist->st->r_frame_rate;
        if (!rate.num || !rate.den) rate = {25, 1};
        if (ost.enc->supported_framerates && !ost.force_fps) {
            rate = ost.enc->supported_framerates[av_find_nearest_q_idx(rate, ost.enc->supported_framerates)];
        }
        ost.frame_rate = rate;
        enc->framerate = rate;
        enc->time_base = av_inv_q(rate);
        const bool vfr_muxer = oc->oformat->flags & AVFMT_VARIABLE_FPS;
        if (av_q2d(enc->time_base) < 0.001 &&
            (options_.video_sync_method == 1 || (options_.video_sync_method == -1 && !vfr_muxer))) {
            log_message(this, llWarning,
                        "Frame rate very high for a muxer not efficiently supporting it.\n"
                        "Please consider specifying a lower framerate, a different muxer or -vsync 2");
        }
        enc->width = av_buffersink_get_w(sink);
        enc->height = av_buffersink_get_h(sink);
        enc->pix_fmt = static_cast<AVPixelFormat>(av_buffersink_get_format(sink));
        if (ost.frame_aspect_ratio > 0 && enc->width > 0) {
            enc->sample_aspect_ratio = av_d2q(ost.frame_aspect_ratio * enc->height / enc->width, 255);
        } else {
            enc->sample_aspect_ratio = av_buffersink_get_sample_aspect_ratio(sink);
        }
        ost.st->sample_aspect_ratio = enc->sample_aspect_ratio;
        ost.st->avg_frame_rate = rate;
        parse_forced_key_frames(ost);
    } else if (type == AVMEDIA_TYPE_AUDIO && sink) {
        enc->sample_fmt = static_cast<AVSampleFormat>(av_buffersink_get_format(sink));
        // Nothing reaches an encoder whose packets are discarded, and the
        // graph did not convert for it: it opens with a format it takes.
        if (ost.discard_packets && !takes_sample_format(ost.enc, enc->sample_fmt))
            enc->sample_fmt = ost.enc->sample_fmts[0];
        enc->sample_rate = av_buffersink_get_sample_rate(sink);
        av_channel_layout_uninit(&enc->ch_layout);
        av_buffersink_get_ch_layout(sink, &enc->ch_layout);
        enc->time_base = {1, enc->sample_rate};
    } else if (type == AVMEDIA_TYPE_SUBTITLE) {
        enc->time_base = {1, 1000};
        if (!enc->width && ist) {
            enc->width = ist->dec_ctx->width;
            enc->height = ist->dec_ctx->height;
        }
    }
    return 0;
}

int TCustomFFmpeg::open_encoder(TOutputStream& ost, std::string& error) {
    AVCodecContext* enc = ost.enc_ctx.get();
    TInputStream* ist = get_input_stream(ost);
    // 5.1 gives a decoder its subtitle header only when it is opened, so a
    // subtitle encoder's source is opened first.
    if (ist && enc->codec_type == AVMEDIA_TYPE_SUBTITLE && !ist->decoder_open) {
        const int ret = open_decoder(ost.source_index, error);
        if (ret < 0) return ret;
    }
    if (ist && ist->dec_ctx->subtitle_header && !enc->subtitle_header) {
        enc->subtitle_header = static_cast<uint8_t*>(av_mallocz(ist->dec_ctx->subtitle_header_size + 1));
        if (enc->subtitle_header) {
            std::memcpy(enc->subtitle_header, ist->dec_ctx->subtitle_header, ist->dec_ctx->subtitle_header_size);
            enc->subtitle_header_size = ist->dec_ctx->subtitle_header_size;
        }
    }
    if (!std::strcmp(ost.enc->name, "mjpeg")) {
        ost.encoder_opts.set("threads", "1");
    } else if (!ost.encoder_opts.get("threads")) {
        ost.encoder_opts.set("threads", "auto");
    }
    int ret;
    {
        CodecOpenLock lock;
        ret = avcodec_open2(enc, ost.enc, ost.encoder_opts.address());
    }
    if (ret == AVERROR_EXPERIMENTAL) options_.raise_error("abort codec experimental");
    if (ret < 0) {
        error = Format(
            "Error while opening encoder for output stream #%d:%d (%s) - maybe incorrect parameters "
            "such as bit_rate, rate, width or height. Please check error log message(reported by "
            "FFLogger) to find out more detail information.",
            ost.file_index, ost.index, av_get_media_type_string(enc->codec_type));
        return ret;
    }
    ost.encoder_open = true;
    {
        std::lock_guard lock(open_codecs_mutex);
        open_encoders.insert(&ost);
    }
    apply_sink_frame_size(ost);
    options_.check_options_consumed(ost.encoder_opts.get());
    if (enc->bit_rate > 0 && enc->bit_rate < 1000) {
        log_message(this, llWarning, "The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
    }
    global_header_bytes += enc->extradata_size;
    ret = avcodec_parameters_from_context(ost.st->codecpar, enc);
    if (ret < 0) return ret;
    ost.st->time_base = enc->time_base;
    return 0;
}

int TCustomFFmpeg::open_decoder(int ist_index, std::string& error) {
    TInputStream& ist = *input_streams[static_cast<size_t>(ist_index)];
    const int stream = ist.st->index;
    if (!ist.dec) {
        error = Format("Decoder (codec %s) not found for input stream #%d:%d",
                       avcodec_get_name(ist.st->codecpar->codec_id), ist.file_index, stream);
        return AVERROR(EINVAL);
    }
    if (!ist.decoder_opts.get("threads")) ist.decoder_opts.set("threads", "auto");
    int ret;
    {
        CodecOpenLock lock;
        ret = avcodec_open2(ist.dec_ctx.get(), ist.dec, ist.decoder_opts.address());
    }
    if (ret == AVERROR_EXPERIMENTAL) options_.raise_error("abort codec experimental");
    if (ret < 0) {
        error = Format("Error while opening decoder for input stream #%d:%d", ist.file_index, stream);
        return ret;
    }
    ist.decoder_open = true;
    {
        std::lock_guard lock(open_codecs_mutex);
        open_decoders.insert(&ist);
    }
    options_.check_options_consumed(ist.decoder_opts.get());
    ist.next_dts = ist.next_pts = AV_NOPTS_VALUE;
    ist.start_flag = true;
    return 0;
}

void TCustomFFmpeg::log_stream_mapping() {
    log_message(this, llInfo, "Stream mapping:");
    const bool many = filtergraphs.size() > 1;
    for (const auto& fg : filtergraphs) {
        if (fg->graph_desc.empty()) continue;
        for (const auto& in : fg->inputs) {
            const TInputStream& ist = *input_streams[static_cast<size_t>(in->ist)];
            std::string line = Format("  Stream #%d:%d (%s) -> %s", ist.file_index, ist.st->index,
                                      ist.dec ? ist.dec->name : "?", in->filter ? in->filter->name : "?");
            if (many) line += Format(" (graph %d)", fg->index);
            log_message(this, llInfo, line);
        }
    }
    for (const auto& p : output_streams) {
        const TOutputStream& ost = *p;
        const TInputStream* ist = get_input_stream(ost);
        if (ost.filter && !ost.filter->graph->graph_desc.empty()) {
            const char* name = !ost.filter->name.empty() ? ost.filter->name.c_str()
                               : ost.filter->filter      ? ost.filter->filter->name
                                                         : "?";
            std::string line = Format("  %s", name);
            if (many) line += Format(" (graph %d)", ost.filter->graph->index);
            line += Format(" -> Stream #%d:%d (%s)", ost.file_index, ost.index, ost.enc ? ost.enc->name : "?");
            log_message(this, llInfo, line);
            continue;
        }
        if (ost.attachment) {
            const AVDictionaryEntry* e = av_dict_get(ost.st->metadata, "filename", nullptr, 0);
            log_format(this, llInfo, "  File %s -> Stream #%d:%d", e ? e->value : "?", ost.file_index, ost.index);
            continue;
        }
        if (!ist) continue;
        std::string line =
            Format("  Stream #%d:%d -> #%d:%d", ist->file_index, ist->st->index, ost.file_index, ost.index);
        if (ost.sync_ist >= 0 && ost.sync_ist != ost.source_index) {
            const TInputStream& sync = *input_streams[static_cast<size_t>(ost.sync_ist)];
            line += Format(" [sync #%d:%d]", sync.file_index, sync.st->index);
        }
        if (ost.stream_copy) {
            line += " (copy)";
        } else {
            const char* in_name = ist->dec ? ist->dec->name : "?";
            const char* out_name = ost.enc ? ost.enc->name : "?";
            line +=
                std::strcmp(in_name, out_name) ? Format(" (%s -> %s)", in_name, out_name) : Format(" (%s)", in_name);
        }
        log_message(this, llInfo, line);
    }
}

int TCustomFFmpeg::transcode_init() {
    for (const TInputFile& f : input_files) {
        if (!f.rate_emu) continue;
        for (int i = 0; i < f.nb_streams; ++i) {
            input_streams[static_cast<size_t>(f.ist_index + i)]->start_wallclock = av_gettime_relative();
        }
    }
    for (size_t i = 0; i < output_files.size(); ++i) {
        AVFormatContext* oc = output_files[i].ctx.get();
        if (oc->nb_streams == 0 && !(oc->oformat->flags & AVFMT_NOSTREAMS)) {
            av_dump_format(oc, static_cast<int>(i), output_files[i].target_name.c_str(), 1);
            set_last_error(Format("Output file #%d does not contain any stream", static_cast<int>(i)));
            log_message(this, llError, last_error());
            return AVERROR(EINVAL);
        }
    }

    for (auto& fg : filtergraphs) {
        if (fg->graph_desc.empty() || fg->configured) continue;
        if (const int r = configure_filtergraph(*fg); r < 0) {
            set_last_error("Error configuring filters.");
            log_message(this, llError, last_error());
            return r;
        }
    }

    std::string error;
    int ret = 0;
    for (size_t i = 0; i < output_streams.size(); ++i) {
        TOutputStream& ost = *output_streams[i];
        if (ost.attachment) continue;
        TInputStream* ist = get_input_stream(ost);
        if (ost.stream_copy && ist) {
            ret = init_stream_copy(ost, *ist, error);
            if (ret < 0) {
                set_last_error(error);
                log_message(this, llError, error);
                return ret;
            }
        } else if (!ost.stream_copy) {
            ret = init_encoding(ost, error);
            if (ret < 0) break;
            if (ost.enc_ctx->codec_type == AVMEDIA_TYPE_VIDEO) {
                ret = init_two_pass(ost, static_cast<int>(i), error);
                if (ret < 0) {  // reported like the stream checks, at once
                    set_last_error(error);
                    log_message(this, llError, error);
                    return ret;
                }
            }
        }
    }
    for (auto& p : output_streams) {
        if (ret < 0) break;
        if (p->encoding_needed) ret = open_encoder(*p, error);
    }
    for (size_t i = 0; ret >= 0 && i < input_streams.size(); ++i) {
        if (input_streams[i]->decoding_needed && !input_streams[i]->decoder_open)
            ret = open_decoder(static_cast<int>(i), error);
        if (ret < 0) close_codecs();
    }
    if (ret >= 0) {
        for (const TInputFile& f : input_files) {
            AVFormatContext* ic = f.ctx.get();
            for (unsigned p = 0; p < ic->nb_programs; ++p) {
                AVProgram* program = ic->programs[p];
                bool used = false;
                for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
                    used |= !input_streams[static_cast<size_t>(f.ist_index) + program->stream_index[k]]->discard;
                }
                if (!used) program->discard = AVDISCARD_ALL;
            }
        }
    }
    for (size_t i = 0; ret >= 0 && i < output_files.size(); ++i) {
        TOutputFile& of = output_files[i];
        of.ctx->interrupt_callback = {&write_interrupt, this};
        arm_write_stamp();
        Dictionary opts;
        av_dict_copy(opts.address(), of.opts.get(), 0);
        ret = avformat_write_header(of.ctx.get(), opts.address());
        if (ret < 0) {
            error = Format("Could not write header for output file #%d (incorrect codec parameters ?): %s",
                           static_cast<int>(i), error_code_text(ret).c_str());
            ret = AVERROR(EINVAL);
        }
    }
    if (ret >= 0 && !output_files.empty()) {
        std::vector<AVFormatContext*> contexts;
        for (TOutputFile& of : output_files) {
            if (std::strcmp(of.ctx->oformat->name, "rtp")) break;
            contexts.push_back(of.ctx.get());
        }
        if (contexts.size() == output_files.size()) {
            char sdp[16384];
            if (av_sdp_create(contexts.data(), static_cast<int>(contexts.size()), sdp, sizeof sdp) >= 0) {
                log_format(this, llInfo, "SDP:\n%s", sdp);
            }
        }
    }
    log_stream_mapping();
    if (ret < 0) {
        log_message(this, llError, error);
        return ret;
    }
    return 0;
}

}  // namespace sonorix
