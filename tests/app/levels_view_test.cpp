// The levels view follows a Normalize run: a bar per file as soon as it is
// measured, before and after its gain, the target line at 0 dBFS.
#include <algorithm>
#include <cmath>

#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "app/levels_view.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

using LevelsViewTest = AppTest;

TEST_F(LevelsViewTest, BarsFollowTheMeasurementAndTheGains) {
    ui::Tmain& w = window();
    MediaSpec quiet;
    quiet.duration_seconds = 2.0;
    quiet.peak_db = -12.0;
    make_media(out / "quiet.wav", quiet);
    for (const auto& f : {media("short.wav"), out / "quiet.wav"}) w.add_file_b(f.string());
    wait_for_list();
    std::vector<size_t> measured_counts;  // bars with a level, as the run goes
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        size_t n = 0;
        for (const ui::LevelBar& b : w.levels_view->bars()) n += b.peak_before.has_value();
        if (measured_counts.empty() || measured_counts.back() != n) measured_counts.push_back(n);
    });
    watch.start();
    w.radio_auto->setChecked(true);
    dialogs.answers.push_back(out.path().string());
    w.BitBtn1->click();
    ASSERT_TRUE(wait_until([&] { return finish_shown(); }));
    // Two files are measured at once, so their bars may come together.
    ASSERT_FALSE(measured_counts.empty());
    EXPECT_EQ(measured_counts.front(), 0u);
    EXPECT_EQ(measured_counts.back(), 2u);
    EXPECT_TRUE(std::is_sorted(measured_counts.begin(), measured_counts.end()));
    const struct { double before, after; } expected[] = {{-6, 0}, {-12, 0}};
    const auto& bars = w.levels_view->bars();
    ASSERT_EQ(bars.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(bars[i].peak_before && bars[i].peak_after);
        EXPECT_NEAR(*bars[i].peak_before, expected[i].before, 0.1);
        EXPECT_NEAR(*bars[i].peak_after, expected[i].after, 0.1);
    }
    EXPECT_EQ(w.levels_view->target(), 0.0);
    // The list's own columns say the same, each under its title.
    std::vector<QString> cells;
    for (int c = ui::Tmain::kPeakColumn; c <= ui::Tmain::kResultColumn; ++c)
        cells.push_back(w.ListView1->topLevelItem(1)->text(c));
    EXPECT_EQ(cells, (std::vector<QString>{"-12.0", "", "12.0", "converted"}));
    EXPECT_FALSE(w.levels_view->grab().isNull());  // it paints
}

}  // namespace
}  // namespace sonorix::test
