// The window keeps its loop running while the engine works, also inside the
// real modal progress dialog. Run alone: it watches the loop's timing.
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <QLabel>
#include <QToolButton>
#include <QTreeWidget>

#include <functional>

#include "app/p_batchaudioc.h"
#include "app/step_button.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using ResponsiveTest = AppTest;
using namespace std::chrono_literals;

// Ticks every 10 ms while started and keeps the longest gap between ticks:
// a loop that stands still shows as a long gap. on_tick runs at each tick.
struct LoopWatch {
    explicit LoopWatch(std::function<void(int)> on_tick = {}) {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this, on_tick] {
            const qint64 now = clock.elapsed();
            longest_gap = std::max(longest_gap, now - last);
            last = now;
            ++ticks;
            if (on_tick) on_tick(ticks);
        });
    }
    void start() {
        clock.start();
        last = 0;
        timer.start();
    }
    void stop() { timer.stop(); }
    QElapsedTimer clock;
    QTimer timer;
    qint64 last = 0, longest_gap = 0;
    int ticks = 0;
};

TEST_F(ResponsiveTest, TheWindowKeepsRunningDuringAConversion) {
    dialogs.modal = true;
    ui::Tmain& w = window();
    w.single_flow().add_file(media("long.wav").string());
    w.NCTStepButton21->SetValue(150);
    dialogs.answers.push_back((out / "long.mp3").string());

    LoopWatch loop;
    // A dead engine fails the test instead of hanging it.
    QTimer::singleShot(60000, ui::batchaudioc, [] { ui::batchaudioc->done(0); });
    loop.start();
    w.bt_amplify->click();  // returns when the dialog closed
    loop.stop();
    ASSERT_TRUE(wait_until([&] { return messages.saw("Process is finished!"); }, 5s));
    EXPECT_GT(loop.ticks, 10);
    EXPECT_LT(loop.longest_gap, 100) << "the loop stood still for " << loop.longest_gap << " ms";
    EXPECT_GT(fs::file_size(out / "long.mp3"), 100000u);
}

// 1000 files, a few that cannot be loaded or have no audio among them, chosen
// in the open dialog: the loop keeps running while they are probed, the count
// shows, a run is refused until all are in, and the rows keep their order.
TEST_F(ResponsiveTest, AThousandFilesJoinTheListWhileTheWindowRuns) {
    ui::Tmain& w = window();
    MediaSpec tiny;
    tiny.duration_seconds = 0.05;
    make_media(out / "tiny.wav", tiny);
    std::vector<std::string> files, expected, refusals;
    for (int i = 0; i < 1000; ++i) {
        const fs::path f = out / "in" / (std::to_string(i) + (i % 250 == 170 ? ".mp4" : ".wav"));
        fs::create_directories(f.parent_path());
        if (i % 250 == 90) {
            write_file(f, "not a media file");
            refusals.push_back("File load error: " + f.string());
        } else if (i % 250 == 170) {
            fs::copy_file(media("silent_video.mp4"), f);
            refusals.push_back("No audio stream: " + f.string());
        } else {
            fs::copy_file(out / "tiny.wav", f);
            expected.push_back(f.string());
        }
        files.push_back(f.string());
    }
    std::string answer;
    for (const std::string& f : files) answer += (answer.empty() ? "" : "\n") + f;
    dialogs.answers.push_back(answer);

    QString counted;
    LoopWatch loop([&](int ticks) {
        if (ticks == 3 && w.adding_files()) {
            counted = w.label_totalfiles->text();
            w.BitBtn1->click();  // a run while files are being added
        }
    });
    loop.start();
    w.btn_add->click();
    ASSERT_TRUE(wait_until([&] { return !w.adding_files(); }, 120s));
    loop.stop();

    EXPECT_LT(loop.longest_gap, 100) << "the loop stood still for " << loop.longest_gap << " ms";
    EXPECT_TRUE(counted.startsWith(QString::fromUtf8("Adding files\u2026 ")) && counted.endsWith(" of 1000"))
        << counted.toStdString();
    std::vector<std::string> rows, shown;
    for (int i = 0; i < w.ListView1->topLevelItemCount(); ++i)
        rows.push_back(w.ListView1->topLevelItem(i)->text(0).toStdString());
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(w.ListView1->topLevelItem(0)->text(2), "00:00:00.050");
    EXPECT_EQ(w.label_totalfiles->text(), "992 Files");
    EXPECT_EQ(w.ListView1->currentItem(), w.ListView1->topLevelItem(991));  // the last row added
    // The run was refused before it asked anything; each refused file was named.
    EXPECT_TRUE(dialogs.asked.size() == 1u && w.list_flow().FFdirectc.TasksCount() == 0);
    for (const auto& m : messages.shown) {
        if (m.text != "Please wait until all files are added to the list!") shown.push_back(m.text);
    }
    EXPECT_EQ(shown, refusals);
    EXPECT_EQ(messages.count("Please wait until all files are added to the list!"), 1u);
}

}  // namespace
}  // namespace sonorix::test
