#include "workflow/peak_analysis.h"
#include "workflow/track_levels.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace sonorix;

// Gains: down to 0.01 dB, never above full scale; none for silence or no samples.
TEST(PeakAnalysis, HeadroomIsRoundedDownAndSilenceHasNone) {
    const struct {
        std::optional<double> peak, gain;
    } cases[] = {{-HUGE_VAL, std::nullopt}, {-3.461, 3.46}, {3.004, -3.01}, {std::nullopt, std::nullopt}};
    for (const auto& c : cases) {
        TrackReading r;
        r.peak_db = c.peak;
        EXPECT_EQ(headroom_gain(r), c.gain);
    }
}

TEST(PeakAnalysis, OneChainServesAllTracksOrEachHasItsOwn) {
    EXPECT_EQ(track_filter_options({",volume=1.5"}), " -af volume=1.5");
    EXPECT_EQ(track_filter_options({",volume=3.00dB", ",volume=3.00dB"}), " -af volume=3.00dB");
    EXPECT_EQ(track_filter_options({",volume=1.00dB", "", ",volume=20.02dB"}),
              " -filter:a:0 volume=1.00dB -filter:a:2 volume=20.02dB");
    EXPECT_EQ(track_filter_options({""}), "");
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
