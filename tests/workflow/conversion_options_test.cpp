#include "workflow/conversion_options.h"

#include <gtest/gtest.h>

using namespace sonorix;

TEST(ConversionOptions, TheThreeExampleTexts) {
    SourceFacts same;
    EXPECT_EQ(conversion_options("/m/a.mp4", "/o/b.mp4", same, {192000, 192000}, volume_change_filter(150)),
              " -y -c:v copy -b:a 192000 -af volume=1.5");
    SourceFacts wav;
    wav.info = "format name: wav\r\n  stream #0, 1/44100: audio: pcm_s16le";
    EXPECT_EQ(conversion_options("/m/a.wav", "/o/a.mp3", wav, {1411200, 1411200}, normalize_filter("3.5")),
              " -y -q:v 0 -q:a 0 -af volume=3.5dB");
    SourceFacts mkv;
    mkv.info = "format name: matroska,webm\r\n  stream #0: video: h264 (high), yuv420p, 1920x1080";
    mkv.width = 1920;
    mkv.height = 1080;
    mkv.frame_rate_num = 25;
    mkv.channels = 2;
    EXPECT_EQ(conversion_options("/m/a.mkv", "/o/a.avi", mkv, {}, volume_change_filter(100)),
              " -y -c:v libx264 -q:v 0 -q:a 0 -af volume=1");
}

TEST(ConversionOptions, VolumeFilters) {
    EXPECT_EQ(volume_change_filter(150), ",volume=1.5");
    EXPECT_EQ(volume_change_filter(100), ",volume=1");
    EXPECT_EQ(volume_change_filter(33), ",volume=0.33");
    EXPECT_EQ(volume_change_filter(5), ",volume=0.05");
    EXPECT_EQ(volume_change_filter(0), ",volume=0");
    EXPECT_EQ(normalize_filter(" 5.3 "), ",volume=5.3dB");
}

TEST(ConversionOptions, SaveChoicesBySourceKind) {
    const SaveChoices mp3 = save_choices("/m/song.mp3");
    EXPECT_EQ(mp3.default_extension, "mp3");
    EXPECT_EQ(mp3.filter,
              "*.MP3|*.mp3|*.WAV|*.wav|*.WMA|*.wma|*.AAC|*.aac|*.AC3|*.ac3|*.FLAC|*.flac|*.M4A|*.m4a|*.MKA|*.mka|"
              "*.MP2|*.mp2|*.OGG|*.ogg|*.RA|*.ra|*.AIF|*.aif|*.AIFF|*.aiff|*.AIFC|*.aifc|*.AU|*.au|");
    const SaveChoices rmvb = save_choices("/v/clip.rmvb");
    EXPECT_EQ(rmvb.default_extension, "rm");
    EXPECT_EQ(rmvb.filter,
              "*.RM|*.rm|*.AVI|*.avi|*.MPG|*.mpg|*.MPEG|*.mpeg|*.WMV|*.wmv|*.MP4|*.mp4|*.M4V|*.m4v|*.3GP|*.3gp|"
              "*.FLV|*.flv|*.SWF|*.swf|*.MKV|*.mkv|*.WEBM|*.webm|*.MOV|*.mov|*.VOB|*.vob|*.ASF|*.asf|*.TS|*.ts|"
              "*.MTS|*.mts|");
    const SaveChoices dat = save_choices("/v/movie.dat");
    EXPECT_EQ(dat.default_extension, "avi");
    EXPECT_EQ(dat.filter.rfind("*.AVI|*.avi|*.MPG|", 0), 0u);
    EXPECT_EQ(save_choices("/v/cam.h264").default_extension, "mkv");
    const SaveChoices ape = save_choices("/a/song.ape");
    EXPECT_EQ(ape.default_extension, "wav");
    EXPECT_EQ(ape.filter.rfind("*.WAV|*.wav|*.MP3|*.mp3|", 0), 0u);
    // The default extension keeps the file name's own spelling.
    const SaveChoices upper_case = save_choices("/m/SONG.Mp3");
    EXPECT_EQ(upper_case.default_extension, "Mp3");
    EXPECT_EQ(upper_case.filter.rfind("*.MP3|*.mp3|*.WAV|", 0), 0u);
}
