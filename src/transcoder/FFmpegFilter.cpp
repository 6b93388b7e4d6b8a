// Filter graphs of re-encoded streams: buffer source, the stream's filter
// text, the encoder's format constraints and the buffer sink.
#include <cinttypes>

#include "transcoder/FFmpeg.h"

namespace sonorix {

namespace {

struct InOutDeleter {
    void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutDeleter>;

int count_inouts(const AVFilterInOut* p) {
    int n = 0;
    for (; p; p = p->next) ++n;
    return n;
}

std::string layout_text(const AVChannelLayout& layout) {
    char buf[256] = {};
    av_channel_layout_describe(&layout, buf, sizeof buf);
    return buf;
}

// Lists for aformat / format are joined by '|', the separator the 5.1
// filters read (',' would end the filter in a graph text).
std::string sample_fmt_list(const AVCodecContext* ctx, const AVCodec* codec) {
    if (ctx->sample_fmt != AV_SAMPLE_FMT_NONE) return av_get_sample_fmt_name(ctx->sample_fmt);
    std::string list;
    for (const AVSampleFormat* p = codec ? codec->sample_fmts : nullptr; p && *p != AV_SAMPLE_FMT_NONE; ++p) {
        if (!list.empty()) list += '|';
        list += av_get_sample_fmt_name(*p);
    }
    return list;
}

std::string sample_rate_list(const AVCodecContext* ctx, const AVCodec* codec) {
    if (ctx->sample_rate) return std::to_string(ctx->sample_rate);
    std::string list;
    for (const int* p = codec ? codec->supported_samplerates : nullptr; p && *p; ++p) {
        if (!list.empty()) list += '|';
        list += std::to_string(*p);
    }
    return list;
}

std::string channel_layout_list(const AVCodecContext* ctx, const AVCodec* codec) {
    if (ctx->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && ctx->ch_layout.nb_channels) {
        return layout_text(ctx->ch_layout);
    }
    std::string list;
    for (const AVChannelLayout* p = codec ? codec->ch_layouts : nullptr; p && p->nb_channels; ++p) {
        if (!list.empty()) list += '|';
        list += layout_text(*p);
    }
    return list;
}

std::string pix_fmt_list(const AVCodecContext* ctx, const AVCodec* codec) {
    if (ctx->pix_fmt != AV_PIX_FMT_NONE) return av_get_pix_fmt_name(ctx->pix_fmt);
    std::string list;
    for (const AVPixelFormat* p = codec ? codec->pix_fmts : nullptr; p && *p != AV_PIX_FMT_NONE; ++p) {
        if (!list.empty()) list += '|';
        list += av_get_pix_fmt_name(*p);
    }
    return list;
}

// Creates a filter and links last -> it; last becomes the new filter.
int insert_filter(AVFilterGraph* graph, AVFilterContext*& last, int& pad, const char* filter_name,
                  const std::string& name, const std::string& args) {
    AVFilterContext* ctx = nullptr;
    int ret = avfilter_graph_create_filter(&ctx, avfilter_get_by_name(filter_name), name.c_str(), args.c_str(), nullptr,
                                           graph);
    if (ret < 0) return ret;
    ret = avfilter_link(last, static_cast<unsigned>(pad), ctx, 0);
    if (ret < 0) return ret;
    last = ctx;
    pad = 0;
    return 0;
}

}  // namespace

TFilterGraph& TCustomFFmpeg::init_simple_filtergraph(int ist, int ost) {
    auto fg = std::make_unique<TFilterGraph>();
    fg->index = static_cast<int>(filtergraphs.size());
    auto in = std::make_unique<TInputFilter>();
    in->ist = ist;
    in->graph = fg.get();
    auto out = std::make_unique<TOutputFilter>();
    out->ost = ost;
    out->graph = fg.get();
    input_streams[static_cast<size_t>(ist)]->filters.push_back(in.get());
    output_streams[static_cast<size_t>(ost)]->filter = out.get();
    fg->inputs.push_back(std::move(in));
    fg->outputs.push_back(std::move(out));
    filtergraphs.push_back(std::move(fg));
    return *filtergraphs.back();
}

int TCustomFFmpeg::configure_input_audio(TFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in) {
    TInputStream& ist = *input_streams[static_cast<size_t>(ifilter.ist)];
    // The format last seen from the decoder: the loop rebuilds the graph when it changes.
    const AVCodecContext* dec = ist.dec_ctx.get();
    if (ist.resample_sample_rate <= 0) {
        ist.resample_sample_rate = dec->sample_rate;
        ist.resample_sample_fmt = dec->sample_fmt;
        ist.resample_channels = dec->ch_layout.nb_channels;
        av_channel_layout_uninit(&ist.resample_ch_layout);
        av_channel_layout_copy(&ist.resample_ch_layout, &dec->ch_layout);
    }
    const AVChannelLayout& layout = ist.resample_ch_layout;
    std::string args =
        Format("time_base=%d/%d:sample_rate=%d:sample_fmt=%s", 1, ist.resample_sample_rate, ist.resample_sample_rate,
               av_get_sample_fmt_name(static_cast<AVSampleFormat>(ist.resample_sample_fmt)));
    if (layout.order == AV_CHANNEL_ORDER_NATIVE) {
        args += Format(":channel_layout=0x%" PRIx64, layout.u.mask);
    } else {
        args += Format(":channels=%d", ist.resample_channels);
    }
    const std::string name = Format("graph %d input from stream %d:%d", fg.index, ist.file_index, ist.st->index);
    AVFilterGraph* graph = fg.graph.get();
    int ret = avfilter_graph_create_filter(&ifilter.filter, avfilter_get_by_name("abuffer"), name.c_str(), args.c_str(),
                                           nullptr, graph);
    if (ret < 0) return ret;
    AVFilterContext* last = ifilter.filter;
    int pad = 0;
    if (options_.audio_sync_method > 0) {
        std::string a = Format("async=%d", options_.audio_sync_method);
        if (std::fabs(options_.audio_drift_threshold - 0.1f) > 1e-6f)
            a += Format(":min_hard_comp=%f", options_.audio_drift_threshold);
        if (!fg.configured) a += ":first_pts=0";
        log_format(this, llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.", "-async", "aresample", a.c_str());
        ret = insert_filter(
            graph, last, pad, "aresample",
            Format("graph %d audio sync for input stream %d:%d", fg.index, ist.file_index, ist.st->index), a);
        if (ret < 0) return ret;
    }
    if (options_.audio_volume != 256) {
        const std::string v = Format("%f", options_.audio_volume / 256.0);
        log_message(this, llWarning, "-vol has been deprecated. Use the volume audio filter instead.");
        log_format(this, llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.", "-vol", "volume", v.c_str());
        ret =
            insert_filter(graph, last, pad, "volume",
                          Format("graph %d volume for input stream %d:%d", fg.index, ist.file_index, ist.st->index), v);
        if (ret < 0) return ret;
    }
    return avfilter_link(last, static_cast<unsigned>(pad), in->filter_ctx, static_cast<unsigned>(in->pad_idx));
}

int TCustomFFmpeg::configure_input_video(TFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut* in) {
    TInputStream& ist = *input_streams[static_cast<size_t>(ifilter.ist)];
    const AVCodecContext* dec = ist.dec_ctx.get();
    AVRational sar = ist.st->sample_aspect_ratio.num ? ist.st->sample_aspect_ratio : dec->sample_aspect_ratio;
    if (!sar.den) sar = {0, 1};
    const AVRational tb = ist.framerate.num ? av_inv_q(ist.framerate) : ist.st->time_base;
    const AVRational fr = ist.framerate.num ? ist.framerate : av_guess_frame_rate(nullptr, ist.st, nullptr);
    // 5.1's buffer source has no sws_param any more; the scaler flags reach
    // the graph through its scale_sws_opts instead.
    if (ist.resample_width <= 0 || ist.resample_pix_fmt == AV_PIX_FMT_NONE) {
        ist.resample_width = dec->width;
        ist.resample_height = dec->height;
        ist.resample_pix_fmt = dec->pix_fmt;
    }
    std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", ist.resample_width,
                              ist.resample_height, ist.resample_pix_fmt, tb.num, tb.den, sar.num, sar.den);
    if (fr.num && fr.den) args += Format(":frame_rate=%d/%d", fr.num, fr.den);
    const std::string name = Format("graph %d input from stream %d:%d", fg.index, ist.file_index, ist.st->index);
    AVFilterGraph* graph = fg.graph.get();
    int ret = avfilter_graph_create_filter(&ifilter.filter, avfilter_get_by_name("buffer"), name.c_str(), args.c_str(),
                                           nullptr, graph);
    if (ret < 0) return ret;
    AVFilterContext* last = ifilter.filter;
    int pad = 0;
    if (options_.do_deinterlace) {
        // 5.1 has no picture deinterlacer outside the graph: the filter does it.
        ret = insert_filter(graph, last, pad, "yadif",
                            Format("deinterlace input from stream %d:%d", ist.file_index, ist.st->index), "");
        if (ret < 0) {
            log_message(this, llError, "Deinterlacing failed.");
            return ret;
        }
    }
    if (ist.framerate.num) {
        ret = insert_filter(graph, last, pad, "setpts",
                            Format("force CFR for input from stream %d:%d", ist.file_index, ist.st->index), "N");
        if (ret < 0) return ret;
    }
    return avfilter_link(last, static_cast<unsigned>(pad), in->filter_ctx, static_cast<unsigned>(in->pad_idx));
}

int TCustomFFmpeg::configure_output_audio(TFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out) {
    TOutputStream& ost = *output_streams[static_cast<size_t>(ofilter.ost)];
    AVCodecContext* enc = ost.enc_ctx.get();
    AVFilterGraph* graph = fg.graph.get();
    const std::string name = Format("output stream %d:%d", ost.file_index, ost.index);
    ofilter.filter = avfilter_graph_alloc_filter(graph, avfilter_get_by_name("abuffersink"), name.c_str());
    if (!ofilter.filter) return AVERROR(ENOMEM);
    av_opt_set_int(ofilter.filter, "all_channel_counts", 1, AV_OPT_SEARCH_CHILDREN);
    int ret = avfilter_init_str(ofilter.filter, nullptr);
    if (ret < 0) return ret;

    AVFilterContext* last = out->filter_ctx;
    int pad = out->pad_idx;
    if (!ost.audio_channels_map.empty()) {
        AVChannelLayout layout{};
        av_channel_layout_default(&layout, static_cast<int>(ost.audio_channels_map.size()));
        std::string pan = Format("0x%" PRIx64, layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0);
        for (size_t i = 0; i < ost.audio_channels_map.size(); ++i) {
            if (ost.audio_channels_map[i] >= 0)
                pan += Format(":c%d=c%d", static_cast<int>(i), ost.audio_channels_map[i]);
        }
        av_channel_layout_uninit(&layout);
        log_format(this, llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.", "-map_channel", "pan",
                   pan.c_str());
        ret = insert_filter(graph, last, pad, "pan", Format("pan for output stream %d:%d", ost.file_index, ost.index),
                            pan);
        if (ret < 0) return ret;
    }
    if (enc->ch_layout.nb_channels && enc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        const int channels = enc->ch_layout.nb_channels;
        av_channel_layout_uninit(&enc->ch_layout);
        av_channel_layout_default(&enc->ch_layout, channels);
    }
    // The sample formats of an encoder that gets no frames constrain nothing,
    // unless an output hook is shown the frames or the options chose a format.
    const bool format_read = !ost.discard_packets || OnAudioOutputHook || enc->sample_fmt != AV_SAMPLE_FMT_NONE;
    const std::string fmts = format_read ? sample_fmt_list(enc, ost.enc) : std::string();
    const std::string rates = sample_rate_list(enc, ost.enc);
    const std::string layouts = channel_layout_list(enc, ost.enc);
    if (!fmts.empty() || !rates.empty() || !layouts.empty()) {
        std::string args;
        if (!fmts.empty()) args += Format("sample_fmts=%s:", fmts.c_str());
        if (!rates.empty()) args += Format("sample_rates=%s:", rates.c_str());
        if (!layouts.empty()) args += Format("channel_layouts=%s:", layouts.c_str());
        args.pop_back();
        ret = insert_filter(graph, last, pad, "aformat",
                            Format("audio format for output stream %d:%d", ost.file_index, ost.index), args);
        if (ret < 0) return ret;
    }
    return avfilter_link(last, static_cast<unsigned>(pad), ofilter.filter, 0);
}

int TCustomFFmpeg::configure_output_video(TFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut* out) {
    TOutputStream& ost = *output_streams[static_cast<size_t>(ofilter.ost)];
    AVCodecContext* enc = ost.enc_ctx.get();
    AVFilterGraph* graph = fg.graph.get();
    const std::string name = Format("output stream %d:%d", ost.file_index, ost.index);
    int ret = avfilter_graph_create_filter(&ofilter.filter, avfilter_get_by_name("buffersink"), name.c_str(), nullptr,
                                           nullptr, graph);
    if (ret < 0) return ret;
    AVFilterContext* last = out->filter_ctx;
    int pad = out->pad_idx;
    if (enc->width || enc->height) {
        ret = insert_filter(graph, last, pad, "scale",
                            Format("scaler for output stream %d:%d", ost.file_index, ost.index),
                            Format("%d:%d:flags=0x%X", enc->width, enc->height, static_cast<unsigned>(ost.sws_flags)));
        if (ret < 0) return ret;
    }
    const std::string formats = ost.keep_pix_fmt ? std::string() : pix_fmt_list(enc, ost.enc);
    if (!formats.empty()) {
        ret = insert_filter(graph, last, pad, "format",
                            Format("pixel format for output stream %d:%d", ost.file_index, ost.index), formats);
        if (ret < 0) return ret;
    }
    return avfilter_link(last, static_cast<unsigned>(pad), ofilter.filter, 0);
}

int TCustomFFmpeg::configure_filtergraph(TFilterGraph& fg) {
    fg.graph.reset(avfilter_graph_alloc());
    if (!fg.graph) return AVERROR(ENOMEM);
    AVFilterGraph* graph = fg.graph.get();
    const bool simple = fg.graph_desc.empty();
    std::string desc = fg.graph_desc;
    if (simple) {
        TOutputStream& ost = *output_streams[static_cast<size_t>(fg.outputs[0]->ost)];
        desc = ost.avfilter;
        graph->scale_sws_opts = av_strdup(Format("flags=0x%X", static_cast<unsigned>(ost.sws_flags)).c_str());
        std::string swr;
        const AVDictionaryEntry* e = nullptr;
        while ((e = av_dict_get(ost.swr_opts.get(), "", e, AV_DICT_IGNORE_SUFFIX))) {
            if (!swr.empty()) swr += ':';
            swr += std::string(e->key) + "=" + e->value;
        }
        if (!swr.empty()) av_opt_set(graph, "aresample_swr_opts", swr.c_str(), 0);
    }

    AVFilterInOut* raw_in = nullptr;
    AVFilterInOut* raw_out = nullptr;
    int ret = avfilter_graph_parse2(graph, desc.c_str(), &raw_in, &raw_out);
    InOutPtr inputs(raw_in), outputs(raw_out);
    if (ret < 0) return ret;
    if (simple && (count_inouts(raw_in) != 1 || count_inouts(raw_out) != 1)) {
        log_format(this, llError, "Simple filtergraph \"%s\" does not have exactly one input and output.",
                   desc.c_str());
        return AVERROR(EINVAL);
    }
    if (simple) {
        TInputFilter& ifilter = *fg.inputs[0];
        const AVMediaType in_type = avfilter_pad_get_type(raw_in->filter_ctx->input_pads, raw_in->pad_idx);
        ret = in_type == AVMEDIA_TYPE_AUDIO ? configure_input_audio(fg, ifilter, raw_in)
                                            : configure_input_video(fg, ifilter, raw_in);
        if (ret < 0) return ret;
        TOutputFilter& ofilter = *fg.outputs[0];
        ofilter.type = avfilter_pad_get_type(raw_out->filter_ctx->output_pads, raw_out->pad_idx);
        ret = ofilter.type == AVMEDIA_TYPE_AUDIO ? configure_output_audio(fg, ofilter, raw_out)
                                                 : configure_output_video(fg, ofilter, raw_out);
    } else {
        ret = configure_complex_filtergraph(fg, raw_in, raw_out);
    }
    if (ret < 0) return ret;
    ret = avfilter_graph_config(graph, nullptr);
    if (ret < 0) return ret;
    fg.configured = true;
    return 0;
}

}  // namespace sonorix
