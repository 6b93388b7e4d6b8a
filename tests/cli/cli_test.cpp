#include "cli/cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

struct CliRun {
    int status;
    std::string out, err;
};

CliRun cli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = cli::run(args, out, err);
    return {status, out.str(), err.str()};
}

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
    static std::string contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static bool has_part_file(const fs::path& folder) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() == ".part") return true;
        }
        return false;
    }
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

TEST_F(CliTest, EveryCommandNamesAnUnknownFlagAndHonoursDoubleDash) {
    for (const char* command : {"info", "measure", "convert"}) {
        SCOPED_TRACE(command);
        for (const char* flag : {"--foo", "-x", "--json=1"}) {
            const CliRun run = cli({command, file("tone.wav"), flag, file("x.wav")});
            EXPECT_EQ(run.status, 2);
            const std::string name = std::string(flag).substr(0, std::string(flag).find('='));
            if (std::string(command) != "measure" || name != "--json") {
                EXPECT_EQ(run.err, "sonorix-cli: unknown option '" + name + "'\n");
            }
        }
    }
    // After "--" names that start with '-' are files.
    const fs::path folder = *dir_ / "dash";
    fs::create_directories(folder);
    fs::copy_file(*dir_ / "tone.wav", folder / "-tone.wav");
    const fs::path cwd = fs::current_path();
    fs::current_path(folder);
    const CliRun info = cli({"info", "--", "-tone.wav"});
    const CliRun measure = cli({"measure", "--json", "--", "-tone.wav"});
    const CliRun convert = cli({"convert", "--output-options", "-y -af volume=2", "--", "-tone.wav", "-louder.wav"});
    fs::current_path(cwd);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(measure.status, 0) << measure.err;
    EXPECT_NE(measure.out.find("\"file\": \"-tone.wav\", \"max_volume\": -6.0"), std::string::npos) << measure.out;
    EXPECT_EQ(convert.status, 0) << convert.err;
    EXPECT_NEAR(test::measure_audio(folder / "-louder.wav").peak_db, -6.0 + 6.02, 0.05);
    EXPECT_EQ(cli({"measure", "--jobs", "2x", file("tone.wav")}).status, 2);
    EXPECT_EQ(cli({"convert", file("tone.wav"), file("x.wav"), "--output-options"}).err,
              "sonorix-cli convert: --output-options needs a value\n");
}

TEST_F(CliTest, ConvertRefusesTwoPairsWithOneTarget) {
    const fs::path existing = *dir_ / "existing.wav", link = *dir_ / "link.wav";
    test::write_file(existing, "older");
    fs::create_hard_link(existing, link);
    const std::pair<std::string, std::string> same[] = {
        {file("new.wav"), (*dir_ / "sub" / ".." / "new.wav").string()},  // by path: neither exists
        {existing.string(), link.string()},                               // by identity
    };
    for (const auto& [a, b] : same) {
        const CliRun run = cli({"convert", file("tone.wav"), a, file("tone.wav"), file("other.wav"), file("tone.wav"),
                                b, "--output-options", " -y"});
        EXPECT_EQ(run.status, 2) << a;
        EXPECT_EQ(run.err, "sonorix-cli convert: pairs 1 and 3 have one target (" + a + ", " + b +
                               "); give each pair its own\n");
        EXPECT_FALSE(fs::exists(file("new.wav")) || fs::exists(file("other.wav"))) << "nothing may start";
    }
    EXPECT_EQ(contents(existing), "older");
}

// A pair that fails is named by its target, whatever part of it failed.
TEST_F(CliTest, AFailedPairIsNamedByItsTarget) {
    const struct {
        const char* source;
        const char* options;
        const char* reason;
    } rows[] = {
        {"missing.wav", " -y", "No such file or directory"},
        {"tone.wav", " -y -c copy -af volume=2", "is copied, so its filter \"volume=2\" cannot run"},
        {"tone.wav", " -y -foo 1", "Option not found: -foo"},
        {"tone.wav", " -y -af \"volume=2", "Unterminated quote in option text:"},
    };
    for (const auto& row : rows) {
        const std::string target = file("named.wav");
        const CliRun run = cli({"convert", file(row.source), target, "--output-options", row.options});
        EXPECT_EQ(run.status, 1) << row.options;
        EXPECT_EQ(run.err.rfind(target + ": ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(row.reason), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(target));
    }
}

// SIGINT, SIGTERM and SIGHUP stop a running conversion of the real program
// like Ctrl-C: tasks stopped, no temporary file, the older target as it was,
// exit status 128 + the signal.
TEST_F(CliTest, StopSignalsEndTheRunCleanly) {
    const std::pair<int, int> cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& [signal, status] : cases) {
        SCOPED_TRACE(signal);
        const fs::path folder = *dir_ / ("signal" + std::to_string(signal));
        fs::create_directories(folder);
        const fs::path target = folder / "long.wav";
        test::write_file(target, "older");
        const std::string err_path = (folder / "stderr.txt").string(), target_path = target.string();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {  // only async-signal-safe calls until the program runs
            alarm(60);     // kept across exec: a run that never stops is a failure, not a stuck test
            const int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) dup2(fd, STDERR_FILENO);
            // Ten minutes of generated audio read at its own rate.
            execl(SONORIX_CLI, SONORIX_CLI, "convert", "--input-options", "-re -f lavfi", "sine=duration=600",
                  target_path.c_str(), "--output-options", " -y", static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!has_part_file(folder) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(has_part_file(folder)) << "the conversion did not start";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into the loop
        kill(child, signal);
        int wstatus = 0;
        ASSERT_EQ(waitpid(child, &wstatus, 0), child);
        ASSERT_TRUE(WIFEXITED(wstatus)) << "ended by signal " << WTERMSIG(wstatus) << ": "
                                        << contents(folder / "stderr.txt");
        EXPECT_EQ(WEXITSTATUS(wstatus), status) << contents(folder / "stderr.txt");
        EXPECT_FALSE(has_part_file(folder));
        EXPECT_EQ(contents(target), "older");
    }

    // The handlers in place before a command are in place after it.
    struct sigaction mine {}, before {}, after {};
    mine.sa_handler = [](int) {};
    sigaction(SIGTERM, &mine, &before);
    EXPECT_EQ(cli({"info"}).status, 2);
    sigaction(SIGTERM, &before, &after);
    EXPECT_EQ(after.sa_handler, mine.sa_handler);
}

}  // namespace
