// "Without re-encoding where the audio allows it" on both pages: which path
// each file took, as the Result column and the results view say it, and the
// checks a re-encoded file still gets.
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTreeWidget>

#include "app/list_flow.h"
#include "app/p_options.h"
#include "app/results_view.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"
#include "workflow/batch_job.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using LosslessWindowTest = AppTest;

const char* const kLossless = "converted without re-encoding: ";
const char* const kRefused = "converted by re-encoding, as the lossless path was refused: audio track 1 (vorbis)";

void make_songs(const fs::path& folder) {
    MediaSpec wanted;
    wanted.duration_seconds = 2.0;
    wanted.peak_db = -6.5;
    make_media(folder / "song.mp3", wanted);
    make_media(folder / "song.ogg", wanted);
}

std::string status_of(const ui::Tmain& w, int row) { return w.results_view->table->item(row, 1)->text().toStdString(); }

// Normalize over an MP3 and a Vorbis file: the MP3's fields move by whole
// steps, rounded down; the Vorbis file is re-encoded and its lossy target
// still checked, as the refusal is no failure.
TEST_F(LosslessWindowTest, ListRunTellsEachFilesPathAndChecksTheReencodedOne) {
    make_songs(out.path());
    ui::Tmain& w = window();
    w.radio_mix->setChecked(true);
    EXPECT_FALSE(w.check_lossless->isEnabled());
    w.radio_auto->setChecked(true);
    ASSERT_TRUE(w.check_lossless->isEnabled());
    w.check_lossless->setChecked(true);
    for (const char* f : {"song.mp3", "song.ogg"}) w.add_file_b((out / f).string());
    wait_for_list();
    const fs::path dest = out / "done";
    fs::create_directories(dest);
    dialogs.answers.push_back(dest.string());
    w.BitBtn1->click();
    ASSERT_TRUE(wait_until([&] { return w.results_view->isVisible(); }));
    ASSERT_EQ(w.results_view->table->rowCount(), 2);
    // 6.5 dB of headroom is four steps (6.02 dB) rounded down.
    EXPECT_EQ(status_of(w, 0).rfind(std::string(kLossless) + "+6.02 dB, asked +6.", 0), 0u) << status_of(w, 0);
    EXPECT_EQ(status_of(w, 1).rfind(kRefused, 0), 0u) << status_of(w, 1);
    for (int r = 0; r < 2; ++r)
        EXPECT_EQ(w.ListView1->topLevelItem(r)->text(ui::Tmain::kResultColumn).toStdString(), status_of(w, r));
    const auto& after = w.list_flow().level_after;
    EXPECT_FALSE(after[0].has_value()) << "a lossless target needs no check";
    // Checked: measured, or converted again as its peak passed full scale.
    EXPECT_TRUE(after[1].has_value() || w.list_flow().batch_job()->rows[1].second_pass)
        << "the re-encoded target was not checked";
    EXPECT_NEAR(measure_audio(dest / "song.mp3").peak_db - measure_audio(out / "song.mp3").peak_db, 6.0206, 0.01);
    EXPECT_LE(measure_audio(dest / "song.ogg").peak_db, 0.0);
}

// The single page: the same choice, with the page's own gains.
TEST_F(LosslessWindowTest, SinglePageTakesTheLosslessPathOrSaysWhyNot) {
    make_songs(out.path());
    const struct {
        const char* source;
        bool normalize;
        std::string status;  // how it begins
    } cases[] = {
        {"song.mp3", false, std::string(kLossless) + "+3.01 dB, asked +3.52 dB"},
        {"song.mp3", true, std::string(kLossless) + "+6.02 dB, asked +6."},
        {"song.ogg", false, kRefused},
    };
    window().check_lossless_single->setChecked(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.source) + (c.normalize ? " normalized" : " at 150 %"));
        messages.clear();
        const fs::path target = out / (std::string(c.normalize ? "n_" : "c_") + c.source);
        ASSERT_TRUE(convert(out / c.source, target, c.normalize, 150));
        ASSERT_EQ(window().results_view->table->rowCount(), 1);
        EXPECT_EQ(status_of(window(), 0).rfind(c.status, 0), 0u) << status_of(window(), 0);
        // A lossless target's headroom is exact: it is not measured again.
        if (c.normalize) {
            EXPECT_EQ(window().results_view->table->item(0, 4)->text(), "");
        }
        const double gain = c.normalize ? 6.0206 : 3.0103;
        if (c.source == std::string("song.mp3")) {
            EXPECT_NEAR(measure_audio(target).peak_db - measure_audio(out / c.source).peak_db, gain, 0.01);
        }
    }
}

// Both boxes outlive the window, and "Reset to defaults" clears them.
TEST_F(LosslessWindowTest, BothChoicesAreRemembered) {
    window().check_lossless->setChecked(true);
    window().check_lossless_single->setChecked(true);
    ui::free_forms();
    ui::create_forms();
    EXPECT_TRUE(window().check_lossless->isChecked());
    EXPECT_TRUE(window().check_lossless_single->isChecked());
    ui::options->findChild<QPushButton*>("bt_reset")->click();
    EXPECT_FALSE(window().check_lossless->isChecked());
    EXPECT_FALSE(window().check_lossless_single->isChecked());
}

}  // namespace
}  // namespace sonorix::test
