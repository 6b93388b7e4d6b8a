// Opening the output file: stream selection, new output streams with their
// encoder choice, time limits, metadata, and the file written under a
// temporary name beside the target.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "base/FFLoad.h"
#include "transcoder/FFmpeg.h"

namespace sonorix {

namespace {

// A target the libraries found no muxer for: named with what to change.
std::string no_muxer_text(const std::string& target) {
    const std::string ext = std::filesystem::path(target).extension().string();
    if (ext.empty()) {
        return target + ": the target name has no extension to choose the output format by (give one, or -f)";
    }
    return target + ": no output format is known for the extension \"" + ext + "\"";
}

}  // namespace

const std::string& TCustomFFmpeg::temp_output_name(int file) const {
    return output_files.at(static_cast<size_t>(file)).temp_name;
}

const std::string& TCustomFFmpeg::target_name(int file) const {
    return output_files.at(static_cast<size_t>(file)).target_name;
}

void TCustomFFmpeg::discard_temp_outputs() {
    for (TOutputFile& of : output_files) {
        of.ctx.reset();  // closes the file before it is deleted
        if (!of.temp_name.empty()) {
            std::error_code ec;
            std::filesystem::remove(of.temp_name, ec);
            of.temp_name.clear();
        }
    }
}

TOutputStream::~TOutputStream() {
    if (logfile) std::fclose(logfile);
    if (enc_ctx) av_freep(&enc_ctx->stats_in);  // the codec context does not own it
}

TInputStream* TCustomFFmpeg::get_input_stream(const TOutputStream& ost) {
    if (ost.source_index < 0) return nullptr;
    return input_streams[static_cast<size_t>(ost.source_index)].get();
}

TOutputStream& TCustomFFmpeg::new_output_stream(TOptionsContext& o, AVFormatContext* oc, AVMediaType type,
                                                int source_index) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st) options_.raise_error("Could not alloc stream.");
    const int idx = static_cast<int>(oc->nb_streams) - 1;
    if (idx < static_cast<int>(o.streamid_map.size()) && o.streamid_map[static_cast<size_t>(idx)]) {
        st->id = o.streamid_map[static_cast<size_t>(idx)];
    }
    auto owned = std::make_unique<TOutputStream>();
    TOutputStream& ost = *owned;
    output_streams.push_back(std::move(owned));
    ost.file_index = static_cast<int>(output_files.size());
    ost.index = idx;
    ost.st = st;
    st->codecpar->codec_type = type;

    if (auto name = options_.match_per_stream(o.codec_names, oc, st)) {
        if (*name == "copy") {
            ost.stream_copy = true;
        } else {
            ost.enc = options_.find_codec_or_die(*name, type, true);
            st->codecpar->codec_id = ost.enc->id;
        }
    } else {
        st->codecpar->codec_id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
        ost.enc = avcodec_find_encoder(st->codecpar->codec_id);
        ost.codec_from_muxer = true;
    }
    ost.source_index = source_index;
    if (ost.stream_copy) refuse_filtered_copy(o, oc, ost);
    ost.encoder_opts = filter_codec_opts(o.g->codec_opts.get(), st->codecpar->codec_id, oc, st, ost.enc, true);
    ost.enc_ctx.reset(avcodec_alloc_context3(ost.enc));
    if (!ost.enc_ctx) options_.raise_error("av_mallocz() failed");
    ost.enc_ctx->codec_type = type;
    ost.enc_ctx->codec_id = st->codecpar->codec_id;

    ost.max_frames = options_.match_per_stream(o.max_frames, oc, st).value_or(INT64_MAX);
    ost.copy_prior_start = options_.match_per_stream(o.copy_prior_start, oc, st).value_or(-1);
    if (auto bsfs = options_.match_per_stream(o.bitstream_filters, oc, st)) {
        size_t start = 0;
        while (start <= bsfs->size()) {
            const size_t comma = bsfs->find(',', start);
            std::string name = bsfs->substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            std::string args;  // "name=key=value:key=value"
            if (const size_t eq = name.find('='); eq != std::string::npos) {
                args = name.substr(eq + 1);
                name.resize(eq);
            }
            if (!name.empty()) {
                const AVBitStreamFilter* filter = av_bsf_get_by_name(name.c_str());
                if (!filter) options_.raise_format("Unknown bitstream filter \"%s\"", name.c_str());
                ost.bitstream_filters.push_back(filter);
                ost.bitstream_filter_args.push_back(args);
            }
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    if (auto tag = options_.match_per_stream(o.codec_tags, oc, st)) {
        st->codecpar->codec_tag = ost.enc_ctx->codec_tag = parse_codec_tag(*tag);
    }
    if (auto q = options_.match_per_stream(o.qscale, oc, st); q && *q >= 0) {
        ost.enc_ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ost.enc_ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * *q);
    }
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) ost.enc_ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    if (const char* flags = o.g->sws_dict.get("sws_flags")) {
        // Evaluated by the scaler's own option table, so names and numbers both work.
        if (SwsContext* sws = sws_alloc_context()) {
            int64_t value = 0;
            if (av_opt_set(sws, "sws_flags", flags, 0) >= 0 && av_opt_get_int(sws, "sws_flags", 0, &value) >= 0) {
                ost.sws_flags = static_cast<int>(value);
            }
            sws_freeContext(sws);
        }
    }
    av_dict_copy(ost.swr_opts.address(), o.g->swr_opts.get(), 0);
    if (type == AVMEDIA_TYPE_AUDIO && av_get_bits_per_sample(st->codecpar->codec_id) == 24) {
        ost.swr_opts.set("output_sample_bits", "24");
    }
    av_dict_copy(ost.resample_opts.address(), o.g->swr_opts.get(), 0);

    if (source_index >= 0) {
        TInputStream& ist = *input_streams[static_cast<size_t>(source_index)];
        ost.source_index = source_index;
        ost.sync_ist = source_index;
        ist.discard = false;
        ist.st->discard = AVDISCARD_DEFAULT;
        // The flags travel with the stream: a track's "default", a cover's
        // attached picture (without it the muxers drop the cover).
        st->disposition = ist.st->disposition;
    }
    // A stream made from another input (an adjusted track in place of the
    // source's) takes the flags of the one it stands for.
    if (auto flags = options_.match_per_stream(o.dispositions, oc, st)) {
        int value = 0;
        if (!read_int(*flags, value)) {
            for (size_t start = 0; start <= flags->size();) {
                const size_t plus = std::min(flags->find('+', start), flags->size());
                const std::string name = flags->substr(start, plus - start);
                const int flag = av_disposition_from_string(name.c_str());
                if (flag < 0) options_.raise_format("Invalid disposition %s.", flags->c_str());
                value |= flag;
                start = plus + 1;
            }
        }
        st->disposition = value;
    }
    return ost;
}

void TCustomFFmpeg::refuse_filtered_copy(TOptionsContext& o, AVFormatContext* oc, const TOutputStream& ost) {
    const AVMediaType type = ost.st->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) return;
    const char* kind = av_get_media_type_string(type);
    if (ost.source_index < 0) {
        options_.raise_format(
            "Output stream #%d:%d (%s) comes from a filter graph and cannot be copied; "
            "choose an encoder for it.",
            ost.file_index, ost.index, kind);
    }
    if (auto filter = options_.match_per_stream(o.filters, oc, ost.st)) {
        const TInputStream& ist = *input_streams[static_cast<size_t>(ost.source_index)];
        options_.raise_format(
            "Output stream #%d:%d (%s, from input stream #%d:%d) is copied, so its filter \"%s\" "
            "cannot run: stream copy and filters exclude each other. Encode the stream or drop "
            "the filter.",
            ost.file_index, ost.index, kind, ist.file_index, ist.st->index, filter->c_str());
    }
}

uint16_t* TCustomFFmpeg::parse_matrix(const std::string& text) {
    // Owned by the codec context, which frees it.
    auto* matrix = static_cast<uint16_t*>(av_mallocz(sizeof(uint16_t) * 64));
    if (!matrix) options_.raise_error("av_mallocz() failed");
    const char* p = text.c_str();
    for (int i = 0; i < 64; ++i) {
        char* end = nullptr;
        const long value = std::strtol(p, &end, 10);
        if (end == p || (i < 63 && *end != ',')) {
            av_free(matrix);
            options_.raise_format("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i);
        }
        matrix[i] = static_cast<uint16_t>(value);
        p = end + (i < 63 ? 1 : 0);
    }
    return matrix;
}

TOutputStream& TCustomFFmpeg::new_video_stream(TOptionsContext& o, AVFormatContext* oc, int source_index) {
    TOutputStream& ost = new_output_stream(o, oc, AVMEDIA_TYPE_VIDEO, source_index);
    AVStream* st = ost.st;
    AVCodecContext* enc = ost.enc_ctx.get();
    if (auto rate = options_.match_per_stream(o.frame_rates, oc, st)) {
        if (av_parse_video_rate(&ost.frame_rate, rate->c_str()) < 0) {
            options_.raise_format("Invalid framerate value: %s", rate->c_str());
        }
    }
    if (ost.stream_copy) {
        ost.copy_initial_nonkeyframes = options_.match_per_stream(o.copy_initial_nonkeyframes, oc, st).value_or(0);
        return ost;
    }
    if (auto size = options_.match_per_stream(o.frame_sizes, oc, st)) {
        if (av_parse_video_size(&enc->width, &enc->height, size->c_str()) < 0) {
            options_.raise_format("Invalid frame size: %s.", size->c_str());
        }
    }
    if (auto aspect = options_.match_per_stream(o.frame_aspect_ratios, oc, st)) {
        AVRational q;
        if (av_parse_ratio(&q, aspect->c_str(), 255, 0, nullptr) < 0 || q.num <= 0 || q.den <= 0) {
            options_.raise_format("Invalid aspect ratio: %s", aspect->c_str());
        }
        ost.frame_aspect_ratio = av_q2d(q);
    }
    enc->bits_per_raw_sample = options_.frame_bits_per_raw_sample;
    if (auto pix = options_.match_per_stream(o.frame_pix_fmts, oc, st)) {
        std::string name = *pix;
        if (!name.empty() && name[0] == '+') {
            ost.keep_pix_fmt = true;
            name.erase(0, 1);
        }
        if (!name.empty()) {
            enc->pix_fmt = av_get_pix_fmt(name.c_str());
            if (enc->pix_fmt == AV_PIX_FMT_NONE)
                options_.raise_format("Unknown pixel format requested: %s.", name.c_str());
        }
    }
    st->sample_aspect_ratio = enc->sample_aspect_ratio;
    if (options_.intra_only) enc->gop_size = 0;
    if (auto text = options_.match_per_stream(o.rc_overrides, oc, st)) {
        std::vector<RcOverride> overrides;
        size_t start = 0;
        while (start < text->size()) {
            const size_t slash = text->find('/', start);
            const std::string entry =
                text->substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            int first = 0, last = 0, q = 0;
            if (std::sscanf(entry.c_str(), "%d,%d,%d", &first, &last, &q) != 3)
                options_.raise_error("error parsing rc_override");
            RcOverride r{};
            r.start_frame = first;
            r.end_frame = last;
            if (q > 0) {
                r.qscale = q;
                r.quality_factor = 1.0f;
            } else {
                r.qscale = 0;
                r.quality_factor = -q / 100.0f;
            }
            overrides.push_back(r);
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        enc->rc_override = static_cast<RcOverride*>(av_malloc_array(overrides.size(), sizeof(RcOverride)));
        if (!enc->rc_override) options_.raise_error("av_mallocz() failed");
        std::copy(overrides.begin(), overrides.end(), enc->rc_override);
        enc->rc_override_count = static_cast<int>(overrides.size());
    }
    if (auto text = options_.match_per_stream(o.intra_matrices, oc, st)) enc->intra_matrix = parse_matrix(*text);
    if (auto text = options_.match_per_stream(o.inter_matrices, oc, st)) enc->inter_matrix = parse_matrix(*text);
    enc->intra_dc_precision = options_.intra_dc_precision - 8;
    if (options_.do_psnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (auto pass = options_.match_per_stream(o.pass, oc, st)) {
        if (*pass & 1) {
            enc->flags |= AV_CODEC_FLAG_PASS1;
            av_dict_set(ost.encoder_opts.address(), "flags", "+pass1", AV_DICT_APPEND);
        }
        if (*pass & 2) {
            enc->flags |= AV_CODEC_FLAG_PASS2;
            av_dict_set(ost.encoder_opts.address(), "flags", "+pass2", AV_DICT_APPEND);
        }
    }
    if (auto prefix = options_.match_per_stream(o.passlogfiles, oc, st)) ost.logfile_prefix = *prefix;
    if (auto kf = options_.match_per_stream(o.forced_key_frames, oc, st)) ost.forced_keyframes = *kf;
    ost.force_fps = options_.match_per_stream(o.force_fps, oc, st).value_or(0);
    ost.top_field_first = options_.match_per_stream(o.top_field_first, oc, st).value_or(-1);
    ost.avfilter = options_.match_per_stream(o.filters, oc, st).value_or("null");
    return ost;
}

TOutputStream& TCustomFFmpeg::new_audio_stream(TOptionsContext& o, AVFormatContext* oc, int source_index) {
    TOutputStream& ost = new_output_stream(o, oc, AVMEDIA_TYPE_AUDIO, source_index);
    if (ost.stream_copy) return ost;
    AVStream* st = ost.st;
    AVCodecContext* enc = ost.enc_ctx.get();
    if (auto channels = options_.match_per_stream(o.audio_channels, oc, st)) {
        av_channel_layout_uninit(&enc->ch_layout);
        enc->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        enc->ch_layout.nb_channels = *channels;
    }
    if (auto fmt = options_.match_per_stream(o.sample_fmts, oc, st)) {
        enc->sample_fmt = av_get_sample_fmt(fmt->c_str());
        if (enc->sample_fmt == AV_SAMPLE_FMT_NONE) options_.raise_format("Invalid sample format \"%s\"", fmt->c_str());
    }
    if (auto rate = options_.match_per_stream(o.audio_sample_rate, oc, st)) enc->sample_rate = *rate;
    ost.avfilter = options_.match_per_stream(o.filters, oc, st).value_or("anull");
    const int file = static_cast<int>(output_files.size());
    for (const AudioChannelMap& map : o.audio_channel_maps) {
        const bool mine = map.ofile_index < 0 ? true : (map.ofile_index == file && map.ostream_index == ost.index);
        const bool from_source =
            map.file_index < 0 ||
            (source_index >= 0 &&
             input_files[static_cast<size_t>(map.file_index)].ist_index + map.stream_index == source_index);
        if (!mine || !from_source) continue;
        if (ost.audio_channels_map.size() >= 32) {
            log_format(this, llFatal, "Max channel mapping for output %d.%d reached", file, ost.index);
            continue;
        }
        ost.audio_channels_map.push_back(map.channel_index);
    }
    return ost;
}

void TCustomFFmpeg::new_stream_of_type(TOptionsContext& o, AVFormatContext* oc, AVMediaType type, int source_index) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO: new_video_stream(o, oc, source_index); break;
    case AVMEDIA_TYPE_AUDIO: new_audio_stream(o, oc, source_index); break;
    case AVMEDIA_TYPE_SUBTITLE: {
        TOutputStream& ost = new_output_stream(o, oc, type, source_index);
        if (auto size = options_.match_per_stream(o.frame_sizes, oc, ost.st)) {
            if (av_parse_video_size(&ost.enc_ctx->width, &ost.enc_ctx->height, size->c_str()) < 0) {
                options_.raise_format("Invalid frame size: %s.", size->c_str());
            }
        }
        break;
    }
    case AVMEDIA_TYPE_DATA: {
        TOutputStream& ost = new_output_stream(o, oc, type, source_index);
        if (!ost.stream_copy) options_.raise_error("Data stream encoding not supported yet (only streamcopy)");
        break;
    }
    case AVMEDIA_TYPE_ATTACHMENT:
        // A font or picture file: its bytes are the parameters, copied as they are.
        new_output_stream(o, oc, type, source_index).stream_copy = true;
        break;
    default: break;
    }
}

void TCustomFFmpeg::select_streams_automatically(TOptionsContext& o, AVFormatContext* oc) {
    const int candidates = joined || input_files.empty() ? (input_files.empty() ? 0 : input_files[0].nb_streams)
                                                         : static_cast<int>(input_streams.size());
    const int count = std::min(candidates, static_cast<int>(input_streams.size()));
    auto type_of = [&](int i) { return input_streams[static_cast<size_t>(i)]->st->codecpar->codec_type; };

    if (!o.video_disable && oc->oformat->video_codec != AV_CODEC_ID_NONE) {
        int best = -1;
        int64_t area = 0;
        for (int i = 0; i < count; ++i) {
            if (type_of(i) != AVMEDIA_TYPE_VIDEO) continue;
            const AVStream* st = input_streams[static_cast<size_t>(i)]->st;
            // 5.1 muxers do not say whether they take cover images: a cover counts as area 1.
            const int64_t a = (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
                                  ? 1
                                  : static_cast<int64_t>(st->codecpar->width) * st->codecpar->height;
            if (best < 0 || a > area) {
                area = a;
                best = i;
            }
        }
        if (best >= 0) new_video_stream(o, oc, best);
    }
    if (!o.audio_disable && oc->oformat->audio_codec != AV_CODEC_ID_NONE) {
        int best = -1;
        int channels = -1;
        for (int i = 0; i < count; ++i) {
            if (type_of(i) != AVMEDIA_TYPE_AUDIO) continue;
            const int c = input_streams[static_cast<size_t>(i)]->st->codecpar->ch_layout.nb_channels;
            if (c > channels) {
                channels = c;
                best = i;
            }
        }
        if (best >= 0) new_audio_stream(o, oc, best);
    }
    if (!o.subtitle_disable &&
        (oc->oformat->subtitle_codec != AV_CODEC_ID_NONE || options_.exact_specifier(o.codec_names, "s"))) {
        for (int i = 0; i < count; ++i) {
            if (type_of(i) == AVMEDIA_TYPE_SUBTITLE) {
                new_stream_of_type(o, oc, AVMEDIA_TYPE_SUBTITLE, i);
                break;
            }
        }
    }
}

int TCustomFFmpeg::select_streams_by_map(TOptionsContext& o, AVFormatContext* oc) {
    for (const TStreamMap& map : o.stream_maps) {
        if (map.disabled) continue;
        if (!map.linklabel.empty()) {
            if (bind_labeled_output(o, oc, map.linklabel)) continue;
            set_last_error(
                Format("Output with label \"%s\" does not exist in any defined filter graph, "
                       "or was already used elsewhere.",
                       map.linklabel.c_str()));
            return -1;
        }
        if (joined && map.file_index != 0) continue;
        const int index = input_files[static_cast<size_t>(map.file_index)].ist_index + map.stream_index;
        const AVMediaType type = input_streams[static_cast<size_t>(index)]->st->codecpar->codec_type;
        if ((type == AVMEDIA_TYPE_VIDEO && o.video_disable) || (type == AVMEDIA_TYPE_AUDIO && o.audio_disable) ||
            (type == AVMEDIA_TYPE_SUBTITLE && o.subtitle_disable) || (type == AVMEDIA_TYPE_DATA && o.data_disable)) {
            continue;
        }
        if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE &&
            type != AVMEDIA_TYPE_DATA && type != AVMEDIA_TYPE_ATTACHMENT) {
            set_last_error(Format("Cannot map stream #%d:%d - unsupported type.", map.file_index, map.stream_index));
            return -1;
        }
        const TInputStream& ist = *input_streams[static_cast<size_t>(index)];
        if (const std::string why = unheld_reason(o, oc, ist); !why.empty()) {
            log_format(this, llWarning, "Stream #%d:%d (%s %s) is left out: %s", map.file_index, map.stream_index,
                       av_get_media_type_string(type), avcodec_get_name(ist.st->codecpar->codec_id), why.c_str());
            continue;
        }
        new_stream_of_type(o, oc, type, index);
        if (map.sync_file_index >= 0) {
            output_streams.back()->sync_ist =
                input_files[static_cast<size_t>(map.sync_file_index)].ist_index + map.sync_stream_index;
        }
    }
    return 0;
}

namespace {

// Muxers that take one stream of a kind (covers aside): raw streams, and the
// few that say so only when the header is written.
bool takes_one_of_a_kind(const AVOutputFormat* fmt) {
    if (fmt->flags & AVFMT_NOTIMESTAMPS) return true;
    for (const char* name : {"wav", "w64", "aiff", "flv", "swf", "rm", "amr"}) {
        if (!std::strcmp(fmt->name, name)) return true;
    }
    return false;
}

}  // namespace

std::string TCustomFFmpeg::unheld_reason(TOptionsContext& o, AVFormatContext* oc, const TInputStream& ist) {
    const AVOutputFormat* fmt = oc->oformat;
    const AVCodecID source_id = ist.st->codecpar->codec_id;
    const AVMediaType type = ist.st->codecpar->codec_type;
    const bool cover = ist.st->disposition & AV_DISPOSITION_ATTACHED_PIC;
    const bool matroska = !std::strcmp(fmt->name, "matroska");  // writes covers as attachments too
    const std::string format = Format("the %s format", fmt->name);
    const char* kind = av_get_media_type_string(type);
    if (type == AVMEDIA_TYPE_ATTACHMENT) return matroska ? "" : format + " takes no attachments";

    // The codec the stream would get: named (or copied) by the options
    // matched against the stream as it would stand in the output, else the
    // muxer's default. A scratch context holds that output so far.
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, fmt, nullptr, oc->url) < 0) return "";
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> scratch(raw, avformat_free_context);
    int same_kind = 0;
    AVStream* st = nullptr;
    for (unsigned i = 0; i <= oc->nb_streams; ++i) {
        st = avformat_new_stream(raw, nullptr);
        if (!st) return "";
        const AVStream* have = i < oc->nb_streams ? oc->streams[i] : ist.st;
        st->id = have->id;
        st->codecpar->codec_type = have->codecpar->codec_type;
        const bool have_cover = have->disposition & AV_DISPOSITION_ATTACHED_PIC;
        if (i < oc->nb_streams && have->codecpar->codec_type == type && !have_cover) ++same_kind;
    }
    AVCodecID id = av_guess_codec(fmt, nullptr, oc->url, nullptr, type);
    if (auto name = options_.match_per_stream(o.codec_names, raw, st)) {
        id = *name == "copy" ? source_id : options_.find_codec_or_die(*name, type, true)->id;
    }
    if (id == AV_CODEC_ID_NONE) return format + Format(" takes no %s stream", kind);
    const AVCodecDescriptor* from = avcodec_descriptor_get(source_id);
    const AVCodecDescriptor* to = avcodec_descriptor_get(id);
    if (cover && id != source_id && to && !(to->props & AV_CODEC_PROP_INTRA_ONLY)) {
        return Format("a cover stays a picture, and %s is a moving-picture codec", to->name);
    }
    if (cover && matroska) return "";
    // MP4 and M4A keep a PNG, JPEG or BMP cover as their cover atom, which
    // their codec tables do not list.
    if (cover && id == source_id && (id == AV_CODEC_ID_PNG || id == AV_CODEC_ID_MJPEG || id == AV_CODEC_ID_BMP)) {
        for (const char* mp4 : {"mp4", "ipod"}) {
            if (!std::strcmp(fmt->name, mp4)) return "";
        }
    }
    // The Ogg writer refuses any picture stream, and only when it writes its header.
    for (const char* ogg : {"ogg", "oga", "ogv", "opus", "spx"}) {
        if (cover && !std::strcmp(fmt->name, ogg)) return format + " takes no cover pictures";
    }
    if (!cover && same_kind > 0 && takes_one_of_a_kind(fmt)) return format + Format(" takes one %s stream", kind);
    // Subtitle encoders turn text into text and pictures into pictures only.
    if (type == AVMEDIA_TYPE_SUBTITLE && from && to &&
        (from->props & AV_CODEC_PROP_BITMAP_SUB) != (to->props & AV_CODEC_PROP_BITMAP_SUB)) {
        return Format("%s subtitles cannot become %s", from->name, to->name);
    }
    const int held = avformat_query_codec(fmt, id, FF_COMPLIANCE_NORMAL);
    if (held == 0) return format + " cannot hold " + avcodec_get_name(id);
    // Formats that cannot tell decide audio and video themselves at the
    // header; other kinds go only where they are the format's own.
    if (held < 0 && type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO && id != fmt->subtitle_codec) {
        return format + " is not known to hold " + avcodec_get_name(id);
    }
    return "";
}

int TCustomFFmpeg::fail_output(const std::string& message, size_t first_ost) {
    set_last_error(message);
    log_message(this, llError, message);
    drop_output_streams(first_ost);
    return -1;
}

int TCustomFFmpeg::OpenOutputFile(TOptionsContext& o, const std::string& options, bool join,
                                  const std::string& file_name, const std::string& presets) {
    int ret = options_.ParseOptions(o, options, "output file", presets);
    if (ret < 0) return ret;
    if (joined || (join && input_files.size() > 1 && !output_files.empty())) {
        set_last_error("Cannot join more than one output file.");
        return -1;
    }
    if (init_complex_filtergraphs() < 0) return -1;
    const bool joining = join && input_files.size() > 1;
    if (joining) {
        // Later inputs must have the first input's stream layout.
        const TInputFile& first = input_files[0];
        for (size_t f = 1; f < input_files.size(); ++f) {
            const TInputFile& other = input_files[f];
            bool same = other.nb_streams == first.nb_streams;
            for (int s = 0; same && s < first.nb_streams; ++s) {
                same = input_streams[static_cast<size_t>(first.ist_index + s)]->st->codecpar->codec_type ==
                       input_streams[static_cast<size_t>(other.ist_index + s)]->st->codecpar->codec_type;
            }
            if (!same) {
                set_last_error("Cannot join files with diffrent steams state");
                return -1;
            }
        }
    }

    AVFormatContext* raw = nullptr;
    ret =
        avformat_alloc_output_context2(&raw, nullptr, o.format.empty() ? nullptr : o.format.c_str(), file_name.c_str());
    if (!raw && ret != AVERROR(ENOMEM) && !o.format.empty() && TFFLoader::Instance().LoadDevices()) {
        ret = avformat_alloc_output_context2(&raw, nullptr, o.format.c_str(), file_name.c_str());  // a device
    }
    if (!raw) {
        if (ret == AVERROR(ENOMEM))
            set_last_error(error_code_text(file_name, ret));
        else if (!o.format.empty())
            set_last_error(Format("Unknown output format: \"%s\"", o.format.c_str()));
        else
            set_last_error(no_muxer_text(file_name));
        return -1;
    }
    TOutputFile of;
    of.ctx.reset(raw);
    of.target_name = file_name;
    AVFormatContext* oc = raw;
    oc->interrupt_callback = {&write_interrupt, this};
    of.ost_index = static_cast<int>(output_streams.size());
    const size_t first_ost = output_streams.size();
    const bool was_joined = joined;
    joined = joining;  // stream selection takes only the first input's streams

    try {
        bind_unlabeled_outputs(o, oc);
        if (o.stream_maps.empty()) {
            select_streams_automatically(o, oc);
        } else if (select_streams_by_map(o, oc) < 0) {
            joined = was_joined;
            drop_output_streams(first_ost);
            return -1;
        }
    } catch (...) {
        joined = was_joined;
        drop_output_streams(first_ost);
        throw;
    }
    joined = was_joined;

    try {
        add_attachments(o, oc);
    } catch (...) {
        drop_output_streams(first_ost);
        throw;
    }

    // "flags" of the codec options for copied streams.
    for (size_t i = first_ost; i < output_streams.size(); ++i) {
        TOutputStream& ost = *output_streams[i];
        if (!ost.stream_copy) continue;
        const AVDictionaryEntry* e = nullptr;
        while ((e = av_dict_get(o.g->codec_opts.get(), "flags", e, AV_DICT_IGNORE_SUFFIX))) {
            const std::string key = e->key;
            if (key != "flags" &&
                (key.size() < 6 || key[5] != ':' || options_.check_stream_specifier(oc, ost.st, key.substr(6)) <= 0)) {
                continue;
            }
            if (av_opt_set(ost.enc_ctx.get(), "flags", e->value, 0) < 0) {
                return fail_output("failed to set flags", first_ost);
            }
        }
    }

    if (o.stop_time != INT64_MAX && o.recording_time != INT64_MAX) {
        o.stop_time = INT64_MAX;
        log_message(this, llWarning, "-t and -to cannot be used together; using -t.");
    }
    if (o.stop_time != INT64_MAX && o.recording_time == INT64_MAX) {
        if (o.stop_time <= o.start_time) {
            log_message(this, llWarning, "-to value smaller than -ss; ignoring -to.");
        } else {
            o.recording_time = o.stop_time - o.start_time;
        }
    }

    av_dict_copy(of.opts.address(), o.g->format_opts.get(), 0);
    of.recording_time = o.recording_time;
    of.start_time = o.start_time;
    of.limit_filesize = o.limit_filesize;
    of.shortest = o.shortest;
    if (of.recording_time != INT64_MAX) {
        oc->duration = of.recording_time;
        output_recording_time = std::max(output_recording_time, of.recording_time);
    }

    if ((oc->oformat->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(oc->url)) {
        return fail_output(error_code_text(file_name, AVERROR(EINVAL)), first_ost);
    }
    if (!(oc->oformat->flags & AVFMT_NOFILE)) {
        if (const std::string refused = open_target(of); !refused.empty()) return fail_output(refused, first_ost);
    }
    if (o.mux_preload != 0.0f) {
        of.opts.set("preload", std::to_string(static_cast<int64_t>(o.mux_preload * AV_TIME_BASE)));
    }
    oc->max_delay = static_cast<int>(o.mux_max_delay * AV_TIME_BASE);

    try {
        copy_metadata(o, of);
    } catch (...) {
        drop_output_streams(first_ost);
        of.ctx.reset();
        if (!of.temp_name.empty()) std::filesystem::remove(of.temp_name);
        throw;
    }
    output_files.push_back(std::move(of));
    if (joining) joined = true;
    return static_cast<int>(output_files.size()) - 1;
}

}  // namespace sonorix
