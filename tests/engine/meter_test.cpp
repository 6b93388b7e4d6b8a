// The loudness against libebur128's, the true-peak interpolator's skipping
// of blocks, and the meter's stop, progress and failures. Its figures against the filter graphs: the
// workflow's meter_agreement_test.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>

#include <ebur128.h>

#include "dsp/loudness_meter.h"
#include "dsp/planes.h"
#include "engine/track_meter.h"
#include "engine/true_peak.h"
#include "support/decoded_audio.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;

namespace {

// Interleaved stereo: a decaying noise burst, then a tone at a quarter of
// the rate whose crests fall between samples, then a louder click; under it
// all a 100 Hz hum that swells and fades (hum: its largest amplitude).
std::vector<double> signal(double burst, double tone, double click, size_t frames, double hum = 0) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<double> s(frames * 2, 0.0);
    for (size_t i = 0; i < frames; ++i) {
        double v = 0;
        if (i < frames / 3)
            v = burst * noise(random) * std::exp(-8.0 * static_cast<double>(i) / frames);
        else if (i < 2 * frames / 3)
            v = tone * std::cos(M_PI / 2 * static_cast<double>(i) + M_PI / 4);
        else if (i == frames - 700)
            v = click;
        const double t = static_cast<double>(i);
        v += hum * (0.5 + 0.5 * std::sin(2 * M_PI * t / 20000)) * std::sin(2 * M_PI * 100 * t / 44100);
        s[2 * i] = v;
        s[2 * i + 1] = -0.5 * v;
    }
    return s;
}

// Every sample through the interpolator, as one run: what skipping must equal.
double every_block(const std::vector<double>& s, size_t channels = 2) {
    const size_t frames = s.size() / channels;
    double peak = 0;
    for (size_t c = 0; c < channels; ++c) {
        std::vector<float> channel(TruePeakMeter::kTaps - 1, 0.0f);
        for (size_t i = 0; i < frames; ++i) channel.push_back(static_cast<float>(s[channels * i + c]));
        for (size_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(s[channels * i + c]));
        peak = std::max(peak, static_cast<double>(TruePeakMeter::interpolated_peak(channel.data(), frames)));
    }
    return peak;
}

TEST(TruePeak, SkippingBlocksChangesNothing) {
    EXPECT_NEAR(TruePeakMeter::kGainBound, 2.0228, 1e-4);
    const struct {
        double burst, tone, click;
        size_t frames, piece;  // fed piece by piece
        double most;           // the largest share of blocks interpolated
        double hum = 0;
    } cases[] = {
        {0.0, 0.0, 0.0, 100000, 1000, 0.35, 0.9},  // small steps: skipped even a few dB under the maximum
        {1.0, 0.2, 0.1, 100000, 4096, 0.5},        // the burst sets it: most blocks skipped
        {0.1, 1.0, 0.2, 100000, 333, 1.0},         // the tone's overs, pieces across blocks
        {0.1, 0.3, 1.0, 50000, 50000, 1.0},        // the click near the end
        {0.0, 0.0, 0.0, 5000, 1000, 0.0},          // silence
        {0.5, 0.5, 0.5, 1500, 7, 1.0},             // shorter than two blocks
    };
    for (const auto& c : cases) {
        const auto s = signal(c.burst, c.tone, c.click, c.frames, c.hum);
        TruePeakMeter meter(2);
        for (size_t at = 0; at < c.frames; at += c.piece)
            meter.add(s.data() + 2 * at, std::min(c.piece, c.frames - at));
        EXPECT_DOUBLE_EQ(meter.peak(), every_block(s)) << c.burst << " " << c.tone << " " << c.click;
        EXPECT_LE(meter.blocks_interpolated(), c.most * meter.blocks()) << c.burst << " " << c.hum;
    }
    // The tone's crests: sqrt(2) between samples of 1.0 (within the filter's
    // ripple), faded in and out so no edge overshoots.
    std::vector<double> s(2 * 30000);
    for (size_t i = 0; i < 30000; ++i) {
        const double edge = std::min<double>({1.0, i / 2000.0, (29999 - i) / 2000.0});
        s[2 * i] = s[2 * i + 1] = edge * std::sqrt(2.0) * std::cos(M_PI / 2 * static_cast<double>(i) + M_PI / 4);
    }
    TruePeakMeter tone(2);
    tone.add(s.data(), 30000);
    EXPECT_NEAR(20 * std::log10(tone.peak()), 3.01, 0.1);
    // A file cut off at full level reads no overshoot of the cut (the filter
    // graphs read none): 441 Hz faded in, stopped next to a crest.
    std::vector<double> cut;
    for (size_t i = 0; cut.size() < 2 * 20000 || cut.back() < 0.98; ++i) {
        const double v = std::min(1.0, i / 2000.0) * std::sin(2 * M_PI * 441 * static_cast<double>(i) / 44100);
        cut.push_back(v), cut.push_back(v);
    }
    TruePeakMeter stopped(2);
    stopped.add(cut.data(), cut.size() / 2);
    EXPECT_NEAR(20 * std::log10(stopped.peak()), 0.0, 0.05);
}

// Each channel's blocks are judged on that channel alone: one, three and six
// channels of different signals (the overs in the last only), fed
// interleaved, as planes of doubles or of floats, read what interpolating
// every block reads.
TEST(TruePeak, ChannelsJudgedAloneInterleavedOrPlanar) {
    const double kinds[][4] = {{0.5, 0.2, 0.1, 0}, {0.0, 0.0, 0.0, 0.9}, {0.1, 1.0, 0.2, 0}};
    const size_t frames = 30000, piece = 1000;
    for (const size_t channels : {1u, 3u, 6u}) {
        std::vector<double> s(frames * channels);
        for (size_t c = 0; c < channels; ++c) {
            const double* k = kinds[c + 1 == channels ? 2 : c % 2];  // the last: the tone's overs
            const auto one = signal(k[0], k[1], k[2], frames, k[3]);
            // As floats hold them, so that every way in reads the same samples.
            for (size_t i = 0; i < frames; ++i) s[i * channels + c] = static_cast<float>(one[2 * i]);
        }
        std::vector<double> planes(s.size());
        for (size_t i = 0; i < s.size(); ++i) planes[(i % channels) * frames + i / channels] = s[i];
        const std::vector<float> float_planes(planes.begin(), planes.end());
        for (const int way : {0, 1, 2}) {
            TruePeakMeter meter(static_cast<int>(channels));
            std::vector<const double*> at(channels);
            std::vector<const float*> float_at(channels);
            for (size_t from = 0; from < frames; from += piece) {
                for (size_t c = 0; c < channels; ++c) {
                    at[c] = planes.data() + c * frames + from;
                    float_at[c] = float_planes.data() + c * frames + from;
                }
                if (way == 0) meter.add(s.data() + from * channels, piece);
                if (way == 1) meter.add_planes(at.data(), piece);
                if (way == 2) meter.add_planes(float_at.data(), piece);
            }
            EXPECT_DOUBLE_EQ(meter.peak(), every_block(s, channels)) << channels << " way " << way;
            EXPECT_LT(meter.blocks_interpolated(), meter.blocks()) << channels;
        }
    }
}

// The wide loops of the sample scan and of the stereo split read what the
// plain ones read: lengths around their widths, the most negative 16-bit value (whose squares in
// pairs fill 32 bits), floats above full scale.
TEST(SampleScan, WideLoopsAgreeWithThePlainOne) {
    std::mt19937 random(5);
    std::uniform_int_distribution<int> any(-32768, 32767);
    for (const size_t count : {0u, 5u, 16u, 17u, 37u, 1000u}) {
        for (const int kind : {0, 1, 2}) {  // random, all -32768, one 32767 among small values
            std::vector<int16_t> s16(count);
            for (size_t i = 0; i < count; ++i) {
                s16[i] = static_cast<int16_t>(kind == 0 ? any(random) : kind == 1 ? -32768 : (i % 3) - 1);
            }
            if (kind == 2 && count > 0) s16[count - 1] = 32767;
            std::vector<float> floats(count);
            for (size_t i = 0; i < count; ++i) floats[i] = s16[i] / 16384.0f;  // up to 2.0
            double peak = 0, squares = 0, wide_peak = 0, wide_squares = 0;
            scan_samples(s16.data(), count, peak, squares);
            scan_fast(s16.data(), count, wide_peak, wide_squares);
            EXPECT_EQ(wide_peak, peak) << count << " " << kind;
            EXPECT_NEAR(wide_squares, squares, 1e-12 * squares) << count << " " << kind;
            if (kind == 1) {
                EXPECT_EQ(wide_squares, static_cast<double>(count));
            }
            // Read as stereo frames, scanned and split in one pass: the same
            // figures, the even samples left and the odd right.
            const size_t frames = count / 2;
            std::vector<float> left(frames), right(frames);
            peak = squares = wide_peak = wide_squares = 0;
            scan_samples(s16.data(), 2 * frames, peak, squares);
            scan_and_split_stereo_s16(s16.data(), frames, left.data(), right.data(), wide_peak, wide_squares);
            EXPECT_EQ(wide_peak, peak) << count << " " << kind << " split";
            EXPECT_NEAR(wide_squares, squares, 1e-12 * squares) << count << " " << kind << " split";
            for (size_t i = 0; i < frames; ++i) {
                ASSERT_EQ(left[i], s16[2 * i] / 32768.0f) << count << " " << kind << " frame " << i;
                ASSERT_EQ(right[i], s16[2 * i + 1] / 32768.0f) << count << " " << kind << " frame " << i;
            }
            peak = squares = wide_peak = wide_squares = 0;
            scan_samples(floats.data(), count, peak, squares);
            scan_fast(floats.data(), count, wide_peak, wide_squares);
            EXPECT_EQ(wide_peak, peak) << count << " " << kind << " float";
            EXPECT_NEAR(wide_squares, squares, 1e-12 * squares) << count << " " << kind << " float";
        }
    }
}

// Several frames at a time (and fused multiply-adds) and one at a time give
// the same outputs.
TEST(TruePeak, VectorAndSingleFramesAgree) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> s(TruePeakMeter::kTaps - 1 + 103);
    for (float& v : s) v = noise(random);
    float single = 0;
    for (size_t i = 0; i < 103; ++i) single = std::max(single, TruePeakMeter::interpolated_peak(s.data() + i, 1));
    EXPECT_NEAR(TruePeakMeter::interpolated_peak(s.data(), 103), single, 1e-6);
}

// Interleaved: a chord whose level swells and falls over `swing` dB every
// 10 s (with step, 12 s loud then 12 s `swing` dB lower, and so on), the
// same on every channel but for its level (gains per channel).
std::vector<double> music(int rate, const std::vector<double>& gains, double seconds, double swing, bool step = false) {
    const size_t frames = static_cast<size_t>(rate * seconds), channels = gains.size();
    std::mt19937 random(11);
    std::uniform_real_distribution<double> noise(-0.05, 0.05);
    std::vector<double> s(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double db =
            step ? (static_cast<int>(t / 12) % 2 ? -swing : 0) : swing * (std::sin(2 * M_PI * t / 10) - 1) / 2;
        const double level = std::pow(10.0, db / 20);
        const double v = level * (0.3 * std::sin(2 * M_PI * 220 * t) + 0.2 * std::sin(2 * M_PI * 1760 * t) +
                                  0.1 * std::sin(2 * M_PI * 7040 * t) + noise(random));
        for (size_t c = 0; c < channels; ++c) s[i * channels + c] = gains[c] * v;
    }
    return s;
}

TEST(Loudness, AgreesWithLibebur128) {
    // At 48 kHz the designs give BS.1770's own coefficients.
    const auto pre = LoudnessMeter::pre_filter(48000);
    const auto rlb = LoudnessMeter::rlb_filter(48000);
    const double table[] = {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
                            0.73248077421585, -1.99004745483398, 0.99007225036621};
    const double got[] = {pre.b0, pre.b1, pre.b2, pre.a1, pre.a2, rlb.a1, rlb.a2};
    for (size_t i = 0; i < std::size(table); ++i) EXPECT_NEAR(got[i], table[i], 1e-8) << i;

    // The range: libebur128 reads its 3 s windows once a second, the filter
    // graphs (whose figures the meter keeps) every 100 ms, as the meter does;
    // a level that steps 10 dB reads 10 LU either way.
    const double s = LoudnessMeter::kSurround;
    const struct {
        int rate;
        std::vector<double> weights;  // 2: mono; 0: LFE
        std::vector<double> gains;
        double seconds, swing;
        bool step;
        std::optional<double> range;
    } cases[] = {
        {44100, {1, 1}, {1.0, 0.5}, 20, 12, false, std::nullopt},
        {48000, {2}, {0.8}, 12, 3, false, std::nullopt},
        {44100, {2}, {0.6}, 10, 8, false, std::nullopt},  // mono in eighths, the last 2 frames longer
        {32000, {1, 1, 1, 0, s, s}, {0.5, 0.5, 0.7, 1.0, 0.3, 0.3}, 20, 20, false, std::nullopt},
        {96000, {1, 1}, {0.01, 0.01}, 8, 30, false, std::nullopt},  // near the absolute gate
        {16000, {1, 1}, {0.5, 0.5}, 48, 10, true, 10.0},
        {22050, {1, 1, 1}, {0.5, 0.5, 0.5}, 24, 5, true, 5.0},
        {44100, {1, 1}, {0.0, 0.0}, 5, 0, false, 0.0},    // silence
        {44100, {1, 1}, {1.0, 1.0}, 0.3, 0, false, 0.0},  // shorter than a block
    };
    for (const auto& c : cases) {
        const auto samples = music(c.rate, c.gains, c.seconds, c.swing, c.step);
        const size_t channels = c.weights.size(), frames = samples.size() / channels;
        LoudnessMeter meter;
        meter.configure(c.rate, c.weights);
        ebur128_state* st = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(c.rate),
                                         EBUR128_MODE_I | EBUR128_MODE_LRA);
        ASSERT_NE(st, nullptr);
        for (size_t ch = 0; ch < channels; ++ch) {
            const double w = c.weights[ch];
            ebur128_set_channel(st, static_cast<unsigned>(ch),
                                w == 2   ? EBUR128_DUAL_MONO
                                : w == 0 ? EBUR128_UNUSED
                                : w == s ? EBUR128_LEFT_SURROUND
                                         : EBUR128_LEFT);
        }
        for (size_t at = 0; at < frames; at += 1234) {
            const size_t n = std::min<size_t>(1234, frames - at);
            meter.add(samples.data() + at * channels, n);
            ebur128_add_frames_double(st, samples.data() + at * channels, n);
        }
        double integrated = 0, range = 0;
        ebur128_loudness_global(st, &integrated);
        ebur128_loudness_range(st, &range);
        ebur128_destroy(&st);
        const std::string what = std::to_string(c.rate) + " " + std::to_string(channels);
        if (!std::isfinite(integrated)) {
            EXPECT_FALSE(meter.integrated().has_value()) << what;
        } else {
            ASSERT_TRUE(meter.integrated().has_value()) << what;
            EXPECT_NEAR(*meter.integrated(), integrated, 0.01) << what;
        }
        if (c.range) {
            EXPECT_NEAR(meter.range(), *c.range, 0.1) << what;
            EXPECT_NEAR(range, *c.range, 0.1) << what;
        }
        // Planes of floats read as the same samples in doubles do (the
        // decoders' float planes go in as they are), in pieces that hold
        // whole segments (read straight from the planes) or parts of them.
        std::vector<float> floats(samples.size());
        std::vector<double> doubles(samples.size());
        for (size_t i = 0; i < samples.size(); ++i) {
            const size_t to = (i % channels) * frames + i / channels;
            doubles[to] = floats[to] = static_cast<float>(samples[i]);
        }
        LoudnessMeter from_floats, from_doubles;
        from_floats.configure(c.rate, c.weights);
        from_doubles.configure(c.rate, c.weights);
        for (size_t at = 0; at < frames; at += 1000) {
            std::vector<const double*> d(channels);
            for (size_t ch = 0; ch < channels; ++ch) d[ch] = &doubles[ch * frames + at];
            from_doubles.add_planes(d.data(), std::min<size_t>(1000, frames - at));
        }
        for (size_t at = 0; at < frames; at += 25000) {
            std::vector<const float*> f(channels);
            for (size_t ch = 0; ch < channels; ++ch) f[ch] = &floats[ch * frames + at];
            from_floats.add_planes(f.data(), std::min<size_t>(25000, frames - at));
        }
        EXPECT_EQ(from_floats.integrated(), from_doubles.integrated()) << what;
        EXPECT_EQ(from_floats.range(), from_doubles.range()) << what;
        // Quarters side by side read what one run reads.
        LoudnessMeter one_run;
        one_run.configure(c.rate, c.weights, false);
        for (size_t at = 0; at < frames; at += 777) {
            std::vector<const double*> d(channels);
            for (size_t ch = 0; ch < channels; ++ch) d[ch] = &doubles[ch * frames + at];
            one_run.add_planes(d.data(), std::min<size_t>(777, frames - at));
        }
        ASSERT_EQ(one_run.integrated().has_value(), from_doubles.integrated().has_value()) << what;
        if (one_run.integrated()) {
            EXPECT_NEAR(*one_run.integrated(), *from_doubles.integrated(), 1e-9) << what;
        }
        EXPECT_NEAR(one_run.range(), from_doubles.range(), 1e-9) << what;
        if (from_doubles.integrated() && meter.integrated()) {
            EXPECT_NEAR(*from_doubles.integrated(), *meter.integrated(), 0.001) << what;
        }
        // The blocks pool to the same loudness (workflow's gated_loudness does so for an album).
        EXPECT_EQ(meter.blocks().size(), c.seconds < 0.4 ? 0u : static_cast<size_t>(c.seconds * 10 + 1e-9) - 3) << what;
    }
}

TEST(TrackMeter, StopsProgressesAndTellsFailures) {
    test::TempDir dir("sonorix-meter");
    test::MediaSpec two;
    two.duration_seconds = 3;
    two.audio_channels = {2, 1};
    two.audio_codec = "flac";
    const std::string film = test::make_media(dir / "two.mkv", two).string();
    test::MediaSpec picture;
    picture.video = true;
    picture.audio_channels = {};
    const std::string mute = test::make_media(dir / "mute.mp4", picture).string();

    std::vector<int64_t> positions;
    int64_t told_duration = 0;
    const MeterResult whole = measure_tracks(film, {}, nullptr, [&](int64_t position, int64_t duration) {
        positions.push_back(position);
        told_duration = duration;
    });
    ASSERT_TRUE(whole.error.empty()) << whole.error;
    ASSERT_EQ(whole.tracks.size(), 2u);
    EXPECT_NEAR(*whole.tracks[1].sample_peak_db, -6.0, 0.01);
    EXPECT_FALSE(whole.tracks[0].integrated.has_value());  // not asked for
    ASSERT_FALSE(positions.empty());
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(positions.back(), told_duration);
    EXPECT_NEAR(told_duration / 1e6, 3.0, 0.1);

    const std::atomic<bool> stop{true};
    const MeterResult stopped = measure_tracks(film, {.loudness = true}, &stop);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_TRUE(stopped.tracks.empty());

    const MeterResult missing = measure_tracks((dir / "missing.wav").string(), {.loudness = true});
    EXPECT_NE(missing.error.find("missing.wav: "), std::string::npos) << missing.error;
    EXPECT_TRUE(missing.tracks.empty());
    const MeterResult silent = measure_tracks(mute, {.loudness = true});
    EXPECT_TRUE(silent.error.empty()) << silent.error;
    EXPECT_TRUE(silent.tracks.empty());
}

// The meters take a track's frames a few whole 100 ms segments at a time:
// the figures are those of its decoded samples given at once, for each kind
// of frame (16-bit interleaved, float planes, 24-bit as doubles, mono).
TEST(TrackMeter, FramesGatheredReadAsTheWholeTrackAtOnce) {
    test::TempDir dir("sonorix-meter");
    const struct {
        const char* name;
        int channels, bits;
    } cases[] = {{"s16.wav", 2, 0}, {"fltp.mp3", 2, 0}, {"s32.flac", 2, 24}, {"mono.ogg", 1, 0}};
    for (const auto& c : cases) {
        test::MediaSpec m;
        m.duration_seconds = 2.5;
        m.audio_channels = {c.channels};
        m.bits = c.bits;
        m.noise = true;
        const auto path = test::make_media(dir / c.name, m);
        const MeterResult got = measure_tracks(path.string(), {.loudness = true});
        ASSERT_EQ(got.tracks.size(), 1u) << c.name;
        const std::vector<float> decoded = test::decoded_samples(path);
        const std::vector<double> samples(decoded.begin(), decoded.end());
        const size_t frames = samples.size() / static_cast<size_t>(c.channels);
        ASSERT_EQ(got.tracks[0].frames, static_cast<int64_t>(frames)) << c.name;
        LoudnessMeter loudness;
        loudness.configure(44100, c.channels == 1 ? std::vector<double>{2} : std::vector<double>{1, 1});
        loudness.add(samples.data(), frames);
        TruePeakMeter true_peak(c.channels);
        true_peak.add(samples.data(), frames);
        EXPECT_NEAR(*got.tracks[0].integrated, *loudness.integrated(), 1e-9) << c.name;
        EXPECT_NEAR(*got.tracks[0].range, loudness.range(), 1e-9) << c.name;
        EXPECT_NEAR(*got.tracks[0].true_peak, 20 * std::log10(true_peak.peak()), 1e-9) << c.name;
    }
}

// Matroska names no places for PCM channels: six of them weigh as the usual
// 5.1 (the LFE not at all), as the same samples in a WAV with its mask.
TEST(TrackMeter, SixUnnamedChannelsWeighAsFivePointOne) {
    test::TempDir dir("sonorix-meter");
    test::MediaSpec six;
    six.duration_seconds = 3;
    six.audio_channels = {6};
    six.audio_codec = "pcm_s16le";
    const MeterResult unnamed = measure_tracks(test::make_media(dir / "six.mkv", six).string(), {.loudness = true});
    const MeterResult named = measure_tracks(test::make_media(dir / "six.wav", six).string(), {.loudness = true});
    ASSERT_EQ(unnamed.tracks.size(), 1u);
    ASSERT_EQ(named.tracks.size(), 1u);
    EXPECT_NEAR(*unnamed.tracks[0].integrated, *named.tracks[0].integrated, 0.01);
}

// A target's check decodes a file only when one of its audio tracks is lossy.
TEST(TrackMeter, LossyOnlyDecodesOnlyAFileWithALossyTrack) {
    test::TempDir dir("sonorix-meter");
    test::MediaSpec m;
    m.duration_seconds = 1;
    m.audio_channels = {2, 2};
    m.audio_codec = "flac";
    const MeterRequest request{.loudness = true, .lossy_only = true};
    const MeterResult lossless = measure_tracks(test::make_media(dir / "two.mkv", m).string(), request);
    ASSERT_EQ(lossless.tracks.size(), 2u);
    EXPECT_FALSE(lossless.tracks[0].sample_peak_db.has_value());  // not decoded
    EXPECT_FALSE(lossless.tracks[1].lossy);
    m.audio_channels = {2};
    m.audio_codec.clear();  // the format's own: MP3
    const MeterResult lossy = measure_tracks(test::make_media(dir / "one.mp3", m).string(), request);
    ASSERT_EQ(lossy.tracks.size(), 1u);
    EXPECT_TRUE(lossy.tracks[0].lossy);
    EXPECT_TRUE(lossy.tracks[0].true_peak.has_value());
}

}  // namespace
