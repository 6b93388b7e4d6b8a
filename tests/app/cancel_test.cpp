// Cancel while a lossy target's peak is checked, on either page: the
// progress dialog's Cancel must reach the run's flow and stop the measuring
// component, not the converter whose phase ended.
#include <functional>

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "app/p_batchaudioc.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using CancelTest = AppTest;
using namespace std::chrono_literals;

TEST_F(CancelTest, CancelWhileTheTargetsPeakIsCheckedEndsTheRunAndKeepsTheTarget) {
    ui::Tmain& w = window();
    MediaSpec m;
    m.duration_seconds = 150;  // a check long enough to be caught running
    const fs::path source = out / "in" / "song.mp3";
    fs::create_directories(source.parent_path());
    make_media(source, m);
    struct Case {
        const char* page;
        fs::path target;
        std::function<void()> start;
        std::function<bool()> cancelled;
    };
    const std::vector<Case> cases = {
        {"single", out / "single.mp3",
         [&] {
             w.single_flow().add_file(source.string());
             w.RadioButton2->setChecked(true);
             dialogs.answers.push_back((out / "single.mp3").string());
             w.bt_amplify->click();
         },
         [&] { return w.single_flow().state() == ui::SingleFileFlow::State::Cancelled; }},
        {"list", out / "dest" / "song.mp3",
         [&] {
             w.add_file_b(source.string());
             wait_for_list();
             w.radio_auto->setChecked(true);
             fs::create_directories(out / "dest");
             dialogs.answers.push_back((out / "dest").string());
             w.BitBtn1->click();
         },
         [&] { return w.list_flow().state() == ui::ListFlow::State::Cancelled; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        messages.clear();
        c.start();
        ASSERT_TRUE(wait_until(
            [&] {
                return ui::batchaudioc->isVisible() && ui::batchaudioc->Label1->text() == "Check the peaks......" &&
                       w.meter().checking() && !w.meter().FFdetect.AllTerminated();
            },
            60s));
        ui::batchaudioc->Button1->click();
        EXPECT_TRUE(c.cancelled());
        EXPECT_FALSE(ui::batchaudioc->isVisible());       // at once
        EXPECT_TRUE(w.meter().FFdetect.AllTerminated());  // stopped, and the stop waited for it
        pump(300ms);
        EXPECT_FALSE(ui::batchaudioc->isVisible());
        EXPECT_FALSE(finish_shown());
        EXPECT_TRUE(messages.shown.empty());
        EXPECT_GT(fs::file_size(c.target), 100'000u);  // the first pass's target stays
    }
}

}  // namespace
}  // namespace sonorix::test
