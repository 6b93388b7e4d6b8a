// The loop's less travelled steps, each on a real run: decoders that change
// their output format mid-stream, timestamp jumps in formats that restart
// their clock, bitstream filters, real-time pacing, forced key frames and
// the output hooks.
#include <chrono>
#include <cstring>
#include <fstream>

#include "setup_fixture.h"
#include "support/decoded_audio.h"
#include "support/stream_packets.h"

using namespace sonorix;
using sonorix::test::count_packets;
using sonorix::test::SetupTest;
namespace fs = std::filesystem;

namespace {

// Mean of the luma plane over every decoded frame of the first video stream.
double mean_luma(const fs::path& path) {
    double sum = 0;
    int64_t count = 0;
    test::for_each_frame(path, test::StreamKind::Video, 0, {}, [&](const AVFrame* frame) {
        for (int y = 0; y < frame->height; ++y) {
            const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
            for (int x = 0; x < frame->width; ++x) sum += row[x];
        }
        count += static_cast<int64_t>(frame->width) * frame->height;
    });
    return count ? sum / static_cast<double>(count) : -1;
}

void append_file(const fs::path& to, const fs::path& from) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::app);
    out << in.rdbuf();
}

class LoopStepsTest : public SetupTest {
protected:
    // One unthreaded run of IN -> OUT with the given option texts.
    void convert(const std::string& in, const std::string& in_options, const std::string& out_options,
                 const std::string& out) {
        ASSERT_EQ(open_input(in, in_options), 0) << core_.last_error() << raised_;
        ASSERT_EQ(open_output(out_options, out), 0) << core_.last_error() << raised_;
        EXPECT_EQ(core_.Start(false, tpNormal), nullptr);
        EXPECT_TRUE(core_.Terminated());
    }
    // Sets up a second, independent task: the inputs, each with the same
    // options, then the output (joining them when asked).
    static void open_task(TCustomFFmpeg& core, const std::vector<std::string>& inputs, const std::string& in_options,
                          const std::string& out_options, const std::string& out, bool join = false) {
        for (const std::string& in : inputs) {
            OptionsContextScope scope(core);
            ASSERT_GE(core.OpenInputFile(*scope, in_options, in, ""), 0) << core.last_error();
        }
        OptionsContextScope scope(core);
        ASSERT_EQ(core.OpenOutputFile(*scope, out_options, join, out, ""), 0) << core.last_error();
    }
    // Runs such a task to its end (for making inputs with the engine itself).
    static void engine_convert(const std::string& in, const std::string& out_options, const std::string& out) {
        TCustomFFmpeg core;
        ASSERT_NO_FATAL_FAILURE(open_task(core, {in}, "", out_options, out));
        core.Start(false, tpNormal);
        ASSERT_TRUE(core.Completed()) << core.ErrorText();
    }
};

TEST_F(LoopStepsTest, DecoderFormatChangeRebuildsTheGraphAndKeepsEverySecond) {
    // Two ADTS streams back to back: mono at 44.1 kHz, then stereo at 22.05 kHz.
    test::MediaSpec first;
    first.audio_channels = {1};
    first.duration_seconds = 1.0;
    test::MediaSpec second;
    second.sample_rate = 22050;
    second.duration_seconds = 1.0;
    const fs::path joined = *dir_ / "changing.aac";
    test::make_media(joined, first);
    append_file(joined, test::make_media(*dir_ / "second.aac", second));

    const fs::path target = *dir_ / "changing.wav";
    convert(joined.string(), "", " -y -ac 2 -ar 44100", target.string());
    ASSERT_TRUE(core_.Completed()) << core_.ErrorText();
    EXPECT_TRUE(
        logged("frame changed from rate:44100 fmt:fltp ch:1 chl:mono to rate:22050 fmt:fltp ch:2 chl:stereo", llInfo));
    const auto out = test::measure_audio(target);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.sample_rate, 44100);
    // Both parts are there (each ADTS part carries up to a frame of priming).
    EXPECT_NEAR(out.duration_seconds, 2.0, 0.12);
    EXPECT_NEAR(out.peak_db, -6.0, 0.3);
}

TEST_F(LoopStepsTest, TimestampJumpInTransportStreamIsAbsorbed) {
    // Two transport streams back to back: the second restarts the clock.
    const fs::path part = *dir_ / "part.ts";
    engine_convert(file("tone.wav"), " -y -c:a mp2 -b:a 192k -f mpegts", part.string());
    const fs::path joined = *dir_ / "restart.ts";
    fs::copy_file(part, joined, fs::copy_options::overwrite_existing);
    append_file(joined, part);

    const fs::path target = *dir_ / "restart.wav";
    convert(joined.string(), "", " -y", target.string());
    ASSERT_TRUE(core_.Completed()) << core_.ErrorText();
    EXPECT_TRUE(logged("timestamp discontinuity", llDebug));
    EXPECT_NEAR(test::measure_audio(target).duration_seconds, 2.0, 0.1);
}

TEST_F(LoopStepsTest, BitstreamFiltersRunInOrderBeforeTheMuxer) {
    // A copied MP3 stream through two filters: "null" passes, "noise" with
    // its argument drops packets.
    const fs::path source = *dir_ / "copied.mp3";
    engine_convert(file("tone.wav"), " -y -c:a libmp3lame -b:a 128k", source.string());
    const fs::path target = *dir_ / "thinned.mp3";
    convert(source.string(), "", " -y -c:a copy -bsf:a null,noise=dropamount=2", target.string());
    ASSERT_TRUE(core_.Completed()) << core_.ErrorText();
    const int before = count_packets(source, AVMEDIA_TYPE_AUDIO).packets;
    const int after = count_packets(target, AVMEDIA_TYPE_AUDIO).packets;
    EXPECT_GT(before, 30);
    EXPECT_LT(after, before * 3 / 4);
    EXPECT_GT(after, before / 4);
}

TEST_F(LoopStepsTest, BitstreamFilterThatCannotOpenIsLoggedOrFatalWithXerror) {
    const std::string expected = "Failed to open bitstream filter h264_mp4toannexb for stream 0 with codec pcm_s16le";
    convert(file("tone.wav"), "", " -y -c:a copy -bsf:a h264_mp4toannexb", (*dir_ / "bsf.wav").string());
    EXPECT_TRUE(core_.Completed()) << core_.ErrorText();
    EXPECT_TRUE(logged(expected, llError));
    EXPECT_NEAR(test::measure_audio(*dir_ / "bsf.wav").duration_seconds, 1.0, 0.01);

    TCustomFFmpeg strict;
    ASSERT_NO_FATAL_FAILURE(open_task(strict, {file("tone.wav")}, "", " -y -xerror -c:a copy -bsf:a h264_mp4toannexb",
                                      (*dir_ / "strict.wav").string()));
    strict.Start(false, tpNormal);
    EXPECT_TRUE(strict.Failed());
    EXPECT_EQ(strict.ErrorText(), expected);
    EXPECT_FALSE(fs::exists(*dir_ / "strict.wav"));
}

TEST_F(LoopStepsTest, RealTimePacingAndStopDuringIt) {
    const auto start = std::chrono::steady_clock::now();
    convert(file("tone.wav"), "-re", " -af volumedetect -f null", "/dev/null");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(core_.Completed()) << core_.ErrorText();
    EXPECT_GE(seconds, 0.9);  // one second of media is read in no less than its own time

    TCustomFFmpeg paced;
    ASSERT_NO_FATAL_FAILURE(open_task(paced, {file("tone.wav")}, "-re", " -y", (*dir_ / "paced.wav").string()));
    TConvertThread* worker = paced.Start(true, tpNormal);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    paced.Stop(true);
    EXPECT_FALSE(paced.Completed());
    EXPECT_FALSE(paced.Failed()) << paced.ErrorText();
    EXPECT_FALSE(fs::exists(*dir_ / "paced.wav"));
}

TEST_F(LoopStepsTest, ForcedKeyFramesByTimeListAndByExpression) {
    // With a group size longer than the file, only forced key frames follow the first.
    const fs::path listed = *dir_ / "listed.avi";
    convert(file("movie.mp4"), "", " -y -an -c:v mpeg4 -g 1000 -force_key_frames 0.4,0.8", listed.string());
    ASSERT_TRUE(core_.Completed()) << core_.ErrorText();
    EXPECT_EQ(count_packets(listed, AVMEDIA_TYPE_VIDEO).key_packets, 3);

    TCustomFFmpeg by_expr;
    const fs::path expr = *dir_ / "expr.avi";
    ASSERT_NO_FATAL_FAILURE(open_task(by_expr, {file("movie.mp4")}, "",
                                      " -y -an -c:v mpeg4 -g 1000 -force_key_frames expr:gte(t,n_forced*0.25)",
                                      expr.string()));
    by_expr.Start(false, tpNormal);
    ASSERT_TRUE(by_expr.Completed()) << by_expr.ErrorText();
    EXPECT_EQ(count_packets(expr, AVMEDIA_TYPE_VIDEO).key_packets, 4);  // 0, 0.25, 0.5, 0.75 s
}

TEST_F(LoopStepsTest, OutputHooksSeeEveryEncodedFrameAndTheirDrawingReachesTheFile) {
    int64_t hooked_samples = 0;
    int audio_calls = 0;
    int64_t last_audio_pts = -1;
    bool audio_in_order = true;
    core_.OnAudioOutputHook = [&](TCustomFFmpeg*, int64_t pts, void* samples, int size, int rate, int channels,
                                  AVSampleFormat fmt) {
        ++audio_calls;
        audio_in_order &= pts > last_audio_pts && samples && rate == 44100;
        last_audio_pts = pts;
        hooked_samples += size / (channels * av_get_bytes_per_sample(fmt));
    };
    int video_calls = 0;
    core_.OnFrameOutputHook = [&](TCustomFFmpeg*, AVFrame* frame, int64_t) {
        ++video_calls;
        // Paint the picture white: what the hook draws is what gets encoded.
        for (int y = 0; y < frame->height; ++y) {
            std::memset(frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0], 235,
                        static_cast<size_t>(frame->width));
        }
    };
    int input_calls = 0;
    core_.OnFrameInputHook = [&](TCustomFFmpeg*, AVFrame* frame, int64_t) {
        ++input_calls;
        EXPECT_TRUE(av_frame_is_writable(frame));
    };
    const fs::path target = *dir_ / "painted.mkv";
    convert(file("movie.mp4"), "", " -y -c:v mpeg4 -q:v 2 -c:a flac", target.string());
    ASSERT_TRUE(core_.Completed()) << core_.ErrorText();
    const test::StreamPackets facts = count_packets(target, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(video_calls, facts.packets);
    EXPECT_EQ(input_calls, count_packets(file("movie.mp4"), AVMEDIA_TYPE_VIDEO).packets);
    EXPECT_NEAR(mean_luma(target), 235, 2);
    EXPECT_LT(mean_luma(file("movie.mp4")), 200);  // the source was not white
    EXPECT_GT(audio_calls, 0);
    EXPECT_TRUE(audio_in_order);
    EXPECT_NEAR(static_cast<double>(hooked_samples) / 44100, test::measure_audio(target).duration_seconds, 0.01);
}

}  // namespace

namespace {

TEST_F(LoopStepsTest, JoinedInputsFollowEachOtherInOneOutput) {
    // The quieter file first: a measurement that never read the second input would say -12.
    test::MediaSpec quiet;
    quiet.peak_db = -12;
    const fs::path first = test::make_media(*dir_ / "quiet.wav", quiet);
    test::MediaSpec loud;
    loud.peak_db = -3;
    loud.duration_seconds = 0.5;
    const fs::path second = test::make_media(*dir_ / "loud.wav", loud);

    for (const std::string& codec : {std::string("pcm_s16le"), std::string("copy")}) {
        SCOPED_TRACE(codec);
        TCustomFFmpeg core;
        const fs::path target = *dir_ / ("joined-" + codec + ".wav");
        ASSERT_NO_FATAL_FAILURE(
            open_task(core, {first.string(), second.string()}, "", " -y -c:a " + codec, target.string(), true));
        int64_t expected = -2;
        core.OnProgress = [&](TCustomFFmpeg*, int, int, int, float, float, int64_t, int64_t, int64_t duration) {
            expected = duration;
        };
        core.Start(false, tpNormal);
        ASSERT_TRUE(core.Completed()) << core.ErrorText();
        const auto out = test::measure_audio(target);
        EXPECT_NEAR(out.duration_seconds, 1.5, 0.01);
        EXPECT_NEAR(out.peak_db, -3, 0.1);
        EXPECT_NEAR(static_cast<double>(expected) / AV_TIME_BASE, 1.5, 0.01);
    }
}

}  // namespace
