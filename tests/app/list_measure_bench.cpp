// Not a test: the figures bench/list_measure.sh reads. The list page's
// Normalize measuring over 40 three-second WAVs, wall time against the
// process's CPU time, from the click until the analysis dialog closes (the
// conversion's set-up after it is not counted).
#include <sys/resource.h>

#include <cstdio>

#include <QElapsedTimer>
#include <QPushButton>
#include <QRadioButton>

#include "app/p_analyze.h"
#include "app_fixture.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;

// The process's (or the calling thread's) user+system time.
double cpu_seconds(int who = RUSAGE_SELF) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using ListMeasureBench = AppTest;

TEST_F(ListMeasureBench, DISABLED_FortyShortFiles) {
    ui::Tmain& w = window();
    MediaSpec m;
    m.duration_seconds = 3;
    const fs::path one = out / "in" / "0.wav";
    fs::create_directories(one.parent_path());
    make_media(one, m);
    for (int i = 0; i < 40; ++i) {
        const fs::path p = out / "in" / (std::to_string(i) + ".wav");
        if (i > 0) fs::copy_file(one, p);
        w.add_file_b(p.string());
    }
    wait_for_list();
    w.radio_auto->setChecked(true);
    fs::create_directories(out / "dest");
    dialogs.answers.push_back((out / "dest").string());
    QElapsedTimer clock;
    clock.start();
    double cpu = cpu_seconds();
    double main_cpu = cpu_seconds(RUSAGE_THREAD);
    w.BitBtn1->click();
    ASSERT_TRUE(wait_until([&] { return !ui::analyzeaudio->isVisible(); }));
    const double wall = clock.nsecsElapsed() / 1e9;
    cpu = cpu_seconds() - cpu;
    main_cpu = cpu_seconds(RUSAGE_THREAD) - main_cpu;
    std::printf("list measuring: 40 files, wall %.3f s, cpu %.3f s, cpu/wall %.2f, main thread %.3f s\n", wall, cpu,
                cpu / wall, main_cpu);
    ASSERT_TRUE(wait_until([&] { return finish_shown(); }, std::chrono::seconds(120)));
}

}  // namespace
}  // namespace sonorix::test
