#include "cli/cli.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli_run.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

using test::cli;
using test::CliRun;

class CliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir("sonorix-cli");
        test::MediaSpec media;
        media.duration_seconds = 1.0;
        media.peak_db = -6.0;
        test::make_media(*dir_ / "tone.wav", media);
        test::write_file(*dir_ / "empty.wav", "");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string file(const char* name) { return (*dir_ / name).string(); }
    static test::TempDir* dir_;
};

test::TempDir* CliTest::dir_ = nullptr;

TEST_F(CliTest, InfoDescribesAndReportsBadFiles) {
    const CliRun ok = cli({"info", file("tone.wav")});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out.rfind("File Name: " + file("tone.wav") + "\nFormat Name: wav\n", 0), 0u) << ok.out;
    EXPECT_EQ(ok.out.find('\r'), std::string::npos);
    const CliRun bad = cli({"info", file("tone.wav"), file("empty.wav")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "File load error: " + file("empty.wav") + ": Invalid data found when processing input\n");
}

TEST_F(CliTest, MeasureLinesJsonAndFailures) {
    const CliRun text = cli({"measure", file("tone.wav")});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.rfind("max_volume: -6.0 dB  mean_volume: ", 0), 0u) << text.out;
    EXPECT_NE(text.out.find(" dB  " + file("tone.wav") + "\n"), std::string::npos);

    const CliRun json = cli({"measure", "--json", "--jobs", "2", file("tone.wav"), file("empty.wav")});
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(json.out.find("{\"file\": \"" + file("tone.wav") + "\", \"max_volume\": -6.0, \"mean_volume\": -"),
              std::string::npos) << json.out;
    EXPECT_NE(json.out.find("{\"file\": \"" + file("empty.wav") +
                            "\", \"max_volume\": null, \"mean_volume\": null, \"seconds\": null}"),
              std::string::npos) << json.out;
    EXPECT_NE(json.err.find(file("empty.wav") + ": "), std::string::npos);
    EXPECT_EQ(cli({"measure", "--jobs", "0", file("tone.wav")}).status, 2);
}

TEST_F(CliTest, ConvertRaisesThePeakAndReportsFailures) {
    const std::string out = (*dir_ / "louder.wav").string();
    const CliRun run = cli({"convert", file("tone.wav"), out, "--output-options", " -y -af volume=2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NEAR(test::measure_audio(out).peak_db, -6.0 + 6.02, 0.05);
    const CliRun bad = cli({"convert", file("tone.wav"), (*dir_ / "x.wav").string(), "--output-options", "-no-such 1"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_FALSE(bad.err.empty());
    EXPECT_EQ(cli({"convert", file("tone.wav")}).status, 2);
}

TEST_F(CliTest, ConvertRunsEveryPairAndNamesTheOneThatFailed) {
    const fs::path a = *dir_ / "pair-a.wav", b = *dir_ / "pair-b.flac";
    fs::create_directories(*dir_ / "no-dir");
    std::ofstream(*dir_ / "no-dir" / "blocker");  // a file where the target's folder would be
    const fs::path blocked = *dir_ / "no-dir" / "blocker" / "x.wav";
    const CliRun run = cli({"convert", "--jobs", "2", file("tone.wav"), a.string(), file("tone.wav"), blocked.string(),
                            file("tone.wav"), b.string(), "--output-options", " -y -af volume=0.5"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(blocked.string()), std::string::npos) << run.err;
    for (const fs::path& done : {a, b}) EXPECT_NEAR(test::measure_audio(done).peak_db, -6.0 - 6.02, 0.05) << done;
    EXPECT_EQ(cli({"convert", file("tone.wav"), a.string(), file("tone.wav")}).status, 2);
    EXPECT_EQ(cli({"convert", file("tone.wav"), a.string(), file("tone.wav"), b.string(), "--second-input",
                   file("tone.wav")}).status, 2);
}

}  // namespace
