#include "transcoder/FFmpegReportText.h"

#include <gtest/gtest.h>

using namespace sonorix;

TEST(ReportText, StatsLine) {
    ReportValues v;
    v.frame_number = 123;
    v.fps = 25;
    v.quality = 2;
    v.output_size = 524288;
    v.position = 5000000;
    EXPECT_EQ(stats_line(v), "frame=  123 fps= 25 q=2.0 size=     512kB time=00:00:05.000 bitrate= 838.9kbits/s");
    v.fps = 9.9;
    v.dup_frames = 2;
    v.output_size = -1;
    v.position = 3723456789;
    EXPECT_EQ(stats_line(v), "frame=  123 fps=9.9 q=2.0 size=N/A time=01:02:03.456 bitrate=N/A dup=2 drop=0");
    v.position = 0;
    v.output_size = 100;
    EXPECT_EQ(report_bit_rate(v.output_size, v.position), -1) << "no division by a zero position";
}

TEST(ReportText, ProgressOutputLines) {
    ReportValues v;
    v.frame_number = 10;
    v.fps = 5;
    v.output_size = 2000;
    v.position = 1500000;
    const auto lines = progress_output_lines(v, {{0, 1, 3.5f}}, false);
    const std::vector<std::string> want = {"frame=10",
                                           "fps=5.0",
                                           "stream_0_1_q=3.5",
                                           "bitrate=  10.7kbits/s",
                                           "total_size=2000",
                                           "out_time_ms=1500000",
                                           "out_time=00:00:01.500000",
                                           "dup_frames=0",
                                           "drop_frames=0",
                                           "progress=continue"};
    EXPECT_EQ(lines, want);
    EXPECT_EQ(progress_output_lines(v, {}, true).back(), "progress=end");
}

TEST(ReportText, SummaryAndEmptyOutput) {
    ByteCounts c{0, 204800, 0, 0};
    EXPECT_FALSE(output_was_empty(c));
    EXPECT_EQ(summary_line(c, 215040), "video:0kB audio:200kB subtitle:0 global headers:0kB muxing overhead 5.000000%");
    EXPECT_TRUE(output_was_empty(ByteCounts{}));
    EXPECT_EQ(summary_line(ByteCounts{}, 0),
              "video:0kB audio:0kB subtitle:0 global headers:0kB muxing overhead 0.000000%");
}
