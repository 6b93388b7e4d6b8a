// The one-pass meter against the filter-graph measurement (astats and
// ebur128 per track, read back from the log) on the same files: the same
// peaks and mean levels, loudness within 0.05 LU, range within 0.1 LU, true
// peak within 0.1 dB, also for a float source above full scale and for a
// tone whose crests fall between the samples.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/FFBase.h"
#include "base/FFLoad.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"
#include "engine/FFEncode.h"
#include "engine/track_meter.h"
#include "workflow/loudness.h"
#include "workflow/peak_analysis.h"
#include "workflow/track_levels.h"
#include "support/drain.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
using namespace std::chrono_literals;

namespace {

// The reference: astats and ebur128 per audio track in one complex graph into
// the null device, their results read back from the log. A line's track is
// the place of the filter that logs it ("Parsed_ebur128_3" is the second
// chain's); a summary's lines without a prefix belong to the last one named.
std::string graph_options(int tracks) {
    std::string graph, maps;
    for (int i = 0; i < tracks; ++i) {
        graph += (i ? ";" : "") + Format("[0:a:%d]", i) +
                 "astats=metadata=0:measure_perchannel=none:measure_overall=Peak_level+RMS_level,"
                 "ebur128=peak=true:dualmono=true" +
                 Format("[t%d]", i);
        maps += Format(" -map \"[t%d]\"", i);
    }
    return " -filter_complex \"" + graph + "\"" + maps + " -f null";
}

std::optional<double> number_after(const std::string& line, const char* key) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    const char* start = line.c_str() + at + std::strlen(key);
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    return end == start ? std::nullopt : std::optional<double>(v);
}

class GraphReadings {
public:
    explicit GraphReadings(int tracks) : tracks_(static_cast<size_t>(tracks)) {}
    void read(const std::string& line) {
        if (const size_t at = line.find("[Parsed_"); at != std::string::npos) {
            const size_t underscore = line.rfind('_', line.find(" @ ", at));
            current_ = std::min(std::strtoul(line.c_str() + underscore + 1, nullptr, 10) / 2, tracks_.size() - 1);
            section_ = "";
        }
        for (const char* s : {"Integrated loudness:", "Loudness range:", "True peak:", "Sample peak:"}) {
            if (line.find(s) != std::string::npos) section_ = s;
        }
        TrackReading& t = tracks_[current_];
        if (auto v = number_after(line, "Peak level dB:")) t.peak_db = v;
        if (auto v = number_after(line, "RMS level dB:")) t.mean_db = v;
        if (section_ == "Integrated loudness:" && number_after(line, " I:"))
            t.loudness.integrated = number_after(line, " I:");
        if (section_ == "Loudness range:" && number_after(line, " LRA:"))
            t.loudness.range = number_after(line, " LRA:");
        if (section_ == "True peak:" && number_after(line, " Peak:"))
            t.loudness.true_peak = number_after(line, " Peak:");
    }
    const std::vector<TrackReading>& tracks() const { return tracks_; }

private:
    std::vector<TrackReading> tracks_;
    size_t current_ = 0;
    std::string section_;
};

class MeterAgreementTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        MainThreadQueue::Instance().SetMainThread();
        ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
    }

    // The filter graph's readings of every audio track.
    std::vector<TrackReading> graph_readings(const std::string& file, int tracks) {
        GraphReadings readings(tracks);
        TFFLogger logger;
        logger.SetOnLog([&](TObject*, int, TLogLevel, const std::string& line) { readings.read(line); });
        const int task = encoder_.AddTask(file);
        EXPECT_GE(task, 0) << encoder_.LastErrorMessage();
        TOutputOptions out;
        out.Options = graph_options(tracks);
        EXPECT_GE(encoder_.SetOutput(task, kNullDevice, &out), 0) << encoder_.LastErrorMessage();
        bool ended = false;
        encoder_.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
            EXPECT_FALSE(info.Failed) << info.ErrorText;
            ended |= info.TaskIndex < 0;
        };
        encoder_.StartTask(1);
        EXPECT_TRUE(test::drain_until([&] { return ended; }, 60s));
        encoder_.ClearTasks();
        return readings.tracks();
    }

    test::TempDir dir_{"sonorix-meter"};
    TFFEncoder encoder_;
};

// Both infinite with one sign, or both finite and within tolerance.
void expect_near(const std::optional<double>& meter, const std::optional<double>& graph, double tolerance,
                 const std::string& what) {
    ASSERT_TRUE(meter.has_value()) << what;
    ASSERT_TRUE(graph.has_value()) << what;
    if (std::isinf(*graph)) {
        EXPECT_EQ(*meter, *graph) << what;
    } else {
        EXPECT_NEAR(*meter, *graph, tolerance) << what;
    }
}

TEST_F(MeterAgreementTest, FiguresMatchTheFilterGraphs) {
    auto tone = [](std::vector<int> channels, double peak_db) {
        test::MediaSpec m;
        m.duration_seconds = 5;
        m.audio_channels = std::move(channels);
        m.peak_db = peak_db;
        return m;
    };
    test::MediaSpec float_over = tone({2}, 4.5);
    float_over.audio_codec = "pcm_f32le";
    test::MediaSpec flac24 = tone({2}, -1);
    flac24.bits = 24;
    test::MediaSpec film = tone({2, 1}, -3);
    film.audio_peaks_db = {-3, -14};
    test::MediaSpec low = tone({2}, -30);
    low.tone_hz = 60;
    // Samples at +-1.0 of a tone of amplitude sqrt(2): +3.01 dBTP between them.
    test::MediaSpec over = tone({2}, 20 * std::log10(std::sqrt(2.0)));
    over.audio_codec = "pcm_f32le";
    over.tone_hz = 11025;
    over.tone_phase_degrees = 45;
    const struct {
        const char* name;
        test::MediaSpec media;
        std::optional<double> true_peak;  // dBTP, where it is known
    } cases[] = {
        {"tone.mp3", tone({2}, -6), std::nullopt},
        {"tone.flac", flac24, -1.0},
        {"over.wav", float_over, 4.5},
        {"tone.ogg", tone({2}, -9), std::nullopt},
        {"mono.wav", tone({1}, -6), -6.0},
        {"film.mkv", film, std::nullopt},
        {"low.wav", low, -30.0},
        {"silence.wav", tone({2}, -HUGE_VAL), -HUGE_VAL},
        {"intersample.wav", over, 3.01},
    };
    for (const auto& c : cases) {
        const std::string file = test::make_media(dir_ / c.name, c.media).string();
        const int count = static_cast<int>(c.media.audio_channels.size());
        const auto graph = graph_readings(file, count);
        const MeterResult meter = measure_tracks(file, {.loudness = true, .blocks = true});
        ASSERT_TRUE(meter.error.empty()) << meter.error;
        ASSERT_EQ(meter.tracks.size(), graph.size()) << c.name;
        for (size_t t = 0; t < graph.size(); ++t) {
            const std::string what = std::string(c.name) + " track " + std::to_string(t);
            const TrackMeasure& m = meter.tracks[t];
            const LoudnessReading& g = graph[t].loudness;
            expect_near(m.sample_peak_db, graph[t].peak_db, 0.01, what + " peak");
            expect_near(m.rms_db, graph[t].mean_db, 0.01, what + " mean");
            expect_near(m.integrated, g.integrated, 0.05, what + " integrated");
            expect_near(m.range, g.range, 0.1, what + " range");
            expect_near(m.true_peak, g.true_peak, 0.1, what + " true peak");
            if (t == 0 && c.true_peak) expect_near(m.true_peak, c.true_peak, 0.1, what + " true peak itself");
            // The blocks pool to the track's own loudness.
            const auto pooled = gated_loudness({&m.blocks});
            if (*m.integrated > -70) {
                ASSERT_TRUE(pooled.has_value()) << what;
                EXPECT_NEAR(*pooled, *m.integrated, 0.05) << what;
            } else {
                EXPECT_FALSE(pooled.has_value()) << what;
            }
        }
    }
}

}  // namespace
