// The task's progress report: the stats line, the owner's progress call, the
// progress output and the final summary. Runs on the task's worker only.
#include "base/FFLog.h"
#include "transcoder/FFmpeg.h"
#include "transcoder/FFmpegReportText.h"

namespace sonorix {

void TCustomFFmpeg::print_report(bool final_report) {
    if (!options_.print_stats && !final_report && !options_.progress_avio && !OnProgress) return;
    const int64_t now = av_gettime_relative();
    if (!final_report) {
        // The first call only starts the interval.
        if (loop_.last_report < 0) {
            loop_.last_report = now;
            return;
        }
        if (now - loop_.last_report < ProgressIntervalUs) return;
        loop_.last_report = now;
    }
    ReportValues v;
    if (!output_files.empty() && output_files[0].ctx && output_files[0].ctx->pb) {
        AVIOContext* pb = output_files[0].ctx->pb;
        v.output_size = avio_size(pb);
        if (v.output_size <= 0) v.output_size = avio_tell(pb);
    }
    if (v.output_size < 0) v.output_size = -1;
    std::vector<StreamQuality> qualities;
    bool have_video = false;
    int64_t position = 0;
    // Finished streams do not count while others still run; once every
    // stream is done they do, or the last reports would fall back to 0.
    int64_t finished_position = 0;
    bool all_finished = true;
    for (auto& p : output_streams) {
        TOutputStream& ost = *p;
        all_finished &= ost.finished;
        const AVCodecContext* enc = ost.enc_ctx.get();
        // The last stream examined gives the quality passed on.
        v.quality = ost.stream_copy ? -1 : ost.quality;
        qualities.push_back({ost.file_index, ost.index, v.quality});
        if (!have_video && enc && enc->codec_type == AVMEDIA_TYPE_VIDEO && ost.frame_number > 0) {
            have_video = true;
            v.frame_number = static_cast<int>(ost.frame_number);
            const double seconds = (now - loop_.timer_start) / 1e6;
            v.fps = seconds > 1 ? ost.frame_number / seconds : 0;
        }
        if (ost.last_mux_dts != AV_NOPTS_VALUE) {
            // The final report tells how far the output reaches, not where
            // its last packet began (long ones end well after).
            const int64_t last = final_report ? ost.last_mux_end : ost.last_mux_dts;
            const int64_t at = av_rescale_q(last, ost.st->time_base, AV_TIME_BASE_Q);
            if (!ost.finished || final_report)
                position = std::max(position, at);
            else
                finished_position = std::max(finished_position, at);
        }
    }
    v.position = all_finished ? std::max(position, finished_position) : position;
    v.dup_frames = loop_.dup_frames;
    v.drop_frames = loop_.drop_frames;
    const std::string line = stats_line(v);
    if (loop_.counts_changed && OnProgress) {
        log_message(this, llInfo, line);
        loop_.counts_changed = false;
    }
    if (OnProgress) {
        const double rate = report_bit_rate(v.output_size, v.position);
        OnProgress(this, final_report ? -1 : loop_.current_input, v.frame_number, static_cast<int>(v.fps + 0.5),
                   v.quality, static_cast<float>(rate), v.output_size < 0 ? 0 : v.output_size, v.position,
                   loop_.expected_duration);
    }
    if ((options_.print_stats && !OnProgress) || final_report) log_message(this, llInfo, line);
    if (options_.progress_avio) {
        for (const std::string& l : progress_output_lines(v, qualities, final_report)) {
            avio_write(options_.progress_avio, reinterpret_cast<const unsigned char*>(l.data()),
                       static_cast<int>(l.size()));
            avio_w8(options_.progress_avio, '\n');
        }
        avio_flush(options_.progress_avio);
        if (final_report) avio_closep(&options_.progress_avio);
    }
    if (final_report) {
        const ByteCounts c{loop_.video_size, loop_.audio_size, loop_.subtitle_size, global_header_bytes};
        if (output_was_empty(c)) {
            log_message(this, llWarning, kEmptyOutputText);
        } else {
            log_message(this, llInfo, summary_line(c, v.output_size) + "\n");
        }
    }
}

}  // namespace sonorix
