// The single-file workflow in the window: loading, the save dialog's choices,
// the checks before a conversion, measurement, cancel and progress.
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/step_button.h"
#include "app_fixture.h"
#include "workflow/source_types.h"
#include "support/media_fixtures.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;
using SingleFileTest = AppTest;
using namespace std::chrono_literals;

bool only_file_is(const fs::path& folder, const std::vector<std::string>& names) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(folder)) found.push_back(e.path().filename().string());
    std::sort(found.begin(), found.end());
    auto expected = names;
    std::sort(expected.begin(), expected.end());
    return found == expected;
}

TEST_F(SingleFileTest, LoadingShowsTheFileAndRefusesWhatCannotBeConverted) {
    ui::Tmain& w = window();
    dialogs.answers.push_back(media("short.wav").string());
    w.BitBtn2->click();
    ASSERT_EQ(dialogs.asked.size(), 1u);
    EXPECT_EQ(dialogs.asked[0].filter, source_file_filter());
    EXPECT_EQ(dialogs.asked[0].filter_index, 1);
    EXPECT_EQ(w.single_flow().source_file, media("short.wav").string());
    const QString shown = w.Memo1->toPlainText();
    EXPECT_TRUE(shown.contains("short.wav"));

    // Cancelling the open dialog changes nothing.
    w.BitBtn2->click();
    EXPECT_EQ(w.single_flow().source_file, media("short.wav").string());

    write_file(out / "broken.mp3", "not a media file at all");
    w.single_flow().add_file((out / "broken.mp3").string());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "File load error! ");
    EXPECT_EQ(messages.shown[0].caption, "");
    EXPECT_EQ(messages.shown[0].kind, ui::MessageKind::Error);

    w.single_flow().add_file(media("silent_video.mp4").string());
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[1].text, "No audio stream! ");
    EXPECT_EQ(w.single_flow().source_file, media("short.wav").string());
    EXPECT_EQ(w.Memo1->toPlainText(), shown);
}

TEST_F(SingleFileTest, AdjustVolumeChecksTheSourceFirst) {
    ui::Tmain& w = window();
    w.bt_amplify->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "Please load file at first!");
    EXPECT_EQ(messages.shown[0].caption, "Error");
    EXPECT_EQ(messages.shown[0].kind, ui::MessageKind::Error);

    fs::copy_file(media("short.wav"), out / "gone.wav");
    w.single_flow().add_file((out / "gone.wav").string());
    fs::remove(out / "gone.wav");
    w.bt_amplify->click();
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[1].text, "Can not locate the source file: " + (out / "gone.wav").string());
    EXPECT_TRUE(dialogs.asked.empty());
}

TEST_F(SingleFileTest, SaveDialogOffersTheFormatsOfTheSourceKind) {
    ui::Tmain& w = window();
    struct Case {
        const char* name;
        const char* first;
        const char* extension;
        size_t entries;
    };
    for (const Case& c : {Case{"song.mp3", "*.MP3|*.mp3|*.WAV|*.wav|", "mp3", 15},
                          Case{"clip.rmvb", "*.RM|*.rm|*.AVI|*.avi|", "rm", 17},
                          Case{"movie.dat", "*.AVI|*.avi|*.MPG|*.mpg|", "avi", 17},
                          Case{"song.ape", "*.WAV|*.wav|*.MP3|*.mp3|", "wav", 15}}) {
        SCOPED_TRACE(c.name);
        write_file(out / c.name, "x");
        w.single_flow().source_file = (out / c.name).string();
        dialogs.asked.clear();
        w.bt_amplify->click();  // the scripted dialog is cancelled
        ASSERT_EQ(dialogs.asked.size(), 1u);
        const std::string& filter = dialogs.asked[0].filter;
        EXPECT_EQ(filter.rfind(c.first, 0), 0u) << filter;
        EXPECT_EQ(dialogs.asked[0].default_extension, c.extension);
        EXPECT_EQ(dialogs.asked[0].filter_index, 1);
        EXPECT_EQ(static_cast<size_t>(std::count(filter.begin(), filter.end(), '|')), c.entries * 2);
    }
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(w.single_flow().FFencoder.TasksCount(), 0);
}

TEST_F(SingleFileTest, TheSourceItselfIsNeverTheTarget) {
    ui::Tmain& w = window();
    const fs::path source = out / "song.wav";
    fs::copy_file(media("short.wav"), source);
    const auto before = fs::last_write_time(source);
    fs::create_directory(out / "sub");
    fs::create_symlink(source, out / "link.wav");
    fs::create_hard_link(source, out / "hard.wav");
    w.single_flow().add_file(source.string());
    for (const fs::path& target :
         {source, out / "." / "song.wav", out / "sub" / ".." / "song.wav", out / "link.wav", out / "hard.wav"}) {
        SCOPED_TRACE(target.string());
        messages.clear();
        dialogs.answers.push_back(target.string());
        w.bt_amplify->click();
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text, "The target file name is as same as source file");
        EXPECT_EQ(messages.shown[0].caption, "Error");
    }
    pump(50ms);
    EXPECT_EQ(w.single_flow().FFencoder.TasksCount(), 0);
    EXPECT_EQ(fs::last_write_time(source), before);
    EXPECT_TRUE(only_file_is(out.path(), {"song.wav", "sub", "link.wav", "hard.wav"}));
}

TEST_F(SingleFileTest, AnExistingTargetIsReplacedOnlyAfterYes) {
    ui::Tmain& w = window();
    const fs::path target = out / "old.mp3";
    write_file(target, "older file");
    w.single_flow().add_file(media("short.wav").string());
    messages.answers.push_back(ui::MessageAnswer::No);
    dialogs.answers.push_back(target.string());
    w.bt_amplify->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, target.string() + " already exists.\rDo you want to replace it?");
    EXPECT_EQ(messages.shown[0].kind, ui::MessageKind::Question);
    pump(50ms);
    EXPECT_EQ(w.single_flow().FFencoder.TasksCount(), 0);
    EXPECT_EQ(fs::file_size(target), 10u);

    ASSERT_TRUE(convert(media("short.wav"), target, false, 100));
    EXPECT_GT(fs::file_size(target), 1000u);
}

TEST_F(SingleFileTest, MeasuringShowsTheFileNameCutAt46Characters) {
    ui::Tmain& w = window();
    const std::string name47 = std::string(43, 'a') + ".wav";  // 47 characters
    const std::string name46 = std::string(42, 'b') + ".wav";
    fs::copy_file(media("short.wav"), out / name47);
    fs::copy_file(media("short.wav"), out / name46);
    w.RadioButton2->setChecked(true);
    for (const std::string& name : {name47, name46}) {
        w.single_flow().add_file((out / name).string());
        dialogs.answers.push_back((out / ("new_" + name)).string());
        w.bt_amplify->click();
        EXPECT_EQ(ui::analyzeaudio->Label1->text(), "Analyzing");
        const std::string shown = ui::analyzeaudio->Label2->text().toStdString();
        EXPECT_EQ(shown, name.size() > 46 ? name.substr(0, 46) + "..." : name);
        ASSERT_TRUE(wait_until([&] { return messages.saw("Process is finished!"); }));
        messages.clear();
    }
    // Two measurements in a row: the second's value stands.
    EXPECT_EQ(w.meter().max_volume_text, "6.0");
}

TEST_F(SingleFileTest, CancelDuringAnalysisStartsNoConversion) {
    ui::Tmain& w = window();
    const fs::path target = out / "never.wav";
    w.single_flow().add_file(media("long.wav").string());
    w.RadioButton2->setChecked(true);
    dialogs.answers.push_back(target.string());
    w.bt_amplify->click();
    ASSERT_TRUE(ui::analyzeaudio->isVisible());
    QTest::mouseClick(ui::analyzeaudio->Button1, Qt::LeftButton);
    EXPECT_EQ(w.single_flow().state(), ui::SingleFileFlow::State::Cancelled);
    ASSERT_TRUE(wait_until([] { return !ui::analyzeaudio->isVisible(); }));
    pump(300ms);
    EXPECT_EQ(w.single_flow().FFencoder.TasksCount(), 0);
    EXPECT_FALSE(messages.saw("Process is finished!"));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(fs::is_empty(out.path()));
}

TEST_F(SingleFileTest, CancelDuringConversionLeavesNoPartialTarget) {
    ui::Tmain& w = window();
    const fs::path target = out / "never.mp3";
    w.single_flow().add_file(media("long.wav").string());
    w.NCTStepButton21->SetValue(150);
    dialogs.answers.push_back(target.string());
    w.bt_amplify->click();
    ASSERT_TRUE(ui::batchaudioc->isVisible());
    EXPECT_EQ(ui::batchaudioc->Label1->text(), "Adjust volume......");
    EXPECT_EQ(w.single_flow().state(), ui::SingleFileFlow::State::Converting);
    EXPECT_EQ(ui::batchaudioc->flow, static_cast<ui::Flow*>(&w.single_flow()));
    QTest::keyClick(ui::batchaudioc, Qt::Key_Escape);  // Esc is Cancel
    EXPECT_EQ(w.single_flow().state(), ui::SingleFileFlow::State::Cancelled);
    EXPECT_FALSE(ui::batchaudioc->isVisible());
    pump(300ms);
    EXPECT_FALSE(messages.saw("Process is finished!"));
    EXPECT_TRUE(messages.shown.empty()) << messages.shown.front().text;
    EXPECT_EQ(names_in(out.path()), std::vector<std::string>{});
}

// Normalize reads the facts kept when the source was loaded: the main
// thread's probe opens nothing during the run. A source changed since it was
// loaded (a float WAV above full scale now) has them read again on the
// meter's worker and keeps its float samples.
TEST_F(SingleFileTest, NormalizeReadsTheKeptFactsOrReadsThemAgainOffTheMainThread) {
    ui::Tmain& w = window();
    const fs::path source = out / "in" / "a.wav";
    fs::create_directories(source.parent_path());
    fs::copy_file(media("short.wav"), source);
    for (const bool changed : {false, true}) {
        w.single_flow().add_file(source.string());
        if (changed) {
            MediaSpec floats;
            floats.audio_codec = "pcm_f32le";
            floats.peak_db = 3;
            make_media(source, floats);
        }
        int probed = 0;
        w.single_flow().FFencoder.Decoder().OnBeforeFindStreamInfo = [&](TObject*, AVFormatContext*) { ++probed; };
        w.RadioButton2->setChecked(true);
        const fs::path target = out / (changed ? "changed.wav" : "kept.wav");
        dialogs.answers.push_back(target.string());
        w.bt_amplify->click();
        ASSERT_TRUE(wait_until([&] { return finish_shown() || error_shown(); }));
        w.single_flow().FFencoder.Decoder().OnBeforeFindStreamInfo = nullptr;
        ASSERT_TRUE(finish_shown()) << messages.shown.back().text;
        EXPECT_EQ(probed, 0) << changed;
        EXPECT_EQ(last_output_options().find("pcm_f32le") != std::string::npos, changed) << last_output_options();
        EXPECT_NEAR(measure_audio(target).peak_db, 0.0, 0.05) << changed;
        messages.shown.clear();
    }
}

TEST_F(SingleFileTest, NoConversionWithoutAMeasuredPeak) {
    ui::Tmain& w = window();
    const fs::path source = out / "source.wav";
    fs::copy_file(media("short.wav"), source);
    ASSERT_TRUE(convert(source, out / "first.wav", true));
    EXPECT_EQ(w.meter().max_volume_text, "6.0");

    // The file turns into one without audio after it was loaded: the
    // measurement fails, and the previous file's gain must not be used.
    messages.clear();
    fs::remove(source);
    fs::copy_file(media("silent_video.mp4"), source);
    dialogs.answers.push_back((out / "second.wav").string());
    w.bt_amplify->click();
    ASSERT_TRUE(wait_until([&] { return !messages.shown.empty() && messages.shown.back().caption == "Error"; }));
    pump(100ms);
    // No track is no failure of the meter: one message, why nothing follows.
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_NE(messages.shown[0].text.find("could not be measured"), std::string::npos);
    EXPECT_FALSE(messages.saw("Process is finished!"));
    EXPECT_FALSE(fs::exists(out / "second.wav"));
    EXPECT_FALSE(ui::analyzeaudio->isVisible());
    EXPECT_TRUE(w.meter().max_volume_text.empty());
}

TEST_F(SingleFileTest, ProgressSkipsUnknownDurationsAndStaysOnTheBar) {
    ui::Tmain& w = window();
    w.single_flow().task_progress = {0, 0};
    TProgressInfo info;
    info.TaskIndex = 0;
    info.Position = 500000;
    info.Duration = 1000000;
    w.single_flow().FFencoderProgress(nullptr, &info);
    EXPECT_EQ(ui::batchaudioc->progresstotal->value(), 25);
    info.Duration = 0;
    w.single_flow().FFencoderProgress(nullptr, &info);
    info.Duration = -1;
    w.single_flow().FFencoderProgress(nullptr, &info);
    EXPECT_EQ(ui::batchaudioc->progresstotal->value(), 25);
    info.TaskIndex = 1;
    info.Position = 3000000;
    info.Duration = 1000000;
    w.single_flow().FFencoderProgress(nullptr, &info);
    EXPECT_EQ(w.single_flow().task_progress[1], 100);
    EXPECT_EQ(ui::batchaudioc->progresstotal->value(), 75);
    info.TaskIndex = 7;  // not a task of this run
    w.single_flow().FFencoderProgress(nullptr, &info);
    EXPECT_EQ(ui::batchaudioc->progresstotal->value(), 75);
}

}  // namespace
}  // namespace sonorix::test
