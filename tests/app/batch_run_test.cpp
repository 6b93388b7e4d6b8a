// The list page's runs in the window: Volume Change and Normalize over the
// rows, their targets, skipped rows, Cancel in both phases, and the bar.
#include <fstream>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>

#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/p_options.h"
#include "app_fixture.h"
#include "workflow/batch_job.h"
#include "base/libav.h"
#include "workflow/loudness.h"
#include "workflow/peak_analysis.h"
#include "support/temp_dir.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class BatchRunTest : public AppTest {
protected:
    // Copies a test medium to out/NAME (folders made as needed).
    fs::path copy(const std::string& medium, const std::string& name) {
        const fs::path to = out / name;
        fs::create_directories(to.parent_path());
        fs::copy_file(media(medium), to, fs::copy_options::overwrite_existing);
        return to;
    }
    // A file of a given length and kind (a WAV, or ".flac", whose decoding
    // takes several times a WAV's reading), made once per test program.
    static fs::path long_media(int seconds, const std::string& extension = ".wav") {
        const fs::path p = media("long" + std::to_string(seconds) + extension);
        if (!fs::exists(p)) {
            MediaSpec m;
            m.duration_seconds = seconds;
            make_media(p, m);
        }
        return p;
    }
    // Clicks "Adjust Volume" with the output folder dest and waits for the
    // finish message or an error; true when the message came.
    bool run(bool normalize, const fs::path& dest, int percent = 100) {
        ui::Tmain& w = window();
        (normalize ? w.radio_auto : w.radio_change)->setChecked(true);
        w.batch_spin_volume->setValue(percent);
        fs::create_directories(dest);
        dialogs.answers.push_back(dest.string());
        w.BitBtn1->click();
        return wait_until([&] { return finish_shown() || error_shown(); }) && finish_shown();
    }
    std::string cell(int row, int column) { return window().ListView1->topLevelItem(row)->text(column).toStdString(); }
    std::vector<std::string> conversion_options() {
        std::vector<std::string> out;
        TFFEncoder& e = window().list_flow().FFdirectc;
        for (int i = 0; i < e.TasksCount(); ++i) out.push_back(e.FirstOutputOptions(i).Options);
        return out;
    }
};

TEST_F(BatchRunTest, RefusesAnEmptyListAndStopsAtACancelledFolder) {
    ui::Tmain& w = window();
    w.BitBtn1->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Please add file at first!");
    EXPECT_EQ(messages.shown[0].caption, "Error");
    EXPECT_TRUE(dialogs.asked.empty());
    w.add_file_b(media("short.wav").string());
    wait_for_list();
    w.BitBtn1->click();  // the chooser is cancelled
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].kind, ui::TFileDialog::Folder);
    EXPECT_EQ(dialogs.asked[0].filter, "Select an output folder for output files");
    pump(50ms);
    EXPECT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(w.list_flow().FFdirectc.TasksCount(), 0);
}

// Rows a/x.wav, b/x.wav and dest/x.wav into dest: no target is a source and
// no two rows share one.
TEST_F(BatchRunTest, VolumeChangeWritesDistinctTargetsThatAreNoSource) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest";
    const fs::path a = copy("short.wav", "a/x.wav"), b = copy("short.wav", "b/x.wav"),
                   d = copy("short.wav", "dest/x.wav");
    const auto before = read_file(d);
    for (const fs::path& p : {a, b, d}) w.add_file_b(p.string());
    wait_for_list();
    ASSERT_TRUE(run(false, dest, 150));
    EXPECT_EQ(names_in(dest), (std::vector<std::string>{"NEW_x.wav", "x (2).wav", "x (3).wav", "x.wav"}));
    EXPECT_EQ(read_file(d), before);
    EXPECT_EQ(conversion_options(),
              std::vector<std::string>(3, " -y -c:v copy -b:a 1411200 -rf64 auto -af volume=1.5"));
    for (const char* name : {"NEW_x.wav", "x (2).wav", "x (3).wav"}) {
        EXPECT_NEAR(measure_audio(dest / name).peak_db - measure_audio(a).peak_db, 3.52, 0.05) << name;
    }
    EXPECT_EQ(messages.count("Process is finished!\r\r3 converted, 0 skipped, 0 failed."), 1u);
    EXPECT_EQ(messages.shown.back().kind, ui::MessageKind::Warning);
    EXPECT_EQ(ui::batchaudioc->progresstotal->value(), 100);
    EXPECT_FALSE(ui::batchaudioc->isVisible());
    EXPECT_EQ(cell(0, 4), "");  // Max-dB belongs to Normalize
}

// A user's file under a target's name: one question per run; Keep both
// numbers the new file, Cancel writes nothing, Replace replaces it.
TEST_F(BatchRunTest, AnExistingTargetIsReplacedOnlyWhenTheUserSaysSo) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest";
    const fs::path a = copy("short.wav", "a/x.wav");
    fs::create_directories(dest);
    write_file(dest / "x.wav", "mine");
    w.add_file_b(a.string());
    wait_for_list();
    const struct {
        ui::MessageAnswer answer;
        std::vector<std::string> names;
        bool mine_kept;
    } rows[] = {
        {ui::MessageAnswer::Cancel, {"x.wav"}, true},
        {ui::MessageAnswer::No, {"x (2).wav", "x.wav"}, true},
        {ui::MessageAnswer::Yes, {"x (2).wav", "x.wav"}, false},
    };
    for (const auto& row : rows) {
        messages.clear();
        messages.answers = {row.answer};
        if (row.answer == ui::MessageAnswer::Cancel) {
            // Asked in the click itself: nothing starts.
            w.radio_change->setChecked(true);
            dialogs.answers.push_back(dest.string());
            w.BitBtn1->click();
            EXPECT_EQ(messages.shown.size(), 1u);
        } else {
            EXPECT_TRUE(run(false, dest, 150));
        }
        EXPECT_EQ(messages.shown.front().text,
                  "1 file(s) in the output folder have the name of a target and would be replaced.");
        EXPECT_EQ(names_in(dest), row.names);
        EXPECT_EQ(read_file(dest / "x.wav") == "mine", row.mine_kept);
    }
}

TEST_F(BatchRunTest, TheOptionsPrefixNamesTheTargets) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest";
    const fs::path d = copy("short.wav", "dest/x.wav");
    ui::options->ed_prefix->setText("  loud_ ");
    w.add_file_b(d.string());
    wait_for_list();
    ASSERT_TRUE(run(false, dest));
    EXPECT_EQ(names_in(dest), (std::vector<std::string>{"loud_x.wav", "x.wav"}));
}

TEST_F(BatchRunTest, NormalizeMeasuresEachRowAudioOnlyAndSkipsOneWithoutAPeak) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest";
    const fs::path one = copy("short.wav", "in/one.wav"), three = copy("clip.mp4", "in/three.mp4");
    const fs::path none = out / "in" / "none.wav";
    write_file(
        none,
        std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0\x10\xb1\x02\0\x04\0\x10\0data\0\0\0\0",
                    44));  // a WAV without samples: nothing to measure
    for (const fs::path& p : {one, none, three}) w.add_file_b(p.string());
    wait_for_list();
    ASSERT_EQ(w.ListView1->topLevelItemCount(), 3);
    ASSERT_TRUE(run(true, dest));
    EXPECT_EQ(cell(0, 4), "6.0");
    EXPECT_EQ(cell(1, 4), kNoPeakCell);  // never the row before's value
    EXPECT_EQ(cell(2, 4), "6.0");
    EXPECT_EQ(names_in(dest), (std::vector<std::string>{"one.wav", "three.mp4"}));
    EXPECT_NEAR(measure_audio(dest / "one.wav").peak_db, 0.0, 0.05);
    // Last on the measuring component: a check per converted row, which
    // decodes only the lossy target (the WAV one stays at full scale).
    EXPECT_EQ(w.meter().FFdetect.TasksCount(), 2);
    EXPECT_FALSE(w.list_flow().level_after[0].has_value());
    EXPECT_TRUE(w.list_flow().level_after[2].has_value());
    const std::string end = messages.shown.back().text;
    EXPECT_EQ(end,
              std::string("Process is finished!\r\r2 converted, 1 skipped, 0 failed.\r\rThese files were skipped:\r") +
                  none.string() + ": " + kNoPeakReason);
    EXPECT_FALSE(ui::analyzeaudio->isVisible());
}

// The file of the second row went away after the list took it: the meter
// cannot open it, so the row stays without a figure and is skipped with the
// reason (naming the file once), and the others run. The main thread does
// not open the rows to find that out.
TEST_F(BatchRunTest, ARowWhoseFileWentAwayIsSkippedAndTheRunGoesOn) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest";
    const fs::path a = copy("short.wav", "in/a.wav"), gone = copy("short.wav", "in/gone.wav"),
                   c = copy("short.wav", "in/c.wav");
    for (const fs::path& p : {a, gone, c}) w.add_file_b(p.string());
    wait_for_list();
    fs::remove(gone);
    int probed = 0;
    w.list_flow().FFdirectc.Decoder().OnBeforeFindStreamInfo = [&](TObject*, AVFormatContext*) { ++probed; };
    ASSERT_TRUE(run(true, dest));
    w.list_flow().FFdirectc.Decoder().OnBeforeFindStreamInfo = nullptr;
    EXPECT_EQ(probed, 0);  // the facts kept when the rows were added serve the run
    EXPECT_EQ(names_in(dest), (std::vector<std::string>{"a.wav", "c.wav"}));
    ASSERT_EQ(w.ListView1->topLevelItemCount(), 3);
    EXPECT_EQ(cell(1, 4), kNoPeakCell);
    EXPECT_EQ(cell(2, 4), "6.0");
    const std::string end = messages.shown.back().text;
    EXPECT_NE(end.find("2 converted, 1 skipped, 0 failed."), std::string::npos) << end;
    EXPECT_NE(end.find("\r" + gone.string() + ": No such file"), std::string::npos) << end;
    EXPECT_FALSE(ui::analyzeaudio->isVisible());
}

// The row's facts were read when it was added; its file changed since (a
// float WAV now): the run reads it again and keeps what is above full scale.
TEST_F(BatchRunTest, ARowWhoseFileChangedSinceItWasAddedIsConvertedAsItIsNow) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest", a = copy("short.wav", "in/a.wav");
    w.add_file_b(a.string());
    wait_for_list();
    MediaSpec floats;
    floats.audio_codec = "pcm_f32le";
    floats.peak_db = -1;
    make_media(a, floats);
    ASSERT_TRUE(run(false, dest, 150));
    EXPECT_NEAR(measure_audio(dest / "a.wav").peak_db, 2.52, 0.05);
}

// Every row's measurement is a task of one run. Cancel after the second row's
// figure leaves a figure in the rows whose measurement ended, none in the
// others, and converts nothing.
TEST_F(BatchRunTest, NormalizeMeasuresEveryRowInOneRunAndCancelLeavesOnlyTheFinishedOnes) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest";
    // The long rows are FLAC: a busy machine may hold the test's thread back
    // long enough for two long WAVs to be measured before the stop.
    const char* names[] = {"1.flac", "2.wav", "3.flac", "4.wav", "5.wav"};
    for (const char* name : names) {
        const fs::path p = out / "in" / name;
        fs::create_directories(p.parent_path());
        const bool long_one = p.extension() == ".flac";
        fs::copy_file(long_one ? long_media(240, ".flac") : media("short.wav"), p);
        w.add_file_b(p.string());
        wait_for_list();
    }
    w.radio_auto->setChecked(true);
    fs::create_directories(dest);
    dialogs.answers.push_back(dest.string());
    w.BitBtn1->click();
    EXPECT_EQ(w.meter().FFdetect.TasksCount(), 5);  // one run for every row
    ASSERT_TRUE(wait_until([&] { return !cell(1, 4).empty(); }));
    ui::analyzeaudio->Button1->click();
    ASSERT_TRUE(wait_until([] { return !ui::analyzeaudio->isVisible(); }));
    pump(200ms);
    // How many rows ended before the stop depends on the machine's speed;
    // each keeps its figure, and the stop leaves the others empty.
    int measured = 0;
    for (int row = 0; row < 5; ++row) {
        if (cell(row, 4).empty()) continue;
        EXPECT_EQ(cell(row, 4), "6.0") << row;
        ++measured;
    }
    EXPECT_GE(measured, 1);
    EXPECT_LT(measured, 5);
    EXPECT_EQ(w.list_flow().FFdirectc.TasksCount(), 0);
    EXPECT_TRUE(names_in(dest).empty());
    EXPECT_FALSE(finish_shown());
}

TEST_F(BatchRunTest, CancelDuringTheConversionLeavesNoPartialFileAndNoMessage) {
    ui::Tmain& w = window();
    const fs::path dest = out / "dest";
    for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"}) {
        const fs::path p = out / "in" / name;
        fs::create_directories(p.parent_path());
        fs::copy_file(long_media(240), p);
        w.add_file_b(p.string());
        wait_for_list();
    }
    w.radio_change->setChecked(true);
    w.batch_spin_volume->setValue(50);
    fs::create_directories(dest);
    dialogs.answers.push_back(dest.string());
    w.BitBtn1->click();
    ASSERT_TRUE(wait_until([&] { return !fs::is_empty(dest); }));
    ui::batchaudioc->Button1->click();
    EXPECT_FALSE(ui::batchaudioc->isVisible());  // at once
    pump(300ms);
    EXPECT_TRUE(names_in(dest).empty());
    EXPECT_FALSE(finish_shown());
    for (int row = 0; row < 4; ++row) EXPECT_EQ(cell(row, ui::Tmain::kResultColumn), "stopped") << row;
}

TEST_F(BatchRunTest, TheBarIsThePlainMeanAndStaysWithinItsRange) {
    ui::Tmain& w = window();
    w.list_flow().task_progress.assign(3, 0);
    const int64_t minute = 60'000'000;
    struct Report {
        int task;
        int64_t position, duration;
        int bar;
    };
    for (const Report& r :
         {Report{0, 5 * minute, 10 * minute, 17}, Report{1, 5 * minute, 20 * minute, 25}, Report{2, 0, 30 * minute, 25},
          Report{2, 5 * minute, 0, 25}, Report{2, minute, -1, 25}, Report{1, 80 * minute, 20 * minute, 50}}) {
        TProgressInfo info;
        info.TaskIndex = r.task;
        info.Position = r.position;
        info.Duration = r.duration;
        w.list_flow().FFdirectcProgress(&w.list_flow().FFdirectc, &info);
        EXPECT_EQ(ui::batchaudioc->progresstotal->value(), r.bar) << r.task << " " << r.position;
    }
}

}  // namespace
}  // namespace sonorix::test
