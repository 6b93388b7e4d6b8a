// Album gains from readings: the gated loudness of pooled blocks, one gain
// per group and the skip threshold.
#include <gtest/gtest.h>

#include <cmath>

#include "workflow/batch_job.h"
#include "workflow/loudness.h"
#include "workflow/track_levels.h"

using namespace sonorix;

namespace {

std::vector<float> blocks(std::initializer_list<std::pair<int, float>> runs) {
    std::vector<float> out;
    for (const auto& [n, l] : runs) out.insert(out.end(), static_cast<size_t>(n), l);
    return out;
}

// The two gates of BS.1770, on one programme and on two pooled.
TEST(AlbumLoudness, GatesBlocksAsOneProgramme) {
    const auto loud = blocks({{10, -20.0f}, {5, -80.0f}, {5, -35.0f}});  // -80: absolute gate; -35: relative
    const auto quiet = blocks({{10, -26.0f}});
    const auto silent = blocks({{4, -75.0f}});
    const struct {
        std::vector<const std::vector<float>*> programmes;
        std::optional<double> loudness;
    } cases[] = {
        {{&loud}, -20.0},
        {{&loud, &quiet}, 10 * std::log10((10 * std::pow(10, -2.0) + 10 * std::pow(10, -2.6)) / 20)},
        {{&silent}, std::nullopt},
        {{&silent, &quiet}, -26.0},
    };
    for (const auto& c : cases) {
        const auto got = gated_loudness(c.programmes);
        ASSERT_EQ(got.has_value(), c.loudness.has_value());
        if (got) {
            EXPECT_NEAR(*got, *c.loudness, 1e-6);
        }
    }
}

TrackReading peak(double db) {
    TrackReading r;
    r.peak_db = db;
    return r;
}

// Normalize in an album: the smallest headroom of any track of any file of
// the group, per folder; then rows within the threshold are skipped.
TEST(AlbumGains, OneGainPerGroupThenTheSkipThreshold) {
    const struct {
        AlbumGroups groups;
        std::optional<double> within;
        std::vector<std::optional<double>> gains;  // per row; none: skipped
    } cases[] = {
        {AlbumGroups::None, std::nullopt, {6.0, 3.0, 0.5}},
        {AlbumGroups::List, std::nullopt, {0.5, 0.5, 0.5}},
        {AlbumGroups::Folder, std::nullopt, {2.0, 2.0, 0.5}},
        {AlbumGroups::Folder, 1.0, {2.0, 2.0, std::nullopt}},
        // b's 3 dB track keeps it, though its other is within.
        {AlbumGroups::None, 2.5, {6.0, 3.0, std::nullopt}},
    };
    for (const auto& c : cases) {
        BatchJob job(BatchMode::Normalize, 100, "/out", "", {"/m/x/a.wav", "/m/x/b.mkv", "/m/y/c.wav"});
        job.set_album(c.groups);
        job.set_skip_within(c.within);
        // b's second track is the loudest of folder x.
        job.measured(0, {peak(-6)}, "");
        job.measured(1, {peak(-3), peak(-2)}, "");
        job.rows[1].main_track = 0;
        job.measured(2, {peak(-0.5)}, "");
        job.settle_gains();
        for (size_t i = 0; i < 3; ++i) {
            const BatchRow& r = job.rows[i];
            EXPECT_EQ(job.to_convert(i), c.gains[i].has_value()) << i;
            if (!c.gains[i]) {
                EXPECT_TRUE(r.within);
                EXPECT_NE(r.reason.find("is within"), std::string::npos) << r.reason;
                continue;
            }
            EXPECT_NEAR(*r.gain, *c.gains[i], 1e-9) << i;
            if (c.groups != AlbumGroups::None) {
                for (const TrackLevel& t : r.tracks) EXPECT_NEAR(*t.gain, *c.gains[i], 1e-9);
            }
        }
    }
}

}  // namespace
