#include "workflow/output_options.h"

#include <gtest/gtest.h>

#include <clocale>

#include "engine/FFDecode.h"
#include "base/FFLoad.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;

namespace {

SourceFacts facts(const std::string& info, int num = 25, int den = 1, int rate = 44100, int channels = 2) {
    SourceFacts f;
    f.info = info;
    f.frame_rate_num = num;
    f.frame_rate_den = den;
    f.sample_rate = rate;
    f.channels = channels;
    return f;
}

TEST(OutputOptions, CodecRulesByTargetExtension) {
    struct Case {
        const char* target;
        SourceFacts source;
        const char* want;
    };
    const Case cases[] = {
        {"/o/x.avi", facts("video: h264"), " -c:v libx264"},
        {"/o/x.avi", facts("video: mpeg4 (xvid)"), " -c:v libxvid"},
        {"/o/x.avi", facts("video: vp8", 30000, 1001), " -c:v mpeg4"},
        {"/o/x.avi", facts("video: vp8", 90000, 3003), " -c:v mpeg4 -r 29.97"},
        {"/o/x.avi", facts("video: vp8", 120000, 5005), " -c:v mpeg4 -r 23.98"},
        {"/o/x.AVI ", facts("video: h264"), " -c:v libx264"},
        {"/o/x.flv", facts("video: vp8", 25, 1, 48000), " -ar 44100 -c:v flv1"},
        {"/o/x.flv", facts("video: vp8", 25, 1, 44100), " -c:v flv1"},
        {"/o/x.flv", facts("video: mpeg4"), " -c:v mpeg4"},
        {"/o/x.swf", facts("video: h264", 25, 1, 48000, 6), " -ar 44100 -ac 2"},
        {"/o/x.mp4", facts("video: mpeg4, audio: mp3"), " -c:v mpeg4 -c:a libmp3lame"},
        {"/o/x.mp4", facts("audio: mp3", 90000, 3003), " -c:v mpeg4 -r 29.97 -c:a libmp3lame"},
        {"/o/x.3gp", facts("video: h264"), " -c:v libx264 -ar 8000 -ac 1"},
        {"/o/x.rm", facts("video: h264"), " -c:v rv20"},
        {"/o/x.wmv", facts("video: wmv3", 25, 1, 44100, 2), " -c:v wmv2 -c:a wmav2"},
        {"/o/x.wmv", facts("video: wmv3", 25, 1, 44100, 6), " -c:v wmv2 -c:a wmav2 -ac 2"},
        {"/o/x.webm", facts("anything"), " -f webm -c:v libvpx -c:a libvorbis"},
        {"/o/x.mpg", facts("video", 15, 1), " -r 20"},
        {"/o/x.mpg", facts("video", 25, 1), ""},
        {"/o/x.mpeg", facts("video", 25, 1, 48000, 6), " -ac 2"},
        {"/o/x.mkv", facts("video: vp9", 25, 1, 44100, 6), " -c:v libx264 -ac 2"},
        {"/o/x.mts", facts("video"), " -c:v libx264"},
        {"/o/x.vob", facts("video", 25, 1, 48000, 6), " -ac 2"},
        {"/o/x.mov", facts("video: h264", 25, 1, 48000, 6), ""},
        {"/o/x.ts", facts("video: h264"), ""},
        {"/o/x.wav", facts("audio: mp3", 0, 1, 48000, 6), ""},
        {"/o/x.mp3", facts("audio: flac"), ""},
        // The rules see the whole description, file name included.
        {"/o/x.avi", facts("file name: /in/clip264.mov\nvideo: vp8"), " -c:v libx264"},
    };
    for (const auto& c : cases) EXPECT_EQ(ffcodec(c.target, c.source), c.want) << c.target << " / " << c.source.info;
}

TEST(OutputOptions, FrameSizeRules) {
    struct Case {
        const char* w;
        const char* h;
        const char* target;
        const char* info;
        const char* want;
    };
    const Case cases[] = {
        {"720", "405", "/o/x.rm", "", "720:408"},      {"722", "405", "/o/x.rm", "", "724:408"},
        {"721", "405", "/o/x.wmv", "wmv3", "722:405"}, {"721", "405", "/o/x.wmv", "h264", "722:406"},
        {"721", "405", "/o/x.avi", "h264", "722:406"}, {"721", "405", "/o/x.avi", "mpeg4", "721:405"},
        {"721", "405", "/o/x.mp4", "h264", "722:406"}, {"721", "405", "/o/x.mp4", "mpeg4", "722:406"},
        {"721", "405", "/o/x.mp", "mpeg4", "721:405"},  // ".mp" occurs in ".mpg"
        {"640", "480", "/o/x.webm", "vp8", "640:480"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ffframesize(c.w, c.h, c.target, facts(c.info)), c.want) << c.w << "x" << c.h << " " << c.target;
    }
}

TEST(OutputOptions, RealNumbersUseADotInEveryLocale) {
    EXPECT_EQ(real_text(29.97), "29.97");
    EXPECT_EQ(real_text(25), "25");
    EXPECT_EQ(real_text(1.5), "1.5");
    EXPECT_EQ(real_text(0.1 + 0.2), "0.3");
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8")) {
        EXPECT_EQ(real_text(1.5), "1.5");
        std::setlocale(LC_ALL, "C");
    }
}

TEST(OutputOptions, FactsComeFromTheProbe) {
    ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
    test::TempDir dir;
    test::MediaSpec media;
    media.video = true;
    media.frame_rate_num = 15;
    media.audio_channels = {6};
    media.sample_rate = 48000;
    const auto file = test::make_media(dir / "movie264.mkv", media);
    TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile(file.string())) << probe.LastErrorMessage();
    const SourceFacts f = source_facts(probe);
    EXPECT_EQ(f.frame_rate_num * 1.0 / f.frame_rate_den, 15.0);
    EXPECT_EQ(f.sample_rate, 48000);
    EXPECT_EQ(f.channels, 6);
    EXPECT_NE(f.info.find("movie264.mkv"), std::string::npos) << "lower-cased description with the file name";
    EXPECT_EQ(ffcodec((dir / "out.mpg").string(), probe), " -r 20 -ac 2");
    EXPECT_EQ(ffframesize("321", "241", (dir / "out.avi").string(), probe), "322:242");
}

}  // namespace
