#include "single/peak_analysis.h"

#include <gtest/gtest.h>

using namespace sonorix;

TEST(PeakAnalysis, MaxVolumeLines) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"[Parsed_volumedetect_0 @ 0x55d0c] max_volume: -3.5 dB", "3.5"},
        {"[Parsed_volumedetect_0 @ 0x55d0c] max_volume: 0.0 dB", "0.0"},
        {"max_volume: -21.7 dB", "21.7"},
        {"max_volume: --1.0 dB", "-1.0"},           // only one sign is removed
        {"max_volume: 2.5 dB", "-2.5"},             // over full scale: the gain lowers it
        {"[Parsed_volumedetect_0 @ 0x1] mean_volume: -20.1 dB", std::nullopt},
        {"max_volume: dB", ""},                     // nothing between
        {"dB first, then max_volume: -2.0", ""},    // "dB" before the value
        {"max_volume: -6.02", ""},                  // no unit at all
    };
    for (const auto& [line, want] : cases) EXPECT_EQ(max_volume_from_line(line), want) << line;
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
