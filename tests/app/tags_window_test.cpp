// The list page's "Write ReplayGain tags": the tags written into the sources
// themselves and read back by TagLib, the audio untouched, a video row
// failing with its bytes unchanged; then the tags taken away again.
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>

#include "app/p_batchaudioc.h"
#include "app/results_view.h"
#include "app_fixture.h"
#include "engine/FFEncode.h"
#include "support/media_fixtures.h"
#include "support/stream_packets.h"
#include "workflow/replaygain_tags.h"
#include "workflow/tag_run.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using TagsWindowTest = AppTest;

using Tags = std::map<std::string, std::string>;

double db(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

TEST_F(TagsWindowTest, TagsWrittenAsAnAlbumThenRemoved) {
    const struct {
        const char* name;
        double peak_db;
        TagFormat format;
    } files[] = {{"a.mp3", -6, TagFormat::Mp3}, {"disc2/b.flac", -15, TagFormat::Flac}};
    std::map<std::string, StreamPackets> audio;
    fs::create_directories(out / "disc2");
    for (const auto& f : files) {
        MediaSpec wanted;
        wanted.duration_seconds = 2;
        wanted.peak_db = f.peak_db;
        make_media(out / f.name, wanted);
        audio[f.name] = count_packets(out / f.name, AVMEDIA_TYPE_AUDIO);
    }
    fs::copy_file(media("clip.mp4"), out / "clip.mp4");
    const std::string film = read_file(out / "clip.mp4");
    const auto [flac_loudness, flac_peak] = loudness_and_peak(out / "disc2/b.flac");

    const struct {
        const char* name;
        bool remove;
        bool per_folder;
        const char* status;  // of the audio rows
    } runs[] = {{"album", false, false, "tagged"},
                {"album per folder", false, true, "tagged"},
                {"remove", true, false, "removed"}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        ui::free_forms();
        ui::create_forms();
        ui::Tmain& w = window();
        for (const char* name : {"a.mp3", "disc2/b.flac", "clip.mp4"}) w.add_file_b((out / name).string());
        wait_for_list();
        w.radio_tags->setChecked(true);
        w.check_album->setChecked(true);
        w.check_album_folder->setChecked(run.per_folder);
        w.check_tags_remove->setChecked(run.remove);
        messages.clear();
        w.BitBtn1->click();
        ASSERT_TRUE(wait_until([&] { return w.results_view->isVisible(); }));
        ASSERT_FALSE(messages.shown.empty());
        const std::string counts = std::string("Process is finished with errors!\r\r2 ") + run.status + ", 1 failed.";
        EXPECT_EQ(messages.shown.back().text.rfind(counts, 0), 0u) << messages.shown.back().text;
        const QTableWidget* table = w.results_view->table;
        ASSERT_EQ(table->rowCount(), 3);
        for (int r = 0; r < 2; ++r) EXPECT_EQ(table->item(r, 1)->text().toStdString(), run.status);
        EXPECT_EQ(table->item(2, 1)->text().toStdString(), "failed: a video file takes no ReplayGain tags here");
        EXPECT_EQ(read_file(out / "clip.mp4"), film);

        std::map<std::string, Tags> tags;
        for (const auto& f : files) {
            tags[f.name] = read_tags((out / f.name).string(), f.format);
            EXPECT_EQ(count_packets(out / f.name, AVMEDIA_TYPE_AUDIO).data_hash, audio[f.name].data_hash) << f.name;
        }
        if (run.remove) {
            for (const auto& f : files) EXPECT_TRUE(tags[f.name].empty()) << f.name;
            continue;
        }
        Tags& a = tags["a.mp3"];
        Tags& b = tags["disc2/b.flac"];
        // The gain of the meter's whole figure, not of one rounded to 0.1 LU.
        EXPECT_NEAR(db(b.at("replaygain_track_gain")), -18 - flac_loudness, 0.02);
        EXPECT_NEAR(20 * std::log10(db(b.at("replaygain_track_peak"))), flac_peak, 0.01);
        EXPECT_EQ(a.at("replaygain_album_peak"), a.at("replaygain_track_peak"));
        if (run.per_folder) {
            // Each file is its folder's album.
            EXPECT_NEAR(db(b.at("replaygain_album_gain")), db(b.at("replaygain_track_gain")), 0.011);
            EXPECT_EQ(b.at("replaygain_album_peak"), b.at("replaygain_track_peak"));
        } else {
            EXPECT_EQ(a.at("replaygain_album_gain"), b.at("replaygain_album_gain"));
            EXPECT_EQ(b.at("replaygain_album_peak"), a.at("replaygain_track_peak"));
        }
        // The results show what was written.
        EXPECT_EQ(table->item(1, 5)->text().toStdString(),
                  "REPLAYGAIN_TRACK_GAIN " + b.at("replaygain_track_gain") + ", REPLAYGAIN_TRACK_PEAK " +
                      b.at("replaygain_track_peak") + ", REPLAYGAIN_ALBUM_GAIN " + b.at("replaygain_album_gain") +
                      ", REPLAYGAIN_ALBUM_PEAK " + b.at("replaygain_album_peak"));
    }
}

// Cancel while the rows are measured: nothing is written, the results say so.
TEST_F(TagsWindowTest, CancelWhileMeasuringWritesNothing) {
    MediaSpec wanted;
    wanted.duration_seconds = 120;
    make_media(out / "long.flac", wanted);
    const std::string bytes = read_file(out / "long.flac");
    ui::Tmain& w = window();
    w.add_file_b((out / "long.flac").string());
    wait_for_list();
    w.radio_tags->setChecked(true);
    w.BitBtn1->click();
    ASSERT_TRUE(wait_until(
        [&] { return ui::batchaudioc->isVisible() && w.tags_flow().state() == ui::TagsFlow::State::Measuring; }));
    ui::batchaudioc->Button1->click();
    EXPECT_TRUE(w.tags_flow().FFtags.AllTerminated());
    ASSERT_TRUE(wait_until([&] { return w.results_view->isVisible(); }));
    EXPECT_FALSE(ui::batchaudioc->isVisible());
    EXPECT_EQ(w.results_view->table->item(0, 1)->text().toStdString(), "stopped");
    EXPECT_EQ(read_file(out / "long.flac"), bytes);
}

// A file whose worker wrote it counts as written, though the engine tells a
// task that ended as the stop came as stopped.
TEST_F(TagsWindowTest, AFileWrittenAsTheStopCameCountsAsWritten) {
    MediaSpec wanted;
    make_media(out / "a.flac", wanted);
    TagRun run({(out / "a.flac").string()}, AlbumGroups::None, false);
    run.files[0].format = TagFormat::Flac;
    run.files[0].tags = GainTags{-3.5, 0.5, std::nullopt, std::nullopt};
    TFFEncoder writer;
    std::optional<TTerminateInfo> ended;
    writer.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        if (info.TaskIndex >= 0) ended = info;
    };
    ASSERT_EQ(run.add_writes(writer, false), 1);
    writer.StartTask(1);
    ASSERT_TRUE(wait_until([&] { return ended.has_value(); }));
    ended->Completed = false;  // as the engine reports it when the stop came after the write
    run.written(*ended);
    EXPECT_TRUE(run.files[0].written);
    EXPECT_FALSE(run.files[0].stopped);
    EXPECT_EQ(read_tags((out / "a.flac").string(), TagFormat::Flac).at("replaygain_track_gain"), "-3.50 dB");
}

}  // namespace
}  // namespace sonorix::test
