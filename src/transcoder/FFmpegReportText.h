// The texts of a task's progress report: the stats line, the key=value lines
// of the progress output, and the final summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonorix {

struct ReportValues {
    int frame_number = 0;
    double fps = 0;
    float quality = -1;
    int64_t output_size = -1;  // bytes; negative when unknown
    int64_t position = 0;      // microseconds
    int dup_frames = 0;
    int drop_frames = 0;
};

// kbit/s from size and position; -1 when either is unknown or zero.
double report_bit_rate(int64_t output_size, int64_t position);

// "frame=  123 fps= 25 q=2.0 size=     512kB time=00:00:05.000 bitrate= 838.9kbits/s"
std::string stats_line(const ReportValues& v);

struct StreamQuality {
    int file_index = 0;
    int stream_index = 0;
    float quality = -1;
};

// The key=value lines of the progress output, the last being "progress=...".
std::vector<std::string> progress_output_lines(const ReportValues& v, const std::vector<StreamQuality>& streams,
                                               bool final_report);

// The final report's summary; empty output gives the "Output file is empty"
// warning instead (the caller logs it at warning level).
struct ByteCounts {
    int64_t video = 0;
    int64_t audio = 0;
    int64_t subtitle = 0;
    int64_t global_headers = 0;
};
bool output_was_empty(const ByteCounts& c);
std::string summary_line(const ByteCounts& c, int64_t output_size);
extern const char* const kEmptyOutputText;

}  // namespace sonorix
