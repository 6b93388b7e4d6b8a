// The window keeps its loop running while the engine works, also inside the
// real modal progress dialog. Run alone: it watches the loop's timing.
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include "app/p_batchaudioc.h"
#include "app/step_button.h"
#include "app_fixture.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using ResponsiveTest = AppTest;
using namespace std::chrono_literals;

TEST_F(ResponsiveTest, TheWindowKeepsRunningDuringAConversion) {
    dialogs.modal = true;
    ui::Tmain& w = window();
    w.add_file(media("long.wav").string());
    w.NCTStepButton21->SetValue(150);
    dialogs.answers.push_back((out / "long.mp3").string());

    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest_gap = 0;
    int ticks = 0;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest_gap = std::max(longest_gap, now - last);
        last = now;
        ++ticks;
    });
    // A dead engine fails the test instead of hanging it.
    QTimer::singleShot(60000, ui::batchaudioc, [] { ui::batchaudioc->done(0); });
    tick.start();
    last = clock.elapsed();
    w.bt_amplify->click();  // returns when the dialog closed
    tick.stop();
    ASSERT_TRUE(wait_until([&] { return messages.saw("Process is finished!"); }, 5s));
    EXPECT_GT(ticks, 10);
    EXPECT_LT(longest_gap, 100) << "the loop stood still for " << longest_gap << " ms";
    EXPECT_GT(fs::file_size(out / "long.mp3"), 100000u);
}

}  // namespace
}  // namespace sonorix::test
