#include "workflow/batch_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "workflow/batch_job.h"
#include "workflow/track_levels.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

TEST(BatchList, SizeTexts) {
    const struct {
        int64_t bytes;
        const char* text;
    } cases[] = {
        {1048576, "1MB"},   {1500000, "1.43MB"},
        {5000, "0MB"},      {5243, "0.01MB"},
        {131072, "0.12MB"},  // 12.5 hundredths: ties go to the even value
        {393216, "0.38MB"},  // 37.5 hundredths
        {0, "0MB"},         {int64_t{5} << 40, "5242880MB"},
    };
    for (const auto& c : cases) EXPECT_EQ(list_size_text(c.bytes), c.text) << c.bytes;
}

TEST(BatchList, FolderAddsOnlyItsOwnMediaFiles) {
    EXPECT_EQ(folder_with_separator("/"), "/");
    EXPECT_EQ(folder_with_separator(" /music/a "), "/music/a/");
    EXPECT_EQ(folder_with_separator("/music/a/"), "/music/a/");

    test::TempDir dir("sonorix-folder");
    for (const char* name : {"a.wav", "B.MP3", "clip.mp4", ".hidden.flac", "notes.txt", "noext"}) {
        test::write_file(dir / name, "x");
    }
    fs::create_directories(dir / "sub");
    test::write_file(dir / "sub" / "deep.wav", "x");
    fs::create_directories(dir / "folder.wav");
    const std::string folder = folder_with_separator(dir.path().string());
    const auto files = folder_media_files(folder);
    std::vector<std::string> want;  // in byte order, whatever order the disk keeps
    for (const char* name : {".hidden.flac", "B.MP3", "a.wav", "clip.mp4"}) want.push_back(folder + name);
    EXPECT_EQ(files, want);
    EXPECT_TRUE(folder_media_files(folder + "missing/").empty());
}

TEST(BatchList, TargetsAreDistinctAndNeverASource) {
    test::TempDir root("sonorix-targets");
    const fs::path out = root / "out";
    fs::create_directories(out);
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    for (const fs::path& p : {root / "a" / "x.mp3", root / "b" / "x.mp3", out / "x.mp3", root / "a" / "y.mp3"}) {
        test::write_file(p, "x");
    }
    fs::create_hard_link(root / "a" / "y.mp3", out / "y.mp3");  // y.mp3 in out is row 4's file too
    const std::vector<std::string> sources = {(root / "a/x.mp3").string(), (root / "b/x.mp3").string(),
                                              (out / "x.mp3").string(),    (root / "a/x.mp3").string(),
                                              (root / "a/y.mp3").string(), (root / "b/gone.mp3").string()};
    const auto targets = distinct_targets(sources, {0, 1, 2, 3, 4}, out, "");
    EXPECT_EQ(targets[0], out / "x (2).mp3");  // out/x.mp3 is row 2's source
    EXPECT_EQ(targets[1], out / "x (3).mp3");
    EXPECT_EQ(targets[2], out / "NEW_x.mp3");
    EXPECT_EQ(targets[3], out / "x (4).mp3");  // the same file added twice
    EXPECT_EQ(targets[4], out / "y (2).mp3");
    EXPECT_TRUE(targets[5].empty());
    const auto prefixed = distinct_targets(sources, {0, 1}, out, "loud_");
    EXPECT_EQ(prefixed[0], out / "loud_x.mp3");
    EXPECT_EQ(prefixed[1], out / "loud_x (2).mp3");
}

TEST(BatchList, PrefixesTakeTheOptionsDialogsCharacters) {
    EXPECT_TRUE(is_prefix_text(""));
    EXPECT_TRUE(is_prefix_text("loud_-09AZaz"));
    EXPECT_FALSE(is_prefix_text("a b"));
    EXPECT_FALSE(is_prefix_text("../x"));
    EXPECT_FALSE(is_prefix_text(std::string(21, 'a')));
}

// Readings of a row's tracks by their sample peaks (nothing: not measured).
std::vector<TrackReading> peaks(std::initializer_list<std::optional<double>> dbfs) {
    std::vector<TrackReading> out;
    for (const auto& p : dbfs) out.emplace_back().peak_db = p;
    return out;
}

TEST(BatchJob, EveryTrackGetsItsOwnHeadroomAndUnmeasuredOrSilentRowsAreSkipped) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        std::vector<TrackReading> tracks;
        const char* failure;
        const char* cell;                  // kNoPeakCell: skipped
        std::vector<std::string> filters;  // per track
    };
    const std::vector<Row> table = {
        {peaks({-3.461}), "", "3.5", {",volume=3.46dB"}},
        // A loud stereo and a quiet 5.1 track: each to full scale, none above.
        {peaks({-1.0, -20.02}), "", "1.0 (+1)", {",volume=1.00dB", ",volume=20.02dB"}},
        // A float source above full scale comes down.
        {peaks({3.004}), "", "-3.0", {",volume=-3.01dB"}},
        // A silent track keeps its level; a silent file is not amplified by 90 dB.
        {peaks({-inf, -6.0}), "", "N/A (+1)", {"", ",volume=6.00dB"}},
        {peaks({-inf}), "", kNoPeakCell, {}},
        {peaks({std::nullopt}), "", kNoPeakCell, {}},
        {peaks({-2.0}), "decoding failed", kNoPeakCell, {}},
    };
    std::vector<std::string> sources;
    for (size_t i = 0; i < table.size(); ++i) sources.push_back("/a/" + std::to_string(i) + ".wav");
    BatchJob job(BatchMode::Normalize, 100, "/out", "", sources);
    for (size_t i = 0; i < table.size(); ++i) {
        job.measured(i, table[i].tracks, table[i].failure);
        EXPECT_EQ(job.rows[i].max_db, table[i].cell) << i;
        EXPECT_EQ(job.to_convert(i), !table[i].filters.empty()) << i;
        if (job.to_convert(i)) {
            EXPECT_EQ(job.audio_filters(i), table[i].filters) << i;
        }
    }
    EXPECT_EQ(job.gain_db(0), 3.46);
    const std::string end = job.finish_text();
    EXPECT_NE(end.find("/a/4.wav: the file is silent"), std::string::npos) << end;
    EXPECT_NE(end.find(std::string("/a/5.wav: ") + kNoPeakReason), std::string::npos) << end;
    EXPECT_NE(end.find("/a/6.wav: decoding failed"), std::string::npos) << end;

    BatchJob change(BatchMode::VolumeChange, 150, "/out", "", {"/a/one.wav"});
    EXPECT_EQ(change.audio_filters(0), std::vector<std::string>{",volume=1.5"});
    EXPECT_NEAR(*change.gain_db(0), 3.52, 0.01);
    EXPECT_EQ(change.finish_text(), "Process is finished!\r\r0 converted, 0 skipped, 0 failed.");
    change.rows[0].state = BatchRow::State::Failed;
    change.rows[0].reason = "/out/one.wav: the target is a folder";
    EXPECT_EQ(change.finish_text(),
              "Process is finished with errors!\r\r0 converted, 0 skipped, 1 failed.\r\r"
              "These files failed:\r/a/one.wav: /out/one.wav: the target is a folder");
    EXPECT_EQ(BatchJob(BatchMode::VolumeChange, 0, "/out", "", {"/a"}).gain_db(0), std::nullopt);
}

TEST(BatchJob, LoudnessBringsEachTrackToTheTargetUnderTheCeiling) {
    auto track = [](double integrated, double true_peak) {
        TrackReading t;
        t.peak_db = true_peak;
        t.loudness.integrated = integrated;
        t.loudness.true_peak = true_peak;
        return t;
    };
    BatchJob job(BatchMode::Loudness, 100, "/out", "", {"/a/film.mkv"});
    job.set_loudness(-16, -1);
    // Stereo loud and peaky, 5.1 quiet: one gain for both would pass the ceiling.
    job.measured(0, {track(-10, -0.5), track(-30, -12)}, "");
    ASSERT_EQ(job.rows[0].tracks.size(), 2u);
    EXPECT_NEAR(*job.rows[0].tracks[0].gain, -6, 1e-9);
    EXPECT_NEAR(*job.rows[0].tracks[1].gain, 11, 1e-9);  // 14 would pass the ceiling by 3
    EXPECT_NEAR(job.rows[0].tracks[1].below_target, 3, 1e-9);
    EXPECT_EQ(job.rows[0].max_db, "-6.0 (+1)");
}
