#include "workflow/batch_rules.h"

#include <gtest/gtest.h>

#include "workflow/output_options.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

TEST(BatchRules, TargetNames) {
    test::TempDir root("sonorix-batch");
    const fs::path out = root / "out";
    fs::create_directories(out);
    const struct {
        fs::path source;
        std::string prefix;
        fs::path want;
    } cases[] = {
        {root / "music/a.mp3", "", out / "a.mp3"},     {out / "a.mp3", "", out / "NEW_a.mp3"},
        {out / "a.mp3", "loud_", out / "loud_a.mp3"},  {root / "music/a.mp3", "loud_", out / "loud_a.mp3"},
        {root / "v/clip.rmvb", "", out / "clip.rm"},   {root / "v/cam.h264", "", out / "cam.mkv"},
        {root / "v/dvd.vob", "", out / "dvd.vob"},     {root / "v/x.ogm", "", out / "x.avi"},
        {root / "a/song.flac", "", out / "song.flac"}, {root / "a/song.ape", "", out / "song.wav"},
        {root / "a/Song.APE", "", out / "Song.wav"},
    };
    for (const auto& c : cases) EXPECT_EQ(batch_target_name(c.source, out, c.prefix), c.want) << c.source;
}

TEST(BatchRules, TheSourceFolderWrittenDifferentlyIsStillTheSameFolder) {
    test::TempDir root("sonorix-batch");
    fs::create_directories(root / "out");
    const fs::path other_spelling = root / "out" / "." / ".." / "out";
    EXPECT_EQ(batch_target_name(root / "out/a.mp3", other_spelling, ""), other_spelling / "NEW_a.mp3");
    fs::create_directory_symlink(root / "out", root / "link");
    EXPECT_EQ(batch_target_name(root / "out/a.mp3", root / "link", ""), root / "link" / "NEW_a.mp3");
}

TEST(BatchRules, CodecOptions) {
    SourceFacts video;
    video.info = "video: h264, audio: aac";
    video.width = 721;
    video.height = 405;
    video.frame_rate_num = 25;
    video.sample_rate = 44100;
    video.channels = 2;
    struct Case {
        const char* source;
        const char* target;
        BatchSourceBitRates rates;
        const char* options;
        const char* filters;
    };
    const Case cases[] = {
        {"/a/s.mp3", "/o/s.mp3", {128000, 130000}, " -c:v copy -b:a 128000", ""},
        {"/a/s.mp3", "/o/s.MP3", {0, 130000}, " -c:v copy -q:a 0", ""},
        {"/a/s.mp3", "/o/s.mp3", {140000, 130000}, " -c:v copy -q:a 0", ""},
        {"/a/s.ape", "/o/s.wav", {128000, 130000}, " -q:v 0 -q:a 0 -rf64 auto", ""},
        {"/v/x.ogm", "/o/x.avi", {}, " -c:v libx264 -q:v 0 -aspect 722:406 -q:a 0", ",scale=722:406"},
        {"/v/x.mkv", "/o/x.mov", {}, " -q:v 0 -aspect 722:406 -q:a 0", ",scale=722:406"},
    };
    for (const auto& c : cases) {
        std::string o, vf;
        batch_codec_options(c.source, c.target, video, c.rates, o, vf);
        EXPECT_EQ(o, c.options) << c.source << " -> " << c.target;
        EXPECT_EQ(vf, c.filters) << c.source << " -> " << c.target;
    }
}

TEST(BatchRules, FilterChainsAndTheSpecifiedExample) {
    std::string o = " -y";
    std::string af = ",volume=3.5dB", vf;
    batch_codec_options("/a/s.mp3", "/o/s.mp3", SourceFacts{}, BatchSourceBitRates{128000, 192000}, o, vf);
    append_filter_chain(o, "-vf", vf);
    append_filter_chain(o, "-af", af);
    EXPECT_EQ(o, " -y -c:v copy -b:a 128000 -af volume=3.5dB");
    std::string two;
    append_filter_chain(two, "-vf", ",scale=2:2,format=yuv420p");
    EXPECT_EQ(two, " -vf scale=2:2,format=yuv420p");
}

TEST(BatchRules, ProgressStaysWithinTheBar) {
    EXPECT_EQ(task_percent(5, 10), 50);
    EXPECT_EQ(task_percent(1, 8), 12);  // 12.5 rounds to even
    EXPECT_EQ(task_percent(3, 8), 38);  // 37.5 rounds to even
    EXPECT_EQ(task_percent(20, 10), 100);
    EXPECT_EQ(task_percent(-5, 10), 0);
    EXPECT_EQ(task_percent(5, 0), std::nullopt);
    EXPECT_EQ(task_percent(5, -1), std::nullopt);
    EXPECT_EQ(mean_percent({50, 25, 0}), 25);
    EXPECT_EQ(mean_percent({}), 0);
    EXPECT_EQ(mean_percent({1, 2}), 2);  // 1.5 rounds to even
}
