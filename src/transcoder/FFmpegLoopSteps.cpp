// Steps of the transcode loop around single packets and frames: timestamp
// corrections, real-time pacing, graph reconfiguration when a decoder
// changes its output format, forced key frames, the audio hooks and the
// bitstream filter chain in front of the muxer. Worker thread only.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <set>

#include "transcoder/FFmpeg.h"
#include "transcoder/FFmpegErrors.h"

namespace sonorix {

namespace {

std::string layout_name(const AVChannelLayout& layout) {
    char buf[128] = {};
    if (av_channel_layout_describe(&layout, buf, sizeof buf) < 0) return "unknown";
    return buf;
}

const char* sample_fmt_name(int fmt) {
    const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(fmt));
    return name ? name : "?";
}

const char* pix_fmt_name(int fmt) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(fmt));
    return name ? name : "?";
}

}  // namespace

void TCustomFFmpeg::correct_timestamps(TInputFile& ifile, TInputStream& ist, AVPacket* pkt) {
    AVFormatContext* ic = ifile.ctx.get();
    AVStream* st = ist.st;
    // A stream starting just before its timestamps wrap: what comes after
    // the wrap belongs after the start, not a whole period before it.
    if (!ist.wrap_correction_done && ic->start_time != AV_NOPTS_VALUE && st->pts_wrap_bits < 64) {
        ist.wrap_correction_done = true;
        const int64_t wrap = int64_t{1} << st->pts_wrap_bits;
        const int64_t stime = av_rescale_q(ic->start_time, AV_TIME_BASE_Q, st->time_base);
        const int64_t stime2 = stime + wrap;
        if (stime2 > stime && pkt->dts != AV_NOPTS_VALUE && pkt->dts > stime + (wrap >> 1)) {
            log_format(this, llDebug, "Correcting start time by %" PRId64, -wrap);
            pkt->dts -= wrap;
            ist.wrap_correction_done = false;  // later packets may still be on the far side
        }
        if (stime2 > stime && pkt->pts != AV_NOPTS_VALUE && pkt->pts > stime + (wrap >> 1)) {
            pkt->pts -= wrap;
            ist.wrap_correction_done = false;
        }
    }

    const int64_t offset = av_rescale_q(ifile.ts_offset, AV_TIME_BASE_Q, st->time_base);
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += offset;
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += offset;
    if (ist.ts_scale != 1.0) {
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = static_cast<int64_t>(pkt->pts * ist.ts_scale);
        if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = static_cast<int64_t>(pkt->dts * ist.ts_scale);
    }

    if (pkt->dts == AV_NOPTS_VALUE || ist.next_dts == AV_NOPTS_VALUE || options_.copy_ts) return;
    const int64_t pkt_dts = av_rescale_q(pkt->dts, st->time_base, AV_TIME_BASE_Q);
    int64_t delta = pkt_dts - ist.next_dts;
    if (ic->iformat->flags & AVFMT_TS_DISCONT) {
        // Formats that restart their clock (transport streams): absorb the jump.
        const double threshold = static_cast<double>(options_.dts_delta_threshold) * AV_TIME_BASE;
        if (static_cast<double>(delta) < -threshold ||
            (static_cast<double>(delta) > threshold && st->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) ||
            pkt_dts + 1 < ist.pts) {
            ifile.ts_offset -= delta;
            log_format(this, llDebug, "timestamp discontinuity %" PRId64 ", new offset= %" PRId64, delta,
                       ifile.ts_offset);
            const int64_t shift = av_rescale_q(delta, AV_TIME_BASE_Q, st->time_base);
            pkt->dts -= shift;
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= shift;
        }
        return;
    }
    const double limit = static_cast<double>(options_.dts_error_threshold) * AV_TIME_BASE;
    if (static_cast<double>(delta) < -limit || static_cast<double>(delta) > limit) {
        log_format(this, llWarning, "DTS %" PRId64 ", next:%" PRId64 " st:%d invalid dropping", pkt->dts, ist.next_dts,
                   pkt->stream_index);
        pkt->dts = AV_NOPTS_VALUE;
    }
    if (pkt->pts != AV_NOPTS_VALUE) {
        delta = av_rescale_q(pkt->pts, st->time_base, AV_TIME_BASE_Q) - ist.next_dts;
        if (static_cast<double>(delta) < -limit || static_cast<double>(delta) > limit) {
            log_format(this, llWarning, "PTS %" PRId64 ", next:%" PRId64 " invalid dropping st:%d", pkt->pts,
                       ist.next_dts, pkt->stream_index);
            pkt->pts = AV_NOPTS_VALUE;
        }
    }
}

void TCustomFFmpeg::emulate_rate(TInputStream& ist) {
    if (!input_files[static_cast<size_t>(ist.file_index)].rate_emu || ist.dts == AV_NOPTS_VALUE) return;
    // Short sleeps, so that a stop request is seen at once.
    while (!stop_requested) {
        const int64_t ahead = ist.dts - (av_gettime_relative() - ist.start_wallclock);
        if (ahead <= 0) break;
        av_usleep(static_cast<unsigned>(std::min<int64_t>(ahead, 20000)));
    }
}

void TCustomFFmpeg::check_audio_format_change(TInputStream& ist, AVFrame* frame) {
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        const int channels = frame->ch_layout.nb_channels;
        if (channels <= 0) {
            options_.raise_format("Unable to find default channel layout for Input Stream #%d.%d", ist.file_index,
                                  ist.st->index);
        }
        if (channels <= ist.guess_layout_max) {
            av_channel_layout_uninit(&frame->ch_layout);
            av_channel_layout_default(&frame->ch_layout, channels);
        }
    }
    if (frame->format == ist.resample_sample_fmt && frame->sample_rate == ist.resample_sample_rate &&
        frame->ch_layout.nb_channels == ist.resample_channels &&
        av_channel_layout_compare(&frame->ch_layout, &ist.resample_ch_layout) == 0) {
        return;
    }
    log_format(this, llInfo,
               "Input stream #%d:%d frame changed from rate:%d fmt:%s ch:%d chl:%s to rate:%d fmt:%s ch:%d chl:%s",
               ist.file_index, ist.st->index, ist.resample_sample_rate, sample_fmt_name(ist.resample_sample_fmt),
               ist.resample_channels, layout_name(ist.resample_ch_layout).c_str(), frame->sample_rate,
               sample_fmt_name(frame->format), frame->ch_layout.nb_channels, layout_name(frame->ch_layout).c_str());
    ist.resample_sample_fmt = frame->format;
    ist.resample_sample_rate = frame->sample_rate;
    ist.resample_channels = frame->ch_layout.nb_channels;
    av_channel_layout_uninit(&ist.resample_ch_layout);
    av_channel_layout_copy(&ist.resample_ch_layout, &frame->ch_layout);
    reconfigure_filters(ist);
}

void TCustomFFmpeg::check_video_format_change(TInputStream& ist, const AVFrame* frame) {
    if (frame->width == ist.resample_width && frame->height == ist.resample_height &&
        frame->format == ist.resample_pix_fmt) {
        return;
    }
    log_format(this, llInfo, "Input stream #%d:%d frame changed from size:%dx%d fmt:%s to size:%dx%d fmt:%s",
               ist.file_index, ist.st->index, ist.resample_width, ist.resample_height,
               pix_fmt_name(ist.resample_pix_fmt), frame->width, frame->height, pix_fmt_name(frame->format));
    ist.resample_width = frame->width;
    ist.resample_height = frame->height;
    ist.resample_pix_fmt = frame->format;
    if (ist.reinit_filters != 0) reconfigure_filters(ist);
}

void TCustomFFmpeg::reconfigure_filters(TInputStream& ist) {
    // What the old graphs already finished goes out first; frames still
    // inside them are lost with them (less than one frame per filter).
    reap_filters();
    std::set<TFilterGraph*> done;
    for (TInputFilter* f : ist.filters) {
        TFilterGraph& fg = *f->graph;
        if (!done.insert(&fg).second) continue;
        if (configure_filtergraph(fg) < 0) options_.raise_error("Error reinitializing filters!");
        for (auto& out : fg.outputs) {
            if (out->ost >= 0) apply_sink_frame_size(*output_streams[static_cast<size_t>(out->ost)]);
        }
    }
}

void TCustomFFmpeg::apply_sink_frame_size(TOutputStream& ost) {
    // Encoders with a fixed frame size take frames of exactly that many samples.
    const AVCodecContext* enc = ost.enc_ctx.get();
    if (!ost.filter || !ost.filter->filter || !ost.encoder_open || enc->codec_type != AVMEDIA_TYPE_AUDIO) return;
    if ((ost.enc->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || enc->frame_size <= 0) return;
    av_buffersink_set_frame_size(ost.filter->filter, static_cast<unsigned>(enc->frame_size));
}

void TCustomFFmpeg::force_key_frame(TOutputStream& ost, AVFrame* frame) {
    const AVRational tb = ost.enc_ctx->time_base;
    bool force = false;
    // Times that fell between frames are taken by the next frame, once.
    while (ost.forced_kf_index < ost.forced_kf_pts.size() && frame->pts >= ost.forced_kf_pts[ost.forced_kf_index]) {
        ++ost.forced_kf_index;
        force = true;
    }
    if (!force && ost.forced_kf_expr) {
        double* v = ost.forced_kf_values;  // n, n_forced, prev_forced_n, prev_forced_t, t
        v[4] = static_cast<double>(frame->pts) * av_q2d(tb);
        if (av_expr_eval(ost.forced_kf_expr.get(), v, nullptr) != 0) {
            force = true;
            v[1] += 1;
            v[2] = v[0];
            v[3] = v[4];
        }
        v[0] += 1;
    }
    if (!force) return;
    frame->pict_type = AV_PICTURE_TYPE_I;
    log_format(this, llDebug, "Forced keyframe at time %f", static_cast<double>(frame->pts) * av_q2d(tb));
}

void TCustomFFmpeg::call_audio_hook(const CoreAudioHookCall& hook, int64_t pts, const AVFrame* frame) {
    const AVSampleFormat fmt = static_cast<AVSampleFormat>(frame->format);
    const int channels = av::channel_count(frame);
    const int size = frame->nb_samples * channels * av_get_bytes_per_sample(fmt);
    hook(this, pts, frame->data[0], size, frame->sample_rate, channels, fmt);
}

void TCustomFFmpeg::write_filtered_packet(TOutputFile& of, TOutputStream& ost, AVPacket* pkt) {
    AVFormatContext* s = of.ctx.get();
    const auto mux = [&](AVPacket* p) {
        ClearLastLibraryError();
        arm_write_stamp();
        const int ret = av_interleaved_write_frame(s, p);
        write_stamp = INT64_MAX;
        // A stop aborts a blocking write: the loop leaves at its next step.
        if (ret < 0 && stop_requested) return;
        // The file's own error (a full disk) names the file; a muxer's refusal gives its words.
        if (ret < 0 && s->pb && s->pb->error < 0) {
            throw FFmpegException(with_library_detail(output_error_text(of, s->pb->error)));
        }
        if (ret < 0) {
            throw FFmpegException(
                with_library_detail("av_interleaved_write_frame(): " + error_code_text(ret) + kSeeLogText));
        }
    };
    if (!ost.bsf_opened) open_bitstream_filters(ost);
    if (ost.bsf_ctxs.empty()) {
        mux(pkt);
        return;
    }
    // Each filter may hold packets back or split one into several.
    const std::function<void(size_t, AVPacket*)> feed = [&](size_t i, AVPacket* in) {
        if (i == ost.bsf_ctxs.size()) {
            av_packet_rescale_ts(in, ost.bsf_ctxs.back()->time_base_out, ost.st->time_base);
            in->stream_index = ost.index;
            mux(in);
            return;
        }
        AVBSFContext* ctx = ost.bsf_ctxs[i].get();
        int ret = av_bsf_send_packet(ctx, in);
        if (ret < 0) {
            av_packet_unref(in);
            const std::string text =
                Format("Error applying bitstream filter %s: %s", ctx->filter->name, error_code_text(ret).c_str());
            if (options_.exit_on_error) options_.raise_error(text);
            log_message(this, llError, text);
            return;
        }
        PacketPtr out = new_packet();
        while ((ret = av_bsf_receive_packet(ctx, out.get())) >= 0) feed(i + 1, out.get());
    };
    feed(0, pkt);
}

// Opens the chain once, at the stream's first packet; a filter that cannot
// open is reported (fatal with -xerror) and left out.
void TCustomFFmpeg::open_bitstream_filters(TOutputStream& ost) {
    ost.bsf_opened = true;
    const AVCodecParameters* par = ost.st->codecpar;
    AVRational tb = ost.st->time_base;
    for (size_t i = 0; i < ost.bitstream_filters.size(); ++i) {
        const AVBitStreamFilter* filter = ost.bitstream_filters[i];
        const std::string& args = ost.bitstream_filter_args[i];
        AVBSFContext* raw = nullptr;
        int ret = av_bsf_alloc(filter, &raw);
        BitStreamFilterPtr ctx(raw);
        if (ret >= 0 && !args.empty()) {
            ret = ctx->priv_data ? av_set_options_string(ctx->priv_data, args.c_str(), "=", ":") : AVERROR(EINVAL);
        }
        if (ret >= 0) ret = avcodec_parameters_copy(ctx->par_in, par);
        if (ret >= 0) {
            ctx->time_base_in = tb;
            ret = av_bsf_init(ctx.get());
        }
        if (ret < 0) {
            const std::string text = Format("Failed to open bitstream filter %s for stream %d with codec %s",
                                            filter->name, ost.st->index, avcodec_get_name(par->codec_id));
            if (options_.exit_on_error) options_.raise_error(text);
            log_message(this, llError, text);
            continue;  // the chain goes on without it
        }
        par = ctx->par_out;
        tb = ctx->time_base_out;
        ost.bsf_ctxs.push_back(std::move(ctx));
    }
}

void TCustomFFmpeg::advance_joined_input(int file_index) {
    // The next input continues the same output streams, encoders and graphs
    // (the inputs have the same stream layout), so the joint is gapless.
    TInputFile& done = input_files[static_cast<size_t>(file_index)];
    TInputFile& next = input_files[static_cast<size_t>(file_index) + 1];
    int64_t end = 0;  // microseconds, in the output's time line
    for (int i = 0; i < done.nb_streams; ++i) {
        TInputStream& from = *input_streams[static_cast<size_t>(done.ist_index + i)];
        if (from.decoding_needed && from.decoder_open) decode_packet(from, nullptr, false);
        if (!from.discard && from.next_dts != AV_NOPTS_VALUE) end = std::max(end, from.next_dts);
    }
    std::string error;
    for (int i = 0; i < done.nb_streams; ++i) {
        const int from_index = done.ist_index + i;
        const int to_index = next.ist_index + i;
        TInputStream& from = *input_streams[static_cast<size_t>(from_index)];
        TInputStream& to = *input_streams[static_cast<size_t>(to_index)];
        if (from.discard) continue;
        to.discard = false;
        to.decoding_needed = from.decoding_needed;
        // The graphs were configured with the format of this input; the next
        // one's first frame rebuilds them when its format differs.
        to.resample_sample_fmt = from.resample_sample_fmt;
        to.resample_sample_rate = from.resample_sample_rate;
        to.resample_channels = from.resample_channels;
        av_channel_layout_uninit(&to.resample_ch_layout);
        av_channel_layout_copy(&to.resample_ch_layout, &from.resample_ch_layout);
        to.resample_width = from.resample_width;
        to.resample_height = from.resample_height;
        to.resample_pix_fmt = from.resample_pix_fmt;
        for (TInputFilter* f : from.filters) {
            f->ist = to_index;
            to.filters.push_back(f);
        }
        from.filters.clear();
        from.decoding_needed = 0;
        for (auto& p : output_streams) {
            if (p->source_index == from_index) p->source_index = to_index;
        }
        if (to.decoding_needed && !to.decoder_open && open_decoder(to_index, error) < 0) options_.raise_error(error);
    }
    next.ts_offset += end;
    loop_.current_input = file_index + 1;
    log_format(this, llVerbose, "Joining input #%d at %.3f s", loop_.current_input,
               static_cast<double>(end) / AV_TIME_BASE);
}

int TCustomFFmpeg::transcode_subtitles(TInputStream& ist, const AVPacket* pkt) {
    if (!pkt) return 0;  // subtitle decoders keep nothing back
    AVSubtitle sub{};
    int got = 0;
    PacketPtr copy = new_packet();  // the decoding call takes a non-const packet
    if (av_packet_ref(copy.get(), pkt) < 0) return AVERROR(ENOMEM);
    const int ret = avcodec_decode_subtitle2(ist.dec_ctx.get(), &sub, &got, copy.get());
    if (ret < 0 || !got) return ret < 0 ? ret : 0;
    try {
        for (auto& p : output_streams) {
            TOutputStream& ost = *p;
            if (ost.encoding_needed && ost.encoder_open && !ost.finished && get_input_stream(ost) == &ist &&
                ost.enc_ctx->codec_type == AVMEDIA_TYPE_SUBTITLE) {
                do_subtitle_out(output_files[static_cast<size_t>(ost.file_index)], ost, sub);
            }
        }
    } catch (...) {
        avsubtitle_free(&sub);
        throw;
    }
    avsubtitle_free(&sub);
    return 0;
}

void TCustomFFmpeg::do_subtitle_out(TOutputFile& of, TOutputStream& ost, AVSubtitle& source) {
    if (source.pts == AV_NOPTS_VALUE) {
        if (options_.exit_on_error) options_.raise_error("Subtitle packets must have a pts");
        log_message(this, llError, "Subtitle packets must have a pts");
        return;
    }
    AVCodecContext* enc = ost.enc_ctx.get();
    const int64_t start = of.start_time == AV_NOPTS_VALUE ? 0 : of.start_time;
    if (of.recording_time != INT64_MAX && source.pts >= of.recording_time + start) {
        close_output_stream(ost);
        return;
    }
    AVSubtitle sub = source;  // shallow: the rectangles stay the decoder's
    sub.pts = source.pts - start + av_rescale_q(source.start_display_time, {1, 1000}, AV_TIME_BASE_Q);
    sub.end_display_time = source.end_display_time - source.start_display_time;
    sub.start_display_time = 0;
    // DVB subtitles are sent twice: the page, then an empty one that clears it.
    const int passes = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
    std::vector<uint8_t> buffer(1 << 20);
    for (int i = 0; i < passes; ++i) {
        if (i == 1) sub.num_rects = 0;
        const int size = avcodec_encode_subtitle(enc, buffer.data(), static_cast<int>(buffer.size()), &sub);
        if (size < 0) options_.raise_error("Subtitle encoding failed");
        PacketPtr pkt = new_packet();
        if (av_new_packet(pkt.get(), size) < 0) options_.raise_error("Out of memory");
        std::memcpy(pkt->data, buffer.data(), static_cast<size_t>(size));
        pkt->pts = av_rescale_q(sub.pts, AV_TIME_BASE_Q, ost.st->time_base);
        pkt->duration = av_rescale_q(sub.end_display_time, {1, 1000}, ost.st->time_base);
        if (enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE) {
            pkt->pts +=
                av_rescale_q(i == 0 ? sub.start_display_time : source.end_display_time - source.start_display_time,
                             {1, 1000}, ost.st->time_base);
        }
        pkt->dts = pkt->pts;
        loop_.subtitle_size += size;
        write_packet(of, ost, pkt.get());
    }
}

}  // namespace sonorix
