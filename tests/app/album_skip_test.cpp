// The list page's Album and "Skip files within" options on a Normalize run:
// one gain keeps the files' levels relative; a row whose gain is within the
// threshold is skipped with its figure.
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include "app/results_view.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using AlbumSkipTest = AppTest;

TEST_F(AlbumSkipTest, NormalizeAsAnAlbumAndWithinTheSkipThreshold) {
    // Peaks -6 and -12 dBFS: Normalize alone gives +6 and +12 dB.
    MediaSpec quiet;
    quiet.duration_seconds = 2.0;
    quiet.peak_db = -12.0;
    make_media(out / "quiet.wav", quiet);
    const struct {
        const char* name;
        bool album;
        bool skip;
        std::vector<std::string> status;  // of loud, quiet: how it begins
        std::vector<std::string> gain;
        double quiet_peak_after;  // dBFS; NaN: no target
    } cases[] = {
        {"album", true, false, {"converted", "converted"}, {"6.0", "6.0"}, -6.0},
        {"skip within 8 dB", false, true, {"skipped: gain +", "converted"}, {"6.0", "12.0"}, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ui::free_forms();
        ui::create_forms();
        ui::Tmain& w = window();
        for (const fs::path& f : {media("short.wav"), out / "quiet.wav"}) w.add_file_b(f.string());
        wait_for_list();
        w.radio_auto->setChecked(true);
        w.check_album->setChecked(c.album);
        w.check_skip->setChecked(c.skip);
        w.spin_skip->setValue(8);
        const fs::path dest = out / c.name;
        fs::create_directories(dest);
        dialogs.answers.push_back(dest.string());
        messages.clear();
        w.BitBtn1->click();
        ASSERT_TRUE(wait_until([&] { return w.results_view->isVisible(); }));
        const QTableWidget* table = w.results_view->table;
        ASSERT_EQ(table->rowCount(), 2);
        for (int r = 0; r < 2; ++r) {
            EXPECT_TRUE(table->item(r, 1)->text().startsWith(QString::fromStdString(c.status[static_cast<size_t>(r)])))
                << table->item(r, 1)->text().toStdString();
            EXPECT_EQ(table->item(r, 3)->text().toStdString(), c.gain[static_cast<size_t>(r)]);
        }
        EXPECT_NEAR(measure_audio(dest / "quiet.wav").peak_db, c.quiet_peak_after, 0.1);
        EXPECT_EQ(fs::exists(dest / "short.wav"), !c.skip);
    }
}

}  // namespace
}  // namespace sonorix::test
