// Whole runs that show the loop correct and robust: measured peaks in every
// container, gains and durations kept, two inputs combined, the progress
// values, edge cases of a task's life, damaged inputs, targets that cannot be
// written, and tasks running at once.
//
// Every run is threaded and waited for with a limit, so that a hang fails
// instead of stalling.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <memory>
#include <regex>

#include "setup_fixture.h"
#include "support/temp_dir.h"
#include "support/file_damage.h"
#include "support/stream_packets.h"

using namespace sonorix;
using namespace std::chrono_literals;
using sonorix::test::count_packets;
using sonorix::test::MediaSpec;
using sonorix::test::names_in;
using sonorix::test::read_file;
using sonorix::test::SetupTest;
namespace fs = std::filesystem;

namespace {

constexpr auto kRunLimit = 30s;

struct ProgressCall {
    int input;
    int64_t size;
    int64_t position;
    int64_t duration;
};

// What one task's call-outs delivered; they come on its worker.
class Watch {
public:
    void attach(TCustomFFmpeg& core) {
        core.OnProgress = [this](TCustomFFmpeg*, int input, int, int, float, float, int64_t size, int64_t position,
                                 int64_t duration) {
            std::lock_guard lock(mutex_);
            late_progress_ |= terminations_ > 0;
            calls_.push_back({input, size, position, duration});
        };
        core.OnTerminate = [this](TCustomFFmpeg*) {
            std::lock_guard lock(mutex_);
            ++terminations_;
            ended_.notify_all();
        };
    }
    bool wait_end(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return ended_.wait_for(lock, limit, [&] { return terminations_ > 0; });
    }
    int terminations() {
        std::lock_guard lock(mutex_);
        return terminations_;
    }
    std::vector<ProgressCall> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    bool late_progress() {
        std::lock_guard lock(mutex_);
        return late_progress_;
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    int terminations_ = 0;
    bool late_progress_ = false;
    std::vector<ProgressCall> calls_;
};

// Waits for a resumed task's end; a hang fails the test, and a task that does
// not end even when stopped ends the test program (it cannot be freed).
void wait_for_end(TCustomFFmpeg& core, Watch& watch) {
    if (!watch.wait_end(kRunLimit)) {
        ADD_FAILURE() << "the task did not end in time; stopping it";
        core.Stop(false);
        if (!watch.wait_end(5s)) {
            std::fprintf(stderr, "a task hangs after a stop request\n");
            std::abort();
        }
    }
    core.Stop(true);  // waits for the worker's last touch of the task
}

void run_to_end(TCustomFFmpeg& core, Watch& watch) {
    TConvertThread* worker = core.Start(true, tpNormal);
    ASSERT_NE(worker, nullptr) << core.ErrorText();
    worker->Resume();
    wait_for_end(core, watch);
}

// Opening on any core; the text says why it was refused, empty when opened.
std::string open_in(TCustomFFmpeg& core, const std::string& name, const std::string& options = "") {
    OptionsContextScope scope(core);
    try {
        if (core.OpenInputFile(*scope, options, name, "") < 0) return "refused: " + core.last_error();
    } catch (const FFmpegException& e) {
        return std::string("raised: ") + e.what();
    }
    return "";
}

std::string open_out(TCustomFFmpeg& core, const std::string& options, const std::string& name) {
    OptionsContextScope scope(core);
    try {
        if (core.OpenOutputFile(*scope, options, false, name, "") < 0) return "refused: " + core.last_error();
    } catch (const FFmpegException& e) {
        return std::string("raised: ") + e.what();
    }
    return "";
}

// A core beside the fixture's, with its own call-out record.
struct Task {
    Watch watch;  // outlives the core, whose end may still call out
    TCustomFFmpeg core;
    Task() { watch.attach(core); }
};

// Stream types of a file in stream order.
std::vector<AVMediaType> stream_types(const fs::path& path) {
    std::vector<AVMediaType> out;
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return out;
    avformat_find_stream_info(ic, nullptr);
    for (unsigned i = 0; i < ic->nb_streams; ++i) out.push_back(ic->streams[i]->codecpar->codec_type);
    avformat_close_input(&ic);
    return out;
}

// Samples of one coder frame of a file's first audio stream; lossless files
// (PCM, FLAC) keep their length to the sample.
int frame_samples(const fs::path& path) {
    const std::string ext = path.extension().string();
    if (ext == ".mp3" || ext == ".avi") return 1152;
    if (ext == ".m4a" || ext == ".aac" || ext == ".mp4") return 1024;
    if (ext == ".ogg" || ext == ".mkv") return 2048;  // the long Vorbis block
    return 1;
}

class LoopCaseTest : public SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        watch_.attach(core_);
    }
    // A run left behind by a failed assertion ends before watch_ goes.
    void TearDown() override { core_.Stop(true); }

    void clear_lines() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    std::string last_line_with(const std::string& text) {
        std::lock_guard lock(mutex_);
        for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
            if (it->text.find(text) != std::string::npos) return it->text;
        }
        return "";
    }
    // Warnings and errors from anyone: the core and the libraries.
    std::vector<std::string> complaints() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const Line& l : lines_) {
            if (l.level <= llWarning && l.text.rfind("Guessed Channel Layout", 0) != 0) out.push_back(l.text);
        }
        return out;
    }

    // The peak a measurement task reports for a file, in dB; NaN when none.
    double measured_max_volume(const fs::path& source) {
        clear_lines();
        Task t;
        const std::string refused = open_in(t.core, source.string());
        if (refused.empty()) {
            const std::string out_refused = open_out(t.core, " -af \"volumedetect\" -f null -vn", "/dev/null");
            EXPECT_EQ(out_refused, "") << source;
            if (out_refused.empty()) run_to_end(t.core, t.watch);
        } else {
            ADD_FAILURE() << source << ": " << refused;
        }
        EXPECT_TRUE(t.core.Completed()) << source << ": " << t.core.ErrorText();
        std::smatch m;
        const std::string line = last_line_with("max_volume:");
        if (!std::regex_search(line, m, std::regex("max_volume: (-?[0-9.]+) dB"))) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return std::stod(m[1]);
    }

    void expect_completed(TCustomFFmpeg& core, Watch& watch, const std::string& what) {
        EXPECT_TRUE(core.Completed()) << what << ": " << core.ErrorText();
        EXPECT_FALSE(core.Failed()) << what << ": " << core.ErrorText();
        EXPECT_EQ(watch.terminations(), 1) << what;
    }

    Watch watch_;  // of core_
};

// volumedetect's result on every container the program reads, each file
// made with its own peak so that a stale or misrouted result shows.
TEST_F(LoopCaseTest, MeasurementFindsTheGeneratedPeakInEveryContainer) {
    struct Row {
        const char* name;
        bool video;
        double peak_db;
    };
    const Row rows[] = {
        {"m.wav", false, -1.5}, {"m.flac", false, -3.0}, {"m.mp3", false, -4.5},
        {"m.ogg", false, -6.0}, {"m.m4a", false, -7.5},  {"m.aac", false, -9.0},
        {"m.mp4", true, -10.5}, {"m.mkv", true, -12.0},  {"m.avi", true, -13.5},
    };
    for (const Row& row : rows) {
        MediaSpec media;
        media.video = row.video;
        media.peak_db = row.peak_db;
        const fs::path source = make_media(*dir_ / row.name, media);
        EXPECT_NEAR(measured_max_volume(source), row.peak_db, 0.1) << row.name;
    }
    EXPECT_EQ(TCustomFFmpeg::open_encoder_count(), 0u);
    EXPECT_EQ(TCustomFFmpeg::open_decoder_count(), 0u);
}

// Gain and duration across containers and codecs, measured by decoding
// source and target; a copied video stream keeps codec and packet count.
TEST_F(LoopCaseTest, ConversionsApplyTheGainAndKeepTheDuration) {
    struct Row {
        const char* source;
        const char* target;
        const char* options;
        double gain_db;
        double gain_tolerance;
    };
    const Row rows[] = {
        {"c.wav", "3.5dB.wav", " -y -af volume=3.5dB", 3.5, 0.05},
        {"c.wav", "double.flac", " -y -af volume=2", 6.02, 0.05},
        {"c.flac", "half.wav", " -y -af volume=0.5", -6.02, 0.05},
        {"c.ogg", "quieter.wav", " -y -af volume=-3dB", -3.0, 0.05},
        {"c.wav", "double.ogg", " -y -af volume=2", 6.02, 0.3},
        {"c.mp3", "half.m4a", " -y -c:a aac -b:a 192k -af volume=0.5", -6.02, 0.3},
        {"c.m4a", "double.mp3", " -y -c:a libmp3lame -b:a 192k -af volume=2", 6.02, 0.3},
        {"c.avi", "double.wav", " -y -vn -af volume=2", 6.02, 0.05},
        {"c.mkv", "copied.mkv", " -y -c:v copy -c:a flac -af volume=2", 6.02, 0.05},
    };
    for (const char* name : {"c.wav", "c.flac", "c.ogg", "c.mp3", "c.m4a", "c.avi", "c.mkv"}) {
        MediaSpec media;
        media.peak_db = -12;  // room for +6 dB
        media.video = fs::path(name).extension() == ".avi" || fs::path(name).extension() == ".mkv";
        make_media(*dir_ / name, media);
    }
    for (const Row& row : rows) {
        const std::string what = std::string(row.source) + " ->" + row.options + " " + row.target;
        const fs::path source = *dir_ / row.source;
        const fs::path target = *dir_ / row.target;
        Task t;
        ASSERT_EQ(open_in(t.core, source.string()), "") << what;
        ASSERT_EQ(open_out(t.core, row.options, target.string()), "") << what;
        run_to_end(t.core, t.watch);
        expect_completed(t.core, t.watch, what);
        const auto before = test::measure_audio(source);
        const auto after = test::measure_audio(target);
        EXPECT_NEAR(after.peak_db - before.peak_db, row.gain_db, row.gain_tolerance) << what;
        const int frame = std::max(frame_samples(source), frame_samples(target));
        EXPECT_NEAR(after.duration_seconds, before.duration_seconds, static_cast<double>(frame) / before.sample_rate)
            << what;
        EXPECT_EQ(after.channels, before.channels) << what;
        EXPECT_EQ(after.sample_rate, before.sample_rate) << what;
        if (std::string(row.options).find("-c:v copy") != std::string::npos) {
            const test::StreamPackets src = count_packets(source, AVMEDIA_TYPE_VIDEO);
            const test::StreamPackets out = count_packets(target, AVMEDIA_TYPE_VIDEO);
            EXPECT_EQ(out.codec, src.codec) << what;
            EXPECT_EQ(out.packets, src.packets) << what;
        }
    }
}

// The combining job: the new audio from the first input replaces the first
// audio stream of the second, whose every other stream goes along unchanged.
class TwoInputTest : public LoopCaseTest {
protected:
    // The maps the workflow builds: the first audio stream of the first
    // input, then every stream of the second except its first audio stream.
    void combine(const std::string& codecs) {
        MediaSpec louder;
        louder.peak_db = -2;
        const fs::path audio = make_media(*dir_ / "new_audio.wav", louder);
        const fs::path video = *dir_ / "multi.mkv";  // video, stereo and 5.1 audio at -6 dB, subtitles
        const std::vector<AVMediaType> types = stream_types(video);
        ASSERT_EQ(types.size(), 4u);
        std::string options = " -y -map 0:a:0";
        const auto first_audio = std::find(types.begin(), types.end(), AVMEDIA_TYPE_AUDIO) - types.begin();
        std::vector<AVMediaType> expected{AVMEDIA_TYPE_AUDIO};
        for (size_t n = 0; n < types.size(); ++n) {
            if (static_cast<long>(n) == first_audio) continue;
            options += " -map 1:" + std::to_string(n);
            expected.push_back(types[n]);
        }
        options += codecs;
        const fs::path target = *dir_ / "combined.mkv";
        ASSERT_EQ(open_in(core_, audio.string()), "");
        ASSERT_EQ(open_in(core_, video.string()), "");
        ASSERT_EQ(open_out(core_, options, target.string()), "") << options;
        run_to_end(core_, watch_);
        expect_completed(core_, watch_, options);

        EXPECT_EQ(stream_types(target), expected);
        const auto replaced = test::measure_audio(target, 0);
        EXPECT_NEAR(replaced.peak_db, -2.0, 0.05);
        EXPECT_EQ(replaced.channels, 2);
        EXPECT_NEAR(replaced.duration_seconds, 1.0, 4608.0 / 44100);
        const auto kept = test::measure_audio(target, 1);
        EXPECT_NEAR(kept.peak_db, test::measure_audio(video, 1).peak_db, 0.05);
        EXPECT_EQ(kept.channels, 6);
        const test::StreamPackets src_video = count_packets(video, AVMEDIA_TYPE_VIDEO);
        const test::StreamPackets out_video = count_packets(target, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(out_video.codec, src_video.codec);
        EXPECT_EQ(out_video.packets, src_video.packets);
        const test::StreamPackets src_subs = count_packets(video, AVMEDIA_TYPE_SUBTITLE);
        const test::StreamPackets out_subs = count_packets(target, AVMEDIA_TYPE_SUBTITLE);
        EXPECT_GT(out_subs.packets, 0);
        EXPECT_EQ(out_subs.packets, src_subs.packets);
    }
};

// Lossless audio so that the peaks compare exactly.
TEST_F(TwoInputTest, AudioFromTheFirstEverythingElseFromTheSecond) { combine(" -c:v copy -c:s copy -c:a flac"); }

// The workflow's own codec options leave the subtitles to be re-encoded
// with the container's default subtitle encoder.
TEST_F(TwoInputTest, WorkflowOptionsKeepTheSubtitles) { combine(" -c:v copy -c:a flac"); }

// Progress values: rate-limited from the first call, positions that only
// grow and stay within the expected duration, one final report that comes
// last and before the termination.
TEST_F(LoopCaseTest, ProgressStaysInRangeAndEndsWithOneFinalReport) {
    {
        // The whole run inside the first interval: the final report only.
        Task t;
        ASSERT_EQ(open_in(t.core, file("tone.wav")), "");
        ASSERT_EQ(open_out(t.core, " -y -af volume=2", (*dir_ / "p1.wav").string()), "");
        t.core.ProgressIntervalUs = 3600 * int64_t{1000000};
        run_to_end(t.core, t.watch);
        expect_completed(t.core, t.watch, "long interval");
        const auto calls = t.watch.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].input, -1);
        EXPECT_NEAR(calls[0].duration / 1e6, 1.0, 0.01);
    }
    MediaSpec longer;
    longer.duration_seconds = 3;
    make_media(*dir_ / "three.wav", longer);
    Task t;
    ASSERT_EQ(open_in(t.core, file("three.wav")), "");
    ASSERT_EQ(open_out(t.core, " -y -af volume=2", (*dir_ / "p3.wav").string()), "");
    t.core.ProgressIntervalUs = 0;
    run_to_end(t.core, t.watch);
    expect_completed(t.core, t.watch, "every step");
    const auto calls = t.watch.calls();
    ASSERT_GT(calls.size(), 2u);
    int64_t last_position = 0;
    int64_t last_size = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        const ProgressCall& c = calls[i];
        EXPECT_EQ(c.input, i + 1 == calls.size() ? -1 : 0) << "call " << i;
        EXPECT_NEAR(c.duration / 1e6, 3.0, 0.01) << "call " << i;
        EXPECT_GE(c.position, last_position) << "call " << i;
        EXPECT_LE(c.position, c.duration + 1024 * int64_t{1000000} / 44100) << "call " << i;
        EXPECT_GE(c.size, last_size) << "call " << i;
        last_position = c.position;
        last_size = c.size;
    }
    EXPECT_NEAR(calls.back().position / 1e6, 3.0, 1e-3);  // the end of the last packet, not its start
    EXPECT_EQ(static_cast<uintmax_t>(calls.back().size), fs::file_size(*dir_ / "p3.wav"));
    EXPECT_FALSE(t.watch.late_progress());
}

// An input that never says how long it is: the lavfi "sine" source limited
// by its own duration option. The lavfi input reports no duration, and no
// -t is given (which would become the expected duration), so the progress
// calls must carry -1 while the run still ends when the source does.
TEST_F(LoopCaseTest, ExpectedDurationIsMinusOneWhenNoDurationIsKnown) {
    ASSERT_EQ(open_in(core_, "sine=frequency=440:duration=1", "-f lavfi"), "");
    ASSERT_EQ(core_.input_files.at(0).ctx->duration, AV_NOPTS_VALUE);  // the premise
    ASSERT_EQ(core_.longest_input_duration, -1);
    const fs::path target = *dir_ / "sine.wav";
    ASSERT_EQ(open_out(core_, " -y", target.string()), "");
    core_.ProgressIntervalUs = 0;
    run_to_end(core_, watch_);
    expect_completed(core_, watch_, "sine");
    const auto calls = watch_.calls();
    ASSERT_FALSE(calls.empty());
    for (const ProgressCall& c : calls) EXPECT_EQ(c.duration, -1);
    EXPECT_EQ(calls.back().input, -1);
    EXPECT_NEAR(test::measure_audio(target).duration_seconds, 1.0, 1024.0 / 44100);
}

// A second start, threaded or not, while the first run waits to be resumed
// or runs: nothing happens, and the task ends once.
TEST_F(LoopCaseTest, StartingTwiceDoesNothing) {
    const fs::path target = *dir_ / "twice.wav";
    ASSERT_EQ(open_in(core_, file("tone.wav")), "");
    ASSERT_EQ(open_out(core_, " -y -af volume=2", target.string()), "");
    TConvertThread* worker = core_.Start(true, tpNormal);
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(core_.Start(true, tpNormal), nullptr);
    EXPECT_EQ(core_.Start(false, tpNormal), nullptr);  // must not run on this thread either
    EXPECT_EQ(watch_.terminations(), 0);
    worker->Resume();
    EXPECT_EQ(core_.Start(true, tpNormal), nullptr);
    wait_for_end(core_, watch_);
    expect_completed(core_, watch_, "twice");
    EXPECT_NEAR(test::measure_audio(target).duration_seconds, 1.0, 1.0 / 44100);
    EXPECT_EQ(core_.Start(true, tpNormal), nullptr);  // terminated
    EXPECT_EQ(watch_.terminations(), 1);
}

// Runs that fail in their start-up leave their folder as it was: no target,
// no temporary file. An encoder that cannot be opened gives the start-up
// error text; a muxer refusing its header fails the task as clearly.
TEST_F(LoopCaseTest, FailureBeforeWritingLeavesTheFolderAsItWas) {
    struct Row {
        const char* target;
        const char* options;
        bool encoder_fails;
    };
    const Row rows[] = {
        {"phone.3gp", " -y", true},                       // no encoder of the 3GP audio codec opens
        {"raw_in_mp3.mp3", " -y -c:a pcm_s16le", false},  // the MP3 muxer takes MP3 only
        {"six.mp3", " -y -c:a libmp3lame -ac 6", true},   // the MP3 encoder takes at most two channels
    };
    for (const Row& row : rows) {
        const fs::path folder = *dir_ / (std::string("failing_") + row.target);
        fs::create_directories(folder);
        Task t;
        ASSERT_EQ(open_in(t.core, file("tone.wav")), "");
        const std::string refused = open_out(t.core, row.options, (folder / row.target).string());
        if (refused.empty()) {
            run_to_end(t.core, t.watch);
            EXPECT_TRUE(t.core.Failed()) << row.target;
            EXPECT_FALSE(t.core.Completed()) << row.target;
            EXPECT_EQ(t.watch.terminations(), 1) << row.target;
            EXPECT_FALSE(t.core.ErrorText().empty()) << row.target;
            if (row.encoder_fails) {
                EXPECT_EQ(t.core.ErrorText().rfind("transcode_init() error", 0), 0u) << t.core.ErrorText();
            }
        }  // else refused at set-up, which is as clear
        EXPECT_EQ(names_in(folder), std::vector<std::string>{}) << row.target << " " << refused;
        EXPECT_EQ(TCustomFFmpeg::open_encoder_count(), 0u) << row.target;
        EXPECT_EQ(TCustomFFmpeg::open_decoder_count(), 0u) << row.target;
    }
}

// Garbage over a stretch in the middle of the file: the bad packets are
// reported and skipped, and the run completes with the rest.
TEST_F(LoopCaseTest, CorruptPacketsAreReportedAndSkipped) {
    struct Row {
        const char* source;
        const char* target;
        const char* options;
        bool video;
    };
    const Row rows[] = {
        {"corrupt.mp3", "from_corrupt_mp3.wav", " -y -af volume=2", false},
        {"corrupt.mp4", "from_corrupt_mp4.mkv", " -y -c:v mpeg4 -c:a flac -af volume=2", true},
    };
    for (const Row& row : rows) {
        MediaSpec media;
        media.duration_seconds = 2;
        media.peak_db = -12;
        media.video = row.video;
        const fs::path source = make_media(*dir_ / row.source, media);
        const uintmax_t size = fs::file_size(source);
        test::overwrite_with_garbage(source, 0.5, std::max<uintmax_t>(size / 50, 512));
        clear_lines();
        Task t;
        ASSERT_EQ(open_in(t.core, source.string()), "") << row.source;
        const fs::path target = *dir_ / row.target;
        ASSERT_EQ(open_out(t.core, row.options, target.string()), "") << row.source;
        run_to_end(t.core, t.watch);
        expect_completed(t.core, t.watch, row.source);
        EXPECT_FALSE(complaints().empty()) << row.source << ": the damage went unreported";
        const auto after = test::measure_audio(target);
        EXPECT_GT(after.duration_seconds, 1.0) << row.source;
        EXPECT_LT(after.duration_seconds, 2.0 + 2048.0 / 44100) << row.source;
        if (row.video) {
            EXPECT_GT(count_packets(target, AVMEDIA_TYPE_VIDEO).packets, 25) << row.source;
        }
    }
}

// A file cut at 60 %: what is there is converted and the run completes.
class TruncatedTest : public LoopCaseTest {
protected:
    void convert_cut(const char* name, const char* options, bool video, double expected_seconds = 1.2) {
        MediaSpec media;
        media.duration_seconds = 2;
        media.peak_db = -12;
        media.video = video;
        const fs::path source = make_media(*dir_ / name, media);
        test::truncate_to(source, 0.6);
        Task t;
        ASSERT_EQ(open_in(t.core, source.string()), "") << name;
        const fs::path target = *dir_ / (std::string(name) + ".wav");
        ASSERT_EQ(open_out(t.core, options, target.string()), "") << name;
        run_to_end(t.core, t.watch);
        expect_completed(t.core, t.watch, name);
        // 60 % of the bytes hold about 60 % of the sound (headers aside).
        EXPECT_NEAR(test::measure_audio(target).duration_seconds, expected_seconds, 0.1) << name;
    }
};

TEST_F(TruncatedTest, ConvertsWhatIsThere) {
    convert_cut("cut.wav", " -y -af volume=2", false);
    convert_cut("cut.mp3", " -y -af volume=2", false);
    convert_cut("cut.mkv", " -y -c:v mpeg4 -c:a flac -af volume=2", true);
}

// The FLAC decoder reports the broken last frame only while it is drained:
// the drain must still end the graph's input. The muxer's 8 kB of padding
// ahead of the frames leaves about half of the sound in 60 % of the bytes.
TEST_F(TruncatedTest, CutFlacConvertsWhatIsThere) { convert_cut("cut.flac", " -y -af volume=2", false, 1.02); }

// An MP4 whose index sat in the lost end cannot be read at all: refused at
// set-up with the file's name in the text.
TEST_F(TruncatedTest, CutMp4WithoutIndexIsRefused) {
    MediaSpec movie;
    movie.video = true;
    const fs::path cut = make_media(*dir_ / "cut.mp4", movie);
    test::truncate_to(cut, 0.6);
    Task t;
    const std::string refused = open_in(t.core, cut.string());
    EXPECT_NE(refused.find(cut.string()), std::string::npos) << refused;
}

// A folder that cannot be written: the output is refused at once with the
// reason, and nothing is left there. Root writes through a read-only mode,
// so a regular file standing where the folder should be always serves.
TEST_F(LoopCaseTest, UnwritableFolderIsRefusedWithTheReason) {
    const fs::path blocker = *dir_ / "not_a_folder";
    test::write_file(blocker, "a file");
    struct Row {
        fs::path target;
        std::string reason;
    };
    std::vector<Row> rows{{blocker / "out.wav", "Not a directory"}};
    const fs::path read_only = *dir_ / "read_only";
    fs::create_directories(read_only);
    if (geteuid() != 0) {
        fs::permissions(read_only, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
        rows.push_back({read_only / "out.wav", "Permission denied"});
    }
    for (const Row& row : rows) {
        Task t;
        ASSERT_EQ(open_in(t.core, file("tone.wav")), "");
        const std::string refused = open_out(t.core, " -y -af volume=2", row.target.string());
        EXPECT_NE(refused.find(row.target.string()), std::string::npos) << refused;
        EXPECT_NE(refused.find(row.reason), std::string::npos) << refused;
        // Started anyway, the task fails with the start check's text.
        EXPECT_EQ(t.core.Start(true, tpNormal), nullptr);
        EXPECT_TRUE(t.core.Failed());
        EXPECT_EQ(t.core.ErrorText(), "At least one output file must be specified");
    }
    EXPECT_EQ(read_file(blocker), "a file");
    EXPECT_EQ(names_in(read_only), std::vector<std::string>{});
    fs::permissions(read_only, fs::perms::owner_all);
}

// Three core objects at once, each on its own worker, write what each writes
// alone: byte for byte.
TEST_F(LoopCaseTest, ThreeTasksAtOnceMatchOneAtATime) {
    MediaSpec audio;
    audio.duration_seconds = 3;
    audio.peak_db = -12;
    MediaSpec movie = audio;
    movie.video = true;
    make_media(*dir_ / "at_once.wav", audio);
    make_media(*dir_ / "at_once.mp3", audio);
    make_media(*dir_ / "at_once.mp4", movie);
    struct Job {
        const char* source;
        const char* options;
        const char* target;
    };
    const Job jobs[] = {
        {"at_once.wav", " -y -af volume=2", "a.flac"},
        {"at_once.mp3", " -y -c:a libmp3lame -b:a 192k -af volume=0.5", "b.mp3"},
        {"at_once.mp4", " -y -c:v mpeg4 -c:a aac -af volume=2", "c.mp4"},
    };
    auto open_job = [&](Task& t, const Job& job, const std::string& prefix) {
        ASSERT_EQ(open_in(t.core, file(job.source)), "") << job.source;
        ASSERT_EQ(open_out(t.core, job.options, file(prefix + job.target)), "") << job.target;
    };
    std::vector<std::string> alone;
    for (const Job& job : jobs) {
        Task t;
        open_job(t, job, "alone_");
        run_to_end(t.core, t.watch);
        expect_completed(t.core, t.watch, job.target);
        alone.push_back(read_file(file(std::string("alone_") + job.target)));
        EXPECT_GT(alone.back().size(), 1000u) << job.target;
    }
    std::vector<std::unique_ptr<Task>> tasks;
    std::vector<TConvertThread*> workers;
    for (const Job& job : jobs) {
        tasks.push_back(std::make_unique<Task>());
        open_job(*tasks.back(), job, "together_");
    }
    for (auto& t : tasks) {
        workers.push_back(t->core.Start(true, tpNormal));
        ASSERT_NE(workers.back(), nullptr);
    }
    for (TConvertThread* w : workers) w->Resume();
    for (auto& t : tasks) wait_for_end(t->core, t->watch);
    for (size_t i = 0; i < tasks.size(); ++i) {
        expect_completed(tasks[i]->core, tasks[i]->watch, jobs[i].target);
        EXPECT_TRUE(read_file(file(std::string("together_") + jobs[i].target)) == alone[i]) << jobs[i].target;
    }
    EXPECT_EQ(TCustomFFmpeg::open_encoder_count(), 0u);
    EXPECT_EQ(TCustomFFmpeg::open_decoder_count(), 0u);
}

}  // namespace
