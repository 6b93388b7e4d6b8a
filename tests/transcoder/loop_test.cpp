// Whole runs of tasks on real media: measurement, volume change, stop with
// output safety, start checks, stream copy and video re-encoding.
#include <cmath>
#include <fstream>
#include <future>
#include <regex>

#include "setup_fixture.h"
#include "support/stream_packets.h"

using namespace sonorix;
using sonorix::test::count_packets;
using sonorix::test::SetupTest;
namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class LoopTest : public SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        core_.OnTerminate = [this](TCustomFFmpeg*) {
            ++terminations_;
            max_volume_before_end_ = has_line("max_volume:");
            done_.set_value();
        };
        core_.OnProgress = [this](TCustomFFmpeg*, int input, int frame, int, float quality, float, int64_t,
                                  int64_t position, int64_t duration) {
            progress_inputs_.push_back(input);
            last_frame_ = frame;
            last_quality_ = quality;
            last_position_ = position;
            last_duration_ = duration;
        };
    }
    // A threaded run to its end; waits for the worker's last touch of the task.
    void run_threaded() {
        std::future<void> done = done_.get_future();
        TConvertThread* worker = core_.Start(true, tpNormal);
        ASSERT_NE(worker, nullptr);
        worker->Resume();
        done.wait();
        core_.Stop(true);
    }
    bool has_line(const std::string& text) {
        std::lock_guard lock(mutex_);
        for (const Line& l : lines_) {
            if (l.text.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::string line_with(const std::string& text) {
        std::lock_guard lock(mutex_);
        for (const Line& l : lines_) {
            if (l.text.find(text) != std::string::npos) return l.text;
        }
        return "";
    }
    void expect_clean_end() {
        EXPECT_TRUE(core_.Terminated());
        EXPECT_FALSE(core_.Running());
        EXPECT_TRUE(core_.Completed()) << core_.ErrorText();
        EXPECT_FALSE(core_.Failed()) << core_.ErrorText();
        EXPECT_EQ(terminations_, 1);
        EXPECT_EQ(TCustomFFmpeg::open_encoder_count(), 0u);
        EXPECT_EQ(TCustomFFmpeg::open_decoder_count(), 0u);
    }

    std::promise<void> done_;
    int terminations_ = 0;
    bool max_volume_before_end_ = false;
    std::vector<int> progress_inputs_;
    int64_t last_position_ = -2;
    int last_frame_ = -2;
    float last_quality_ = -2;
    int64_t last_duration_ = -2;
};

TEST_F(LoopTest, MeasurementReportsPeakBeforeTermination) {
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_output(" -af \"volumedetect\" -f null -vn", "/dev/null"), 0) << core_.last_error();
    core_.ProgressIntervalUs = INT64_MAX;  // the whole run is the first interval
    EXPECT_EQ(core_.Start(false, tpNormal), nullptr);
    expect_clean_end();
    EXPECT_TRUE(logged("No more output streams to write to, finishing.", llVerbose));
    std::smatch m;
    const std::string line = line_with("max_volume:");
    ASSERT_TRUE(std::regex_search(line, m, std::regex("max_volume: (-?[0-9.]+) dB"))) << line;
    EXPECT_NEAR(std::stod(m[1]), -6.0, 0.1);
    EXPECT_TRUE(max_volume_before_end_);
    EXPECT_EQ(core_complaints(), std::vector<std::string>{});
    // Only the final report, with input index -1 and the input's duration.
    EXPECT_EQ(progress_inputs_, std::vector<int>{-1});
    EXPECT_NEAR(last_duration_ / 1e6, 1.0, 0.05);
    EXPECT_TRUE(has_line("audio:") && has_line("muxing overhead"));
    // Starting again after termination does nothing.
    EXPECT_EQ(core_.Start(false, tpNormal), nullptr);
    EXPECT_EQ(terminations_, 1);
}

// What a null output reports, with its frames counted instead of encoded.
struct NullReport {
    std::vector<bool> discarded;       // per output stream
    std::string stats, summary;        // final stats line (fps blanked), summary
    std::vector<std::string> detect;   // the filter's result lines
    std::vector<std::string> mapping;  // stream mapping lines
    int frame = -2;
    int64_t position = -2;
};

class NullOutputTest : public LoopTest {
protected:
    NullReport run_null(const std::string& input, const std::string& options) {
        {
            std::lock_guard lock(mutex_);
            lines_.clear();
        }
        NullReport r;
        TCustomFFmpeg core;
        core.ProgressIntervalUs = INT64_MAX;
        core.OnProgress = [&](TCustomFFmpeg*, int input, int frame, int, float, float, int64_t, int64_t position,
                              int64_t) {
            r.frame = frame;
            r.position = position;
            if (input >= 0) return;
            for (auto& p : core.output_streams) r.discarded.push_back(p->discard_packets);
        };
        bool terminated = false;
        core.OnTerminate = [&](TCustomFFmpeg*) { terminated = true; };
        {
            OptionsContextScope scope(core);
            EXPECT_EQ(core.OpenInputFile(*scope, "", input, ""), 0) << core.last_error();
        }
        {
            OptionsContextScope scope(core);
            EXPECT_EQ(core.OpenOutputFile(*scope, options, false, "/dev/null", ""), 0) << core.last_error();
        }
        core.Start(false, tpNormal);
        EXPECT_TRUE(terminated && core.Completed() && !core.Failed()) << options << ": " << core.ErrorText();
        std::lock_guard lock(mutex_);
        for (const Line& l : lines_) {
            if (l.text.rfind("frame=", 0) == 0)
                r.stats = std::regex_replace(l.text, std::regex("fps=[ 0-9.]+"), "fps=");
            else if (l.text.find("muxing overhead") != std::string::npos)
                r.summary = l.text;
            else if (l.text.rfind("  Stream #", 0) == 0)
                r.mapping.push_back(l.text);
            else if (std::regex_search(l.text, std::regex("(n_samples|mean_volume|max_volume|histogram_[0-9]+db):"))) {
                r.detect.push_back(std::regex_replace(l.text, std::regex(" @ 0x[0-9a-f]+"), ""));
            }
        }
        return r;
    }
};

// A null output whose codec the options left to the muxer counts its frames
// as the muxer's default encoders would have packed them; one whose codec
// they name still encodes. Both tell the same.
TEST_F(NullOutputTest, CountedFramesReportWhatEncodingReports) {
    test::MediaSpec lossy;
    lossy.duration_seconds = 2.5;
    test::make_media(*dir_ / "tone.mp3", lossy);  // planar float out of the decoder
    const struct {
        const char* file;
        const char* options;
        const char* naming;  // the same codecs, named
        size_t streams;
    } cases[] = {
        {"tone.wav", " -af \"volumedetect\" -f null -vn", " -c:a pcm_s16le", 1},
        {"tone.mp3", " -af \"volumedetect\" -f null -vn", " -c:a pcm_s16le", 1},
        {"tone.mp3", " -f null -t 1.2", " -acodec pcm_s16le", 1},
        {"movie.mp4", " -af \"volumedetect\" -f null", " -c:a pcm_s16le -c:v wrapped_avframe", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + c.options);
        const NullReport counted = run_null(file(c.file), c.options);
        const NullReport encoded = run_null(file(c.file), std::string(c.options) + c.naming);
        EXPECT_EQ(counted.discarded, std::vector<bool>(c.streams, true));
        EXPECT_EQ(encoded.discarded, std::vector<bool>(c.streams, false));
        EXPECT_NE(counted.summary, "");
        EXPECT_EQ(counted.summary, encoded.summary);
        EXPECT_NE(counted.stats, "");
        EXPECT_EQ(counted.stats, encoded.stats);
        EXPECT_EQ(counted.detect, encoded.detect);
        EXPECT_EQ(counted.mapping, encoded.mapping);
        EXPECT_EQ(counted.frame, encoded.frame);
        EXPECT_EQ(counted.position, encoded.position);
        EXPECT_GT(counted.position, 0);
        EXPECT_EQ(counted.detect.empty(), std::string(c.options).find("volumedetect") == std::string::npos);
    }
}

TEST_F(LoopTest, VolumeChangeRaisesPeakAndKeepsDuration) {
    const fs::path target = *dir_ / "louder.wav";
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_output(" -y -af volume=2", target.string()), 0) << core_.last_error();
    run_threaded();
    expect_clean_end();
    const auto before = test::measure_audio(*dir_ / "tone.wav");
    const auto after = test::measure_audio(target);
    EXPECT_NEAR(after.peak_db - before.peak_db, 6.02, 0.05);
    EXPECT_NEAR(after.duration_seconds, before.duration_seconds, 1024.0 / before.sample_rate);
    EXPECT_EQ(after.channels, before.channels);
    EXPECT_FALSE(progress_inputs_.empty());
    EXPECT_EQ(progress_inputs_.back(), -1);
    EXPECT_GT(last_position_, 900000);
}

TEST_F(LoopTest, VolumeChangeToMp3) {
    const fs::path target = *dir_ / "louder.mp3";
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_output(" -y -c:a libmp3lame -b:a 256k -af volume=0.5", target.string()), 0) << core_.last_error();
    run_threaded();
    expect_clean_end();
    const auto after = test::measure_audio(target);
    EXPECT_NEAR(after.peak_db, -6.0 - 6.02, 0.3);
    EXPECT_NEAR(after.duration_seconds, 1.0, 2 * 1152.0 / 44100);
}

TEST_F(LoopTest, StopKeepsOlderTargetAndLeavesNoPartialFile) {
    const fs::path folder = *dir_ / "stopped";
    fs::create_directories(folder);
    test::MediaSpec longer;
    longer.duration_seconds = 20;
    make_media(*dir_ / "long.wav", longer);
    const fs::path target = folder / "out.wav";
    { std::ofstream(target) << "older"; }
    ASSERT_EQ(open_input(file("long.wav")), 0);
    ASSERT_EQ(open_output(" -y -af volume=2", target.string()), 0) << core_.last_error();
    core_.ProgressIntervalUs = 0;
    // Stop from the first progress call: mid-run without timing.
    bool final_report = false;
    core_.OnProgress = [&](TCustomFFmpeg* task, int input, int, int, float, float, int64_t, int64_t, int64_t) {
        if (input >= 0) task->Stop(false);
        final_report |= input == -1;
    };
    core_.Start(false, tpNormal);
    EXPECT_TRUE(core_.Terminated());
    EXPECT_FALSE(core_.Completed());
    EXPECT_FALSE(core_.Failed()) << core_.ErrorText();
    EXPECT_TRUE(final_report);
    EXPECT_EQ(read_text(target), "older");
    std::vector<fs::path> left;
    for (const auto& e : fs::directory_iterator(folder)) left.push_back(e.path());
    EXPECT_EQ(left, std::vector<fs::path>{target});
    EXPECT_EQ(terminations_, 1);
}

// A call-out that stops its own task with wait must not wait for itself.
TEST_F(LoopTest, StopWithWaitFromTheWorker) {
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_output(" -af \"volumedetect\" -f null -vn", "/dev/null"), 0) << core_.last_error();
    core_.ProgressIntervalUs = 0;
    core_.OnProgress = [](TCustomFFmpeg* task, int input, int, int, float, float, int64_t, int64_t, int64_t) {
        if (input >= 0) task->Stop(true);
    };
    run_threaded();
    EXPECT_TRUE(core_.Terminated());
    EXPECT_FALSE(core_.Completed());
    EXPECT_FALSE(core_.Failed()) << core_.ErrorText();
    EXPECT_TRUE(max_volume_before_end_);  // the graph is still freed before the end
}

TEST_F(LoopTest, RecordingTimeEndsTheRun) {
    const fs::path target = *dir_ / "short.wav";
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_output(" -y -t 0.5 -af volume=2", target.string()), 0) << core_.last_error();
    core_.ProgressIntervalUs = INT64_MAX;
    core_.Start(false, tpNormal);
    expect_clean_end();
    EXPECT_TRUE(logged("No more output streams to write to, finishing.", llVerbose));
    EXPECT_EQ(last_duration_, 500000);
    const auto after = test::measure_audio(target);
    EXPECT_NEAR(after.duration_seconds, 0.5, 1024.0 / 44100);
}

TEST_F(LoopTest, InitialisationFailureFailsAndLeavesNoFile) {
    const fs::path target = *dir_ / "phone.3gp";
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    if (open_output("", target.string()) < 0) GTEST_SKIP() << "refused at set-up: " << core_.last_error();
    core_.Start(false, tpNormal);
    EXPECT_TRUE(core_.Terminated());
    EXPECT_TRUE(core_.Failed());
    EXPECT_FALSE(core_.Completed());
    EXPECT_EQ(core_.ErrorText().rfind("transcode_init() error: ", 0), 0u) << core_.ErrorText();
    EXPECT_NE(core_.ErrorText().find("Please check error log message(reported by FFLogger)"), std::string::npos);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(terminations_, 1);
    EXPECT_EQ(TCustomFFmpeg::open_encoder_count(), 0u);
}

TEST_F(LoopTest, StartChecksFailAndTerminateOnce) {
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    EXPECT_EQ(core_.Start(true, tpNormal), nullptr);
    EXPECT_TRUE(core_.Failed());
    EXPECT_FALSE(core_.Completed());
    EXPECT_EQ(core_.ErrorText(), "At least one output file must be specified");
    EXPECT_TRUE(logged("At least one output file must be specified", llQuiet));
    EXPECT_EQ(terminations_, 1);
    core_.TerminateWithoutRun(true);  // already terminated: nothing
    EXPECT_EQ(terminations_, 1);

    TCustomFFmpeg never_started;
    int ends = 0;
    never_started.OnTerminate = [&](TCustomFFmpeg*) { ++ends; };
    never_started.TerminateWithoutRun(true);
    EXPECT_EQ(ends, 1);
    EXPECT_TRUE(never_started.Terminated());
    EXPECT_FALSE(never_started.Failed());
}

TEST_F(LoopTest, VideoCopyWithAudioReencoded) {
    const fs::path target = *dir_ / "copied.mp4";
    ASSERT_EQ(open_input(file("movie.mp4")), 0);
    ASSERT_EQ(open_output(" -y -c:v copy -c:a aac -af volume=0.5", target.string()), 0) << core_.last_error();
    run_threaded();
    expect_clean_end();
    const test::StreamPackets src = count_packets(*dir_ / "movie.mp4", AVMEDIA_TYPE_VIDEO);
    const test::StreamPackets out = count_packets(target, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(out.codec, src.codec);
    EXPECT_EQ(out.packets, src.packets);
    const auto audio = test::measure_audio(target);
    EXPECT_NEAR(audio.peak_db, -6.0 - 6.02, 0.3);
    EXPECT_NEAR(audio.duration_seconds, 1.0, 0.1);
    EXPECT_EQ(last_quality_, -1);  // the audio encoder gives no quality
}

TEST_F(LoopTest, VideoReencodeKeepsFrameCount) {
    const fs::path target = *dir_ / "reencoded.mkv";
    ASSERT_EQ(open_input(file("movie.mp4")), 0);
    ASSERT_EQ(open_output(" -y -c:v mpeg4 -an", target.string()), 0) << core_.last_error();
    run_threaded();
    expect_clean_end();
    const test::StreamPackets src = count_packets(*dir_ / "movie.mp4", AVMEDIA_TYPE_VIDEO);
    const test::StreamPackets out = count_packets(target, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(out.codec, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(out.packets, src.packets);
    EXPECT_EQ(last_frame_, src.packets);  // the final report counts encoded frames
    EXPECT_GT(last_quality_, 0);
    EXPECT_EQ(count_packets(target, AVMEDIA_TYPE_AUDIO).packets, 0);
}

}  // namespace
