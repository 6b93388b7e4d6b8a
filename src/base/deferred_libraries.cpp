// avfilter and swscale are not linked: with their own dependencies they are
// about thirty libraries more, some 40 ms of every start of a program that
// only measures. The entry points the programs use are defined here; the first
// call of any opens the library, and each entry binds its function once.
// Thread-safe: the opening and each binding are static initialisations.
//
// A library that cannot be opened (a broken installation) is logged once and
// every entry answers as the library would on failure: null, or an error code.
#include <dlfcn.h>

#include <type_traits>

#include "base/FFLoad.h"
#include "base/libav.h"

namespace sonorix {
namespace {

void* filters() {
    static void* const handle = TFFLoader::Instance().OpenDeferred(liAVFilter);
    return handle;
}

void* scaler() {
    static void* const handle = TFFLoader::Instance().OpenDeferred(liSWScale);
    return handle;
}

template <typename F>
F bind(void* library, const char* name) {
    return library ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

// What a call answers when its library is missing.
template <typename R>
R failed() {
    if constexpr (std::is_same_v<R, int>) {
        return AVERROR(ENOSYS);
    } else if constexpr (!std::is_void_v<R>) {
        return R{};
    }
}

}  // namespace
}  // namespace sonorix

// One entry point: its declaration is the library header's, so a parameter
// spelled wrong here does not compile.
#define SONORIX_DEFERRED(library, ret, name, params, args)                                  \
    ret name params {                                                                       \
        static const auto real = sonorix::bind<decltype(&name)>(sonorix::library(), #name); \
        if (!real) return sonorix::failed<ret>();                                           \
        return real args;                                                                   \
    }

extern "C" {

SONORIX_DEFERRED(filters, unsigned, avfilter_version, (void), ())
SONORIX_DEFERRED(filters, const AVFilter*, avfilter_get_by_name, (const char* name), (name))
SONORIX_DEFERRED(filters, AVFilterGraph*, avfilter_graph_alloc, (void), ())
SONORIX_DEFERRED(filters, AVFilterContext*, avfilter_graph_alloc_filter,
                 (AVFilterGraph * graph, const AVFilter* filter, const char* name), (graph, filter, name))
SONORIX_DEFERRED(filters, int, avfilter_graph_config, (AVFilterGraph * graph, void* log_ctx), (graph, log_ctx))
SONORIX_DEFERRED(filters, int, avfilter_graph_create_filter,
                 (AVFilterContext * *context, const AVFilter* filter, const char* name, const char* args, void* opaque,
                  AVFilterGraph* graph),
                 (context, filter, name, args, opaque, graph))
SONORIX_DEFERRED(filters, void, avfilter_graph_free, (AVFilterGraph * *graph), (graph))
SONORIX_DEFERRED(filters, int, avfilter_graph_parse2,
                 (AVFilterGraph * graph, const char* text, AVFilterInOut** inputs, AVFilterInOut** outputs),
                 (graph, text, inputs, outputs))
SONORIX_DEFERRED(filters, int, avfilter_graph_request_oldest, (AVFilterGraph * graph), (graph))
SONORIX_DEFERRED(filters, int, avfilter_init_str, (AVFilterContext * context, const char* args), (context, args))
SONORIX_DEFERRED(filters, AVFilterInOut*, avfilter_inout_alloc, (void), ())
SONORIX_DEFERRED(filters, void, avfilter_inout_free, (AVFilterInOut * *inout), (inout))
SONORIX_DEFERRED(filters, int, avfilter_link,
                 (AVFilterContext * src, unsigned src_pad, AVFilterContext* dst, unsigned dst_pad),
                 (src, src_pad, dst, dst_pad))
SONORIX_DEFERRED(filters, enum AVMediaType, avfilter_pad_get_type, (const AVFilterPad* pads, int index), (pads, index))
SONORIX_DEFERRED(filters, int, av_buffersink_get_ch_layout, (const AVFilterContext* context, AVChannelLayout* layout),
                 (context, layout))
SONORIX_DEFERRED(filters, int, av_buffersink_get_format, (const AVFilterContext* context), (context))
SONORIX_DEFERRED(filters, int, av_buffersink_get_frame_flags, (AVFilterContext * context, AVFrame* frame, int flags),
                 (context, frame, flags))
SONORIX_DEFERRED(filters, AVRational, av_buffersink_get_frame_rate, (const AVFilterContext* context), (context))
SONORIX_DEFERRED(filters, int, av_buffersink_get_w, (const AVFilterContext* context), (context))
SONORIX_DEFERRED(filters, int, av_buffersink_get_h, (const AVFilterContext* context), (context))
SONORIX_DEFERRED(filters, AVRational, av_buffersink_get_sample_aspect_ratio, (const AVFilterContext* context),
                 (context))
SONORIX_DEFERRED(filters, int, av_buffersink_get_sample_rate, (const AVFilterContext* context), (context))
SONORIX_DEFERRED(filters, AVRational, av_buffersink_get_time_base, (const AVFilterContext* context), (context))
SONORIX_DEFERRED(filters, void, av_buffersink_set_frame_size, (AVFilterContext * context, unsigned frame_size),
                 (context, frame_size))
SONORIX_DEFERRED(filters, int, av_buffersrc_add_frame_flags, (AVFilterContext * context, AVFrame* frame, int flags),
                 (context, frame, flags))
SONORIX_DEFERRED(filters, unsigned, av_buffersrc_get_nb_failed_requests, (AVFilterContext * context), (context))

SONORIX_DEFERRED(scaler, unsigned, swscale_version, (void), ())
SONORIX_DEFERRED(scaler, SwsContext*, sws_alloc_context, (void), ())
SONORIX_DEFERRED(scaler, void, sws_freeContext, (SwsContext * context), (context))
SONORIX_DEFERRED(scaler, SwsContext*, sws_getCachedContext,
                 (SwsContext * context, int src_w, int src_h, enum AVPixelFormat src_format, int dst_w, int dst_h,
                  enum AVPixelFormat dst_format, int flags, SwsFilter* src_filter, SwsFilter* dst_filter,
                  const double* param),
                 (context, src_w, src_h, src_format, dst_w, dst_h, dst_format, flags, src_filter, dst_filter, param))
SONORIX_DEFERRED(scaler, SwsContext*, sws_getContext,
                 (int src_w, int src_h, enum AVPixelFormat src_format, int dst_w, int dst_h,
                  enum AVPixelFormat dst_format, int flags, SwsFilter* src_filter, SwsFilter* dst_filter,
                  const double* param),
                 (src_w, src_h, src_format, dst_w, dst_h, dst_format, flags, src_filter, dst_filter, param))
SONORIX_DEFERRED(scaler, const AVClass*, sws_get_class, (void), ())
SONORIX_DEFERRED(scaler, int, sws_scale,
                 (SwsContext * context, const uint8_t* const src[], const int src_stride[], int src_y, int src_h,
                  uint8_t* const dst[], const int dst_stride[]),
                 (context, src, src_stride, src_y, src_h, dst, dst_stride))

}  // extern "C"
