// sonorix-cli change and normalize: the command line, what a dry run and
// --json print, skipped files, and a stop by signal.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "cli_run.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

using test::cli;
using test::CliRun;

class CliBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::MediaSpec m;
        m.duration_seconds = 1.0;
        m.peak_db = -6.0;
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
        test::make_media(dir / "in" / "a.wav", m);
        m.peak_db = -3.0;
        test::make_media(dir / "in" / "b.flac", m);
    }
    std::string in(const char* name) { return (dir / "in" / name).string(); }
    std::string out_dir() { return (dir / "out").string(); }
    test::TempDir dir{"sonorix-cli-batch"};
};

TEST_F(CliBatchTest, UsageErrors) {
    const std::string o = out_dir(), a = in("a.wav");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"change", "-o", o, a},                                  // no percent
             {"change", "--percent", "1001", "-o", o, a},             // out of range
             {"change", "--percent", "5x", "-o", o, a},               //
             {"normalize", a},                                        // no folder
             {"normalize", "-o", (dir / "missing").string(), a},      //
             {"normalize", "-o", o},                                  // no file
             {"normalize", "-o", o, "--prefix", "../up", a},          // not a prefix
             {"normalize", "-o", o, "--percent", "100", a},           // not normalize's
             {"normalize", "-o", o, "--jobs", "0", a},                //
             {"normalize", "-o", o, "--bogus", a}}) {
        const CliRun r = cli(args);
        EXPECT_EQ(r.status, 2) << args[1] << " " << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST_F(CliBatchTest, DryRunPrintsTargetsAndOptionsAndWritesNothing) {
    const CliRun r = cli({"normalize", "--dry-run", "-o", out_dir(), "--prefix", "loud_", in("a.wav"), in("b.flac")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, in("a.wav") + " -> " + out_dir() + "/loud_a.wav: -y -c:v copy -b:a 1411200 -af volume=6.0dB\n" +
                         // A 16-bit FLAC stays 16-bit.
                         in("b.flac") + " -> " + out_dir() +
                         "/loud_b.flac: -y -c:v copy -q:a 0 -sample_fmt:a s16 -af volume=3.0dB\n");
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST_F(CliBatchTest, JsonRecordsEveryFileAndASkippedOneFailsTheRun) {
    test::write_file(dir / "in" / "bad.mp3", "not media");
    const CliRun r = cli({"change", "--percent", "50", "--json", "-o", out_dir(), in("a.wav"), in("bad.mp3")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("{\"source\": \"" + in("a.wav") + "\", \"target\": \"" + out_dir() +
                         "/a.wav\", \"gain_db\": -6.02, \"status\": \"completed\", \"error\": null}"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"source\": \"" + in("bad.mp3") +
                         "\", \"target\": null, \"gain_db\": -6.02, \"status\": \"skipped\", \"error\": \"File load error: "),
              std::string::npos) << r.out;
    EXPECT_NE(r.err.find(in("bad.mp3") + ": skipped: File load error: "), std::string::npos) << r.err;
    EXPECT_NEAR(test::measure_audio(dir / "out" / "a.wav").peak_db, -12.02, 0.05);
    EXPECT_EQ(cli({"change", "--percent", "100", "-o", out_dir(), in("a.wav")}).status, 0);
}

// Ctrl-C while the conversions run: status 130 and no partial file. The run
// is a forked child with a watchdog, so a hang fails instead of stopping ctest.
TEST_F(CliBatchTest, AStopBySignalEndsWith130AndLeavesNoPartialFile) {
    test::MediaSpec m;
    m.duration_seconds = 240;
    test::make_media(dir / "in" / "long.flac", m);
    const std::vector<std::string> args = {"change", "--percent", "50", "--jobs", "1", "-o", out_dir(),
                                           in("long.flac"), in("long.flac")};
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        std::ostringstream out, err;
        _exit(cli::run(args, out, err));
    }
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // The temporary output exists from the set-up on; it grows once the task runs.
    auto writing = [&] {
        for (const auto& e : fs::directory_iterator(dir / "out")) {
            std::error_code ec;
            if (fs::file_size(e.path(), ec) > 65536) return true;
        }
        return false;
    };
    while (!writing() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace
