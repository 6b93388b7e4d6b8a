// The task's life: start (threaded or not), stop, terminate without run, the
// run's separately guarded steps and the termination notification.
//
// Threads: Start, Stop and TerminateWithoutRun are called by the component's
// thread (normally the main thread); the run and every call-out happen on the
// worker (or on the caller's thread for unthreaded runs, or on a
// TDoTerminateThread for tasks that never ran).
#include "transcoder/FFmpeg.h"

#include <thread>

#include "engine/FFLog.h"

namespace sonorix {

// A worker created suspended; it deletes itself when its run is over.
class TConvertThread {
public:
    TConvertThread(TCustomFFmpeg* task, TThreadPriority priority) : task_(task), priority_(priority) {
        std::thread([this] { Execute(); }).detach();
    }
    void Resume() {
        std::lock_guard lock(mutex_);
        resumed_ = true;
        cv_.notify_all();
    }

private:
    void Execute() {
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return resumed_; });
        }
        ApplyThreadPriority(priority_);
        TCustomFFmpeg* task = task_;
        task->run();
        // Nothing of the task is touched after this: its owner may free it.
        ManualResetEvent& finished = task->run_finished_;
        delete this;
        finished.Set();
    }

    TCustomFFmpeg* task_;
    TThreadPriority priority_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool resumed_ = false;
};

TConvertThread* TCustomFFmpeg::Start(bool threaded, TThreadPriority priority) {
    if (running_ || terminated_) return nullptr;
    const char* missing = output_files.empty() ? "At least one output file must be specified"
                          : input_files.empty() ? "At least one input file must be specified"
                                                : nullptr;
    if (missing) {
        free_everything();
        log_message(this, llQuiet, missing);
        failed_ = true;
        error_text_ = missing;
        deliver_termination();
        return nullptr;
    }
    running_ = true;
    stop_requested_ = false;
    completed_ = false;
    terminated_ = false;
    if (!threaded) {
        run();
        return nullptr;
    }
    // Reset here, not in the worker: a Stop with wait right after Start must
    // not find the event still signalled from before.
    run_finished_.Reset();
    std::lock_guard lock(worker_lock_);
    worker_ = new TConvertThread(this, priority);
    return worker_;
}

void TCustomFFmpeg::Stop(bool wait) {
    stop_requested_ = true;
    {
        std::lock_guard lock(worker_lock_);
        if (worker_) worker_->Resume();
    }
    if (wait) WaitDraining(run_finished_);
}

void TCustomFFmpeg::TerminateWithoutRun(bool wait) {
    if (running_) {
        Stop(wait);
        return;
    }
    if (terminated_) return;
    terminate_delivered_.Reset();
    std::thread([this] {
        deliver_termination();
        terminate_delivered_.Set();
    }).detach();
    if (wait) WaitDraining(terminate_delivered_);
}

void TCustomFFmpeg::guarded(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception& e) {
        log_message(this, llQuiet, e.what());
        failed_ = true;
        error_text_ = e.what();
    } catch (...) {
        log_message(this, llQuiet, "unknown error");
        failed_ = true;
        error_text_ = "unknown error";
    }
}

void TCustomFFmpeg::run() {
    completed_ = false;
    guarded([&] { transcode(); });
    guarded([&] { close_open_encoders(); });
    guarded([&] { close_open_decoders(); });
    guarded([&] { free_everything(); });
    guarded([&] { deliver_termination(); });
}

void TCustomFFmpeg::deliver_termination() {
    running_ = false;
    terminated_ = true;
    {
        std::lock_guard lock(worker_lock_);
        worker_ = nullptr;
    }
    if (OnTerminate) OnTerminate(this);
}

}  // namespace sonorix
