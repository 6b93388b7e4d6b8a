#include "engine/FFEncode.h"
#include "engine/private/encoder_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "base/FFLoad.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"
#include "support/drain.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
using namespace std::chrono_literals;
using sonorix::test::drain_until;
namespace fs = std::filesystem;

namespace {

const char* const kMeasure = " -af \"volumedetect\" -f null -vn";
constexpr const char* kNull = "/dev/null";

class EncoderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        MainThreadQueue::Instance().SetMainThread();
        ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
        dir_ = new test::TempDir("sonorix-encoder");
        test::MediaSpec media;
        media.duration_seconds = 1.0;
        media.peak_db = -6.0;
        test::make_media(*dir_ / "short.wav", media);
        media.duration_seconds = 30.0;
        test::make_media(*dir_ / "long.wav", media);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        encoder_.OnTerminate = [this](TObject* sender, const TTerminateInfo& info) {
            EXPECT_EQ(sender, &encoder_);
            notices_.push_back(info);
            notice_threads_.push_back(std::this_thread::get_id());
        };
    }
    void TearDown() override {
        encoder_.Stop(true);
        drain_until([&] { return encoder_.TasksCount() == 0 || !encoder_.Running() || encoder_.AllTerminated(); }, 10s);
    }
    static std::string wav() { return (*dir_ / "short.wav").string(); }

    // A measurement task; slow ones read at the input's own rate.
    int add_measure(bool slow = false) {
        TInputOptions in;
        ResetInputOptions(in);
        if (slow) in.Options = "-re";
        const int task = encoder_.AddTask(wav(), &in);
        EXPECT_GE(task, 0) << encoder_.LastErrorMessage();
        TOutputOptions out;
        ResetOutputOptions(out);
        out.Options = kMeasure;
        EXPECT_GE(encoder_.SetOutput(task, kNull, &out), 0) << encoder_.LastErrorMessage();
        return task;
    }
    // A conversion that runs long enough to be stopped.
    int add_convert(const fs::path& target) {
        const int task = encoder_.AddTask((*dir_ / "long.wav").string());
        EXPECT_GE(task, 0) << encoder_.LastErrorMessage();
        TOutputOptions out;
        out.Options = " -y -af volume=1.5";
        EXPECT_GE(encoder_.SetOutput(task, target.string(), &out), 0) << encoder_.LastErrorMessage();
        return task;
    }
    bool final_seen() const { return !notices_.empty() && notices_.back().TaskIndex == -1; }

    static test::TempDir* dir_;
    TFFEncoder encoder_;
    std::vector<TTerminateInfo> notices_;
    std::vector<std::thread::id> notice_threads_;
};

test::TempDir* EncoderTest::dir_ = nullptr;

TEST_F(EncoderTest, PropertyDefaultsAndProgressIntervalFloor) {
    EXPECT_EQ(encoder_.Version(), "5.3");
    EXPECT_EQ(encoder_.ReadTimeout, 30000);
    EXPECT_EQ(encoder_.WriteTimeout, 30000);
    EXPECT_EQ(encoder_.ProgressInterval(), 500);
    encoder_.SetProgressInterval(50);
    EXPECT_EQ(encoder_.ProgressInterval(), 100);
    encoder_.SetProgressInterval(100);
    EXPECT_EQ(encoder_.ProgressInterval(), 100);
    encoder_.SetProgressInterval(101);
    EXPECT_EQ(encoder_.ProgressInterval(), 101);
    EXPECT_TRUE(encoder_.LibrariesLoaded());
    TOutputOptions out;
    out.Options = "x";
    out.BitsPixel = 8;
    ResetOutputOptions(out);
    EXPECT_EQ(out.BitsPixel, 32);
    EXPECT_TRUE(out.Options.empty());
}

TEST_F(EncoderTest, UnthreadedRunGivesEveryNoticeInOrderBeforeReturning) {
    add_measure();
    add_measure();
    encoder_.StartTask(0);
    ASSERT_EQ(notices_.size(), 3u);
    EXPECT_EQ(notices_[0].TaskIndex, 0);
    EXPECT_EQ(notices_[1].TaskIndex, 1);
    EXPECT_EQ(notices_[2].TaskIndex, -1);
    for (const auto& n : notices_) {
        EXPECT_TRUE(n.Completed);
        EXPECT_FALSE(n.Failed) << n.ErrorText;
    }
    for (const auto& t : notice_threads_) EXPECT_EQ(t, std::this_thread::get_id());
}

TEST_F(EncoderTest, ListChangesWhileWorkingOrAfterARunRaise) {
    test::TempDir out("sonorix-busy");
    add_convert(out / "busy.mp3");
    encoder_.StartTask(1);
    EXPECT_THROW(
        {
            try {
                encoder_.ClearTasks();
            } catch (const EEngineError& e) {
                EXPECT_STREQ(e.what(), "Cannot ClearTasks while working.");
                throw;
            }
        },
        EEngineError);
    ASSERT_TRUE(drain_until([&] { return final_seen(); }));
    try {
        encoder_.AddTask(wav());
        ADD_FAILURE() << "AddTask after a run must raise";
    } catch (const EEngineError& e) {
        EXPECT_STREQ(e.what(), "Cannot AddTask while working.");
    }
    EXPECT_THROW(encoder_.SetOutput(0, kNull), EEngineError);
    EXPECT_THROW(encoder_.RemoveTask(0), EEngineError);
    EXPECT_THROW(encoder_.StartTask(1), EEngineError);
    encoder_.ClearTasks();
    EXPECT_EQ(encoder_.TasksCount(), 0);
    EXPECT_FALSE(encoder_.Running());
}

TEST_F(EncoderTest, FinalHandlerMayClearTheList) {
    add_measure();
    add_measure();
    bool cleared = false;
    encoder_.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        notices_.push_back(info);
        if (info.TaskIndex == -1) {
            encoder_.ClearTasks();
            cleared = true;
        }
    };
    encoder_.StartTask(3);
    ASSERT_TRUE(drain_until([&] { return cleared; }));
    EXPECT_EQ(encoder_.TasksCount(), 0);
    EXPECT_FALSE(encoder_.Running());
}

TEST_F(EncoderTest, LimitOneRunsTasksOneAtATime) {
    std::atomic<int> overlaps{0};
    encoder_.OnAudioInputHook = [&](TObject*, int task, int64_t, uint8_t*, int, int, int, AVSampleFormat) {
        for (int j = 0; j < encoder_.TasksCount(); ++j) {
            if (j < task && !encoder_.Task(j)->Terminated()) ++overlaps;
            if (j > task && encoder_.Task(j)->Running()) ++overlaps;
        }
    };
    TOutputOptions out;
    out.Options = kMeasure;
    out.AudioInputHook = true;
    for (int i = 0; i < 3; ++i) {
        const int t = encoder_.AddTask(wav());
        ASSERT_GE(encoder_.SetOutput(t, kNull, &out), 0) << encoder_.LastErrorMessage();
    }
    encoder_.StartTask(1);
    EXPECT_TRUE(encoder_.Task(0)->Running() || encoder_.Task(0)->Terminated());
    EXPECT_FALSE(encoder_.Task(1)->Running() && encoder_.Task(2)->Running());
    ASSERT_TRUE(drain_until([&] { return final_seen(); }));
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(notices_.size(), 4u);
}

TEST_F(EncoderTest, LimitThreeWithTwoTasksStartsBoth) {
    test::TempDir out("sonorix-both");
    add_convert(out / "a.mp3");
    add_convert(out / "b.mp3");
    encoder_.StartTask(3);
    EXPECT_TRUE(encoder_.Task(0)->Running());
    EXPECT_TRUE(encoder_.Task(1)->Running());
    ASSERT_TRUE(drain_until([&] { return final_seen(); }));
    EXPECT_EQ(notices_.size(), 3u);
}

TEST_F(EncoderTest, EmptyListRaisesNoEvent) {
    encoder_.StartTask(3);
    drain_until([] { return false; }, 100ms);
    EXPECT_TRUE(notices_.empty());
}

TEST_F(EncoderTest, TaskWithoutOutputFailsWithItsMessage) {
    ASSERT_EQ(encoder_.AddTask(wav(), nullptr), 0) << encoder_.LastErrorMessage();
    encoder_.StartTask(1);
    ASSERT_TRUE(drain_until([&] { return final_seen(); }));
    ASSERT_EQ(notices_.size(), 2u);
    EXPECT_TRUE(notices_[0].Failed);
    EXPECT_FALSE(notices_[0].Completed);
    EXPECT_EQ(notices_[0].ErrorText, "At least one output file must be specified");
    // The list's end says a task failed.
    EXPECT_FALSE(notices_[1].Completed);
    EXPECT_TRUE(notices_[1].Failed);
}

TEST_F(EncoderTest, StopWithWaitEndsEveryWorkerAndTheFinalNoticeComesLast) {
    test::TempDir out("sonorix-stop");
    test::write_file(out / "0.mp3", "an older file");
    for (int i = 0; i < 3; ++i) add_convert(out / (std::to_string(i) + ".mp3"));
    bool progressed = false;
    encoder_.SetProgressInterval(100);
    encoder_.OnProgress = [&](TObject*, PProgressInfo) { progressed = true; };
    encoder_.StartTask(1);
    ASSERT_TRUE(drain_until([&] { return progressed; }));
    encoder_.Stop(true);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(encoder_.Task(i)->Running()) << i;
    ASSERT_TRUE(drain_until([&] { return final_seen(); }));
    ASSERT_EQ(notices_.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(notices_[static_cast<size_t>(i)].Completed);
        EXPECT_FALSE(notices_[static_cast<size_t>(i)].Failed) << notices_[static_cast<size_t>(i)].ErrorText;
    }
    // Nothing half-written is left, and the older file is as it was.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(out.path())) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"0.mp3"});
    std::ifstream older(out / "0.mp3");
    std::string text((std::istreambuf_iterator<char>(older)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "an older file");
}

TEST_F(EncoderTest, OutputOptionChecks) {
    const int task = encoder_.AddTask(wav(), nullptr);
    ASSERT_EQ(task, 0) << encoder_.LastErrorMessage();
    TOutputOptions out;
    out.Options = kMeasure;
    out.BitsPixel = 12;
    EXPECT_EQ(encoder_.SetOutput(task, kNull, &out), -1);
    EXPECT_EQ(encoder_.LastErrorMessage(), "Invalid BitsPixel 12");
    // Hook names are normalised, also as the last word of the text.
    out.BitsPixel = 24;
    out.Options = std::string(kMeasure) + " -VIDEOINPUTHOOK";
    EXPECT_EQ(encoder_.SetOutput(task, kNull, &out), 0) << encoder_.LastErrorMessage();
    EXPECT_THROW(encoder_.SetOutput(5, kNull, &out), std::out_of_range);
}

TEST_F(EncoderTest, BadFilesAndOptionsFailWithoutATaskLeftBehind) {
    EXPECT_LT(encoder_.AddTask((*dir_ / "missing.wav").string()), 0);
    EXPECT_EQ(encoder_.LastErrorMessage().rfind((*dir_ / "missing.wav").string() + ": ", 0), 0u)
        << encoder_.LastErrorMessage();
    TInputOptions in;
    in.Options = "-no-such-option 1";
    EXPECT_LT(encoder_.AddTask(wav(), &in), 0);
    EXPECT_FALSE(encoder_.LastErrorMessage().empty());
    EXPECT_EQ(encoder_.TasksCount(), 0);
}

TEST_F(EncoderTest, MeasurementLineArrivesBeforeItsTaskNoticeAndTheFinalNoticeIsLast) {
    TFFLogger logger;
    std::vector<std::string> events;
    logger.SetOnLog([&](TObject*, int, TLogLevel, const std::string& line) {
        if (line.find("max_volume:") != std::string::npos) events.push_back("max");
    });
    encoder_.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
        events.push_back(info.TaskIndex < 0 ? "final" : "task");
    };
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        if (encoder_.TasksCount() > 0) encoder_.ClearTasks();
        events.clear();
        for (int i = 0; i < 3; ++i) add_measure();
        encoder_.StartTask(3);
        ASSERT_TRUE(drain_until([&] { return !events.empty() && events.back() == "final"; }));
        ASSERT_EQ(events.size(), 7u);
        int max_seen = 0, tasks_seen = 0;
        for (size_t i = 0; i + 1 < events.size(); ++i) {
            if (events[i] == "max") ++max_seen;
            if (events[i] == "task") {
                ++tasks_seen;
                EXPECT_GE(max_seen, tasks_seen) << "a task's notice overtook its measurement line";
            }
        }
        EXPECT_EQ(events.back(), "final");
    }
}

int thread_count() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/task")) ++n;
    return n;
}

TEST_F(EncoderTest, StressWithRandomStopsLosesNoNoticeAndLeavesNoThread) {
    std::mt19937 rng(1234);
    std::thread([] {}).join();  // sanitizers start their helper thread with the first one
    const int threads_before = thread_count();
    constexpr int kTasks = 30;
    for (int round = 0; round < 3; ++round) {
        if (encoder_.TasksCount() > 0) encoder_.ClearTasks();
        notices_.clear();
        for (int i = 0; i < kTasks; ++i) add_measure(rng() % 8 == 0);
        encoder_.StartTask(3);
        if (rng() % 2) {
            drain_until([] { return false; }, std::chrono::milliseconds(rng() % 200));
            encoder_.Stop(true);
        }
        ASSERT_TRUE(drain_until([&] { return final_seen(); })) << "round " << round;
        drain_until([] { return false; }, 50ms);
        EXPECT_EQ(notices_.size(), kTasks + 1u) << "round " << round;
        std::vector<int> seen(kTasks, 0);
        for (size_t i = 0; i + 1 < notices_.size(); ++i) ++seen.at(static_cast<size_t>(notices_[i].TaskIndex));
        for (int s : seen) EXPECT_EQ(s, 1);
    }
    encoder_.ClearTasks();
    EXPECT_TRUE(drain_until([&] { return thread_count() <= threads_before; }, 5s))
        << thread_count() << " threads, " << threads_before << " before";
}

}  // namespace

// A stop reaches every running task before it waits for any: a task must
// not run on to its end (and write its file) while one before it is slow to
// stop.
TEST_F(EncoderTest, StopTellsEveryTaskBeforeWaitingForAny) {
    encoder_.AddWorkTask([](const std::atomic<bool>& stop, const std::function<void(double)>&) {
        while (!stop) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(700ms);
        return std::string();
    });
    std::atomic<bool> started{false};
    encoder_.AddWorkTask([&](const std::atomic<bool>& stop, const std::function<void(double)>&) {
        started = true;
        for (int i = 0; i < 500 && !stop; ++i) std::this_thread::sleep_for(1ms);
        return std::string();
    });
    encoder_.StartTask(3);
    ASSERT_TRUE(drain_until([&] { return started.load(); }));
    encoder_.Stop(true);
    ASSERT_TRUE(drain_until([&] { return final_seen(); }));
    ASSERT_EQ(notices_.size(), 3u);
    for (const auto& n : notices_) EXPECT_TRUE(n.TaskIndex < 0 || !n.Completed) << n.TaskIndex;
}

// A work task ends through the same notices as a conversion: completed,
// failed with its text, or stopped (the work sees the stop); its progress
// arrives as positions within its duration.
TEST_F(EncoderTest, WorkTasksEndThroughTheSameNotices) {
    std::atomic<bool> saw_stop{false};
    encoder_.AddWorkTask(
        [](const std::atomic<bool>&, const std::function<void(double)>& progress) {
            progress(0.5);
            progress(1.0);
            return std::string();
        },
        4000000);
    encoder_.AddWorkTask(
        [](const std::atomic<bool>&, const std::function<void(double)>&) { return std::string("no room"); });
    encoder_.AddWorkTask([&](const std::atomic<bool>& stop, const std::function<void(double)>&) {
        while (!stop) std::this_thread::sleep_for(1ms);
        saw_stop = true;
        return std::string();
    });
    std::vector<std::pair<int64_t, int64_t>> positions;
    encoder_.OnProgress = [&](TObject*, PProgressInfo p) {
        if (p->TaskIndex == 0) positions.emplace_back(p->Position, p->Duration);
    };
    encoder_.StartTask(3);
    ASSERT_TRUE(drain_until([&] { return notices_.size() == 2; }));
    encoder_.Stop(true);
    ASSERT_TRUE(drain_until([&] { return final_seen(); }));
    ASSERT_EQ(notices_.size(), 4u);
    std::map<int, TTerminateInfo> by_task;
    for (const auto& n : notices_) by_task[n.TaskIndex] = n;
    EXPECT_TRUE(by_task[0].Completed);
    EXPECT_TRUE(by_task[1].Failed);
    EXPECT_EQ(by_task[1].ErrorText, "no room");
    EXPECT_FALSE(by_task[2].Completed || by_task[2].Failed);
    EXPECT_TRUE(saw_stop);
    EXPECT_EQ(positions, (std::vector<std::pair<int64_t, int64_t>>{{2000000, 4000000}, {4000000, 4000000}}));
}
