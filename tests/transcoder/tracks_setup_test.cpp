// "-map 0" into a target format that cannot hold every stream: what it
// cannot hold is left out with a log line instead of failing the set-up;
// the streams it takes keep their flags.
#include "setup_fixture.h"

using namespace sonorix;
using sonorix::test::SetupTest;

namespace {

TEST_F(SetupTest, StreamsTheTargetCannotHoldAreLeftOutWithALogLine) {
    test::MediaSpec film;
    film.video = true;
    film.audio_channels = {2, 2};
    film.audio_dispositions = {0, AV_DISPOSITION_DEFAULT};
    film.subtitle = true;
    film.attachment = true;
    make_media(*dir_ / "film.mkv", film);
    const std::vector<AVMediaType> all = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_AUDIO,
                                          AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_ATTACHMENT};
    const struct {
        const char* target;
        std::vector<AVMediaType> kept;
        const char* left_out;  // one of the log lines
    } rows[] = {
        {"kept.mkv", all, nullptr},
        {"one_audio.wav",
         {AVMEDIA_TYPE_AUDIO},
         "Stream #0:2 (audio vorbis) is left out: the wav format takes one audio stream"},
        {"no_font.mp4",
         {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_AUDIO},
         "Stream #0:4 (attachment ttf) is left out: the mp4 format takes no attachments"},
        {"no_text.avi",
         {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_AUDIO},
         "Stream #0:3 (subtitle subrip) is left out: the avi format cannot hold subrip"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target);
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file("film.mkv"), ""), 0) << core.last_error();
        OptionsContextScope out(core);
        ASSERT_EQ(core.OpenOutputFile(*out, " -y -map 0 -c:v copy -c:s copy", false, file(row.target), ""), 0)
            << core.last_error();
        std::vector<AVMediaType> kept;
        for (const auto& ost : core.output_streams) {
            kept.push_back(ost->st->codecpar->codec_type);
            const AVStream* source = core.input_streams[static_cast<size_t>(ost->source_index)]->st;
            EXPECT_EQ(ost->st->disposition, source->disposition) << ost->index;
        }
        EXPECT_EQ(kept, row.kept);
        if (row.left_out) {
            EXPECT_TRUE(logged(row.left_out, llWarning));
        }
        core.discard_temp_outputs();
    }
}

}  // namespace

// A cover stays where the target keeps covers (MP4 and M4A as their cover
// atom) and is left out with a log line where the writer refuses pictures.
TEST_F(SetupTest, CoversStayInM4AAndAreLeftOutOfOgg) {
    test::MediaSpec m4a;
    m4a.cover = true;
    test::MediaSpec opus;
    opus.cover = true;
    opus.audio_codec = "libopus";
    opus.sample_rate = 48000;
    make_media(*dir_ / "cover.m4a", m4a);
    make_media(*dir_ / "opus.ogg", opus);
    const struct {
        const char* source;
        const char* target;
        size_t streams;
        const char* left_out;
    } rows[] = {
        {"cover.m4a", "kept.m4a", 2, nullptr},
        {"cover.m4a", "kept.mp4", 2, nullptr},
        {"opus.ogg", "no_picture.ogg", 1,
         "Stream #0:1 (video png) is left out: the ogg format takes no cover pictures"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target);
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file(row.source), ""), 0) << core.last_error();
        OptionsContextScope out(core);
        ASSERT_EQ(core.OpenOutputFile(*out, " -y -map 0 -c:v copy -c:a copy", false, file(row.target), ""), 0)
            << core.last_error();
        ASSERT_EQ(core.output_streams.size(), row.streams);
        if (row.streams == 2) {
            EXPECT_TRUE(core.output_streams[1]->st->disposition & AV_DISPOSITION_ATTACHED_PIC);
        }
        if (row.left_out) {
            EXPECT_TRUE(logged(row.left_out, llWarning));
        }
        core.discard_temp_outputs();
    }
}
