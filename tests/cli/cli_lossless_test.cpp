// sonorix-cli change, normalize and loudness with --lossless and
// --prefer-lossless: which path each file takes, the gains its records give,
// and the levels of what was written.
#include <gtest/gtest.h>

#include <cmath>

#include "cli_run.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

constexpr double kStepDb = 1.5051499783199060;

class CliLosslessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir("sonorix-cli-lossless");
        fs::create_directories(dir_->path() / "in");
        // A film whose two audio tracks have their own codecs and levels.
        test::MediaSpec film;
        film.video = true;
        film.subtitle = true;
        film.sample_rate = 48000;
        film.audio_channels = {2, 2};
        film.audio_codecs = {"libmp3lame", "libopus"};
        film.audio_peaks_db = {-6.5, -12.0};
        test::make_media(in("film.mkv"), film);
        test::MediaSpec song;
        song.peak_db = -9.0;
        test::make_media(in("song.m4a"), song);
        test::make_media(in("song.flac"), song);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static fs::path in(const std::string& name) { return dir_->path() / "in" / name; }
    static test::TempDir* dir_;
};

test::TempDir* CliLosslessTest::dir_ = nullptr;

// The audio tracks of each file and how their level may differ from the
// gain asked: by less than a step (nearest or down), never above it (down).
struct Expect {
    const char* file;
    const char* path;              // "lossless", "re-encoded", or null: failed without a target
    std::vector<double> steps_db;  // per audio track: the codec's step
};

TEST_F(CliLosslessTest, EachFileTakesTheLosslessPathOrSaysWhyNot) {
    const double opus_step = 1.0 / 256;
    const std::vector<Expect> lossless = {
        {"film.mkv", "lossless", {kStepDb, opus_step}},
        {"song.m4a", "lossless", {kStepDb}},
    };
    const struct {
        std::vector<std::string> args;
        bool down;  // the gain is rounded down (Normalize)
        const char* flac_path;
        int status;
    } rows[] = {
        {{"change", "--percent", "200", "--lossless"}, false, nullptr, 1},
        {{"change", "--percent", "70", "--prefer-lossless"}, false, "re-encoded", 0},
        {{"normalize", "--lossless"}, true, nullptr, 1},
        {{"loudness", "--target", "-20", "--prefer-lossless"}, false, "re-encoded", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        test::TempDir out("sonorix-lossless-out");
        std::vector<std::string> args = row.args;
        for (const char* extra : {"--json", "-o"}) args.push_back(extra);
        args.push_back(out.path().string());
        for (const char* f : {"film.mkv", "song.m4a", "song.flac"}) args.push_back(in(f).string());
        const test::CliRun run = test::cli(args);
        EXPECT_EQ(run.status, row.status) << run.err;
        const nlohmann::json records = test::records(run);
        ASSERT_EQ(records.size(), 3u) << run.out;

        std::vector<Expect> expected = lossless;
        expected.push_back({"song.flac", row.flac_path, {}});
        for (size_t i = 0; i < expected.size(); ++i) {
            const Expect& e = expected[i];
            const nlohmann::json& r = records[i];
            SCOPED_TRACE(e.file);
            EXPECT_EQ(r["path"], e.path ? nlohmann::json(e.path) : nlohmann::json()) << r.dump();
            if (!e.path) {
                EXPECT_EQ(r["status"], "failed");
                EXPECT_NE(r["error"].get<std::string>().find("audio track 1 (flac)"), std::string::npos) << r.dump();
                EXPECT_FALSE(fs::exists(out / e.file));
                continue;
            }
            EXPECT_EQ(r["status"], "completed") << r.dump();
            if (std::string(e.path) == "re-encoded") {
                EXPECT_NE(r["lossless_refused"].get<std::string>().find("audio track 1 (flac)"), std::string::npos);
                continue;
            }
            ASSERT_EQ(r["tracks"].size(), e.steps_db.size()) << r.dump();
            for (size_t t = 0; t < e.steps_db.size(); ++t) {
                SCOPED_TRACE(t);
                const nlohmann::json& track = r["tracks"][t];
                const double applied = track["gain_db"], asked = track["asked_gain_db"];
                const double step = e.steps_db[t] + 0.01;  // the figures are rounded to 0.01 dB
                if (row.down) {
                    EXPECT_LE(applied, asked + 0.005);
                }
                EXPECT_LT(std::fabs(applied - asked), row.down ? step : step / 2 + 0.01);
                // The target decodes to the source's level plus the applied gain.
                const double before = test::measure_audio(in(e.file), static_cast<int>(t)).peak_db;
                const double after = test::measure_audio(out / e.file, static_cast<int>(t)).peak_db;
                EXPECT_NEAR(after - before, applied, 0.02);
            }
        }
    }
}

// The loudest volume stays within an AAC track's room; silence, which no
// gain field reaches, is refused with the reason.
TEST_F(CliLosslessTest, SilenceIsRefusedAndTheLoudestVolumeFits) {
    test::TempDir out("sonorix-lossless-range");
    const test::CliRun run = test::cli(
        {"change", "--percent", "1000", "--lossless", "--json", "-o", out.path().string(), in("song.m4a").string()});
    // +20 dB is 13 steps: within an AAC global gain's room for this file.
    ASSERT_EQ(run.status, 0) << run.err;
    const test::CliRun silent = test::cli(
        {"change", "--percent", "0", "--lossless", "-o", out.path().string(), "--overwrite", in("song.m4a").string()});
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.err.find("silence is not written without re-encoding"), std::string::npos) << silent.err;
}

// A dry run reads each file for its plan and writes nothing: a lossless
// file gives the gains the run would apply and no options; a refused one its
// reason, then the re-encoding's options (--prefer-lossless) or a failure
// (--lossless).
TEST_F(CliLosslessTest, DryRunPlansEachPathWithoutWriting) {
    const struct {
        const char* flag;
        int status;
        const char* flac_status;
    } rows[] = {{"--lossless", 1, "failed"}, {"--prefer-lossless", 0, "planned"}};
    test::TempDir out("sonorix-lossless-dry");
    auto normalize = [&](const char* flag, bool dry) {
        std::vector<std::string> args = {"normalize", flag, "--json", "--overwrite", "-o", out.path().string()};
        if (dry) args.push_back("--dry-run");
        for (const char* f : {"film.mkv", "song.m4a", "song.flac"}) args.push_back(in(f).string());
        return test::cli(args);
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.flag);
        const test::CliRun run = normalize(row.flag, true);
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_TRUE(fs::is_empty(out.path()));
        const nlohmann::json records = test::records(run);
        ASSERT_EQ(records.size(), 3u) << run.out;
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(records[i]["status"], "planned") << records[i].dump();
            EXPECT_EQ(records[i]["path"], "lossless");
            EXPECT_TRUE(records[i]["options"].is_null());
            for (const nlohmann::json& track : records[i]["tracks"])
                EXPECT_LE(track["gain_db"].get<double>(), track["asked_gain_db"].get<double>() + 0.005);
        }
        const nlohmann::json& flac = records[2];
        EXPECT_EQ(flac["status"], row.flac_status) << flac.dump();
        const std::string reason = row.status ? flac["error"] : flac["lossless_refused"];
        EXPECT_NE(reason.find("audio track 1 (flac)"), std::string::npos) << flac.dump();
        if (!row.status) {
            EXPECT_EQ(flac["path"], "re-encoded");
            EXPECT_NE(flac["options"].get<std::string>().find("volume="), std::string::npos) << flac.dump();
        }
    }
    // The plan's gains are the run's: one rounding for both.
    const nlohmann::json planned = test::records(normalize("--prefer-lossless", true));
    const nlohmann::json done = test::records(normalize("--prefer-lossless", false));
    ASSERT_EQ(done.size(), 3u);
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(planned[i]["tracks"], done[i]["tracks"]) << done[i].dump();
}

}  // namespace
