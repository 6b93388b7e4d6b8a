#include "cli/cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli_run.h"
#include "support/child_process.h"
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
    // A temporary file in folder holding more than min_size bytes.
    static bool has_part_file(const fs::path& folder, uintmax_t min_size = 0) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            std::error_code ec;
            if (entry.path().extension() == ".part" && fs::file_size(entry.path(), ec) >= min_size && !ec) return true;
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
    const nlohmann::json records = test::records(json);
    ASSERT_EQ(records.size(), 2u) << json.out;
    EXPECT_EQ(records[0]["file"], file("tone.wav"));
    EXPECT_EQ(records[0]["max_volume"], -6.0);
    EXPECT_LT(records[0]["mean_volume"].get<double>(), -6.0);
    EXPECT_TRUE(records[0]["seconds"].is_number());
    EXPECT_EQ(
        records[1],
        (nlohmann::json{
            {"file", file("empty.wav")}, {"max_volume", nullptr}, {"mean_volume", nullptr}, {"seconds", nullptr}}));
    EXPECT_NE(json.err.find(file("empty.wav") + ": "), std::string::npos);
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
    EXPECT_EQ(
        cli({"convert", file("tone.wav"), a.string(), file("tone.wav"), b.string(), "--second-input", file("tone.wav")})
            .status,
        2);
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
    EXPECT_EQ(test::records(measure).at(0)["file"], "-tone.wav") << measure.out;
    EXPECT_EQ(convert.status, 0) << convert.err;
    EXPECT_NEAR(test::measure_audio(folder / "-louder.wav").peak_db, -6.0 + 6.02, 0.05);
}

TEST_F(CliTest, ConvertRefusesTwoPairsWithOneTarget) {
    const fs::path existing = *dir_ / "existing.wav", link = *dir_ / "link.wav";
    test::write_file(existing, "older");
    fs::create_hard_link(existing, link);
    const std::pair<std::string, std::string> same[] = {
        {file("new.wav"), (*dir_ / "sub" / ".." / "new.wav").string()},  // by path: neither exists
        {existing.string(), link.string()},                              // by identity
    };
    for (const auto& [a, b] : same) {
        const CliRun run = cli({"convert", file("tone.wav"), a, file("tone.wav"), file("other.wav"), file("tone.wav"),
                                b, "--output-options", " -y"});
        EXPECT_EQ(run.status, 2) << a;
        EXPECT_EQ(run.err, "sonorix-cli convert: pairs 1 and 3 have one target (" + a + ", " + b +
                               "); give each pair its own\n");
        EXPECT_FALSE(fs::exists(file("new.wav")) || fs::exists(file("other.wav"))) << "nothing may start";
    }
    EXPECT_EQ(test::read_file(existing), "older");
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

// The progress line goes to a terminal only: the percentage, the speed and
// the time left there, nothing of it when stderr is a file.
TEST_F(CliTest, TheProgressLineIsForATerminalOnly) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const std::string side = ptsname(terminal);
    for (const bool on_terminal : {true, false}) {
        SCOPED_TRACE(on_terminal);
        const fs::path err_file = *dir_ / "progress.txt";
        // A second of audio read at its own rate: the line has a speed.
        // The child's stderr, held open here until the child has it.
        const int side_fd = on_terminal ? open(side.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        const pid_t child = test::start_program(
            SONORIX_CLI,
            {"convert", "--input-options", "-re", file("tone.wav"), file("progress.wav"), "--output-options", " -y"},
            err_file, {}, [&] {
                if (side_fd >= 0) dup2(side_fd, STDERR_FILENO);
            });
        if (side_fd >= 0) close(side_fd);
        ASSERT_GT(child, 0);
        std::string shown;
        if (on_terminal) {
            char buffer[256];
            // Ends with the child: the terminal's other side is then closed.
            for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;)
                shown.append(buffer, static_cast<size_t>(n));
        }
        EXPECT_EQ(test::wait_program(child), 0) << test::read_file(err_file);
        if (on_terminal) {
            // "\r 62%  1.0x  0:00 left "
            EXPECT_NE(shown.find("%  "), std::string::npos) << shown;
            EXPECT_NE(shown.find("x  0:00 left"), std::string::npos) << shown;
        } else {
            EXPECT_EQ(test::read_file(err_file), "");
        }
    }
    close(terminal);
}

// SIGINT, SIGTERM and SIGHUP stop a running conversion of the real program
// like Ctrl-C: tasks stopped, no temporary file, the older target as it was,
// exit status 128 + the signal. A signal ignored from the start (nohup) stays
// ignored: the SIGTERM after it is the one that stops.
TEST_F(CliTest, StopSignalsEndTheRunCleanly) {
    const struct {
        std::vector<int> signals;
        bool hup_ignored;
        int status;
    } cases[] = {
        {{SIGINT}, false, 130},
        {{SIGTERM}, false, 143},
        {{SIGHUP}, false, 129},
        {{SIGHUP, SIGTERM}, true, 143},
    };
    int run = 0;
    for (const auto& [signals, hup_ignored, status] : cases) {
        SCOPED_TRACE(status);
        const fs::path folder = *dir_ / ("signal" + std::to_string(++run));
        fs::create_directories(folder);
        const fs::path target = folder / "long.wav";
        test::write_file(target, "older");
        const fs::path err_file = folder / "stderr.txt";
        // Ten minutes of generated audio read at its own rate, written wide
        // so that the temporary file soon holds samples.
        const pid_t child = test::start_program(SONORIX_CLI,
                                                {"convert", "--input-options", "-re -f lavfi", "sine=duration=600",
                                                 target.string(), "--output-options", " -y -ar 192000 -ac 8"},
                                                err_file, {}, [&] {
                                                    if (hup_ignored) signal(SIGHUP, SIG_IGN);
                                                });
        ASSERT_GT(child, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        // Samples in the temporary file: the loop runs.
        while (!has_part_file(folder, 16384) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(has_part_file(folder, 16384)) << "the conversion did not start";
        if (hup_ignored) {
            const std::string status_text = test::read_file("/proc/" + std::to_string(child) + "/status");
            const size_t at = status_text.find("SigIgn:");
            ASSERT_NE(at, std::string::npos);
            EXPECT_TRUE(std::stoull(status_text.substr(at + 7), nullptr, 16) & (1ull << (SIGHUP - 1)))
                << "SIGHUP was ignored at the start and must stay so";
        }
        for (const int signal : signals) kill(child, signal);
        int ended_by = 0;
        EXPECT_EQ(test::wait_program(child, &ended_by), status)
            << "ended by signal " << ended_by << ": " << test::read_file(err_file);
        EXPECT_FALSE(has_part_file(folder));
        EXPECT_EQ(test::read_file(target), "older");
    }

    // The handlers in place before a command are in place after it.
    struct sigaction mine {
    }, before{}, after{};
    mine.sa_handler = [](int) {};
    sigaction(SIGTERM, &mine, &before);
    EXPECT_EQ(cli({"info"}).status, 2);
    sigaction(SIGTERM, &before, &after);
    EXPECT_EQ(after.sa_handler, mine.sa_handler);
}

}  // namespace
