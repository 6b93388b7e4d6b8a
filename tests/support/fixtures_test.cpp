// The fixture generator is the ruler every other suite measures with, so
// these cases check what it promises against an independent reading of the
// file: the container's own streams, and the decoded samples.
#include "base/libav.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace sonorix::test {
namespace {

constexpr double kPeakToleranceDb = 0.1;
constexpr double kMeanToleranceDb = 0.25;

// The encoders' statistics lines would drown the test output.
const int kQuietLibraries = (av_log_set_level(AV_LOG_ERROR), 0);

struct StreamInfo {
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codec = AV_CODEC_ID_NONE;
    int channels = 0;
    int sample_rate = 0;
    int width = 0;
    int height = 0;
    AVRational frame_rate{0, 1};
    int64_t packets = 0;
    int64_t payload_packets = 0;  // more than 2 bytes: MP4 fills gaps between cues with empty ones
};

// Streams as the demuxer sees them, with every packet counted.
std::vector<StreamInfo> read_streams(const std::filesystem::path& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open");
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> in(
        raw, [](AVFormatContext* f) { avformat_close_input(&f); });
    if (avformat_find_stream_info(in.get(), nullptr) < 0) throw std::runtime_error("no stream info");
    std::vector<StreamInfo> out;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVStream* st = in->streams[i];
        const AVCodecParameters* par = st->codecpar;
        out.push_back({par->codec_type, par->codec_id, par->ch_layout.nb_channels, par->sample_rate, par->width,
                       par->height, st->avg_frame_rate, 0});
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in.get(), pkt) >= 0) {
        StreamInfo& s = out[static_cast<size_t>(pkt->stream_index)];
        ++s.packets;
        if (pkt->size > 2) ++s.payload_packets;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return out;
}

double asked_peak_16bit(double peak_db) {
    const double level = std::min(std::round(std::pow(10.0, peak_db / 20) * 32768), 32767.0);
    return 20 * std::log10(level / 32768);
}

// --- audio files: peak, length, layout --------------------------------------

struct AudioCase {
    std::string name;
    std::string file;
    MediaSpec media;
    AVCodecID codec;
    int frame_samples;       // 0: lossless, so exact to the sample and the 16-bit crest
    int played_priming = 0;  // coder delay the container makes the decoder play as silence
};

MediaSpec audio_spec(double seconds, int rate, int channels, double peak_db, double tone_hz = 441) {
    MediaSpec media;
    media.duration_seconds = seconds;
    media.sample_rate = rate;
    media.audio_channels = {channels};
    media.peak_db = peak_db;
    media.tone_hz = tone_hz;
    return media;
}

void PrintTo(const AudioCase& c, std::ostream* os) { *os << c.name; }

class AudioFormat : public testing::TestWithParam<AudioCase> {};

TEST_P(AudioFormat, HoldsThePeakLengthAndLayoutAsked) {
    const AudioCase& c = GetParam();
    TempDir dir("fixtures");
    const auto path = make_media(dir / c.file, c.media);

    const auto streams = read_streams(path);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(streams[0].codec, c.codec) << avcodec_get_name(streams[0].codec);

    const MeasuredAudio m = measure_audio(path);
    EXPECT_EQ(m.channels, c.media.audio_channels[0]);
    EXPECT_EQ(m.sample_rate, c.media.sample_rate);
    const int64_t asked = std::llround(c.media.duration_seconds * c.media.sample_rate);
    const int64_t got = std::llround(m.duration_seconds * m.sample_rate);
    // The same tone written losslessly: the level a coder must keep.
    const MeasuredAudio reference = measure_audio(make_media(dir / "reference.wav", c.media));
    if (c.frame_samples == 0) {
        EXPECT_EQ(got, asked);
        EXPECT_NEAR(m.peak_db, asked_peak_16bit(c.media.peak_db), 1e-9);
        EXPECT_NEAR(m.rms_db, reference.rms_db, 1e-9);
    } else {
        EXPECT_LE(std::abs(got - asked), c.frame_samples) << "decoded " << got << " samples, asked " << asked;
        EXPECT_NEAR(m.peak_db, c.media.peak_db, kPeakToleranceDb);
        // Loose: calibrating the peak may move the mean by a tenth; a coder
        // that squashes loud tones is off by decibels. Wider layouts lose the
        // tone from their LFE channel, which carries only lows.
        const double played = static_cast<double>(asked - c.played_priming) / static_cast<double>(asked);
        if (c.media.audio_channels[0] <= 2) {
            EXPECT_NEAR(m.rms_db, reference.rms_db + 10 * std::log10(played), kMeanToleranceDb);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AudioFormat,
    testing::Values(
        AudioCase{"wav", "a.wav", audio_spec(1.5, 44100, 2, -6), AV_CODEC_ID_PCM_S16LE, 0},
        // a tone whose period is no whole number of samples; near full scale
        AudioCase{"wav_48k_mono_1k", "b.wav", audio_spec(1.25, 48000, 1, -0.5, 1000), AV_CODEC_ID_PCM_S16LE, 0},
        AudioCase{"wav_full_scale", "c.wav", audio_spec(0.5, 44100, 2, 0), AV_CODEC_ID_PCM_S16LE, 0},
        // shorter than the fades are long: the crest must still be in
        AudioCase{"wav_tiny", "d.wav", audio_spec(0.01, 44100, 1, -3), AV_CODEC_ID_PCM_S16LE, 0},
        AudioCase{"flac", "a.flac", audio_spec(1.5, 44100, 2, -6), AV_CODEC_ID_FLAC, 0},
        AudioCase{"flac_6ch_quiet", "b.flac", audio_spec(1.0, 48000, 6, -40), AV_CODEC_ID_FLAC, 0},
        AudioCase{"mp3", "a.mp3", audio_spec(1.5, 44100, 2, -6), AV_CODEC_ID_MP3, 1152},
        AudioCase{"mp3_mono_48k_loud", "b.mp3", audio_spec(1.0, 48000, 1, -1), AV_CODEC_ID_MP3, 1152},
        AudioCase{"mp3_quiet", "c.mp3", audio_spec(1.0, 32000, 2, -30, 200), AV_CODEC_ID_MP3, 1152},
        AudioCase{"ogg", "a.ogg", audio_spec(1.5, 44100, 2, -6), AV_CODEC_ID_VORBIS, 2048},
        AudioCase{"ogg_6ch_loud", "b.ogg", audio_spec(1.0, 44100, 6, -1), AV_CODEC_ID_VORBIS, 2048},
        AudioCase{"ogg_mono_48k", "c.ogg", audio_spec(1.0, 48000, 1, -20, 1000), AV_CODEC_ID_VORBIS, 2048},
        AudioCase{"m4a", "a.m4a", audio_spec(1.5, 44100, 2, -6), AV_CODEC_ID_AAC, 1024},
        AudioCase{"m4a_mono_loud", "b.m4a", audio_spec(1.0, 48000, 1, -1), AV_CODEC_ID_AAC, 1024},
        AudioCase{"m4a_6ch_quiet", "c.m4a", audio_spec(1.0, 48000, 6, -30), AV_CODEC_ID_AAC, 1024},
        AudioCase{"adts", "a.aac", audio_spec(1.5, 44100, 2, -6), AV_CODEC_ID_AAC, 1024, 1024},
        AudioCase{"adts_mono_32k", "b.aac", audio_spec(1.0, 32000, 1, -12, 300), AV_CODEC_ID_AAC, 1024, 1024}),
    [](const auto& info) { return info.param.name; });

// --- files with video, several audio streams and subtitles ------------------

struct VideoCase {
    std::string name;
    std::string file;
    std::vector<int> channels;
    int width, height, fps_num, fps_den;
    bool subtitle;
    std::string audio_codec;
    std::string subtitle_codec;
    AVCodecID video_id, audio_id, subtitle_id;
};

void PrintTo(const VideoCase& c, std::ostream* os) { *os << c.name; }

class VideoFile : public testing::TestWithParam<VideoCase> {};

TEST_P(VideoFile, HasTheStreamsPictureAndAudioAsked) {
    const VideoCase& c = GetParam();
    MediaSpec media;
    media.duration_seconds = 2.0;
    media.audio_channels = c.channels;
    media.video = true;
    media.width = c.width;
    media.height = c.height;
    media.frame_rate_num = c.fps_num;
    media.frame_rate_den = c.fps_den;
    media.subtitle = c.subtitle;
    media.audio_codec = c.audio_codec;
    media.subtitle_codec = c.subtitle_codec;
    TempDir dir("fixtures");
    const auto path = make_media(dir / c.file, media);

    const auto streams = read_streams(path);
    ASSERT_EQ(streams.size(), 1 + c.channels.size() + (c.subtitle ? 1 : 0));
    const StreamInfo& v = streams[0];
    EXPECT_EQ(v.type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(v.codec, c.video_id) << avcodec_get_name(v.codec);
    EXPECT_EQ(v.width, c.width);
    EXPECT_EQ(v.height, c.height);
    EXPECT_EQ(av_cmp_q(v.frame_rate, AVRational{c.fps_num, c.fps_den}), 0)
        << v.frame_rate.num << "/" << v.frame_rate.den;
    EXPECT_EQ(v.packets, std::llround(media.duration_seconds * c.fps_num / c.fps_den));

    for (size_t i = 0; i < c.channels.size(); ++i) {
        SCOPED_TRACE("audio stream " + std::to_string(i));
        const StreamInfo& a = streams[1 + i];
        EXPECT_EQ(a.type, AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(a.codec, c.audio_id) << avcodec_get_name(a.codec);
        EXPECT_EQ(a.channels, c.channels[i]);
        const MeasuredAudio m = measure_audio(path, static_cast<int>(i));
        EXPECT_EQ(m.channels, c.channels[i]);
        EXPECT_NEAR(m.peak_db, media.peak_db, kPeakToleranceDb);
        EXPECT_NEAR(m.duration_seconds, media.duration_seconds, 2048.0 / media.sample_rate);
    }
    if (c.subtitle) {
        const StreamInfo& s = streams.back();
        EXPECT_EQ(s.type, AVMEDIA_TYPE_SUBTITLE);
        EXPECT_EQ(s.codec, c.subtitle_id) << avcodec_get_name(s.codec);
        EXPECT_EQ(s.payload_packets, 2);  // a cue each second
    }
}

INSTANTIATE_TEST_SUITE_P(
    Containers, VideoFile,
    testing::Values(
        VideoCase{
            "mp4", "a.mp4", {2}, 320, 240, 25, 1, false, "", "", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, AV_CODEC_ID_NONE},
        VideoCase{"mp4_two_audio_subtitle_ntsc",
                  "b.mp4",
                  {2, 6},
                  160,
                  120,
                  30000,
                  1001,
                  true,
                  "",
                  "",
                  AV_CODEC_ID_H264,
                  AV_CODEC_ID_AAC,
                  AV_CODEC_ID_MOV_TEXT},
        VideoCase{"mkv_subrip",
                  "a.mkv",
                  {2},
                  160,
                  120,
                  10,
                  1,
                  true,
                  "",
                  "",
                  AV_CODEC_ID_H264,
                  AV_CODEC_ID_VORBIS,
                  AV_CODEC_ID_SUBRIP},
        VideoCase{"mkv_aac_two_audio_ass",
                  "b.mkv",
                  {1, 6},
                  176,
                  144,
                  24,
                  1,
                  true,
                  "aac",
                  "ass",
                  AV_CODEC_ID_H264,
                  AV_CODEC_ID_AAC,
                  AV_CODEC_ID_ASS},
        VideoCase{
            "avi", "a.avi", {2}, 320, 240, 25, 1, false, "", "", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3, AV_CODEC_ID_NONE},
        VideoCase{"avi_two_audio",
                  "b.avi",
                  {1, 2},
                  160,
                  120,
                  15,
                  1,
                  false,
                  "",
                  "",
                  AV_CODEC_ID_MPEG4,
                  AV_CODEC_ID_MP3,
                  AV_CODEC_ID_NONE}),
    [](const auto& info) { return info.param.name; });

// --- refusals ----------------------------------------------------------------

struct RefusalCase {
    std::string name;
    std::string file;
    MediaSpec media;
    std::string reason;  // must appear in the message
};

MediaSpec with(void (*edit)(MediaSpec&)) {
    MediaSpec media;
    media.duration_seconds = 0.5;
    edit(media);
    return media;
}

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, ThrowsTheReasonAndLeavesNoFile) {
    const RefusalCase& c = GetParam();
    TempDir dir("fixtures");
    const auto path = dir / c.file;
    try {
        make_media(path, c.media);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, Refusal,
    testing::Values(RefusalCase{"missing_audio_encoder", "a.mkv",
                                with([](MediaSpec& s) { s.audio_codec = "no_such_coder"; }),
                                "encoder 'no_such_coder' is not available"},
                    RefusalCase{"missing_video_encoder", "a.mp4", with([](MediaSpec& s) {
                                    s.video = true;
                                    s.video_codec = "libnothing264";
                                }),
                                "encoder 'libnothing264' is not available"},
                    RefusalCase{"video_encoder_as_audio", "a.mkv",
                                with([](MediaSpec& s) { s.audio_codec = "libx264"; }), "not an audio encoder"},
                    RefusalCase{"codec_the_container_lacks", "a.mp4",
                                with([](MediaSpec& s) { s.audio_codec = "pcm_s16le"; }), "cannot hold pcm_s16le"},
                    RefusalCase{"video_in_wav", "a.wav", with([](MediaSpec& s) { s.video = true; }), "takes no video"},
                    RefusalCase{"subtitle_in_avi", "a.avi", with([](MediaSpec& s) { s.subtitle = true; }),
                                "takes no text subtitle"},
                    RefusalCase{"two_streams_in_mp3", "a.mp3", with([](MediaSpec& s) {
                                    s.audio_channels = {2, 2};
                                }),
                                "one audio stream"},
                    RefusalCase{"six_channels_in_mp3", "a.mp3", with([](MediaSpec& s) { s.audio_channels = {6}; }),
                                "takes no 6-channel audio"},
                    RefusalCase{"rate_the_coder_lacks", "a.mp3", with([](MediaSpec& s) { s.sample_rate = 12345; }),
                                "does not take 12345 Hz"},
                    RefusalCase{"unknown_encoder_option", "a.mp3", with([](MediaSpec& s) {
                                    s.audio_encoder_options = {{"no_such_option", "1"}};
                                }),
                                "encoder option no_such_option=1"},
                    RefusalCase{"odd_picture", "a.mp4", with([](MediaSpec& s) {
                                    s.video = true;
                                    s.width = 161;
                                }),
                                "even"},
                    RefusalCase{"above_full_scale", "a.wav", with([](MediaSpec& s) { s.peak_db = 1; }), "full scale"},
                    RefusalCase{"tone_above_half_the_rate", "a.wav", with([](MediaSpec& s) { s.tone_hz = 30000; }),
                                "half the sample rate"},
                    RefusalCase{"unknown_extension", "a.notaformat", with([](MediaSpec&) {}), "no container"}),
    [](const auto& info) { return info.param.name; });

// --- measuring --------------------------------------------------------------

TEST(MeasureAudio, RefusesFilesWithoutTheAskedAudio) {
    TempDir dir("fixtures");
    MediaSpec media;
    media.duration_seconds = 0.5;
    media.audio_channels = {};
    media.video = true;
    media.width = 64;
    media.height = 48;
    const auto silent_video = make_media(dir / "v.mp4", media);
    EXPECT_THROW(measure_audio(silent_video), std::runtime_error);

    const auto wav = make_media(dir / "a.wav", audio_spec(0.5, 44100, 2, -6));
    EXPECT_NO_THROW(measure_audio(wav, 0));
    EXPECT_THROW(measure_audio(wav, 1), std::runtime_error);
    EXPECT_THROW(measure_audio(dir / "missing.wav"), std::runtime_error);
    write_file(dir / "junk.mp3", std::string(4096, 'x'));
    EXPECT_THROW(measure_audio(dir / "junk.mp3"), std::runtime_error);
}

TEST(MeasureAudio, ReadsEachAudioStreamOnItsOwn) {
    TempDir dir("fixtures");
    MediaSpec media = audio_spec(0.5, 48000, 2, -12);
    media.audio_channels = {2, 6};
    const auto path = make_media(dir / "two.mkv", media);
    EXPECT_EQ(measure_audio(path, 0).channels, 2);
    EXPECT_EQ(measure_audio(path, 1).channels, 6);
    EXPECT_EQ(measure_audio(path, 1).sample_rate, 48000);
}

}  // namespace
}  // namespace sonorix::test
