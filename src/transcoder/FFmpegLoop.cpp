// The transcode loop: choose the output that lags most, read one packet of
// the input feeding it, decode, filter, encode and mux (or copy), then flush
// everything at the end of input. Runs on the task's worker only.
#include <algorithm>
#include <chrono>
#include <thread>

#include "base/FFLog.h"
#include "transcoder/FFmpeg.h"
#include "transcoder/FFmpegErrors.h"

namespace sonorix {

FramePtr new_frame() {
    FramePtr f(av_frame_alloc());
    if (!f) throw FFmpegException("Out of memory");
    return f;
}

PacketPtr new_packet() {
    PacketPtr p(av_packet_alloc());
    if (!p) throw FFmpegException("Out of memory");
    return p;
}

void TCustomFFmpeg::transcode() {
    try {
        set_last_error("");
        ClearLastLibraryError();
        if (const int ret = transcode_init(); ret < 0) {
            std::string text = last_error();
            if (text.empty()) text = "transcode_init() error: " + error_code_text(ret) + kSeeLogText;
            throw FFmpegException(with_library_detail(text));
        }
        loop_.expected_duration = -1;
        for (const TOutputFile& of : output_files) {
            if (of.recording_time != INT64_MAX) loop_.expected_duration = of.recording_time;
        }
        if (loop_.expected_duration < 0 && joined) {
            int64_t sum = 0;
            for (const TInputFile& f : input_files) {
                if (f.ctx->duration != AV_NOPTS_VALUE && f.ctx->duration > 0) sum += f.ctx->duration;
            }
            if (sum > 0) loop_.expected_duration = sum;
        }
        loop_.current_input = 0;
        if (loop_.expected_duration < 0 && longest_input_duration > 0) loop_.expected_duration = longest_input_duration;
        loop_.timer_start = av_gettime_relative();
        loop_.last_report = -1;
        loop_.video_size = loop_.audio_size = loop_.subtitle_size = 0;
        loop_.dup_frames = loop_.drop_frames = 0;
        loop_.input_eagain.assign(input_files.size(), 0);

        // The first error that makes the run a failure; the end steps still run.
        std::string failure;
        while (!stop_requested) {
            if (!need_output()) {
                log_message(this, llVerbose, "No more output streams to write to, finishing.");
                break;
            }
            ClearLastLibraryError();
            const int ret = transcode_step();
            if (ret >= 0) {
                print_report(false);
            } else if (ret == AVERROR_EOF) {
                break;  // no input can deliver: nothing more will come
            } else if (ret != AVERROR(EAGAIN)) {
                const std::string text = "Error while filtering: " + error_code_text(ret);
                log_message(this, llError, text);
                failure = with_library_detail(text);
                break;
            }
        }
        // End of input or stop: flush what is still in decoders, graphs and encoders.
        for (size_t i = 0; i < input_streams.size(); ++i) {
            TInputStream& ist = *input_streams[i];
            if (ist.decoding_needed && ist.decoder_open &&
                !input_files[static_cast<size_t>(ist.file_index)].eof_reached) {
                process_input_packet(ist, nullptr);
            }
        }
        reap_filters();
        flush_encoders();
        for (size_t i = 0; i < output_files.size(); ++i) {
            if (joined && i > 0) break;
            ClearLastLibraryError();
            arm_write_stamp();
            const int ret = av_write_trailer(output_files[i].ctx.get());
            write_stamp = INT64_MAX;
            if (ret < 0) {
                log_message(this, llError, "Error writing trailer: " + error_code_text(ret));
                if (failure.empty()) failure = with_library_detail(output_error_text(output_files[i], ret));
            }
        }
        print_report(true);
        // Complete only once every byte left the buffers and each file closed.
        for (TOutputFile& of : output_files) {
            ClearLastLibraryError();
            const std::string problem = close_output(of);
            if (failure.empty()) failure = problem;
        }
        close_codecs();
        if (!failure.empty() && !stop_requested) throw FFmpegException(failure);
        completed_ = !stop_requested;
    } catch (...) {
        close_codecs();
        throw;
    }
}

bool TCustomFFmpeg::need_output() {
    for (auto& p : output_streams) {
        TOutputStream& ost = *p;
        TOutputFile& of = output_files[static_cast<size_t>(ost.file_index)];
        if (ost.finished) continue;
        if (of.ctx->pb && avio_size(of.ctx->pb) >= of.limit_filesize) continue;
        if (ost.frame_number >= ost.max_frames) {
            for (auto& q : output_streams) {
                if (q->file_index == ost.file_index) close_output_stream(*q);
            }
            continue;
        }
        return true;
    }
    return false;
}

TOutputStream* TCustomFFmpeg::choose_output() {
    TOutputStream* best = nullptr;
    int64_t best_ts = INT64_MAX;
    for (auto& p : output_streams) {
        TOutputStream& ost = *p;
        if (ost.finished || ost.unavailable) continue;
        const int64_t ts = ost.last_mux_dts == AV_NOPTS_VALUE
                               ? INT64_MIN
                               : av_rescale_q(ost.last_mux_dts, ost.st->time_base, AV_TIME_BASE_Q);
        if (!best || ts < best_ts) {
            best = &ost;
            best_ts = ts;
        }
    }
    return best;
}

void TCustomFFmpeg::close_output_stream(TOutputStream& ost) {
    if (ost.finished) return;
    ost.finished = true;
    TOutputFile& of = output_files[static_cast<size_t>(ost.file_index)];
    if (of.shortest && ost.enc_ctx) {
        const int64_t end = av_rescale_q(ost.sync_opts - (ost.first_pts == AV_NOPTS_VALUE ? 0 : ost.first_pts),
                                         ost.enc_ctx->time_base, AV_TIME_BASE_Q);
        of.recording_time = std::min(of.recording_time, end);
    }
}

int TCustomFFmpeg::transcode_step() {
    TOutputStream* ost = choose_output();
    if (!ost) {
        bool any_unavailable = false;
        for (auto& p : output_streams) any_unavailable |= p->unavailable && !p->finished;
        if (any_unavailable) {
            for (auto& p : output_streams) p->unavailable = false;
            loop_.input_eagain.assign(input_files.size(), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return 0;
        }
        log_message(this, llVerbose, "No more inputs to read from, finishing.");
        return AVERROR_EOF;
    }
    TInputStream* ist = nullptr;
    if (ost->filter) {
        TFilterGraph& fg = *ost->filter->graph;
        int ret = avfilter_graph_request_oldest(fg.graph.get());
        if (ret >= 0) return reap_filters();
        if (ret == AVERROR_EOF) {
            ret = reap_filters();
            for (auto& out : fg.outputs) {
                if (out->ost >= 0) close_output_stream(*output_streams[static_cast<size_t>(out->ost)]);
            }
            return ret;
        }
        if (ret != AVERROR(EAGAIN)) return ret;
        unsigned most_failed = 0;
        for (auto& in : fg.inputs) {
            TInputStream& cand = *input_streams[static_cast<size_t>(in->ist)];
            const size_t file = static_cast<size_t>(cand.file_index);
            if (input_files[file].eof_reached || loop_.input_eagain[file]) continue;
            const unsigned failed = av_buffersrc_get_nb_failed_requests(in->filter);
            if (!ist || failed > most_failed) {
                ist = &cand;
                most_failed = failed;
            }
        }
        if (!ist) {
            for (auto& out : fg.outputs) {
                if (out->ost >= 0) output_streams[static_cast<size_t>(out->ost)]->unavailable = true;
            }
            return 0;
        }
    } else {
        ist = get_input_stream(*ost);
        if (!ist) {
            close_output_stream(*ost);
            return 0;
        }
    }
    const int file = ist->file_index;
    const int ret = process_input(file);
    if (ret == AVERROR(EAGAIN)) {
        if (loop_.input_eagain[static_cast<size_t>(file)]) ost->unavailable = true;
        return 0;
    }
    if (ret < 0) return ret == AVERROR_EOF ? 0 : ret;
    return reap_filters();
}

int TCustomFFmpeg::process_input(int file_index) {
    TInputFile& ifile = input_files[static_cast<size_t>(file_index)];
    PacketPtr pkt = new_packet();
    arm_read_stamp();
    int ret = av_read_frame(ifile.ctx.get(), pkt.get());
    read_stamp = INT64_MAX;
    if (ret == AVERROR(EAGAIN)) {
        loop_.input_eagain[static_cast<size_t>(file_index)] = 1;
        return ret;
    }
    if (ret < 0) {
        if (ret != AVERROR_EOF && !stop_requested) {  // a stop aborts a blocking read
            const std::string text = error_code_text(ifile.ctx->url, ret);
            if (options_.exit_on_error) options_.raise_error(text);
            log_message(this, llError, text);
        }
        ifile.eof_reached = true;
        if (joined && file_index == loop_.current_input && static_cast<size_t>(file_index) + 1 < input_files.size()) {
            advance_joined_input(file_index);
            return 0;
        }
        for (int i = 0; i < ifile.nb_streams; ++i) {
            TInputStream& ist = *input_streams[static_cast<size_t>(ifile.ist_index + i)];
            if (ist.decoding_needed && ist.decoder_open) process_input_packet(ist, nullptr);
        }
        for (auto& p : output_streams) {
            TInputStream* src = get_input_stream(*p);
            if (src && src->file_index == file_index &&
                (p->stream_copy || src->st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE)) {
                close_output_stream(*p);
            }
        }
        return AVERROR(EAGAIN);
    }
    loop_.input_eagain.assign(input_files.size(), 0);
    for (auto& p : output_streams) p->unavailable = false;
    if (pkt->stream_index >= ifile.nb_streams) {
        log_format(this, llWarning, "New %s stream %d:%d at pos:%" PRId64 " and DTS:%ss",
                   av_get_media_type_string(ifile.ctx->streams[pkt->stream_index]->codecpar->codec_type), file_index,
                   pkt->stream_index, pkt->pos,
                   pkt->dts == AV_NOPTS_VALUE
                       ? "NOPTS"
                       : Format("%g", pkt->dts * av_q2d(ifile.ctx->streams[pkt->stream_index]->time_base)).c_str());
        return 0;
    }
    TInputStream& ist = *input_streams[static_cast<size_t>(ifile.ist_index + pkt->stream_index)];
    if (ist.discard) return 0;
    correct_timestamps(ifile, ist, pkt.get());
    ret = process_input_packet(ist, pkt.get());
    if (ret < 0) {
        const std::string text = Format("Error while decoding stream #%d:%d: %s", file_index, pkt->stream_index,
                                        error_code_text(ret).c_str());
        if (options_.exit_on_error) options_.raise_error(text);
        log_message(this, llError, text);
    }
    return 0;
}

int TCustomFFmpeg::process_input_packet(TInputStream& ist, const AVPacket* pkt) {
    const AVMediaType type = ist.st->codecpar->codec_type;
    if (!ist.start_flag) {
        ist.dts = 0;
        if (type == AVMEDIA_TYPE_VIDEO && ist.st->avg_frame_rate.num && ist.dec_ctx) {
            ist.dts = -static_cast<int64_t>(ist.dec_ctx->has_b_frames * AV_TIME_BASE / av_q2d(ist.st->avg_frame_rate));
        }
        ist.pts = 0;
        if (pkt && pkt->pts != AV_NOPTS_VALUE && !ist.decoding_needed) {
            ist.dts += av_rescale_q(pkt->pts, ist.st->time_base, AV_TIME_BASE_Q);
            ist.pts = ist.dts;
        }
        ist.next_dts = ist.dts;
        ist.next_pts = ist.pts;
        ist.start_flag = true;
    }
    if (pkt && pkt->dts != AV_NOPTS_VALUE) {
        ist.next_dts = ist.dts = av_rescale_q(pkt->dts, ist.st->time_base, AV_TIME_BASE_Q);
        if (type != AVMEDIA_TYPE_VIDEO || !ist.decoding_needed) ist.next_pts = ist.pts = ist.dts;
    }
    if (pkt) emulate_rate(ist);
    int ret = 0;
    if (ist.decoding_needed && ist.decoder_open) {
        ret = decode_packet(ist, pkt);
    } else if (pkt) {
        ist.dts = ist.next_dts;
        if (type == AVMEDIA_TYPE_AUDIO && ist.st->codecpar->sample_rate > 0) {
            const int64_t samples =
                pkt->duration > 0 ? av_rescale_q(pkt->duration, ist.st->time_base, {1, ist.st->codecpar->sample_rate})
                                  : ist.st->codecpar->frame_size;
            ist.next_dts += samples * AV_TIME_BASE / ist.st->codecpar->sample_rate;
        } else if (type == AVMEDIA_TYPE_VIDEO) {
            if (pkt->duration > 0) {
                ist.next_dts += av_rescale_q(pkt->duration, ist.st->time_base, AV_TIME_BASE_Q);
            } else if (ist.st->avg_frame_rate.num) {
                ist.next_dts += av_rescale_q(1, av_inv_q(ist.st->avg_frame_rate), AV_TIME_BASE_Q);
            }
        }
        ist.pts = ist.dts;
        ist.next_pts = ist.next_dts;
    }
    if (!pkt) return ret;
    for (auto& p : output_streams) {
        if (p->stream_copy && !p->finished && get_input_stream(*p) == &ist) do_streamcopy(ist, *p, pkt);
    }
    return ret;
}

int TCustomFFmpeg::decode_packet(TInputStream& ist, const AVPacket* pkt, bool end_graphs) {
    AVCodecContext* dec = ist.dec_ctx.get();
    if (dec->codec_type == AVMEDIA_TYPE_SUBTITLE) return transcode_subtitles(ist, pkt);
    int ret = avcodec_send_packet(dec, pkt);  // null: enter draining
    if (pkt && ret < 0 && ret != AVERROR_EOF && ret != AVERROR(EAGAIN)) return ret;
    FramePtr frame = new_frame();
    int frames = 0;
    int drain_errors = 0;
    while (true) {
        ret = avcodec_receive_frame(dec, frame.get());
        if (ret < 0) {
            // While draining, a broken frame (the last one of a cut file)
            // does not end what the decoder still holds.
            if (!pkt && ret != AVERROR_EOF && ret != AVERROR(EAGAIN) && ++drain_errors < 32) {
                log_format(this, llError, "Error while decoding stream #%d:%d: %s", ist.file_index, ist.st->index,
                           error_code_text(ret).c_str());
                continue;
            }
            break;
        }
        if (++frames == 2) {
            log_format(this, loop_.multi_frame_warnings++ ? llVerbose : llWarning,
                       "Multiple frames in a packet from stream %d", pkt ? pkt->stream_index : ist.st->index);
        }
        ret = decoded_frame(ist, pkt, frame.get());
        if (ret >= 0) ret = send_frame_to_filters(ist, frame.get());
        av_frame_unref(frame.get());
        if (ret < 0 && pkt) return ret;
    }
    if (!pkt) {
        // Decoder drained (or failed while draining): the graphs it feeds
        // get their end of stream.
        for (TInputFilter* f : end_graphs ? ist.filters : std::vector<TInputFilter*>{}) {
            if (av_buffersrc_add_frame_flags(f->filter, nullptr, 0) < 0) continue;  // graph already closed
        }
        avcodec_flush_buffers(dec);
        return 0;
    }
    return ret == AVERROR(EAGAIN) || ret == AVERROR_EOF ? 0 : ret;
}

// One frame out of the decoder: timestamps, hooks, format-change check.
int TCustomFFmpeg::decoded_frame(TInputStream& ist, const AVPacket* pkt, AVFrame* frame) {
    const AVCodecContext* dec = ist.dec_ctx.get();
    if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (frame->sample_rate <= 0) {
            log_format(this, llError, "Sample rate %d invalid", frame->sample_rate);
            return AVERROR_INVALIDDATA;
        }
        if (frame->nb_samples <= 0)
            options_.raise_error(Format("the decoder \"%s\" return bad result.", dec->codec->name));
        const int64_t frame_start = ist.next_pts;
        ist.next_pts += static_cast<int64_t>(frame->nb_samples) * AV_TIME_BASE / frame->sample_rate;
        ist.next_dts = ist.next_pts;
        if (OnAudioInputHook) call_audio_hook(OnAudioInputHook, frame_start, frame);
        check_audio_format_change(ist, frame);
        const AVRational rate_tb{1, frame->sample_rate};
        if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
            frame->pts = av_rescale_q(frame->best_effort_timestamp, ist.st->time_base, rate_tb);
        } else if (pkt && pkt->pts != AV_NOPTS_VALUE) {
            frame->pts = av_rescale_q(pkt->pts, ist.st->time_base, rate_tb);
        } else {
            frame->pts = av_rescale_q(ist.pts, AV_TIME_BASE_Q, rate_tb);
        }
    } else if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
        frame->pts = frame->best_effort_timestamp;
        if (ist.framerate.num && frame->pts != AV_NOPTS_VALUE) {
            frame->pts = av_rescale_q(frame->pts, ist.st->time_base, av_inv_q(ist.framerate));
        }
        if (frame->pts != AV_NOPTS_VALUE)
            ist.pts = av_rescale_q(frame->best_effort_timestamp, ist.st->time_base, AV_TIME_BASE_Q);
        if (OnVideoInputHook || OnFrameInputHook) {
            // Hooks may draw on the picture: never on one the decoder still references.
            if (av_frame_make_writable(frame) < 0) options_.raise_error("Out of memory");
            if (OnVideoInputHook) OnVideoInputHook(this, frame, ist.pts);
            if (OnFrameInputHook) OnFrameInputHook(this, frame, ist.pts);
        }
        check_video_format_change(ist, frame);
    }
    return 0;
}

int TCustomFFmpeg::send_frame_to_filters(TInputStream& ist, AVFrame* frame) {
    for (size_t i = 0; i < ist.filters.size(); ++i) {
        TInputFilter* f = ist.filters[i];
        // The last graph takes the frame over (the caller only unrefs it
        // then); the others get references of their own.
        const int flags = i + 1 < ist.filters.size() ? AV_BUFFERSRC_FLAG_KEEP_REF : 0;
        const int ret = av_buffersrc_add_frame_flags(f->filter, frame, flags);
        if (ret < 0 && ret != AVERROR_EOF) options_.raise_error("Failed to inject frame into filter network");
    }
    return 0;
}

int TCustomFFmpeg::reap_filters() {
    if (!loop_.reap_frame) loop_.reap_frame = new_frame();
    FramePtr& frame = loop_.reap_frame;
    av_frame_unref(frame.get());  // a frame left by an exception
    for (auto& p : output_streams) {
        TOutputStream& ost = *p;
        if (!ost.filter || !ost.filter->filter || !ost.encoder_open) continue;
        TOutputFile& of = output_files[static_cast<size_t>(ost.file_index)];
        AVCodecContext* enc = ost.enc_ctx.get();
        while (true) {
            const int ret =
                av_buffersink_get_frame_flags(ost.filter->filter, frame.get(), AV_BUFFERSINK_FLAG_NO_REQUEST);
            if (ret < 0) {
                if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
                    log_message(this, llWarning, "Error in av_buffersink_get_buffer_ref(): " + error_code_text(ret));
                }
                break;
            }
            if (frame->pts != AV_NOPTS_VALUE) {
                const int64_t start = of.start_time == AV_NOPTS_VALUE ? 0 : of.start_time;
                frame->pts = av_rescale_q(frame->pts, av_buffersink_get_time_base(ost.filter->filter), enc->time_base) -
                             av_rescale_q(start, AV_TIME_BASE_Q, enc->time_base);
                if (start && frame->pts < 0) {
                    av_frame_unref(frame.get());
                    continue;
                }
            }
            if (enc->codec_type == AVMEDIA_TYPE_AUDIO) {
                if (!(ost.enc->capabilities & AV_CODEC_CAP_PARAM_CHANGE) &&
                    frame->ch_layout.nb_channels != enc->ch_layout.nb_channels) {
                    log_message(
                        this, llError,
                        "Audio filter graph output is not normalized and encoder does not support parameter changes");
                    av_frame_unref(frame.get());
                    break;
                }
                do_audio_out(of, ost, frame.get());
            } else if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
                if (!ost.frame_aspect_ratio) enc->sample_aspect_ratio = frame->sample_aspect_ratio;
                do_video_out(of, ost, frame.get());
            }
            av_frame_unref(frame.get());
        }
    }
    return 0;
}

bool TCustomFFmpeg::check_recording_time(TOutputStream& ost) {
    const TOutputFile& of = output_files[static_cast<size_t>(ost.file_index)];
    if (of.recording_time == INT64_MAX || !ost.enc_ctx) return true;
    const int64_t first = ost.first_pts == AV_NOPTS_VALUE ? 0 : ost.first_pts;
    if (av_compare_ts(ost.sync_opts - first, ost.enc_ctx->time_base, of.recording_time, AV_TIME_BASE_Q) >= 0) {
        close_output_stream(ost);
        return false;
    }
    return true;
}

void TCustomFFmpeg::do_audio_out(TOutputFile& of, TOutputStream& ost, AVFrame* frame) {
    if (!check_recording_time(ost)) return;
    if (frame->pts == AV_NOPTS_VALUE || options_.audio_sync_method < 0) frame->pts = ost.sync_opts;
    if (ost.first_pts == AV_NOPTS_VALUE) ost.first_pts = frame->pts;
    ost.sync_opts = frame->pts + frame->nb_samples;
    if (OnAudioOutputHook) {
        call_audio_hook(OnAudioOutputHook, av_rescale_q(frame->pts, ost.enc_ctx->time_base, AV_TIME_BASE_Q), frame);
    }
    encode_and_write(of, ost, frame, "Audio encoding failed (avcodec_encode_audio2)");
}

void TCustomFFmpeg::do_video_out(TOutputFile& of, TOutputStream& ost, AVFrame* frame) {
    int method = options_.video_sync_method;
    const int flags = of.ctx->oformat->flags;
    if (method < 0) method = (flags & AVFMT_NOTIMESTAMPS) ? 0 : (flags & AVFMT_VARIABLE_FPS) ? 2 : 1;
    const double ts =
        frame->pts == AV_NOPTS_VALUE ? static_cast<double>(ost.sync_opts) : static_cast<double>(frame->pts);
    const double delta = ts - static_cast<double>(ost.sync_opts);
    int64_t count = 1;
    if (method == 1) {
        count = delta < -1.1 ? 0 : delta <= 1.1 ? 1 : std::llround(delta);
    } else if (method == 2) {
        if (delta <= -0.6)
            count = 0;
        else if (delta > 0.6)
            ost.sync_opts = std::llround(ts);
    } else {
        ost.sync_opts = std::llround(ts);
    }
    count = std::min<int64_t>(count, ost.max_frames - ost.frame_number);
    if (count <= 0) {
        ++loop_.drop_frames;
        loop_.counts_changed = true;
        log_message(this, llVerbose, "*** drop!");
        return;
    }
    if (count > 1) {
        if (count > 30 * static_cast<int64_t>(options_.dts_error_threshold)) {
            log_format(this, llError, "%d frame duplication too large, skipping", static_cast<int>(count - 1));
            ++loop_.drop_frames;
            loop_.counts_changed = true;
            return;
        }
        loop_.dup_frames += static_cast<int>(count - 1);
        loop_.counts_changed = true;
        log_format(this, llVerbose, "*** %d dup!", static_cast<int>(count - 1));
    }
    for (int64_t i = 0; i < count && !stop_requested; ++i) {
        if (!check_recording_time(ost)) return;
        if (ost.first_pts == AV_NOPTS_VALUE) ost.first_pts = ost.sync_opts;
        frame->pts = ost.sync_opts;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        if (OnVideoOutputHook || OnFrameOutputHook) {
            if (av_frame_make_writable(frame) < 0) options_.raise_error("Out of memory");
            const int64_t pts = av_rescale_q(frame->pts, ost.enc_ctx->time_base, AV_TIME_BASE_Q);
            if (OnVideoOutputHook) OnVideoOutputHook(this, frame, pts);
            if (OnFrameOutputHook) OnFrameOutputHook(this, frame, pts);
        }
        force_key_frame(ost, frame);
        encode_and_write(of, ost, frame, "Video encoding failed");
        ++ost.sync_opts;
        ++ost.frame_number;  // encoded video is counted here, not when written
    }
}

void TCustomFFmpeg::encode_and_write(TOutputFile& of, TOutputStream& ost, const AVFrame* frame, const char* what) {
    if (ost.discard_packets) {
        if (frame) count_discarded_packet(of, ost, *frame);
        return;
    }
    AVCodecContext* enc = ost.enc_ctx.get();
    ClearLastLibraryError();
    int ret = avcodec_send_frame(enc, frame);
    if (ret < 0 && ret != AVERROR_EOF) options_.raise_error(with_library_detail(what));
    PacketPtr pkt = new_packet();
    while ((ret = avcodec_receive_packet(enc, pkt.get())) >= 0) {
        if (ost.logfile && enc->stats_out) std::fputs(enc->stats_out, ost.logfile);
        size_t size = 0;
        if (const uint8_t* q = av_packet_get_side_data(pkt.get(), AV_PKT_DATA_QUALITY_STATS, &size); q && size >= 4) {
            const uint32_t lambda =
                q[0] | (q[1] << 8) | (q[2] << 16) | (static_cast<uint32_t>(q[3]) << 24);  // little endian
            ost.quality = static_cast<float>(lambda) / FF_QP2LAMBDA;
        }
        av_packet_rescale_ts(pkt.get(), enc->time_base, ost.st->time_base);
        if (enc->codec_type == AVMEDIA_TYPE_AUDIO)
            loop_.audio_size += pkt->size;
        else if (enc->codec_type == AVMEDIA_TYPE_VIDEO)
            loop_.video_size += pkt->size;
        write_packet(of, ost, pkt.get());
    }
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) options_.raise_error(with_library_detail(what));
}

// The packet the muxer's PCM or frame-wrapping encoder makes of one frame:
// its size, and the frame's time as its timestamps. It goes through the
// bookkeeping of a written packet, but not to the muxer.
void TCustomFFmpeg::count_discarded_packet(TOutputFile& of, TOutputStream& ost, const AVFrame& frame) {
    const AVCodecContext* enc = ost.enc_ctx.get();
    if (!loop_.discarded_packet) loop_.discarded_packet = new_packet();
    PacketPtr& pkt = loop_.discarded_packet;
    av_packet_unref(pkt.get());
    if (enc->codec_type == AVMEDIA_TYPE_AUDIO) {
        pkt->size = frame.nb_samples * enc->ch_layout.nb_channels * (av_get_bits_per_sample(enc->codec_id) / 8);
        pkt->duration = frame.nb_samples;
        loop_.audio_size += pkt->size;
    } else {
        pkt->size = static_cast<int>(sizeof(AVFrame));
        loop_.video_size += pkt->size;
    }
    pkt->pts = pkt->dts = frame.pts;
    av_packet_rescale_ts(pkt.get(), enc->time_base, ost.st->time_base);
    write_packet(of, ost, pkt.get());
}

void TCustomFFmpeg::flush_encoders() {
    for (auto& p : output_streams) {
        TOutputStream& ost = *p;
        if (!ost.encoding_needed || !ost.encoder_open) continue;
        AVCodecContext* enc = ost.enc_ctx.get();
        if (enc->codec_type == AVMEDIA_TYPE_AUDIO && enc->frame_size <= 1) continue;
        if (enc->codec_type != AVMEDIA_TYPE_AUDIO && enc->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        encode_and_write(output_files[static_cast<size_t>(ost.file_index)], ost, nullptr,
                         enc->codec_type == AVMEDIA_TYPE_VIDEO ? "Video encoding failed" : "Audio encoding failed");
    }
}

void TCustomFFmpeg::do_streamcopy(TInputStream& ist, TOutputStream& ost, const AVPacket* in) {
    TOutputFile& of = output_files[static_cast<size_t>(ost.file_index)];
    const int64_t start = of.start_time == AV_NOPTS_VALUE ? 0 : of.start_time;
    const int64_t ost_tb_start = av_rescale_q(start, AV_TIME_BASE_Q, ost.st->time_base);
    if (ost.frame_number == 0 && !(in->flags & AV_PKT_FLAG_KEY) && !ost.copy_initial_nonkeyframes) return;
    if (ost.frame_number == 0 && ost.copy_prior_start <= 0 && start && ist.pts < start) return;
    if (of.recording_time != INT64_MAX && ist.pts >= of.recording_time + start) {
        close_output_stream(ost);
        return;
    }
    PacketPtr pkt = new_packet();
    if (av_packet_ref(pkt.get(), in) < 0) return;
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts = av_rescale_q(pkt->pts, ist.st->time_base, ost.st->time_base) - ost_tb_start;
    if (pkt->dts == AV_NOPTS_VALUE) {
        pkt->dts = av_rescale_q(ist.dts, AV_TIME_BASE_Q, ost.st->time_base);
    } else {
        pkt->dts = av_rescale_q(pkt->dts, ist.st->time_base, ost.st->time_base);
    }
    pkt->dts -= ost_tb_start;
    if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && ist.st->codecpar->sample_rate > 0 && pkt->duration > 0) {
        const int64_t samples = av_rescale_q(in->duration, ist.st->time_base, {1, ist.st->codecpar->sample_rate});
        pkt->duration = av_rescale_q(samples, {1, ist.st->codecpar->sample_rate}, ost.st->time_base);
    } else {
        pkt->duration = av_rescale_q(pkt->duration, ist.st->time_base, ost.st->time_base);
    }
    if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        loop_.video_size += pkt->size;
    else if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
        loop_.audio_size += pkt->size;
    write_packet(of, ost, pkt.get());
}

void TCustomFFmpeg::write_packet(TOutputFile& of, TOutputStream& ost, AVPacket* pkt) {
    const AVFormatContext* s = of.ctx.get();
    const AVMediaType type = ost.st->codecpar->codec_type;
    if ((type == AVMEDIA_TYPE_VIDEO && options_.video_sync_method == 255) ||
        (type == AVMEDIA_TYPE_AUDIO && options_.audio_sync_method < 0)) {
        pkt->pts = pkt->dts = AV_NOPTS_VALUE;
    }
    if (pkt->dts != AV_NOPTS_VALUE && ost.last_mux_dts != AV_NOPTS_VALUE && !(s->oformat->flags & AVFMT_NOTIMESTAMPS)) {
        const int64_t max = ost.last_mux_dts + !(s->oformat->flags & AVFMT_TS_NONSTRICT);
        if (pkt->dts < max) {
            log_format(this, llWarning, "st:%d PTS: %" PRId64 " DTS: %" PRId64 " < %" PRId64 " invalid, clipping",
                       pkt->stream_index, pkt->pts, pkt->dts, max);
            if (pkt->pts >= pkt->dts) pkt->pts = std::max(pkt->pts, max);
            pkt->dts = max;
        }
    }
    if (!(type == AVMEDIA_TYPE_VIDEO && ost.encoding_needed)) {
        if (ost.frame_number >= ost.max_frames) {
            av_packet_unref(pkt);
            return;
        }
        ++ost.frame_number;
    }
    if (pkt->dts != AV_NOPTS_VALUE)
        ost.last_mux_dts = pkt->dts;
    else if (pkt->pts != AV_NOPTS_VALUE)
        ost.last_mux_dts = pkt->pts;
    if (pkt->dts != AV_NOPTS_VALUE || pkt->pts != AV_NOPTS_VALUE)
        ost.last_mux_end = ost.last_mux_dts + std::max<int64_t>(pkt->duration, 0);
    ost.data_size += pkt->size;
    pkt->stream_index = ost.index;
    if (ost.discard_packets) return;
    write_filtered_packet(of, ost, pkt);
}

}  // namespace sonorix
