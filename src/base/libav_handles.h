// Owners of the libraries' handles: every layer that holds one holds it in
// one of these, never as a raw pointer with a flag beside it.
#pragma once

#include <memory>
#include <string>

#include "base/libav.h"

namespace sonorix {

struct CodecContextDeleter {
    void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FilterGraphDeleter {
    void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;

struct BitStreamFilterDeleter {
    void operator()(AVBSFContext* ctx) const { av_bsf_free(&ctx); }
};
using BitStreamFilterPtr = std::unique_ptr<AVBSFContext, BitStreamFilterDeleter>;

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct ExprDeleter {
    void operator()(AVExpr* expr) const { av_expr_free(expr); }
};

struct ScalerDeleter {
    void operator()(SwsContext* ctx) const { sws_freeContext(ctx); }
};
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

// An input opened with avformat_open_input on the library's own I/O.
struct InputFileCloser {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
using InputFilePtr = std::unique_ptr<AVFormatContext, InputFileCloser>;

// An output: closes its file (when the muxer writes one), frees the context.
struct OutputContextCloser {
    void operator()(AVFormatContext* ctx) const {
        if (!ctx) return;
        if (ctx->oformat && !(ctx->oformat->flags & AVFMT_NOFILE)) avio_closep(&ctx->pb);
        avformat_free_context(ctx);
    }
};
using OutputFilePtr = std::unique_ptr<AVFormatContext, OutputContextCloser>;

// Options for the libraries: owns one AVDictionary.
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&dict_); }
    Dictionary(Dictionary&& other) noexcept : dict_(other.dict_) { other.dict_ = nullptr; }
    Dictionary& operator=(Dictionary&& other) noexcept;
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    int set(const std::string& key, const std::string& value, int flags = 0);
    // The value stored under key, or null.
    const char* get(const std::string& key) const;
    int count() const { return av_dict_count(dict_); }
    bool empty() const { return count() == 0; }
    // Copies every entry of source over this one and empties source.
    int merge_from(Dictionary& source);
    void clear() { av_dict_free(&dict_); }

    AVDictionary* get() const { return dict_; }
    AVDictionary** address() { return &dict_; }

private:
    AVDictionary* dict_ = nullptr;
};

}  // namespace sonorix
