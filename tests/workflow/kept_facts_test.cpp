// A row's facts, read once by one probe, give the same option texts as a
// live probe of the file in every later phase, while the probe holds another
// file; a file that changed since is probed again.
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

TEST_F(KeptFacts, OptionsFromKeptFactsAreThoseOfALiveProbe) {
    test::MediaSpec small;
    small.duration_seconds = 0.2;
    const std::string elsewhere = test::make_media(dir / "elsewhere.mp3", small).string();
    for (Source& s : sources()) {
        s.media.duration_seconds = 0.5;
        const std::string file = test::make_media(dir / s.name, s.media).string();
        BatchJob job(BatchMode::VolumeChange, 150, dir.path() / "out", "", {file});
        TFFDecoder probe;
        Opens opens{probe, job};
        std::string reason;
        const SourceFacts* facts = job.row_facts(0, probe, std::ref(opens), reason);
        ASSERT_TRUE(facts) << s.name << ": " << reason;
        // The probe moves on; the facts stand for the file.
        ASSERT_TRUE(probe.LoadFile(elsewhere));
        TFFDecoder live;
        ASSERT_TRUE(live.LoadFile(file));
        const std::string stem = (dir.path() / "out" / fs::path(s.name).stem()).string();
        const std::vector<std::string> filters = {",volume=1.5", ",volume=2dB"};
        for (const std::string& target :
             {stem + fs::path(s.name).extension().string(), stem + s.other, stem + ".wav"}) {
            EXPECT_EQ(conversion_options(file, target, *facts, filters),
                      conversion_options(file, target, live, filters))
                << s.name << " -> " << target;
            EXPECT_EQ(average_mux_options(file, target, *facts, average_tracks(file, *facts)),
                      average_mux_options(file, target, live, average_tracks(file, live)))
                << s.name << " -> " << target;
        }
        ASSERT_EQ(audio_track_count(*facts), audio_track_count(live)) << s.name;
        EXPECT_EQ(main_audio_track(*facts), main_audio_track(live)) << s.name;
        EXPECT_EQ(lossy_audio_tracks(*facts), lossy_audio_tracks(live)) << s.name;
        for (int t = 0; t < audio_track_count(live); ++t) {
            EXPECT_EQ(intermediate_options(*facts, t), intermediate_options(live, t)) << s.name << " track " << t;
        }
        EXPECT_EQ(opens.count, 1) << s.name;
    }
}

// The later phases of a run read the rows' kept facts: the average level's
// decoding and conversions open no source on the main thread.
TEST_F(KeptFacts, LaterPhasesOpenNoSource) {
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
            EXPECT_EQ(encoder.Decoder().FormatContext(), nullptr) << "a decoding phase probed a source";
            for (size_t i = 0; i < files.size(); ++i) job.rows[i].state = BatchRow::State::Waiting;
        }
        ASSERT_FALSE(job.add_conversions(encoder, probe, std::ref(opens), true));
        EXPECT_EQ(opens.count, static_cast<int>(files.size()));
        for (size_t i = 0; i < files.size(); ++i) {
            TFFDecoder live;
            ASSERT_TRUE(live.LoadFile(files[i]));
            const BatchRow& r = job.rows[i];
            const std::string expected =
                mode == BatchMode::AverageLevel
                    ? average_mux_options(files[i], r.target.string(), live, average_tracks(files[i], live))
                    : conversion_options(files[i], r.target.string(), live, job.audio_filters(i));
            EXPECT_EQ(r.options, expected) << files[i];
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
