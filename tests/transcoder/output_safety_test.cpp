// What a task leaves on disk and what it reports: writing that fails at any
// point, muxers that rewrite their output, targets that are sources, devices,
// read-only or awkwardly named, a stop while a read blocks, the progress
// input index and the libraries' own words in error texts.
//
// Runs that need a process-wide file size limit, or that could hang, run in a
// forked child watched with a time limit.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include "setup_fixture.h"
#include "support/temp_dir.h"

using namespace sonorix;
using sonorix::test::MediaSpec;
using sonorix::test::names_in;
using sonorix::test::read_file;
using sonorix::test::SetupTest;
namespace fs = std::filesystem;

namespace {

constexpr auto kChildLimit = std::chrono::seconds(30);

// A small file's text; the size of a large one (a media file where text was expected).
std::string contents(const fs::path& path) {
    const std::string bytes = read_file(path);
    return bytes.size() <= 64 ? bytes : "<" + std::to_string(bytes.size()) + " bytes>";
}

// Runs body in a forked child and returns what it reported. A child that
// hangs is killed and fails the test.
std::string in_child(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return "no fork";
    if (child == 0) {
        close(fds[0]);
        std::string report;
        try {
            report = body();
        } catch (const std::exception& e) {
            report = std::string("raised: ") + e.what();
        }
        (void)!write(fds[1], report.data(), report.size());
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    const auto end = std::chrono::steady_clock::now() + kChildLimit;
    bool timed_out = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            timed_out = true;
            break;
        }
        char buf[512];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        report.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timed_out) kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_FALSE(timed_out) << "the child did not end in time";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return report;
}

// Opens the inputs and the output; the text says why not, empty when opened.
std::string set_up(TCustomFFmpeg& core, const std::vector<fs::path>& inputs, const std::string& out_options,
                   const fs::path& target, const std::string& in_options = "", bool join = false) {
    try {
        for (const fs::path& in : inputs) {
            OptionsContextScope scope(core);
            if (core.OpenInputFile(*scope, in_options, in.string(), "") < 0) return "input: " + core.last_error();
        }
        OptionsContextScope scope(core);
        if (core.OpenOutputFile(*scope, out_options, join, target.string(), "") < 0) {
            return "output: " + core.last_error();
        }
    } catch (const FFmpegException& e) {
        return std::string("raised: ") + e.what();
    }
    return "";
}

// An unthreaded run: "F" failed, "C" completed, then the error text.
std::string run(TCustomFFmpeg& core) {
    core.Start(false, tpNormal);
    return std::string(core.Failed() ? "F" : "-") + (core.Completed() ? "C" : "-") + " " + core.ErrorText();
}

// Top-level box types of an ISO media file, in file order.
std::vector<std::string> top_boxes(const fs::path& path) {
    std::vector<std::string> out;
    std::ifstream in(path, std::ios::binary);
    unsigned char head[8];
    while (in.read(reinterpret_cast<char*>(head), 8)) {
        uint64_t size = (uint64_t{head[0]} << 24) | (head[1] << 16) | (head[2] << 8) | head[3];
        out.emplace_back(reinterpret_cast<char*>(head + 4), 4);
        if (size == 1) {
            unsigned char large[8];
            if (!in.read(reinterpret_cast<char*>(large), 8)) break;
            size = 0;
            for (unsigned char b : large) size = (size << 8) | b;
            size -= 8;
        }
        if (size < 8) break;
        in.seekg(static_cast<std::streamoff>(size - 8), std::ios::cur);
    }
    return out;
}

size_t index_of(const std::vector<std::string>& list, const std::string& item) {
    return static_cast<size_t>(std::find(list.begin(), list.end(), item) - list.begin());
}

bool valid_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* end = p + text.size();
    while (p < end) {
        int32_t code = 0;
        if (av_utf8_decode(&code, &p, end, 0) < 0) return false;
    }
    return true;
}

class OutputSafetyTest : public SetupTest {
protected:
    fs::path fresh_folder(const std::string& name) {
        const fs::path folder = *dir_ / name;
        fs::remove_all(folder);
        fs::create_directories(folder);
        return folder;
    }
};

// A full disk, made with a file size limit in a child, either half-way
// through the stream or only at its very last byte (WAV: the last data
// before the header is finished; M4A: the index written at the end).
struct DiskFull {
    const char* ext;
    bool last_write;
};

class DiskFullTest : public OutputSafetyTest, public ::testing::WithParamInterface<DiskFull> {};

TEST_P(DiskFullTest, FailsNamingTheTargetAndKeepsTheOlderFile) {
    const DiskFull row = GetParam();
    const std::string options = " -y -af volume=2";
    MediaSpec media;
    media.duration_seconds = 1.5;
    const fs::path folder = fresh_folder(std::string("full") + (row.last_write ? "_last" : "_mid") + (row.ext + 1));
    const fs::path source = test::make_media(folder / "source.wav", media);
    const fs::path reference = folder / (std::string("reference") + row.ext);
    {
        TCustomFFmpeg core;
        ASSERT_EQ(set_up(core, {source}, options, reference), "");
        ASSERT_EQ(run(core), "-C ");
    }
    const auto size = static_cast<rlim_t>(fs::file_size(reference));
    fs::remove(reference);
    const fs::path target = folder / (std::string("t") + row.ext);
    test::write_file(target, "the older target");
    const rlim_t limit = row.last_write ? size - 1 : size / 2;
    const std::string report = in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit l{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &l) != 0) return std::string("no limit");
        TCustomFFmpeg core;
        const std::string refused = set_up(core, {source}, options, target);
        return refused.empty() ? run(core) : refused;
    });
    EXPECT_EQ(report.substr(0, 3), "F- ") << report;
    EXPECT_NE(report.find(target.string()), std::string::npos) << report;
    EXPECT_NE(report.find("File too large"), std::string::npos) << report;
    EXPECT_EQ(contents(target), "the older target");
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"source.wav", target.filename().string()}));
}

INSTANTIATE_TEST_SUITE_P(WavAndM4a, DiskFullTest,
                         ::testing::Values(DiskFull{".wav", false}, DiskFull{".wav", true}, DiskFull{".m4a", false},
                                           DiskFull{".m4a", true}),
                         [](const auto& info) {
                             return std::string(info.param.ext + 1) +
                                    (info.param.last_write ? "LastWrite" : "MidStream");
                         });

// A filter that fails half-way (its hint file has entries for three frames
// only) ends the task as failed, not completed.
TEST_F(OutputSafetyTest, FilterErrorFailsTheTask) {
    const fs::path hints = *dir_ / "three_hints.txt";
    test::write_file(hints, "0,0\n1,1\n2,2\n");
    const fs::path target = *dir_ / "filter_error.mp4";
    TCustomFFmpeg core;
    ASSERT_EQ(set_up(core, {file("movie.mp4")}, " -y -vf fieldhint=hint=" + hints.string(), target), "");
    const std::string report = run(core);
    EXPECT_EQ(report.substr(0, 3), "F- ") << report;
    EXPECT_NE(report.find("Error while filtering"), std::string::npos) << report;
    EXPECT_FALSE(fs::exists(target));
}

// faststart rereads the file to move the index to the front: the file it
// rereads is the one being written, for a new and for an existing target.
TEST_F(OutputSafetyTest, FaststartRewritesTheFileBeingWritten) {
    for (const bool older : {false, true}) {
        SCOPED_TRACE(older ? "over an older target" : "new target");
        const fs::path target = *dir_ / (older ? "fast_old.m4a" : "fast_new.m4a");
        if (older) {
            MediaSpec other;
            other.duration_seconds = 0.3;
            other.peak_db = -20;
            test::make_media(target, other);
        }
        TCustomFFmpeg core;
        ASSERT_EQ(set_up(core, {file("tone.wav")}, " -y -movflags faststart -af volume=2", target), "");
        EXPECT_EQ(run(core), "-C ");
        const std::vector<std::string> boxes = top_boxes(target);
        EXPECT_LT(index_of(boxes, "moov"), index_of(boxes, "mdat")) << ::testing::PrintToString(boxes);
        const auto after = test::measure_audio(target);
        EXPECT_NEAR(after.duration_seconds, 1.0, 2048.0 / 44100);
        EXPECT_NEAR(after.peak_db, 0.0, 0.2);
    }
}

// The same file as an input, however it is spelled, in either order of
// opening, is refused and stays as it was.
TEST_F(OutputSafetyTest, TargetThatIsAnInputIsRefused) {
    const fs::path folder = fresh_folder("self");
    const fs::path self = folder / "self.wav";
    fs::copy_file(file("tone.wav"), self);
    fs::create_symlink(self, folder / "link.wav");
    const std::string before = read_file(self);
    for (const fs::path& target : {self, folder / "." / "self.wav", folder / "link.wav"}) {
        SCOPED_TRACE(target);
        TCustomFFmpeg core;
        const std::string refused = set_up(core, {file("movie.mp4"), self}, " -y -af volume=2 -map 1:a", target);
        EXPECT_NE(refused.find(target.string() + ": "), std::string::npos) << refused;
        EXPECT_NE(refused.find("same file as the input"), std::string::npos) << refused;
    }
    {
        TCustomFFmpeg core;
        ASSERT_EQ(set_up(core, {file("tone.wav")}, " -y -af volume=2", self), "");
        OptionsContextScope scope(core);
        EXPECT_LT(core.OpenInputFile(*scope, "", (folder / "link.wav").string(), ""), 0);
        EXPECT_NE(core.last_error().find("same file as the target"), std::string::npos) << core.last_error();
    }
    EXPECT_TRUE(read_file(self) == before);
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"link.wav", "self.wav"}));
}

// -n refuses an existing target, also one that appears while the task runs;
// -y and no option replace it.
TEST_F(OutputSafetyTest, NeverOverwriteIsHonoured) {
    const fs::path folder = fresh_folder("never");
    const fs::path target = folder / "t.wav";
    test::write_file(target, "older");
    {
        TCustomFFmpeg core;
        const std::string refused = set_up(core, {file("tone.wav")}, " -n -af volume=2", target);
        EXPECT_NE(refused.find(target.string() + ": "), std::string::npos) << refused;
        EXPECT_NE(refused.find("already exists"), std::string::npos) << refused;
    }
    EXPECT_EQ(contents(target), "older");
    fs::remove(target);
    {
        TCustomFFmpeg core;
        ASSERT_EQ(set_up(core, {file("tone.wav")}, " -n -af volume=2", target), "");
        test::write_file(target, "came meanwhile");
        const std::string report = run(core);
        EXPECT_EQ(report.substr(0, 3), "F- ") << report;
        EXPECT_NE(report.find("already exists"), std::string::npos) << report;
    }
    EXPECT_EQ(contents(target), "came meanwhile");
    for (const char* options : {" -y -af volume=2", " -af volume=2"}) {
        TCustomFFmpeg core;
        ASSERT_EQ(set_up(core, {file("tone.wav")}, options, target), "");
        EXPECT_EQ(run(core), "-C ");
        EXPECT_NEAR(test::measure_audio(target).peak_db, 0.0, 0.1);
        test::write_file(target, "older");
    }
    EXPECT_EQ(names_in(folder), std::vector<std::string>{"t.wav"});
}

// A FIFO target is refused, a link followed and a device written directly:
// none becomes a regular file. A read-only target is refused.
TEST_F(OutputSafetyTest, TargetsThatAreNotPlainWritableFilesAreNeverReplaced) {
    const fs::path folder = fresh_folder("special");
    const fs::path fifo = folder / "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const fs::path read_only = folder / "read_only.wav";
    test::write_file(read_only, "keep me");
    fs::permissions(read_only, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const struct {
        fs::path target;
        const char* reason;
    } refused_rows[] = {{fifo, "not a regular file"}, {read_only, "read-only"}};
    for (const auto& row : refused_rows) {
        TCustomFFmpeg core;
        const std::string refused = set_up(core, {file("tone.wav")}, " -y -af volume=2", row.target);
        EXPECT_NE(refused.find(row.target.string() + ": "), std::string::npos) << refused;
        EXPECT_NE(refused.find(row.reason), std::string::npos) << refused;
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(contents(read_only), "keep me");

    // Through a link the file it points to is replaced, keeping its permissions; the link stays.
    const fs::path real = folder / "real.wav";
    test::write_file(real, "older");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(real, folder / "link.wav");
    {
        TCustomFFmpeg core;
        ASSERT_EQ(set_up(core, {file("tone.wav")}, " -y -af volume=2", folder / "link.wav"), "");
        EXPECT_EQ(run(core), "-C ");
    }
    EXPECT_TRUE(fs::is_symlink(folder / "link.wav"));
    EXPECT_NEAR(test::measure_audio(real).peak_db, 0.0, 0.1);
    EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A private copy of the null device: making one needs the right to.
    const fs::path device = folder / "null.wav";
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "cannot make a device node";
    TCustomFFmpeg core;
    ASSERT_EQ(set_up(core, {file("tone.wav")}, " -y -af volume=2", device), "");
    EXPECT_EQ(run(core), "-C ");
    EXPECT_TRUE(fs::is_character_file(device));
    EXPECT_EQ(names_in(folder),
              (std::vector<std::string>{"fifo.wav", "link.wav", "null.wav", "read_only.wav", "real.wav"}));
}

// A target name at the file-name limit still gets a temporary name within
// it, cut between characters, in the pattern stale files are known by.
TEST_F(OutputSafetyTest, TemporaryNameOfALongTargetStaysWithinTheLimit) {
    const fs::path folder = fresh_folder("long");
    std::string name = "a";
    for (int i = 0; i < 125; ++i) name += "\xc3\xa9";  // two bytes each
    name += ".wav";
    ASSERT_EQ(name.size(), 255u);
    const fs::path target = folder / name;
    TCustomFFmpeg core;
    ASSERT_EQ(set_up(core, {file("tone.wav")}, " -y -af volume=2", target), "");
    const std::string temp = fs::path(core.temp_output_name(0)).filename().string();
    EXPECT_LE(temp.size(), 255u);
    EXPECT_TRUE(valid_utf8(temp)) << temp;
    // ".NAME.XXXXXX.part", NAME the target's name cut between two characters.
    ASSERT_GT(temp.size(), 13u);
    const std::string cut = temp.substr(1, temp.size() - 13);
    EXPECT_EQ(temp.substr(temp.size() - 12, 1) + temp.substr(temp.size() - 5), "..part") << temp;
    EXPECT_EQ(name.compare(0, cut.size(), cut), 0) << temp;
    EXPECT_EQ(run(core), "-C ");
    EXPECT_EQ(names_in(folder), std::vector<std::string>{name});
}

// Relative names with a colon are files, not protocols: names whose prefix
// is no protocol, and existing files whose prefix is one.
TEST_F(OutputSafetyTest, NamesWithAColonAreFiles) {
    const fs::path folder = fresh_folder("colon");
    const std::string names[] = {"a:b.wav", "clip 10:30.wav", "data:x.wav"};
    for (const std::string& name : names) fs::copy_file(file("tone.wav"), folder / name);
    const fs::path back = fs::current_path();
    fs::current_path(folder);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TCustomFFmpeg core;
        ASSERT_EQ(set_up(core, {name}, " -y -af volume=2", "out " + name), "");
        EXPECT_EQ(run(core), "-C ");
        EXPECT_NEAR(test::measure_audio(folder / ("out " + name)).peak_db, 0.0, 0.1);
    }
    fs::current_path(back);
}

// Joined inputs: the progress reports name the input being read.
TEST_F(OutputSafetyTest, ProgressNamesTheJoinedInputBeingRead) {
    TCustomFFmpeg core;
    ASSERT_EQ(set_up(core, {file("tone.wav"), file("tone.wav")}, " -y -c:a pcm_s16le", *dir_ / "joined.wav", "", true),
              "");
    core.ProgressIntervalUs = 0;
    std::vector<int> inputs;
    core.OnProgress = [&](TCustomFFmpeg*, int input, int, int, float, float, int64_t, int64_t, int64_t) {
        inputs.push_back(input);
    };
    EXPECT_EQ(run(core), "-C ");
    ASSERT_GT(inputs.size(), 2u);
    EXPECT_EQ(inputs.back(), -1);
    inputs.pop_back();
    EXPECT_TRUE(std::is_sorted(inputs.begin(), inputs.end()));
    EXPECT_EQ(inputs.front(), 0);
    EXPECT_EQ(inputs.back(), 1);
}

// Errors in the libraries' own words carry the line the library logged; an
// unknown target extension names the target and the extension only.
TEST_F(OutputSafetyTest, ErrorsSayWhatToChange) {
    {
        TCustomFFmpeg core;
        const fs::path target = *dir_ / "big.rm";
        ASSERT_EQ(set_up(core, {file("movie.mp4")}, " -y -c:v rv20 -q:v 1 -s 1920x1088 -an", target), "");
        const std::string report = run(core);
        EXPECT_EQ(report.substr(0, 3), "F- ") << report;
        EXPECT_NE(report.find("Not yet implemented in the libraries"), std::string::npos) << report;
        EXPECT_NE(report.find("Muxing packets larger than 64 kB"), std::string::npos) << report;
        EXPECT_FALSE(fs::exists(target));
    }
    TCustomFFmpeg core;
    const fs::path target = *dir_ / "t.xyz";
    const std::string refused = set_up(core, {file("tone.wav")}, " -y", target);
    EXPECT_NE(refused.find(target.string() + ": "), std::string::npos) << refused;
    EXPECT_NE(refused.find("\".xyz\""), std::string::npos) << refused;
    EXPECT_EQ(refused.find("processing input"), std::string::npos) << refused;
}

// A stop while the input's writer stays open but silent ends the task at
// once: stopped, not failed, nothing left beside the input.
TEST_F(OutputSafetyTest, StopEndsATaskWhoseInputStalls) {
    const fs::path folder = fresh_folder("stall");
    const fs::path fifo = folder / "stalled.raw";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    const std::string report = in_child([&] {
        const int writer = open(fifo.c_str(), O_RDWR);  // an open writer that never closes
        if (writer < 0) return std::string("no writer");
        const std::string samples(32768, '\0');
        if (write(writer, samples.data(), samples.size()) != static_cast<ssize_t>(samples.size()))
            return std::string("short");
        TCustomFFmpeg core;
        // Raw samples: the set-up reads no further than what was written.
        const std::string raw = " -f s16le -ar 44100 -ac 2 -probesize 32 -analyzeduration 0";
        const std::string refused = set_up(core, {fifo}, " -y -af volume=2", folder / "out.wav", raw);
        if (!refused.empty()) return refused;
        TConvertThread* worker = core.Start(true, tpNormal);
        if (!worker) return std::string("not started");
        worker->Resume();
        // Once everything written was read, the next read waits for more.
        for (int pending = 1, i = 0; pending > 0 && i < 500; ++i) {
            if (ioctl(writer, FIONREAD, &pending) != 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        core.Stop(true);
        return std::string(core.Failed() ? "F" : "-") + (core.Completed() ? "C" : "-") + " " + core.ErrorText();
    });
    EXPECT_EQ(report, "-- ");
    EXPECT_EQ(names_in(folder), std::vector<std::string>{"stalled.raw"});
}

}  // namespace
