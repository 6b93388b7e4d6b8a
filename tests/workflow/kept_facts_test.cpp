// A row's facts, read once by one probe, give the same option texts as a
// live probe of the file in every later phase; a file that changed since is
// probed again.
#include <gtest/gtest.h>

#include "base/FFLoad.h"
#include "base/libav.h"
#include "engine/FFEncode.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"
#include "workflow/average_level.h"
#include "workflow/batch_job.h"
#include "workflow/conversion_options.h"
#include "workflow/output_options.h"
#include "workflow/track_levels.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

struct Source {
    std::string name;
    test::MediaSpec media;
    std::string other;  // a target of another container
};

std::vector<Source> sources() {
    test::MediaSpec stereo, flac24, mp3, m4a, mkv, ogg, fwav;
    flac24.bits = 24;
    m4a.cover = true;
    mkv.video = true;
    mkv.audio_channels = {2, 6};
    mkv.audio_languages = {"eng", "ger"};
    mkv.audio_titles = {"Main", "Commentary"};
    mkv.audio_dispositions = {0, AV_DISPOSITION_DEFAULT};
    fwav.audio_codec = "pcm_f32le";
    return {{"stereo.wav", stereo, ".flac"}, {"deep.flac", flac24, ".mp3"}, {"song.mp3", mp3, ".m4a"},
            {"cover.m4a", m4a, ".mp3"},      {"film.mkv", mkv, ".mp4"},     {"song.ogg", ogg, ".wav"},
            {"float.wav", fwav, ".flac"}};
}

// Counts the probes a run makes of its rows' files.
struct Opens {
    TFFDecoder& probe;
    const BatchJob& job;
    int count = 0;
    bool operator()(size_t row, std::string& reason) {
        ++count;
        if (probe.LoadFile(job.rows[row].source)) return true;
        reason = "gone";
        return false;
    }
};

class KeptFacts : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries)); }
    test::TempDir dir{"sonorix-facts"};
};

// Read once, while the probe then holds other files: the option builders
// and both phases of the run give what a live probe gives, and open nothing.
TEST_F(KeptFacts, OptionsFromKeptFactsAreThoseOfALiveProbeAndNoPhaseOpensASource) {
    std::vector<std::string> files;
    for (Source& s : sources()) {
        s.media.duration_seconds = 0.3;
        files.push_back(test::make_media(dir / s.name, s.media).string());
    }
    fs::create_directories(dir / "out");
    for (const BatchMode mode : {BatchMode::VolumeChange, BatchMode::AverageLevel}) {
        BatchJob job(mode, 150, dir.path() / "out", "", files);
        TFFDecoder probe;
        Opens opens{probe, job};
        std::string reason;
        for (size_t i = 0; i < files.size(); ++i) ASSERT_TRUE(job.row_facts(i, probe, std::ref(opens), reason));
        TFFEncoder encoder;
        encoder.DeferSetup = true;  // the tasks would open their files when they start
        std::string why;
        const auto folder = IntermediateFolder::make(why);
        ASSERT_TRUE(folder) << why;
        if (mode == BatchMode::AverageLevel) {
            ASSERT_FALSE(job.add_decodes(encoder, *folder));
            EXPECT_EQ(encoder.Decoder().FormatContext(), nullptr) << "the decoding phase probed a source";
            for (BatchRow& r : job.rows) r.state = BatchRow::State::Waiting;
        }
        ASSERT_FALSE(job.add_conversions(encoder, probe, std::ref(opens), true));
        EXPECT_EQ(opens.count, static_cast<int>(files.size()));
        for (size_t i = 0; i < files.size(); ++i) {
            const std::string& file = files[i];
            const SourceFacts& facts = *job.rows[i].facts;
            TFFDecoder live;
            ASSERT_TRUE(live.LoadFile(file));
            const SourceFacts now = source_facts(live);
            const std::string target = job.rows[i].target.string();
            EXPECT_EQ(job.rows[i].options, mode == BatchMode::AverageLevel
                                               ? average_mux_options(file, target, now, average_tracks(file, now))
                                               : conversion_options(file, target, live, job.audio_filters(i)))
                << file;
            if (mode == BatchMode::AverageLevel) continue;
            const std::string stem = (dir.path() / "out" / fs::path(file).stem()).string();
            const std::vector<std::string> filters = {",volume=1.5", ",volume=2dB"};
            for (const std::string& to : {stem + sources()[i].other, stem + ".wav"}) {
                EXPECT_EQ(conversion_options(file, to, facts, filters), conversion_options(file, to, live, filters))
                    << file << " -> " << to;
                EXPECT_EQ(average_mux_options(file, to, facts, average_tracks(file, facts)),
                          average_mux_options(file, to, now, average_tracks(file, now)))
                    << file << " -> " << to;
            }
            EXPECT_EQ(lossy_audio_tracks(facts), lossy_audio_tracks(now)) << file;
            for (int t = 0; t < live.AudioStreamCount; ++t) {
                EXPECT_EQ(intermediate_options(facts, t), intermediate_options(live, t)) << file << " track " << t;
            }
        }
    }
}

TEST_F(KeptFacts, AFileChangedSinceIsProbedAgain) {
    struct Case {
        const char* change;
        int opens;   // after the first
        int tracks;  // -1: no facts
    };
    for (const Case& c : std::vector<Case>{{"none", 0, 1}, {"rewritten", 1, 2}, {"removed", 1, -1}}) {
        test::MediaSpec one;
        one.duration_seconds = 0.3;
        const fs::path file = test::make_media(dir / "changing.mkv", one);
        BatchJob job(BatchMode::AverageLevel, 100, dir.path(), "x", {file.string()});
        TFFDecoder probe;
        Opens opens{probe, job};
        std::string reason;
        ASSERT_TRUE(job.row_facts(0, probe, std::ref(opens), reason));
        if (std::string(c.change) == "rewritten") {
            test::MediaSpec two = one;
            two.audio_channels = {2, 2};
            test::make_media(file, two);
        } else if (std::string(c.change) == "removed") {
            fs::remove(file);
        }
        opens.count = 0;
        const SourceFacts* facts = job.row_facts(0, probe, std::ref(opens), reason);
        EXPECT_EQ(opens.count, c.opens) << c.change;
        EXPECT_EQ(facts ? audio_track_count(*facts) : -1, c.tracks) << c.change;
        EXPECT_EQ(job.rows[0].facts != nullptr, c.tracks >= 0) << c.change;
    }
}

}  // namespace
