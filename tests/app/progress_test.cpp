// Progress on the long steps: the time left estimated from the share done,
// and the analysis dialog counting the list's files as they are measured.
#include <algorithm>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include "app/flow.h"
#include "app/p_analyze.h"
#include "app_fixture.h"

namespace sonorix::test {
namespace {

TEST(TimeLeft, FromTheTimeTakenAndTheShareDone) {
    const struct {
        double elapsed, done;
        const char* text;
    } cases[] = {
        {10, 0.5, "10 s left"},
        {30, 0.25, "1 min 30 s left"},
        {5, 0.04, "2 min 00 s left"},
        {61, 0.5, "1 min 01 s left"},
        {10, 0.01, ""},
        {0.5, 0.5, ""},
        {10, 1.0, ""},
        {10, 0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ui::time_left_text(c.elapsed, c.done), c.text) << c.elapsed << " " << c.done;
}

using ProgressTest = AppTest;

// Three files measured, two at a time (their ends may come together):
// whatever the dialog shows says which file it is at, with its bar at the
// files done, counting up from the first.
TEST_F(ProgressTest, TheAnalysisCountsTheFilesOfTheList) {
    ui::Tmain& w = window();
    for (int i = 0; i < 3; ++i) w.add_file_b(media("short.wav").string());
    wait_for_list();
    std::vector<std::string> seen;
    ui::Tanalyzeaudio& dialog = *ui::analyzeaudio;
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const std::string now = dialog.label_count->text().toStdString() + " bar " +
                                std::to_string(dialog.progress_files->value()) + "/" +
                                std::to_string(dialog.progress_files->maximum());
        if (dialog.isVisible() && (seen.empty() || seen.back() != now)) seen.push_back(now);
    });
    watch.start();
    w.radio_auto->setChecked(true);
    dialogs.answers.push_back(out.path().string());
    w.BitBtn1->click();
    ASSERT_TRUE(wait_until([&] { return finish_shown(); }));
    const std::vector<std::string> steps = {"file 1 of 3 bar 0/3", "file 2 of 3 bar 1/3", "file 3 of 3 bar 2/3"};
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), steps.front());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    for (const std::string& s : seen) EXPECT_NE(std::find(steps.begin(), steps.end(), s), steps.end()) << s;
}

}  // namespace
}  // namespace sonorix::test
