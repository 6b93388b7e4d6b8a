#include "base/MainThreadQueue.h"
#include "support/drain.h"
#include "base/FFBase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sched.h>
#include <sys/resource.h>

using namespace sonorix;
using namespace std::chrono_literals;
using sonorix::test::drain_until;

// Workers may reach the queue before the main thread does (a run started and
// stopped without waiting): the first user must not become the main thread,
// or a worker's Send runs its handler beside the main thread's.
TEST(MainThreadQueue, AWorkerThatUsesTheQueueFirstIsNotTheMainThread) {
    bool worker_was_main = true;
    std::thread([&] { worker_was_main = MainThreadQueue::Instance().IsMainThread(); }).join();
    EXPECT_FALSE(worker_was_main);
    EXPECT_TRUE(MainThreadQueue::Instance().IsMainThread());
}

TEST(MainThreadQueue, PostsFromWorkersKeepTheirOrderAndRunOnTheMainThread) {
    auto& q = MainThreadQueue::Instance();
    q.SetMainThread();
    const auto main_id = std::this_thread::get_id();
    std::vector<std::vector<int>> seen(3);
    std::atomic<int> wrong_thread{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < 500; ++i) {
                q.Post([&, w, i] {
                    if (std::this_thread::get_id() != main_id) ++wrong_thread;
                    seen[static_cast<size_t>(w)].push_back(i);
                });
            }
        });
    }
    for (auto& t : workers) t.join();
    ASSERT_TRUE(drain_until([&] { return q.Pending() == 0; }));
    EXPECT_EQ(wrong_thread, 0);
    for (const auto& s : seen) {
        ASSERT_EQ(s.size(), 500u);
        for (int i = 0; i < 500; ++i) EXPECT_EQ(s[static_cast<size_t>(i)], i);
    }
}

TEST(MainThreadQueue, SendWaitsForTheMainThreadAndKeepsFifoWithPosts) {
    auto& q = MainThreadQueue::Instance();
    q.SetMainThread();
    std::vector<std::string> order;
    std::atomic<bool> send_returned{false};
    std::thread worker([&] {
        q.Post([&] { order.push_back("log line"); });
        q.Send([&] { order.push_back("terminate"); });
        send_returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(send_returned) << "Send must wait until the main thread ran the call";
    ASSERT_TRUE(drain_until([&] { return send_returned.load(); }));
    worker.join();
    EXPECT_EQ(order, (std::vector<std::string>{"log line", "terminate"}));
}

TEST(MainThreadQueue, SendOnTheMainThreadRunsInlineAndPostIsDeferred) {
    auto& q = MainThreadQueue::Instance();
    q.SetMainThread();
    int ran = 0;
    q.Send([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    q.Post([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(q.Drain(), 1);
    EXPECT_EQ(ran, 2);
}

TEST(MainThreadQueue, ExceptionOfASentCallReachesTheSenderNotTheMainLoop) {
    auto& q = MainThreadQueue::Instance();
    q.SetMainThread();
    std::string caught;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            q.Send([] { throw std::runtime_error("handler failed"); });
        } catch (const std::exception& e) {
            caught = e.what();
        }
        done = true;
    });
    ASSERT_TRUE(drain_until([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(caught, "handler failed");
    // A throwing posted call does not stop the ones after it.
    int after = 0;
    q.Post([] { throw std::runtime_error("lost"); });
    q.Post([&] { ++after; });
    q.Drain();
    EXPECT_EQ(after, 1);
}

TEST(MainThreadQueue, WakeUpHookFiresForEveryQueuedCall) {
    auto& q = MainThreadQueue::Instance();
    q.SetMainThread();
    std::atomic<int> wakes{0};
    q.SetWakeUpHook([&] { ++wakes; });
    std::thread([&] { q.Post([] {}); }).join();
    q.Post([] {});
    q.SetWakeUpHook(nullptr);
    EXPECT_EQ(wakes, 2);
    q.Drain();
}

TEST(WaitDraining, MainThreadKeepsQueuedCallsFlowingWhileItWaits) {
    auto& q = MainThreadQueue::Instance();
    q.SetMainThread();
    ManualResetEvent finished(false);
    bool handler_ran = false;
    // The worker blocks in a main-thread call before it can signal its end.
    std::thread worker([&] {
        q.Send([&] { handler_ran = true; });
        finished.Set();
    });
    WaitDraining(finished);
    worker.join();
    EXPECT_TRUE(handler_ran);
    // Off the main thread it is a plain wait.
    ManualResetEvent other(false);
    std::thread setter([&] { other.Set(); });
    std::thread waiter([&] { WaitDraining(other); });
    setter.join();
    waiter.join();
    EXPECT_TRUE(other.IsSet());
}

// The idle class starves a measurement beside any busy process: a worker at
// tpIdle must stay in the ordinary class with a high nice value.
TEST(ThreadPriority, IdleIsAHighNiceValueNotTheIdleClass) {
    std::thread([] {
        ASSERT_TRUE(ApplyThreadPriority(tpIdle));
        EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId())), 10);
    }).join();
}
