// The forms created afresh for each test, with scripted messages and file
// dialogs, and the media the tests load.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include "app/dialogs.h"
#include "app/forms.h"
#include "app/messages.h"
#include "app/xp_main.h"
#include "support/temp_dir.h"

namespace sonorix::test {

// Runs action on the first modal widget of type W once it is shown.
template <typename W>
void when_shown(std::function<void(W*)> action) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, action, tries = 0]() mutable {
        if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            action(w);
        } else if (++tries > 500) {
            poll->stop();
            poll->deleteLater();
            if (QWidget* other = QApplication::activeModalWidget()) other->close();
        }
    });
    poll->start();
}

class AppTest : public ::testing::Test {
public:
    static void remove_media();

protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Runs the Qt loop (and with it the engine's queue) until done; false
    // when the limit passed first.
    static bool wait_until(const std::function<bool()>& done,
                           std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Keeps the loop running for a while.
    static void pump(std::chrono::milliseconds time);
    // Runs the loop until every file added to the list joined it or was
    // refused (they are probed off the main thread).
    void wait_for_list();

    // Media made once per test program: short.wav (2 s, peak -6 dB),
    // long.wav (30 s), clip.mp4 (H.264 + AAC), clip.mkv (H.264 + Vorbis),
    // silent_video.mp4 (no audio).
    static std::filesystem::path media(const std::string& name);

    // Loads source, answers the save dialog with target and clicks "Adjust
    // Volume"; waits for "Process is finished!" (false when it did not come).
    bool convert(const std::filesystem::path& source, const std::filesystem::path& target, bool normalize,
                 int percent = 100);
    // The output option text of the last conversion.
    std::string last_output_options();
    // A message starting "Process is finished!" was shown; one captioned "Error" was.
    bool finish_shown() const;
    bool error_shown() const;

    ui::Tmain& window() { return *ui::main; }

    ui::ScriptedMessages messages;
    ui::ScriptedDialogs dialogs;
    TempDir out{"sonorix-app-out"};
    static TempDir* media_dir_;
};

// Integrated loudness (EBU R128, LUFS) and sample peak (dBFS) of a file
// libsndfile reads (WAV, FLAC); NaN when it cannot.
std::pair<double, double> loudness_and_peak(const std::filesystem::path& file);

}  // namespace sonorix::test
