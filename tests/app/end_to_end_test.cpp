// Whole conversions in the window on generated media, checked by decoding the
// results.
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <utility>

#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app_fixture.h"
#include "engine/FFDecode.h"
#include "base/libav.h"
#include "support/media_fixtures.h"
#include "support/stream_packets.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using EndToEndTest = AppTest;
using namespace std::chrono_literals;

TEST_F(EndToEndTest, NormalizeBringsThePeakToFullScale) {
    const fs::path target = out / "loud.wav";
    ASSERT_TRUE(convert(media("short.wav"), target, true));
    EXPECT_EQ(last_output_options(), " -y -c:v copy -b:a 1411200 -rf64 auto -af volume=5.99dB");
    // One measurement.
    EXPECT_EQ(window().meter().FFdetect.TasksCount(), 1);
    const MeasuredAudio result = measure_audio(target);
    EXPECT_NEAR(result.peak_db, 0.0, 0.05);
    EXPECT_NEAR(result.duration_seconds, 2.0, 0.01);
    EXPECT_EQ(messages.count("Process is finished!"), 1u);
    EXPECT_EQ(messages.shown.back().caption, "");
    EXPECT_EQ(messages.shown.back().kind, ui::MessageKind::Warning);
}

// The single-file page too: each audio track to full scale on its own, and a
// float master above full scale brought down to it.
TEST_F(EndToEndTest, NormalizeGivesEveryTrackItsOwnHeadroom) {
    MediaSpec film;
    film.audio_codec = "flac";
    film.audio_channels = {2, 6};
    film.audio_peaks_db = {-1, -20};
    MediaSpec hot;
    hot.audio_codec = "pcm_f32le";
    hot.peak_db = 3;
    for (const auto& [name, wanted] : {std::pair{"film.mkv", film}, std::pair{"hot.wav", hot}}) {
        const fs::path source = make_media(out / name, wanted), target = out / (std::string("loud_") + name);
        messages.clear();  // each conversion waits for its own end message
        ASSERT_TRUE(convert(source, target, true)) << name;
        for (size_t t = 0; t < wanted.audio_channels.size(); ++t) {
            EXPECT_NEAR(measure_audio(target, static_cast<int>(t)).peak_db, 0.0, 0.05) << name << " a:" << t;
        }
    }
}

TEST_F(EndToEndTest, VolumeChangeOf150PercentRaisesThePeakBy352Decibels) {
    const fs::path target = out / "louder.wav";
    ASSERT_TRUE(convert(media("short.wav"), target, false, 150));
    EXPECT_EQ(last_output_options(), " -y -c:v copy -b:a 1411200 -rf64 auto -af volume=1.5");
    EXPECT_NEAR(measure_audio(target).peak_db - measure_audio(media("short.wav")).peak_db, 3.52, 0.05);
    EXPECT_EQ(ui::batchaudioc->progresstotal->value(), 100);
}

TEST_F(EndToEndTest, ChangingTheFormatUsesTheCodecOptions) {
    const fs::path target = out / "song.mp3";
    // The meter checks the target on a worker: no probe of the window opens it.
    int probed = 0;
    const auto count = [&](TObject*, AVFormatContext* ctx) { probed += ctx->url && target.string() == ctx->url; };
    window().meter().FFdetect.Decoder().OnBeforeFindStreamInfo = count;
    window().single_flow().FFencoder.Decoder().OnBeforeFindStreamInfo = count;
    ASSERT_TRUE(convert(media("short.wav"), target, true));
    EXPECT_EQ(probed, 0);
    // The MP3 decoded past full scale at +6.0 dB: the second pass lowered it.
    EXPECT_EQ(last_output_options().rfind(" -y -q:v 0 -q:a 0 -af volume=5.", 0), 0u) << last_output_options();
    EXPECT_LE(measure_audio(target).peak_db, 0.0);
    EXPECT_NEAR(measure_audio(target).peak_db, 0.0, 0.5);
}

TEST_F(EndToEndTest, Mp4KeptAsMp4CopiesItsVideo) {
    const fs::path target = out / "clip.mp4";
    ASSERT_TRUE(convert(media("clip.mp4"), target, false, 150));
    EXPECT_EQ(last_output_options().rfind(" -y -c:v copy ", 0), 0u) << last_output_options();
    const StreamPackets before = count_packets(media("clip.mp4"), AVMEDIA_TYPE_VIDEO);
    const StreamPackets after = count_packets(target, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(after.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(after.codec, before.codec);
    EXPECT_EQ(after.packets, before.packets);
    EXPECT_GT(after.packets, 0);
    EXPECT_NEAR(measure_audio(target).peak_db - measure_audio(media("clip.mp4")).peak_db, 3.52, 0.15);
}

TEST_F(EndToEndTest, MkvToAviGetsItsCodecOptionsAndPlays) {
    const fs::path target = out / "clip.avi";
    ASSERT_TRUE(convert(media("clip.mkv"), target, false, 100));
    EXPECT_EQ(last_output_options(), " -y -c:v libx264 -q:v 0 -q:a 0 -af volume=1");
    TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile(target.string())) << probe.LastErrorMessage();
    EXPECT_EQ(probe.VideoStreamCount, 1);
    EXPECT_EQ(probe.AudioStreamCount, 1);
    const StreamPackets video = count_packets(target, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(video.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(video.packets, count_packets(media("clip.mkv"), AVMEDIA_TYPE_VIDEO).packets);
    EXPECT_NEAR(video.seconds, 2.0, 0.04 + 1e-9);  // a frame at 25 fps
    EXPECT_NEAR(measure_audio(target).duration_seconds, measure_audio(media("clip.mkv")).duration_seconds, 0.06);
}

// Both real modal dialogs in turn: the measurement's loop ends with its
// termination, and the conversion starts from the timer outside it.
TEST_F(EndToEndTest, NormalizeRunsThroughBothModalDialogs) {
    dialogs.modal = true;
    QTimer::singleShot(60000, [] {
        ui::analyzeaudio->done(0);
        ui::batchaudioc->done(0);
    });
    const fs::path target = out / "modal.flac";
    ASSERT_TRUE(convert(media("short.wav"), target, true));
    EXPECT_NEAR(measure_audio(target).peak_db, 0.0, 0.05);
    EXPECT_EQ(messages.count("Process is finished!"), 1u);
}

}  // namespace
}  // namespace sonorix::test
