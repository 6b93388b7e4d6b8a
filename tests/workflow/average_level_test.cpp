// The average-level run's own pieces: the bar's step, the markers however
// the normalizer's output is cut into reads, the normalizer process's ends,
// the private folder, and the intermediate files' format.
#include "workflow/average_level.h"
#include "workflow/track_levels.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "engine/FFDecode.h"
#include "base/FFLoad.h"
#include "base/libav.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

TEST(AverageLevel, MarkerStepRoundsHalfToEven) {
    for (const auto& [rows, step] : std::vector<std::pair<size_t, int>>{{1, 100}, {3, 33}, {6, 17}, {7, 14}, {8, 12}}) {
        EXPECT_EQ(marker_step(rows), step) << rows << " rows";
    }
}

// Each marker counts once: two in one read, one cut across reads, a burst of
// "not adjusting" lines, markers behind long progress output.
TEST(AverageLevel, EveryMarkerCountsOnceHoweverTheOutputIsCut) {
    const std::string progress(15000, '#');
    const std::string text =
        "Computing levels...\r" + progress + "\rApplying adjustment of -3.21dB to /t/0.wav...\n" + progress +
        "\nApplying adjustment of +6.00 dB to /t/1.wav...\n" +
        "/t/2.wav already normalized, not adjusting...\n/t/3.wav already normalized, not adjusting...";
    for (const size_t cut : {size_t{1}, size_t{7}, size_t{512}, text.size()}) {
        NormalizerOutput out;
        for (size_t at = 0; at < text.size(); at += cut) out.add(text.data() + at, std::min(cut, text.size() - at));
        out.end();  // the last line has no end
        EXPECT_EQ(out.markers(), 4) << "reads of " << cut;
        EXPECT_EQ(out.adjustments(), (std::map<std::string, double>{{"/t/0.wav", -3.21}, {"/t/1.wav", 6.0}}));
        EXPECT_EQ(out.last_lines().substr(0, 21), "Applying adjustment o");
    }
}

class NormalizerRunTest : public ::testing::Test {
protected:
    std::string script(const std::string& body) {
        const fs::path p = dir_ / ("n" + std::to_string(++count_) + ".sh");
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(p, fs::perms::owner_all);
        return p.string();
    }
    test::TempDir dir_{"sonorix-normalizer-run"};
    int count_ = 0;
};

// A failure is never a success: each end is told with the program, its
// status and its last lines.
TEST_F(NormalizerRunTest, EndsAndWhatTheyTell) {
    struct Case {
        std::string program;
        std::optional<std::string> failure;
        int markers;
    };
    const std::vector<Case> cases = {
        {script("shift 2; for f; do echo \"Applying adjustment of 1.00dB to $f...\" >&2; done"), std::nullopt, 2},
        {script("exit 0"), std::nullopt, 0},  // no marker: still a clean end
        {script("echo one; echo broken input; exit 3"), "exited with status 3", 0},
        {script("echo going; kill -9 $$"), "was killed by signal 9 (Killed)", 0},
        {(dir_ / "missing").string(), "could not be started: No such file or directory", 0},
    };
    for (const Case& c : cases) {
        NormalizerRun run;
        if (run.start(c.program, {"/a b/0.wav", "/A/1.wav"})) {
            while (run.pump(50)) {}
        }
        EXPECT_EQ(run.failure(), c.failure) << c.program;
        EXPECT_EQ(run.output().markers(), c.markers) << c.program;
        if (c.failure) {
            EXPECT_NE(run.failure_text().find(c.program + " " + *c.failure), std::string::npos);
        }
    }
    NormalizerRun shown;
    ASSERT_TRUE(shown.start(script("echo one; echo broken input; exit 3"), {}));
    while (shown.pump(50)) {}
    EXPECT_NE(shown.failure_text().find("Its last output:\rone\rbroken input"), std::string::npos)
        << shown.failure_text();
}

// Each file is an argument of its own, as written (no lower-casing, no
// wildcard), and no standard input is given.
TEST_F(NormalizerRunTest, FilesArriveAsSeparateArgumentsAndAKillEndsTheRun) {
    NormalizerRun run;
    ASSERT_TRUE(run.start(script("printf '[%s]' \"$@\"; cat"), {"/Tmp/A b/0.wav", "/t/*.wav"}));
    while (run.pump(50)) {}
    EXPECT_EQ(run.output().last_lines(), "[-m][--][/Tmp/A b/0.wav][/t/*.wav]");
    EXPECT_FALSE(run.failure());

    // One that closes its output and goes on: pumping does not wait for it.
    NormalizerRun stuck;
    ASSERT_TRUE(stuck.start(script("exec >/dev/null 2>&1; sleep 30"), {}));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(stuck.pump(0));
    stuck.kill();
    EXPECT_EQ(stuck.failure(), "was killed by signal 15 (Terminated)");

    // A stop ends the children of a wrapper script too (its process group).
    const fs::path pid_file = dir_ / "child.pid";
    NormalizerRun wrapper;
    ASSERT_TRUE(wrapper.start(script("sleep 60 & echo $! > '" + pid_file.string() + ".tmp'; mv '" + pid_file.string() +
                                     ".tmp' '" + pid_file.string() + "'; wait"),
                              {}));
    while (!fs::exists(pid_file) && wrapper.pump(10)) {}
    const pid_t child = std::stoi(test::read_file(pid_file));
    wrapper.kill();
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = ::kill(child, 0) != 0 ||
               test::read_file("/proc/" + std::to_string(child) + "/stat").find(" Z ") != std::string::npos;
        if (!gone) ::usleep(10000);
    }
    EXPECT_TRUE(gone) << "the wrapper's child " << child << " still runs";
    if (!gone) ::kill(child, SIGKILL);
}

// A relative TMPDIR that starts with '-' still gives absolute intermediate
// paths, which no program reads as options.
TEST(AverageLevel, IntermediatePathsAreAbsolute) {
    test::TempDir dir("sonorix-tmpdir");
    fs::create_directory(dir / "-t");
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    ::setenv("TMPDIR", "-t", 1);
    std::string why;
    const auto folder = IntermediateFolder::make(why);
    ::unsetenv("TMPDIR");
    fs::current_path(before);
    ASSERT_TRUE(folder) << why;
    EXPECT_EQ(folder->file(0).string().rfind((dir / "-t").string() + "/sonorix-average-", 0), 0u) << folder->file(0);
}

TEST(AverageLevel, TheFolderIsPrivateFreshAndGoesWithWhatIsInIt) {
    test::TempDir tmp{"sonorix-tmpdir"};
    const char* before = std::getenv("TMPDIR");
    const std::string saved = before ? before : "";
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    std::string why;
    auto a = IntermediateFolder::make(why), b = IntermediateFolder::make(why);
    before ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
    ASSERT_TRUE(a && b) << why;
    EXPECT_NE(a->path(), b->path());
    EXPECT_EQ(a->path().parent_path(), tmp.path());
    struct stat st {};
    ASSERT_EQ(::stat(a->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(a->file(12).filename(), "12.wav");
    EXPECT_EQ(a->file(12, 2).filename(), "12-2.wav");
    for (int i = 0; i < 3; ++i) std::ofstream(a->file(i)) << "x";
    std::ofstream(a->file(1, 1)) << "x";
    std::ofstream(a->path() / ".0.wav.tmp") << "left by a normalizer";
    std::ofstream(tmp.path() / "0.wav") << "not the run's";
    int steps = 0;
    a->remove(3, [&] { ++steps; });
    EXPECT_EQ(steps, 3);
    EXPECT_FALSE(fs::exists(a->path()));
    EXPECT_TRUE(fs::exists(tmp.path() / "0.wav"));
    const fs::path other = b->path();
    b.reset();
    EXPECT_FALSE(fs::exists(other));
}

// Each track decodes at the decoder's precision: 16-bit stays 16-bit, deeper
// lossless samples keep 24 or 32 bits, float (lossy decoders too) stays float
// so nothing above full scale is clipped. The main track is the default one.
TEST(AverageLevel, IntermediateFilesKeepTheSourcePrecision) {
    ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
    test::TempDir dir{"sonorix-intermediate"};
    struct Case {
        std::string name, codec;
        int track;
    };
    const std::vector<Case> cases = {{"a.wav", "", 0},
                                     {"b.mp3", " -c:a pcm_f32le", 0},
                                     {"c.wav:pcm_s24le", " -c:a pcm_s24le", 0},
                                     {"d.wav:pcm_f32le", " -c:a pcm_f32le", 0},
                                     {"e.wav:pcm_s32le", " -c:a pcm_s32le", 0},
                                     {"f.wav:pcm_f64le", " -c:a pcm_f64le", 0},
                                     {"g.mkv:flac", "", 1}};
    for (const auto& [name, codec, track] : cases) {
        const size_t colon = name.find(':');
        test::MediaSpec m;
        m.duration_seconds = 0.2;
        if (colon != std::string::npos) m.audio_codec = name.substr(colon + 1);
        if (track) {
            m.audio_channels = {2, 2};
            m.audio_dispositions = {0, AV_DISPOSITION_DEFAULT};
        }
        const fs::path file = test::make_media(dir.path() / name.substr(0, colon), m);
        TFFDecoder probe;
        ASSERT_TRUE(probe.LoadFile(file.string()));
        EXPECT_EQ(intermediate_options(probe, track), " -y -map 0:a:" + std::to_string(track) + codec + " -rf64 auto")
            << name;
        EXPECT_EQ(main_audio_track(probe), track) << name;
    }
}

}  // namespace
