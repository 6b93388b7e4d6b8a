// The engine's FIFO of calls to run on the main thread.
//
// Workers never touch the UI. They either post a call and go on (log lines,
// so that a worker holding a logger lock never waits on the main thread) or
// send one and wait until the main thread has run it (progress, termination).
// Both kinds share one FIFO, so a task's last log line is always run before
// the task's termination event. The main thread runs pending calls in Drain():
// the Qt app calls it when the wake-up hook fires; the CLI and tests call it
// from their own loops; a main thread that waits for workers must keep
// draining.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sonorix {

class MainThreadQueue {
public:
    static MainThreadQueue& Instance();

    // The thread that runs the window (or the CLI's loop). Until it is set,
    // the process's initial thread: not whichever thread used the queue
    // first, which may be a worker of a run started and stopped at once.
    void SetMainThread(std::thread::id id = std::this_thread::get_id());
    bool IsMainThread() const;

    // Queue fn and return at once. On the main thread it is still queued, so
    // the order with calls posted by workers is kept.
    void Post(std::function<void()> fn);

    // Run fn on the main thread and wait for it; runs inline on the main
    // thread. An exception thrown by fn is rethrown here.
    void Send(std::function<void()> fn);

    // An event handler: sent to the main thread when on_main_thread, else
    // run right here.
    void Raise(bool on_main_thread, std::function<void()> fn);

    // True while the calling thread runs a call that its sender waits for (a
    // handler raised by a worker). A wait for workers in there could wait for
    // that very sender, or for a thread blocked behind a lock it holds.
    static bool InBlockingCall();

    // Run every call pending now (CheckSynchronize). Returns how many ran.
    int Drain();

    // Wait up to timeout for a call to arrive, then drain. Returns how many ran.
    int WaitAndDrain(std::chrono::milliseconds timeout);

    size_t Pending() const;

    // Called (from any thread) after a call was queued, so an event loop can
    // schedule a Drain().
    void SetWakeUpHook(std::function<void()> hook);

    // Called by waits on the main thread (Stop with wait) between drains, so
    // the window keeps processing its messages.
    void SetProcessMessagesHook(std::function<void()> hook);
    void ProcessMessages();

private:
    MainThreadQueue();

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::function<void()>> calls_;
    std::thread::id main_thread_;  // none: the process's initial thread
    std::function<void()> wake_up_;
    std::function<void()> process_messages_;
};

}  // namespace sonorix
