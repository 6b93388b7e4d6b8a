// Every audio track a programme of its own, through every mode of the list
// runs: films with a loud stereo and a quiet 5.1 track in both orders, a float
// master above full scale, mono beside stereo. Each track of each target is
// measured on its own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>

#include "cli_run.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

using test::cli;
using test::CliRun;

class CliTracksTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir("sonorix-cli-tracks");
        fs::create_directories(dir_->path() / "in");
        auto make = [](const char* name, auto&& set) {
            test::MediaSpec m;
            m.duration_seconds = 3;
            set(m);
            test::make_media(dir_->path() / "in" / name, m);
        };
        // A loud stereo and a quiet 5.1 track; one gain for both clips the first.
        make("film.mkv", [](test::MediaSpec& m) {
            m.video = true;
            m.audio_channels = {2, 6};
            m.audio_peaks_db = {-1, -20};
        });
        make("film.mp4", [](test::MediaSpec& m) {
            m.video = true;
            m.audio_channels = {6, 2};
            m.audio_peaks_db = {-20, -1};
        });
        make("hot.wav", [](test::MediaSpec& m) {
            m.audio_codec = "pcm_f32le";
            m.peak_db = 3;
        });
        make("mono.wav", [](test::MediaSpec& m) {
            m.audio_channels = {1};
            m.peak_db = -10;
        });
        make("stereo.wav", [](test::MediaSpec& m) { m.peak_db = -10; });
    }
    static void TearDownTestSuite() { delete dir_; }
    void SetUp() override { ::setenv("SONORIX_NORMALIZER", SONORIX_NORMALIZE, 1); }
    void TearDown() override { ::unsetenv("SONORIX_NORMALIZER"); }

    static std::string in(const std::string& name) { return (dir_->path() / "in" / name).string(); }
    static inline test::TempDir* dir_ = nullptr;
    test::TempDir out{"sonorix-cli-tracks-out"};

    // Every track of a target: its decoded peak (independent of the engine)
    // and the loudness the CLI measures.
    struct Track {
        double peak_db, integrated, true_peak;
    };
    std::vector<Track> tracks_of(const fs::path& file) {
        const CliRun m = cli({"measure", "--loudness", "--json", file.string()});
        EXPECT_EQ(m.status, 0) << m.err;
        std::vector<Track> out;
        const nlohmann::json record = test::records(m).at(0);
        for (size_t i = 0; i < record["tracks"].size(); ++i) {
            const nlohmann::json& t = record["tracks"][i];
            out.push_back({test::measure_audio(file, static_cast<int>(i)).peak_db, t["integrated"].get<double>(),
                           t["true_peak"].get<double>()});
        }
        return out;
    }
};

TEST_F(CliTracksTest, EveryTrackReachesItsOwnGoalInEveryMode) {
    const std::vector<std::string> files = {"film.mkv", "film.mp4", "hot.wav", "mono.wav", "stereo.wav"};
    struct Mode {
        std::vector<std::string> args;
        // What every track of every target must show.
        std::function<void(const std::string& where, const Track&)> check;
    };
    const Mode modes[] = {
        // Each track to full scale on its own (lossy ones within the second
        // pass's margin), none above it; the float master comes down.
        {{"normalize"},
         [](const std::string& where, const Track& t) {
             EXPECT_LE(t.peak_db, 0.0) << where;
             EXPECT_GE(t.peak_db, -1.6) << where;
         }},
        // Each track at the target, its true peak under the ceiling.
        {{"loudness", "--target", "-16"},
         [](const std::string& where, const Track& t) {
             EXPECT_NEAR(t.integrated, -16, 0.3) << where;
             EXPECT_LE(t.true_peak, -1.0 + 0.1) << where;
         }},
        // All at one level; the float master neither clipped nor left above.
        {{"average"},
         [](const std::string& where, const Track& t) {
             EXPECT_NEAR(t.integrated, -7.7, 0.5) << where;
             EXPECT_LT(t.peak_db, 0.0) << where;
         }},
    };
    for (const Mode& mode : modes) {
        std::vector<std::string> args = mode.args;
        const fs::path o = out.path() / mode.args[0];
        fs::create_directories(o);
        args.insert(args.end(), {"-o", o.string()});
        for (const std::string& f : files) args.push_back(in(f));
        const CliRun r = cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string& f : files) {
            const std::vector<Track> tracks = tracks_of(o / f);
            ASSERT_EQ(tracks.size(), f.rfind("film", 0) == 0 ? 2u : 1u) << mode.args[0] << " " << f;
            for (size_t i = 0; i < tracks.size(); ++i)
                mode.check(mode.args[0] + " " + f + " a:" + std::to_string(i), tracks[i]);
        }
    }
    // One mono convention: a mono tone measures as the same tone in stereo.
    const auto mono = tracks_of(in("mono.wav")), stereo = tracks_of(in("stereo.wav"));
    EXPECT_NEAR(mono[0].integrated, stereo[0].integrated, 0.1);
}

// Volume Change is one factor for all tracks (read from the mean level: a
// coder spreads a tone's peaks); a float master stays float and is not
// clipped at full scale.
TEST_F(CliTracksTest, VolumeChangeGivesEveryTrackTheOneFactorAndKeepsFloatAboveFullScale) {
    const CliRun r = cli({"change", "--percent", "200", "-o", out.path().string(), in("film.mkv"), in("hot.wav")});
    ASSERT_EQ(r.status, 0) << r.err;
    for (int t : {0, 1}) {
        EXPECT_NEAR(
            test::measure_audio(out.path() / "film.mkv", t).rms_db - test::measure_audio(in("film.mkv"), t).rms_db,
            6.02, 0.2)
            << t;
    }
    EXPECT_NEAR(tracks_of(out.path() / "hot.wav")[0].peak_db, 3 + 6.02, 0.05);
}

}  // namespace
