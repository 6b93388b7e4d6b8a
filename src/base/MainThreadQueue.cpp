#include "base/MainThreadQueue.h"

#include <exception>
#include <memory>

#include <unistd.h>

namespace sonorix {

namespace {

// Calls the main thread is running for a waiting sender, nested.
thread_local int blocking_depth = 0;

}  // namespace

bool MainThreadQueue::InBlockingCall() { return blocking_depth > 0; }

MainThreadQueue& MainThreadQueue::Instance() {
    static MainThreadQueue queue;
    return queue;
}

MainThreadQueue::MainThreadQueue() = default;

void MainThreadQueue::SetMainThread(std::thread::id id) {
    std::lock_guard lock(mutex_);
    main_thread_ = id;
}

bool MainThreadQueue::IsMainThread() const {
    std::lock_guard lock(mutex_);
    if (main_thread_ == std::thread::id()) return gettid() == getpid();  // also in a forked child
    return std::this_thread::get_id() == main_thread_;
}

void MainThreadQueue::Post(std::function<void()> fn) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(fn));
        wake = wake_up_;
    }
    arrived_.notify_all();
    if (wake) wake();
}

void MainThreadQueue::Send(std::function<void()> fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        std::exception_ptr error;
    };
    auto waiter = std::make_shared<Waiter>();
    Post([waiter, fn = std::move(fn)] {
        ++blocking_depth;
        try {
            fn();
        } catch (...) {
            waiter->error = std::current_exception();
        }
        --blocking_depth;
        std::lock_guard lock(waiter->mutex);
        waiter->done = true;
        waiter->done_cv.notify_all();
    });
    std::unique_lock lock(waiter->mutex);
    waiter->done_cv.wait(lock, [&] { return waiter->done; });
    if (waiter->error) std::rethrow_exception(waiter->error);
}

void MainThreadQueue::Raise(bool on_main_thread, std::function<void()> fn) {
    if (on_main_thread) {
        Send(std::move(fn));
    } else {
        fn();
    }
}

int MainThreadQueue::Drain() {
    // Only what is pending now: a call that posts another does not starve the
    // caller's own loop.
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(calls_);
    }
    int ran = 0;
    while (!batch.empty()) {
        auto fn = std::move(batch.front());
        batch.pop_front();
        try {
            fn();
        } catch (...) {
            // A posted call has nobody to report to; Send() wraps its own.
        }
        ++ran;
    }
    return ran;
}

int MainThreadQueue::WaitAndDrain(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, timeout, [&] { return !calls_.empty(); });
    }
    return Drain();
}

size_t MainThreadQueue::Pending() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

void MainThreadQueue::SetWakeUpHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    wake_up_ = std::move(hook);
}

void MainThreadQueue::SetProcessMessagesHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    process_messages_ = std::move(hook);
}

void MainThreadQueue::ProcessMessages() {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        hook = process_messages_;
    }
    if (hook) hook();
}

}  // namespace sonorix
