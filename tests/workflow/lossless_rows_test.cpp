// What a list run with the lossless path tells of its rows: each track's
// applied gain beside the one asked, and why a file was re-encoded.
#include <gtest/gtest.h>

#include "workflow/batch_job.h"
#include "workflow/lossless_task.h"

namespace sonorix {

TEST(LosslessRows, TheEndMessageGivesAppliedAndAskedGains) {
    BatchJob job(BatchMode::Normalize, 100, "/out", "", {"/in/film.mkv", "/in/song.mp3", "/in/song.flac", "/in/b.mp3"});
    job.set_lossless(LosslessUse::Prefer);
    auto track = [](double asked, std::optional<double> applied) {
        TrackLevel t;
        t.gain = asked;
        t.applied = applied;
        return t;
    };
    const struct {
        std::vector<TrackLevel> tracks;
        bool lossless;
        const char* refusal;
        BatchRow::State state;
        const char* text;  // lossless_text
    } rows[] = {
        {{track(5.10, 4.5154499), track(-2.0, -2.0)},
         true,
         "",
         BatchRow::State::Completed,
         "track 1: +4.52 dB, asked +5.10 dB; track 2: -2.00 dB, asked -2.00 dB"},
        {{track(1.0, 0.0)}, true, "", BatchRow::State::Completed, "+0.00 dB, asked +1.00 dB"},
        {{track(3.0, std::nullopt)},
         false,
         "audio track 1 (flac): the lossless path takes MP3, AAC-LC and Opus only",
         BatchRow::State::Completed,
         ""},
        {{track(3.0, std::nullopt)}, true, "", BatchRow::State::Failed, "kept as it is"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        BatchRow& r = job.rows[i];
        r.tracks = rows[i].tracks;
        r.lossless = rows[i].lossless;
        r.lossless_refusal = rows[i].refusal;
        r.state = rows[i].state;
        r.reason = "it broke";
        r.target = "/out/" + std::filesystem::path(r.source).filename().string();
        EXPECT_EQ(job.lossless_text(i), rows[i].text);
    }
    const std::string text = job.finish_text();
    EXPECT_NE(text.find("\r\rChanged without re-encoding:\r/out/film.mkv: track 1: +4.52 dB, asked +5.10 dB; track 2: "
                        "-2.00 dB, asked -2.00 dB\r/out/song.mp3: +0.00 dB, asked +1.00 dB\r\r"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\rRe-encoded, as the lossless path was refused:\r/in/song.flac: audio track 1 (flac)"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("b.mp3: +"), std::string::npos) << "a failed row has no gains to tell";
}

// One rounding for every front end: Volume Change and Loudness to the
// nearest step, Normalize down, a loudness never past its ceiling.
TEST(LosslessRequests, EachModeRoundsItsOwnWay) {
    lossless::Survey mp3;
    mp3.tracks = {{0, lossless::GainCodec::Mp3, {}, {}}};
    const struct {
        const char* what;
        std::vector<lossless::GainRequest> requests;
        int steps;
    } cases[] = {
        {"150 % is +3.52 dB: nearest two steps", volume_change_requests(150), 2},
        {"Normalize +5.9 dB: down to three", measured_requests(BatchMode::Normalize, {{5.9, std::nullopt}}, -1), 3},
        {"Loudness +5.9 dB: nearest four", measured_requests(BatchMode::Loudness, {{5.9, -12.0}}, -1), 4},
        {"Loudness +5.9 dB, true peak -6.5: under -1 dBTP", measured_requests(BatchMode::Loudness, {{5.9, -6.5}}, -1),
         3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<lossless::AppliedGain> gains;
        ASSERT_EQ(lossless::plan_gains(mp3, c.requests, gains), "");
        EXPECT_EQ(gains[0].units, c.steps);
    }
    EXPECT_EQ(lossless_status("+3.01 dB, asked +3.52 dB", ""),
              "converted without re-encoding: +3.01 dB, asked +3.52 dB");
}

}  // namespace sonorix
