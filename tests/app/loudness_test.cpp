// The loudness target in the window: the list brings every row to it with
// one gain each, and the single-file page says how far the true-peak
// ceiling kept a file below it.
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "app/p_options.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;

class LoudnessTest : public AppTest {
protected:
    fs::path tone(const std::string& name, double peak_db, double hz) {
        MediaSpec m;
        m.duration_seconds = 5;
        m.peak_db = peak_db;
        m.tone_hz = hz;
        fs::create_directories(out / "in");
        return make_media(out / "in" / name, m);
    }
    bool finished() {
        return wait_until([&] { return finish_shown() || error_shown(); }) && finish_shown();
    }
};

TEST_F(LoudnessTest, TheListBringsEveryRowToTheTarget) {
    ui::Tmain& w = window();
    const fs::path quiet = tone("quiet.wav", -23, 1000), loud = tone("loud.flac", -6, 441);
    w.add_file_b(quiet.string());
    wait_for_list();
    w.add_file_b(loud.string());
    wait_for_list();
    w.radio_loudness->setChecked(true);
    w.batch_spin_loudness->setValue(-16);
    const fs::path dest = out / "dest";
    fs::create_directories(dest);
    dialogs.answers.push_back(dest.string());
    w.BitBtn1->click();
    ASSERT_TRUE(finished()) << (messages.shown.empty() ? "" : messages.shown.back().text);
    EXPECT_EQ(w.ListView1->topLevelItem(0)->text(4).toStdString(), "7.0");  // the gain
    for (const char* name : {"quiet.wav", "loud.flac"})
        EXPECT_NEAR(loudness_and_peak(dest / name).first, -16, 0.5) << name;
}

TEST_F(LoudnessTest, TheCeilingKeepsTheTruePeakAndTheEndSaysHowFarBelow) {
    ui::Tmain& w = window();
    const fs::path source = tone("tone.wav", -3, 441);
    ui::options->ed_ceiling->setValue(-6);
    w.single_flow().add_file(source.string());
    w.radio_loudness_single->setChecked(true);
    w.spin_loudness_single->setValue(-5);
    dialogs.answers.push_back((out / "tone-5.wav").string());
    w.bt_amplify->click();
    ASSERT_TRUE(finished());
    EXPECT_NE(messages.shown.back().text.find("The true-peak ceiling kept the file 1.7 LU below the target."),
              std::string::npos)
        << messages.shown.back().text;
    EXPECT_NEAR(loudness_and_peak(out / "tone-5.wav").second, -6, 0.1);
    ui::options->ed_ceiling->setValue(-1);
}

}  // namespace
}  // namespace sonorix::test
