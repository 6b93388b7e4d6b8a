// Whole list runs in the window through the real modal dialogs, checked by
// decoding the targets, and the same runs through sonorix-cli, which must
// write the same bytes.
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include <QDoubleSpinBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>

#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"
#include "app/p_options.h"
#include "app/list_flow.h"
#include "workflow/batch_job.h"
#include "app_fixture.h"
#include "base/libav.h"
#include "support/media_fixtures.h"
#include "support/stream_packets.h"

namespace sonorix::test {
namespace {

namespace fs = std::filesystem;

class BatchEndToEndTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        MediaSpec m;
        m.duration_seconds = 2.0;
        m.peak_db = -6.0;
        fs::create_directories(out / "in");
        for (const char* name : {"song.wav", "song.mp3", "song.flac"}) make_media(out / "in" / name, m);
        fs::copy_file(out / "in" / "song.wav", out / "in" / "other.ape");  // a source type no target list has
        m.video = true;
        make_media(out / "in" / "clip.mp4", m);
        sources = {"song.wav", "song.mp3", "song.flac", "clip.mp4", "other.ape"};
    }

    // The window's run in mode into dest, through both real modal dialogs.
    void window_run(QRadioButton* mode, const fs::path& dest, int percent) {
        ui::Tmain& w = window();
        for (const std::string& s : sources) w.add_file_b((out / "in" / s).string());
        wait_for_list();
        ASSERT_EQ(w.ListView1->topLevelItemCount(), static_cast<int>(sources.size()));
        mode->setChecked(true);
        w.batch_spin_volume->setValue(percent);
        fs::create_directories(dest);
        dialogs.answers.push_back(dest.string());
        dialogs.modal = true;
        // A hang closes the dialogs and fails below instead of stopping ctest.
        QTimer::singleShot(90000, [] {
            ui::analyzeaudio->done(0);
            ui::batchaudioc->done(0);
        });
        w.BitBtn1->click();
        ASSERT_TRUE(wait_until([&] { return finish_shown(); }, std::chrono::seconds(90)));
    }

    // sonorix-cli with args and the sources; its exit status (and its output).
    int cli_run(QStringList args, std::string* output = nullptr) {
        for (const std::string& s : sources) args << QString::fromStdString((out / "in" / s).string());
        QProcess p;
        p.start(SONORIX_CLI, args);
        if (!p.waitForFinished(90000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        std::cerr << p.readAllStandardError().toStdString();
        if (output) *output = p.readAllStandardOutput().toStdString();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    std::vector<std::string> sources;
};

std::string bytes_of(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void expect_same_files(const fs::path& a, const fs::path& b) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(a)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names.size(), 5u);
    for (const std::string& n : names) {
        ASSERT_TRUE(fs::exists(b / n)) << n;
        EXPECT_TRUE(bytes_of(a / n) == bytes_of(b / n)) << n << " differs";
    }
}

TEST_F(BatchEndToEndTest, NormalizeBringsEveryPeakToFullScaleAndTheCliWritesTheSameBytes) {
    const fs::path dest = out / "window";
    window_run(window().radio_auto, dest, 100);
    EXPECT_NEAR(measure_audio(dest / "song.wav").peak_db, 0.0, 0.05);
    EXPECT_NEAR(measure_audio(dest / "song.flac").peak_db, 0.0, 0.05);
    EXPECT_NEAR(measure_audio(dest / "other.wav").peak_db, 0.0, 0.05);
    // Lossy codecs: a target that decodes past full scale is converted once
    // more a little lower, so it lands just under it.
    const double mp3 = measure_audio(dest / "song.mp3").peak_db, aac = measure_audio(dest / "clip.mp4").peak_db;
    std::cout << "normalized peaks: MP3 " << mp3 << " dB, AAC " << aac << " dB\n";
    for (const double peak : {mp3, aac}) {
        EXPECT_LE(peak, 0.0);
        EXPECT_GT(peak, -1.0);
    }
    const StreamPackets before = count_packets(out / "in" / "clip.mp4", AVMEDIA_TYPE_VIDEO);
    const StreamPackets after = count_packets(dest / "clip.mp4", AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(after.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(after.packets, before.packets);
    EXPECT_GT(after.packets, 0);

    const fs::path cli_dest = out / "cli";
    fs::create_directories(cli_dest);
    EXPECT_EQ(cli_run({"normalize", "-o", QString::fromStdString(cli_dest.string())}), 0);
    expect_same_files(dest, cli_dest);
}

TEST_F(BatchEndToEndTest, VolumeChangeRaisesLosslessPeaksBy352DecibelsAndTheCliWritesTheSameBytes) {
    const fs::path dest = out / "window";
    window_run(window().radio_change, dest, 150);
    for (const char* name : {"song.wav", "song.flac"}) {
        EXPECT_NEAR(measure_audio(dest / name).peak_db - measure_audio(out / "in" / name).peak_db, 3.52, 0.05) << name;
    }
    EXPECT_NEAR(measure_audio(dest / "other.wav").peak_db - measure_audio(out / "in" / "other.ape").peak_db, 3.52,
                0.05);
    const fs::path cli_dest = out / "cli";
    fs::create_directories(cli_dest);
    EXPECT_EQ(cli_run({"change", "--percent", "150", "-o", QString::fromStdString(cli_dest.string()), "--jobs", "2"}),
              0);
    expect_same_files(dest, cli_dest);
}

// The window and sonorix-cli measure with the same meter: every track of
// every file gets the same gain from both (second passes included).
TEST_F(BatchEndToEndTest, TheWindowAndTheCliGiveEveryTrackTheSameGain) {
    for (const char* verb : {"normalize", "loudness"}) {
        SCOPED_TRACE(verb);
        ui::free_forms();
        ui::create_forms();
        const bool loudness = std::string(verb) == "loudness";
        window().batch_spin_loudness->setValue(-16);
        ui::options->ed_ceiling->setValue(-1);
        const fs::path dest = out / (std::string("window-") + verb);
        window_run(loudness ? window().radio_loudness : window().radio_auto, dest, 100);
        ASSERT_TRUE(window().list_flow().run.job);
        const BatchJob& job = *window().list_flow().run.job;
        const fs::path cli_dest = out / (std::string("cli-") + verb);
        fs::create_directories(cli_dest);
        std::string output;
        QStringList args = {verb, "--json", "-o", QString::fromStdString(cli_dest.string())};
        if (loudness)
            args << "--target"
                 << "-16"
                 << "--ceiling"
                 << "-1";
        ASSERT_EQ(cli_run(args, &output), 0);
        const nlohmann::json records = nlohmann::json::parse(output);
        ASSERT_EQ(records.size(), job.rows.size());
        for (size_t i = 0; i < job.rows.size(); ++i) {
            const auto& tracks = records[i]["tracks"];
            ASSERT_EQ(tracks.size(), job.rows[i].tracks.size()) << job.rows[i].source;
            for (size_t t = 0; t < tracks.size(); ++t) {
                ASSERT_TRUE(job.rows[i].tracks[t].gain && tracks[t]["gain_db"].is_number()) << job.rows[i].source;
                EXPECT_NEAR(*job.rows[i].tracks[t].gain, tracks[t]["gain_db"].get<double>(), 0.01)
                    << job.rows[i].source;
            }
        }
    }
}

}  // namespace
}  // namespace sonorix::test
