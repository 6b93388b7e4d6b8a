#include "transcoder/FFmpegReportText.h"

#include "base/FFBase.h"

namespace sonorix {

namespace {

struct Clock {
    int hours, minutes, seconds, micros;
};

Clock clock_of(int64_t us) {
    if (us < 0) us = 0;
    const int64_t secs = us / 1000000;
    return {static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60),
            static_cast<int>(us % 1000000)};
}

}  // namespace

const char* const kEmptyOutputText =
    "Output file is empty, nothing was encoded (check -ss / -t / -frames parameters if used)";

double report_bit_rate(int64_t output_size, int64_t position) {
    if (output_size < 0 || position <= 0) return -1;
    return output_size * 8.0 / (position / 1000.0);
}

std::string stats_line(const ReportValues& v) {
    std::string line = Format("frame=%5d fps=%3.*f q=%3.1f ", v.frame_number, v.fps < 9.95 ? 1 : 0, v.fps, v.quality);
    line += v.output_size >= 0 ? Format("size=%8.0fkB time=", v.output_size / 1024.0) : "size=N/A time=";
    const Clock c = clock_of(v.position);
    line += Format("%02d:%02d:%02d.%03d ", c.hours, c.minutes, c.seconds, c.micros / 1000);
    const double rate = report_bit_rate(v.output_size, v.position);
    line += rate >= 0 ? Format("bitrate=%6.1fkbits/s", rate) : "bitrate=N/A";
    if (v.dup_frames || v.drop_frames) line += Format(" dup=%d drop=%d", v.dup_frames, v.drop_frames);
    return line;
}

std::vector<std::string> progress_output_lines(const ReportValues& v, const std::vector<StreamQuality>& streams,
                                               bool final_report) {
    std::vector<std::string> lines;
    lines.push_back(Format("frame=%d", v.frame_number));
    lines.push_back(Format("fps=%.1f", v.fps));
    for (const auto& s : streams) {
        lines.push_back(Format("stream_%d_%d_q=%.1f", s.file_index, s.stream_index, s.quality));
    }
    const double rate = report_bit_rate(v.output_size, v.position);
    lines.push_back(rate >= 0 ? Format("bitrate=%6.1fkbits/s", rate) : "bitrate=N/A");
    lines.push_back(v.output_size >= 0 ? Format("total_size=%lld", static_cast<long long>(v.output_size))
                                       : "total_size=N/A");
    lines.push_back(Format("out_time_ms=%lld", static_cast<long long>(v.position)));
    const Clock c = clock_of(v.position);
    lines.push_back(Format("out_time=%02d:%02d:%02d.%06d", c.hours, c.minutes, c.seconds, c.micros));
    lines.push_back(Format("dup_frames=%d", v.dup_frames));
    lines.push_back(Format("drop_frames=%d", v.drop_frames));
    lines.push_back(final_report ? "progress=end" : "progress=continue");
    return lines;
}

bool output_was_empty(const ByteCounts& c) {
    return c.video == 0 && c.audio == 0 && c.subtitle == 0 && c.global_headers == 0;
}

std::string summary_line(const ByteCounts& c, int64_t output_size) {
    const double sum = static_cast<double>(c.video + c.audio + c.subtitle + c.global_headers);
    const double overhead = sum > 0 && output_size >= 0 ? (output_size - sum) * 100.0 / sum : 0;
    return Format("video:%1.0fkB audio:%1.0fkB subtitle:%1.0f global headers:%1.0fkB muxing overhead %f%%",
                  c.video / 1024.0, c.audio / 1024.0, c.subtitle / 1024.0, c.global_headers / 1024.0, overhead);
}

}  // namespace sonorix
