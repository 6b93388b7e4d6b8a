// The list page's run "Adjust to Average Level" in the window: the phases
// and their dialog, rows of one name, a video source's other streams, Cancel,
// a normalizer that fails or prints nothing, and whole runs with our
// normalizer and with one nobody here wrote.
#include <cmath>
#include <cstdlib>
#include <fstream>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include "app/p_batchaudioc.h"
#include "app_fixture.h"
#include "workflow/batch_job.h"
#include "engine/FFDecode.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;

class AverageLevelTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ::setenv("TMPDIR", tmp.path().c_str(), 1);
        ::setenv("SONORIX_NORMALIZER", SONORIX_NORMALIZE, 1);
    }
    void TearDown() override {
        ::unsetenv("TMPDIR");
        ::unsetenv("SONORIX_NORMALIZER");
        AppTest::TearDown();
    }
    fs::path tone(const std::string& name, double peak_db, MediaSpec m = {}) {
        m.peak_db = peak_db;
        fs::create_directories((out / name).parent_path());
        return make_media(out / name, m);
    }
    // A normalizer: a shell script.
    std::string script(const std::string& body) {
        const fs::path p = out / ("normalizer" + std::to_string(++scripts_) + ".sh");
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(p, fs::perms::owner_all);
        return p.string();
    }
    // Adds the files, chooses the mode and dest, clicks; true when "Process
    // is finished!" came, false at an error or a closed dialog without it.
    bool run(const std::vector<fs::path>& files, const fs::path& dest) {
        ui::Tmain& w = window();
        for (const fs::path& f : files) w.add_file_b(f.string());
        wait_for_list();
        w.radio_mix->setChecked(true);
        fs::create_directories(dest);
        dialogs.answers.push_back(dest.string());
        w.BitBtn1->click();
        bool shown = false;  // a cancelled run ends with the dialog and no message
        wait_until(
            [&] {
                shown |= ui::batchaudioc->isVisible();
                return finish_shown() || error_shown() || (shown && !ui::batchaudioc->isVisible());
            },
            std::chrono::seconds(90));
        pump(std::chrono::milliseconds(50));
        return finish_shown();
    }
    bool nothing_left() const { return fs::is_empty(tmp.path()); }
    TempDir tmp{"sonorix-average-tmp"};
    int scripts_ = 0;
};

// Two rows named x.wav from different folders and a video with a second
// audio track and subtitles: one level for every track, each track and the
// subtitles in their places, the dialog's status per phase, nothing left.
TEST_F(AverageLevelTest, EveryPhaseRunsAndNothingIsLeftBehind) {
    const fs::path a = tone("a/x.wav", -3), b = tone("b/x.wav", -15);
    MediaSpec film;
    film.video = true;
    film.audio_channels = {2, 2};
    film.subtitle = true;
    film.duration_seconds = 2;
    const fs::path clip = tone("v/clip.mkv", -9, film);
    // Slow enough for the phase to be seen.
    ::setenv("SONORIX_NORMALIZER", script(std::string("sleep 0.3; exec ") + SONORIX_NORMALIZE + " \"$@\"").c_str(), 1);
    std::vector<std::pair<std::string, bool>> phases;
    int normalizing_bar = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const std::string label = ui::batchaudioc->Label1->text().toStdString();
        if (phases.empty() || phases.back().first != label)
            phases.emplace_back(label, ui::batchaudioc->Button1->isEnabled());
        if (label == "Analyze audio data......")
            normalizing_bar = std::max(normalizing_bar, ui::batchaudioc->progresstotal->value());
    });
    watch.start(1);
    const fs::path dest = out / "dest";
    ASSERT_TRUE(run({a, b, clip}, dest));
    watch.stop();

    const std::vector<std::pair<std::string, bool>> seen(phases.begin() + 1,
                                                         phases.begin() + std::min<size_t>(4, phases.size()));
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{{"Analyze audio header information......", true},
                                                               {"Analyze audio data......", false},
                                                               {"Adjust volume ......", true}}));
    EXPECT_EQ(normalizing_bar, 100);  // four markers of 25: the film's two tracks are two files
    const double level = measure_audio(dest / "x.wav").rms_db;
    EXPECT_NEAR(measure_audio(dest / "x (2).wav").rms_db, level, 0.5);
    EXPECT_NEAR(measure_audio(dest / "clip.mkv").rms_db, level, 0.5);
    EXPECT_NEAR(measure_audio(dest / "clip.mkv", 1).rms_db, level, 0.5);
    TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile((dest / "clip.mkv").string()));
    EXPECT_EQ(probe.AudioStreamCount, 2);
    EXPECT_EQ(probe.VideoStreamCount, 1);
    EXPECT_EQ(probe.SubtitleStreamCount, 1);
    const TFFEncoder& mux = window().average_level_flow().FFwavtoall;
    ASSERT_EQ(mux.TasksCount(), 3);
    EXPECT_EQ(mux.FirstOutputOptions(2).Options.rfind(" -y -map 0:0 -map 1:a:0 -map 2:a:0 -map 0:3", 0), 0u);
    EXPECT_TRUE(nothing_left());
    EXPECT_FALSE(ui::batchaudioc->isVisible());
}

// A row whose file goes away while the normalizer runs is dropped in the
// last phase; the rows after it keep their own intermediate files.
TEST_F(AverageLevelTest, ARowRemovedInTheLastPhaseLeavesTheOthersTheirFiles) {
    MediaSpec longer;
    longer.duration_seconds = 1.5;
    const fs::path a = tone("a/x.wav", -6), b = tone("b/x.wav", -6), c = tone("c.wav", -6, longer);
    ::setenv("SONORIX_NORMALIZER", script("rm '" + b.string() + "'; exec " + SONORIX_NORMALIZE + " \"$@\"").c_str(), 1);
    const fs::path dest = out / "dest";
    ASSERT_TRUE(run({a, b, c}, dest));
    EXPECT_TRUE(messages.saw("File load error: " + b.string()));
    EXPECT_NEAR(measure_audio(dest / "x.wav").duration_seconds, 1.0, 0.01);
    EXPECT_NEAR(measure_audio(dest / "c.wav").duration_seconds, 1.5, 0.01);
    EXPECT_FALSE(fs::exists(dest / "x (2).wav"));
    EXPECT_NE(messages.shown.back().text.find(b.string() + ": File load error"), std::string::npos);
    EXPECT_TRUE(nothing_left());
}

// Cancel while decoding: the files written so far go, no normalizer starts.
TEST_F(AverageLevelTest, CancelInThePhaseOfDecodingStartsNoNormalizer) {
    MediaSpec m;
    m.duration_seconds = 60;
    const fs::path a = tone("a.flac", -3, m), b = tone("b.flac", -9, m);
    const fs::path started = out / "started";
    ::setenv("SONORIX_NORMALIZER", script("touch '" + started.string() + "'").c_str(), 1);
    ui::Tmain& w = window();
    w.average_level_flow().FFtowav.OnProgress = [&](TObject* s, PProgressInfo p) {
        w.average_level_flow().FFtowavProgress(s, p);
        if (p->Position > 0) QTimer::singleShot(0, [] { ui::batchaudioc->Button1->click(); });
    };
    EXPECT_FALSE(run({a, b}, out / "dest"));
    EXPECT_TRUE(wait_until([&] { return !ui::batchaudioc->isVisible(); }));
    pump(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(started));
    EXPECT_TRUE(nothing_left());
    EXPECT_TRUE(fs::is_empty(out / "dest"));
    EXPECT_TRUE(messages.shown.empty());
}

// The normalizer cannot run, fails or is killed: the run stops with a
// message naming it, its status and its last lines, and converts nothing.
// One that prints no marker still lets the run finish.
TEST_F(AverageLevelTest, ANormalizerThatFailsStopsTheRun) {
    const fs::path a = tone("a.wav", -3);
    struct Case {
        std::string program, message;
    };
    const std::vector<Case> cases = {
        {script("echo reading; echo 'bad header' >&2; exit 3"),
         "exited with status 3.\r\rIts last output:\rreading\rbad header"},
        {script("kill -9 $$"), "was killed by signal 9"},
        {(out / "none").string(), "could not be started: No such file or directory"},
        {script("exit 0"), ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        ::setenv("SONORIX_NORMALIZER", c.program.c_str(), 1);
        messages.shown.clear();
        window().btn_clearClick();
        const fs::path dest = out / ("dest" + std::to_string(i));
        EXPECT_EQ(run({a}, dest), c.message.empty()) << c.program;
        EXPECT_FALSE(ui::batchaudioc->isVisible());
        EXPECT_TRUE(nothing_left());
        if (c.message.empty()) {
            EXPECT_NEAR(measure_audio(dest / "a.wav").peak_db, -3, 0.05);
            continue;
        }
        EXPECT_TRUE(fs::is_empty(dest)) << c.program;
        ASSERT_FALSE(messages.shown.empty());
        EXPECT_NE(messages.shown.back().text.find("The normalizer " + c.program + " " + c.message), std::string::npos)
            << messages.shown.back().text;
    }
}

// Ten 30-second files whose levels spread over 18 dB, with tones from 110 Hz
// to 7 kHz so that power and loudness disagree: Debian's normalize-audio
// brings their RMS levels together, ours their loudness, without clipping.
TEST_F(AverageLevelTest, TenFilesOverEighteenDecibelsReachOneLevel) {
    std::vector<fs::path> files;
    for (int i = 0; i < 10; ++i) {
        MediaSpec m;
        m.duration_seconds = 30;
        m.tone_hz = 110 * std::pow(1.6, i);
        files.push_back(tone("lvl/lvl_" + std::to_string(i) + ".wav", -1 - 2 * i, m));
    }
    for (const std::string normalizer : {"normalize-audio", SONORIX_NORMALIZE}) {
        ::setenv("SONORIX_NORMALIZER", normalizer.c_str(), 1);
        messages.shown.clear();
        window().btn_clearClick();
        const fs::path dest = out / fs::path(normalizer).filename();
        ASSERT_TRUE(run(files, dest)) << normalizer << ": "
                                      << (messages.shown.empty() ? "" : messages.shown.back().text);
        std::vector<double> rms, lufs;
        for (int i = 0; i < 10; ++i) {
            const fs::path target = dest / ("lvl_" + std::to_string(i) + ".wav");
            rms.push_back(measure_audio(target).rms_db);
            const auto [loudness, peak] = loudness_and_peak(target);
            lufs.push_back(loudness);
            if (normalizer == SONORIX_NORMALIZE) {
                EXPECT_LT(peak, 0.0) << target;
            }
        }
        const auto& spread_of = normalizer == SONORIX_NORMALIZE ? lufs : rms;
        const auto [lo, hi] = std::minmax_element(spread_of.begin(), spread_of.end());
        EXPECT_LT(*hi - *lo, 0.5) << normalizer;
        EXPECT_TRUE(nothing_left());
    }
}

}  // namespace
}  // namespace sonorix::test
