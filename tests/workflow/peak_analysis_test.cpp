#include "workflow/peak_analysis.h"
#include "workflow/track_levels.h"

#include <gtest/gtest.h>

using namespace sonorix;

// The measurement's log lines, as a task logs them, into one reading per
// track: each filter's place in the graph names its track, and the lines of a
// summary without a prefix belong to the filter that began it.
TEST(PeakAnalysis, EachTracksLinesGoToItsOwnReading) {
    TrackReadings r(2, LevelKind::Loudness);  // astats, ebur128 per track: places 0, 1 | 2, 3
    for (const char* line : {
             "[Parsed_astats_2 @ 0x2] Overall", "[Parsed_astats_2 @ 0x2] Peak level dB: -20.021000",
             "[Parsed_astats_2 @ 0x2] RMS level dB: -23.990000",
             "[Parsed_astats_0 @ 0x1] Peak level dB: 3.004000",  // a float source over full scale
             "[Parsed_ebur128_1 @ 0x3] Summary:", "  Integrated loudness:", "    I:         -10.5 LUFS", "  True peak:",
             "    Peak:        3.2 dBFS", "[Parsed_ebur128_3 @ 0x4] Summary:", "    I:         -30.0 LUFS",
             "[Parsed_astats_4 @ 0x5] Peak level dB: -1.0",  // a third track in the target
         }) {
        r.read(line);
    }
    ASSERT_EQ(r.tracks().size(), 3u);
    EXPECT_EQ(r.tracks()[0].peak_db, 3.004);
    EXPECT_EQ(r.tracks()[0].loudness.integrated, -10.5);
    EXPECT_EQ(r.tracks()[0].loudness.true_peak, 3.2);
    EXPECT_EQ(r.tracks()[1].peak_db, -20.021);
    EXPECT_EQ(r.tracks()[1].mean_db, -23.99);
    EXPECT_EQ(r.tracks()[1].loudness.integrated, std::nullopt);  // no section began
    EXPECT_EQ(r.tracks()[2].peak_db, -1.0);

    // Gains: down to 0.01 dB, never above full scale; none for silence or no samples.
    TrackReadings p(1, LevelKind::Peak);
    p.read("[Parsed_astats_0 @ 0x1] Peak level dB: -inf");
    EXPECT_EQ(headroom_gain(p.tracks()[0]), std::nullopt);
    p.read("[Parsed_astats_0 @ 0x1] Peak level dB: -3.461");
    EXPECT_EQ(headroom_gain(p.tracks()[0]), 3.46);
    p.read("[Parsed_astats_0 @ 0x1] Number of samples: 0");
    EXPECT_EQ(headroom_gain(p.tracks()[0]), std::nullopt);
}

TEST(PeakAnalysis, OneChainServesAllTracksOrEachHasItsOwn) {
    EXPECT_EQ(track_filter_options({",volume=1.5"}), " -af volume=1.5");
    EXPECT_EQ(track_filter_options({",volume=3.00dB", ",volume=3.00dB"}), " -af volume=3.00dB");
    EXPECT_EQ(track_filter_options({",volume=1.00dB", "", ",volume=20.02dB"}),
              " -filter:a:0 volume=1.00dB -filter:a:2 volume=20.02dB");
    EXPECT_EQ(track_filter_options({""}), "");
    EXPECT_EQ(track_measurement_options(2, LevelKind::Peak).find("[0:a:1]"),
              track_measurement_options(2, LevelKind::Peak).find(";[0:a:1]") + 1);
}

TEST(PeakAnalysis, FileLabelCutsAt46Characters) {
    const std::string n46(46, 'a'), n47(47, 'b');
    EXPECT_EQ(analysis_file_label("/music/" + n46), n46);
    EXPECT_EQ(analysis_file_label("/music/" + n47), std::string(46, 'b') + "...");
    // 47 two-byte letters: cut after 46 letters, not inside one.
    std::string wide;
    for (int i = 0; i < 47; ++i) wide += "\xC3\xA9";
    const std::string label = analysis_file_label("/m/" + wide);
    EXPECT_EQ(label, wide.substr(0, 92) + "...");
}

TEST(PeakAnalysis, DotsGrowToSixtyAndStartAgain) {
    std::string label = "Analyzing";
    for (int i = 0; i < 60; ++i) label = next_analysis_dots(label);
    EXPECT_EQ(label, "Analyzing" + std::string(60, '.'));
    EXPECT_EQ(next_analysis_dots(label), "Analyzing");
}
