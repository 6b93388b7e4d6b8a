// The lives of tasks and components under frees, repeated stops, stops from
// inside handlers and handlers cleared while workers run. Every scenario runs
// in a forked child with a watchdog: a deadlock or a sanitizer report fails.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFEncode.h"
#include "engine/private/encoder_task.h"
#include "base/FFLoad.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"
#include "support/child_watchdog.h"
#include "support/drain.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
using namespace std::chrono_literals;
using sonorix::test::drain_until;
using sonorix::test::run_in_child;

namespace {

constexpr const char* kNullOutput = "/dev/null";
// Every scenario ends within seconds; a run that takes this long is stuck.
constexpr std::chrono::seconds kLimit{30};

class LifetimeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
        dir_ = new test::TempDir("sonorix-lifetime");
        test::MediaSpec media;
        media.duration_seconds = 1.0;
        test::make_media(*dir_ / "short.wav", media);
        media.duration_seconds = 30.0;
        test::make_media(*dir_ / "long.wav", media);
        media.duration_seconds = 2.0;
        media.video = true;
        media.width = 160;
        media.height = 120;
        test::make_media(*dir_ / "clip.avi", media);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string file(const char* name) { return (*dir_ / name).string(); }

    // A measurement of a source; a slow one reads at the input's own rate.
    static void add_measure(TCustomEncoder& encoder, const char* source, bool slow,
                            const TOutputOptions* hooks = nullptr) {
        TInputOptions in;
        if (slow) in.Options = "-re";
        const int task = encoder.AddTask(file(source), &in);
        ASSERT_GE(task, 0) << encoder.LastErrorMessage();
        TOutputOptions out = hooks ? *hooks : TOutputOptions();
        out.Options = " -af \"volumedetect\" -f null -vn";
        ASSERT_GE(encoder.SetOutput(task, kNullOutput, &out), 0) << encoder.LastErrorMessage();
    }

    // Exactly one notice per task and the final notice last.
    static void expect_one_notice_each(const std::vector<TTerminateInfo>& notices, int tasks) {
        ASSERT_EQ(notices.size(), static_cast<size_t>(tasks) + 1);
        std::vector<int> seen(static_cast<size_t>(tasks), 0);
        for (size_t i = 0; i + 1 < notices.size(); ++i) ++seen.at(static_cast<size_t>(notices[i].TaskIndex));
        for (int i = 0; i < tasks; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], 1) << "task " << i;
        EXPECT_EQ(notices.back().TaskIndex, -1);
    }

    static test::TempDir* dir_;
};

test::TempDir* LifetimeTest::dir_ = nullptr;

bool final_seen(const std::vector<TTerminateInfo>& notices) {
    return !notices.empty() && notices.back().TaskIndex == -1;
}

// The window closes while a video hook of a running task sleeps: the
// component's end waits for the worker before the bitmap it draws on goes.
TEST_F(LifetimeTest, FreeingTheComponentWaitsForTheWorkerBeforeFreeingWhatItUses) {
    auto scenario = [&] {
        auto encoder = std::make_unique<TFFEncoder>();
        std::atomic<bool> in_hook{false}, hook_returned{false};
        encoder->OnVideoInputHook = [&](TObject*, PHookInfo info) {
            in_hook = true;
            std::this_thread::sleep_for(300ms);
            for (auto& byte : info->Bitmap->Pixels) byte = static_cast<uint8_t>(~byte);
            hook_returned = true;
        };
        TInputOptions in;
        ASSERT_EQ(encoder->AddTask(file("clip.avi"), &in), 0) << encoder->LastErrorMessage();
        TOutputOptions out;
        out.Options = " -an -f null";
        out.VideoInputHook = true;
        ASSERT_EQ(encoder->SetOutput(0, kNullOutput, &out), 0) << encoder->LastErrorMessage();
        encoder->StartTask(1);
        ASSERT_TRUE(drain_until([&] { return in_hook.load(); }));
        encoder.reset();
        EXPECT_TRUE(hook_returned);
    };
    EXPECT_EQ(run_in_child(scenario, kLimit), "");
}

// Two stops without wait before the stopped tasks' notices went out: one
// notice per task, and the final notice only once no task runs. With the
// set-up deferred, a stop lands while the first task opens its input: it
// ends stopped, not failed with the interrupted open's error.
TEST_F(LifetimeTest, RepeatedStopsGiveOneNoticePerTask) {
    for (const bool deferred : {false, true}) {
        auto scenario = [&] {
            constexpr int kTasks = 12;
            TFFEncoder encoder;
            encoder.DeferSetup = deferred;
            std::vector<TTerminateInfo> notices;
            bool running_at_final = false;
            encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
                notices.push_back(info);
                if (info.TaskIndex >= 0) return;
                for (int i = 0; i < encoder.TasksCount(); ++i) running_at_final |= encoder.Task(i)->Running();
            };
            add_measure(encoder, "long.wav", true);
            for (int i = 1; i < kTasks; ++i) add_measure(encoder, "short.wav", false);
            encoder.StartTask(1);
            encoder.Stop(false);
            encoder.Stop(false);
            ASSERT_TRUE(drain_until([&] { return final_seen(notices); }));
            drain_until([] { return false; }, 100ms);
            EXPECT_FALSE(running_at_final);
            expect_one_notice_each(notices, kTasks);
            for (const auto& n : notices) {
                EXPECT_TRUE(n.TaskIndex < 0 || !n.Completed) << n.TaskIndex;
                EXPECT_FALSE(n.Failed) << n.TaskIndex << ": " << n.ErrorText;
            }
        };
        EXPECT_EQ(run_in_child(scenario, kLimit), "") << deferred;
    }
}

// Stop with wait called from inside OnProgress, OnTerminate and OnLog, in a
// threaded and in an unthreaded run: it returns, and the tasks end stopped.
TEST_F(LifetimeTest, StopWithWaitFromInsideAHandlerReturnsAndStopsTheRun) {
    enum Handler { kProgress, kTerminate, kLog };
    struct Case {
        Handler handler;
        bool threaded;
        const char* name;
    };
    const Case cases[] = {
        {kProgress, true, "progress, threaded"},
        {kProgress, false, "progress, unthreaded"},
        {kTerminate, true, "terminate, threaded"},
        {kTerminate, false, "terminate, unthreaded"},
        {kLog, true, "log, threaded"},
        {kLog, false, "log, unthreaded"},
    };
    for (const Case& c : cases) {
        auto scenario = [&] {
            TFFLogger logger;
            TFFEncoder encoder;
            encoder.SetProgressInterval(100);
            std::vector<TTerminateInfo> notices;
            bool armed = false, stop_returned = false;
            auto stop_once = [&] {
                if (!armed) return;
                armed = false;
                encoder.Stop(true);
                stop_returned = true;
            };
            encoder.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
                notices.push_back(info);
                if (c.handler == kTerminate && info.TaskIndex >= 0) stop_once();
            };
            if (c.handler == kProgress) encoder.OnProgress = [&](TObject*, PProgressInfo) { stop_once(); };
            if (c.handler == kLog) logger.SetOnLog([&](TObject*, int, TLogLevel, const std::string&) { stop_once(); });
            // The first task ends by itself when the stop comes from its notice.
            add_measure(encoder, c.handler == kTerminate ? "short.wav" : "long.wav", c.handler != kTerminate);
            add_measure(encoder, "long.wav", true);
            add_measure(encoder, "long.wav", true);
            armed = true;
            encoder.StartTask(c.threaded ? 1 : 0);
            ASSERT_TRUE(drain_until([&] { return final_seen(notices); }));
            EXPECT_TRUE(stop_returned);
            expect_one_notice_each(notices, 3);
            for (const auto& n : notices) {
                if (n.TaskIndex < 0) continue;
                EXPECT_FALSE(n.Failed) << n.TaskIndex << ": " << n.ErrorText;
                EXPECT_EQ(n.Completed, c.handler == kTerminate && n.TaskIndex == 0) << n.TaskIndex;
            }
        };
        EXPECT_EQ(run_in_child(scenario, kLimit), "") << c.name;
    }
}

// The probes of a task describe its opened inputs; when the run (or a start
// that fails) frees them, the probes forget them instead of pointing at them.
TEST_F(LifetimeTest, ATasksProbesForgetTheInputsItsEndFrees) {
    for (const bool with_output : {true, false}) {
        auto scenario = [&] {
            TFFEncoder encoder;
            ASSERT_EQ(encoder.AddTask(file("short.wav")), 0) << encoder.LastErrorMessage();
            if (with_output) {
                TOutputOptions out;
                out.Options = " -f null";
                ASSERT_EQ(encoder.SetOutput(0, kNullOutput, &out), 0) << encoder.LastErrorMessage();
            }
            TFFDecoder& probe = encoder.Task(0)->InputProbe(0);
            ASSERT_NE(probe.FormatContext(), nullptr);
            EXPECT_EQ(probe.StreamCount, 1);
            encoder.StartTask(0);
            EXPECT_EQ(encoder.Task(0)->Failed(), !with_output);
            EXPECT_EQ(probe.FormatContext(), nullptr);
            EXPECT_EQ(probe.StreamCount, -1);
            EXPECT_EQ(probe.GetInfoText(), "");
        };
        EXPECT_EQ(run_in_child(scenario, kLimit), "") << (with_output ? "after a run" : "after a failed start");
    }
}

// The window clears its handlers on close while workers still raise events
// and hooks: setting and clearing them races with nothing.
TEST_F(LifetimeTest, HandlersMayBeClearedWhileWorkersRaiseEvents) {
    auto scenario = [&] {
        TFFEncoder encoder;
        encoder.SetProgressInterval(100);
        std::atomic<int> calls{0};
        TOutputOptions hooks;
        hooks.AudioInputHook = true;
        for (int i = 0; i < 3; ++i) add_measure(encoder, "long.wav", false, &hooks);
        encoder.StartTask(3);
        // Until the handlers have been called a few times, or the tasks ended.
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (calls < 20 && !encoder.AllTerminated() && std::chrono::steady_clock::now() < end) {
            encoder.OnAudioInputHook = [&](TObject*, int, int64_t, uint8_t*, int, int, int, AVSampleFormat) {
                ++calls;
            };
            encoder.OnProgress = [&](TObject*, PProgressInfo) { ++calls; };
            encoder.OnTerminate = [&](TObject*, const TTerminateInfo&) { ++calls; };
            // Set for a moment: on a busy machine the workers may otherwise
            // never find them set.
            std::this_thread::sleep_for(1ms);
            MainThreadQueue::Instance().Drain();
            encoder.OnAudioInputHook = nullptr;
            encoder.OnProgress = nullptr;
            encoder.OnTerminate = nullptr;
        }
        encoder.Stop(true);
        EXPECT_TRUE(drain_until([&] { return encoder.AllTerminated(); }));
        EXPECT_GT(calls, 0);
    };
    EXPECT_EQ(run_in_child(scenario, kLimit), "");
}

}  // namespace
