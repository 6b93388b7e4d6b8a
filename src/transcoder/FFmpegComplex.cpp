// Complex filter graphs (-filter_complex): their inputs bound to input
// streams when the output is opened, their outputs bound to new output
// streams (unlabeled ones at once, labeled ones by -map [label]).
#include <algorithm>
#include <cstdlib>

#include "transcoder/FFmpeg.h"

namespace sonorix {

namespace {

struct InOutFree {
    void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};

}  // namespace

void TCustomFFmpeg::init_complex_filtergraph(TFilterGraph& fg) {
    FilterGraphPtr graph(avfilter_graph_alloc());
    if (!graph) options_.raise_error("av_mallocz() failed");
    AVFilterInOut* raw_in = nullptr;
    AVFilterInOut* raw_out = nullptr;
    const int ret = avfilter_graph_parse2(graph.get(), fg.graph_desc.c_str(), &raw_in, &raw_out);
    std::unique_ptr<AVFilterInOut, InOutFree> inputs(raw_in), outputs(raw_out);
    if (ret < 0) options_.raise_error("Error configuring filters.");

    const int nb_input_files = static_cast<int>(input_files.size());
    int pad_number = 0;
    for (AVFilterInOut* cur = raw_in; cur; cur = cur->next, ++pad_number) {
        const AVMediaType type = avfilter_pad_get_type(cur->filter_ctx->input_pads, cur->pad_idx);
        if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) {
            options_.raise_error("Only video and audio filters supported currently.");
        }
        int found = -1;
        if (cur->name) {
            char* rest = nullptr;
            const long file = std::strtol(cur->name, &rest, 0);
            if (file < 0 || file >= nb_input_files) {
                options_.raise_format("Invalid file index %d in filtergraph description %s.", static_cast<int>(file),
                                      fg.graph_desc.c_str());
            }
            const std::string specifier = *rest == ':' ? rest + 1 : rest;
            const TInputFile& f = input_files[static_cast<size_t>(file)];
            for (int i = 0; i < f.nb_streams; ++i) {
                AVStream* st = f.ctx->streams[i];
                if (st->codecpar->codec_type == type &&
                    options_.check_stream_specifier(f.ctx.get(), st, specifier) == 1) {
                    found = f.ist_index + i;
                    break;
                }
            }
            if (found < 0) {
                options_.raise_format("Stream specifier \"%s\" in filtergraph description %s matches no streams.",
                                      specifier.c_str(), fg.graph_desc.c_str());
            }
        } else {
            for (size_t i = 0; i < input_streams.size(); ++i) {
                const TInputStream& ist = *input_streams[i];
                if (ist.st->codecpar->codec_type == type && ist.discard) {
                    found = static_cast<int>(i);
                    break;
                }
            }
            if (found < 0) {
                options_.raise_format("Cannot find a matching stream for unlabeled input pad %d on filter %s",
                                      pad_number, cur->filter_ctx->name);
            }
        }
        TInputStream& ist = *input_streams[static_cast<size_t>(found)];
        ist.discard = false;
        ist.decoding_needed++;
        ist.st->discard = AVDISCARD_DEFAULT;
        auto ifilter = std::make_unique<TInputFilter>();
        ifilter->ist = found;
        ifilter->graph = &fg;
        ifilter->name = cur->name ? cur->name : "";
        ist.filters.push_back(ifilter.get());
        fg.inputs.push_back(std::move(ifilter));
    }
    for (AVFilterInOut* cur = raw_out; cur; cur = cur->next) {
        const AVMediaType type = avfilter_pad_get_type(cur->filter_ctx->output_pads, cur->pad_idx);
        if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) {
            options_.raise_error("Only video and audio filters supported currently.");
        }
        auto ofilter = std::make_unique<TOutputFilter>();
        ofilter->graph = &fg;
        ofilter->name = cur->name ? cur->name : "";
        ofilter->type = type;
        fg.outputs.push_back(std::move(ofilter));
    }
}

int TCustomFFmpeg::init_complex_filtergraphs() {
    // Graph records of descriptions added since the last output.
    for (size_t i = complex_graphs_; i < options_.complex_filter_descriptions.size(); ++i) {
        auto fg = std::make_unique<TFilterGraph>();
        fg->index = static_cast<int>(filtergraphs.size());
        fg->graph_desc = options_.complex_filter_descriptions[i];
        filtergraphs.push_back(std::move(fg));
        try {
            init_complex_filtergraph(*filtergraphs.back());
        } catch (const FFmpegException&) {
            // Unhook the inputs bound so far before their records go.
            for (auto& in : filtergraphs.back()->inputs) {
                auto& list = input_streams[static_cast<size_t>(in->ist)]->filters;
                list.erase(std::remove(list.begin(), list.end(), in.get()), list.end());
                input_streams[static_cast<size_t>(in->ist)]->decoding_needed--;
            }
            filtergraphs.pop_back();
            complex_graphs_ = i;
            set_last_error("Error configuring filters.");
            return -1;
        }
        complex_graphs_ = i + 1;
    }
    return 0;
}

void TCustomFFmpeg::bind_output_filter(TOptionsContext& o, AVFormatContext* oc, TOutputFilter& ofilter) {
    TOutputStream& ost = ofilter.type == AVMEDIA_TYPE_VIDEO ? new_video_stream(o, oc, -1) : new_audio_stream(o, oc, -1);
    ost.filter = &ofilter;
    ofilter.ost = static_cast<int>(output_streams.size()) - 1;
}

void TCustomFFmpeg::drop_output_streams(size_t first_ost) {
    for (auto& fg : filtergraphs) {
        for (auto& ofilter : fg->outputs) {
            if (ofilter->ost >= static_cast<int>(first_ost)) ofilter->ost = -1;
        }
    }
    output_streams.resize(first_ost);
}

void TCustomFFmpeg::bind_unlabeled_outputs(TOptionsContext& o, AVFormatContext* oc) {
    for (auto& fg : filtergraphs) {
        if (fg->graph_desc.empty()) continue;
        for (auto& ofilter : fg->outputs) {
            if (ofilter->ost >= 0 || !ofilter->name.empty()) continue;
            // A type fed by a graph is not also selected automatically.
            if (ofilter->type == AVMEDIA_TYPE_VIDEO) o.video_disable = 1;
            if (ofilter->type == AVMEDIA_TYPE_AUDIO) o.audio_disable = 1;
            bind_output_filter(o, oc, *ofilter);
        }
    }
}

bool TCustomFFmpeg::bind_labeled_output(TOptionsContext& o, AVFormatContext* oc, const std::string& label) {
    for (auto& fg : filtergraphs) {
        if (fg->graph_desc.empty()) continue;
        for (auto& ofilter : fg->outputs) {
            if (ofilter->ost < 0 && ofilter->name == label) {
                bind_output_filter(o, oc, *ofilter);
                return true;
            }
        }
    }
    return false;
}

int TCustomFFmpeg::configure_complex_filtergraph(TFilterGraph& fg, AVFilterInOut* inputs, AVFilterInOut* outputs) {
    size_t i = 0;
    for (AVFilterInOut* cur = inputs; cur; cur = cur->next, ++i) {
        if (i >= fg.inputs.size()) return AVERROR(EINVAL);
        TInputFilter& ifilter = *fg.inputs[i];
        const AVMediaType type = input_streams[static_cast<size_t>(ifilter.ist)]->st->codecpar->codec_type;
        const int ret = type == AVMEDIA_TYPE_AUDIO ? configure_input_audio(fg, ifilter, cur)
                                                   : configure_input_video(fg, ifilter, cur);
        if (ret < 0) return ret;
    }
    i = 0;
    for (AVFilterInOut* cur = outputs; cur; cur = cur->next, ++i) {
        if (i >= fg.outputs.size()) return AVERROR(EINVAL);
        TOutputFilter& ofilter = *fg.outputs[i];
        if (ofilter.ost < 0) {
            log_format(this, llError, "Filter %s has an unconnected output", cur->filter_ctx->name);
            return AVERROR(EINVAL);
        }
        const int ret = ofilter.type == AVMEDIA_TYPE_AUDIO ? configure_output_audio(fg, ofilter, cur)
                                                           : configure_output_video(fg, ofilter, cur);
        if (ret < 0) return ret;
    }
    return 0;
}

}  // namespace sonorix
