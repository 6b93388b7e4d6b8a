#include "app_fixture.h"

#include <ebur128.h>
#include <sndfile.h>

#include <cmath>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRadioButton>

#include "app/step_button.h"
#include "base/MainThreadQueue.h"
#include "support/media_fixtures.h"

namespace sonorix::test {

TempDir* AppTest::media_dir_ = nullptr;

void AppTest::SetUpTestSuite() {
    if (media_dir_) return;
    media_dir_ = new TempDir("sonorix-app-media");
    MediaSpec wav;
    wav.duration_seconds = 2.0;
    wav.peak_db = -6.0;
    make_media(*media_dir_ / "short.wav", wav);
    wav.duration_seconds = 30.0;
    make_media(*media_dir_ / "long.wav", wav);
    MediaSpec video;
    video.duration_seconds = 2.0;
    video.video = true;
    video.peak_db = -6.0;
    make_media(*media_dir_ / "clip.mp4", video);
    make_media(*media_dir_ / "clip.mkv", video);
    video.audio_channels = {};
    make_media(*media_dir_ / "silent_video.mp4", video);
}

// The media stay for the whole program: several suites share them.
void AppTest::TearDownTestSuite() {}

void AppTest::remove_media() {
    delete media_dir_;
    media_dir_ = nullptr;
}

void AppTest::SetUp() {
    // Each test's settings start from nothing and stay in its own folder.
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((out / "config").string()));
    ui::create_forms();
}

void AppTest::TearDown() {
    ui::free_forms();
    QCoreApplication::processEvents();
}

bool AppTest::wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limit.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        MainThreadQueue::Instance().WaitAndDrain(std::chrono::milliseconds(2));
    }
    return true;
}

void AppTest::pump(std::chrono::milliseconds time) {
    wait_until([] { return false; }, time);
}

void AppTest::wait_for_list() {
    EXPECT_TRUE(wait_until([] { return !ui::main->adding_files(); })) << "files are still being added";
}

std::filesystem::path AppTest::media(const std::string& name) { return *media_dir_ / name; }

bool AppTest::convert(const std::filesystem::path& source, const std::filesystem::path& target, bool normalize,
                      int percent) {
    window().single_flow().add_file(source.string());
    if (window().single_flow().source_file != source.string()) return false;
    (normalize ? window().RadioButton2 : window().RadioButton1)->setChecked(true);
    window().NCTStepButton21->SetValue(percent);
    dialogs.answers.push_back(target.string());
    window().bt_amplify->click();
    return wait_until([&] {
               return messages.saw("Process is finished!") ||
                      (!messages.shown.empty() && messages.shown.back().caption == "Error");
           }) &&
           messages.saw("Process is finished!");
}

std::string AppTest::last_output_options() {
    if (window().single_flow().FFencoder.TasksCount() < 1) return {};
    return window().single_flow().FFencoder.FirstOutputOptions(0).Options;
}

bool AppTest::finish_shown() const {
    for (const auto& m : messages.shown) {
        if (m.text.rfind("Process is finished!", 0) == 0) return true;
    }
    return false;
}

bool AppTest::error_shown() const {
    for (const auto& m : messages.shown) {
        if (m.caption == "Error") return true;
    }
    return false;
}

std::pair<double, double> loudness_and_peak(const std::filesystem::path& file) {
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) return {NAN, NAN};
    ebur128_state* st = ebur128_init(static_cast<unsigned>(info.channels), static_cast<unsigned long>(info.samplerate),
                                     EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK);
    std::vector<float> block(4096 * static_cast<size_t>(info.channels));
    sf_count_t n;
    while ((n = sf_readf_float(f, block.data(), 4096)) > 0)
        ebur128_add_frames_float(st, block.data(), static_cast<size_t>(n));
    double lufs = NAN, peak = 0;
    ebur128_loudness_global(st, &lufs);
    for (int c = 0; c < info.channels; ++c) {
        double p = 0;
        ebur128_sample_peak(st, static_cast<unsigned>(c), &p);
        peak = std::max(peak, p);
    }
    ebur128_destroy(&st);
    sf_close(f);
    return {lufs, 20 * std::log10(peak)};
}

}  // namespace sonorix::test
