// The task's life: start (threaded or not), stop, terminate without run, the
// run's separately guarded steps and the termination notification.
//
// Threads: Start, Stop and TerminateWithoutRun are called by the owner's
// thread (normally the main thread); the run and every call-out happen on the
// worker (or on the caller's thread for unthreaded runs, or on a detached
// thread for tasks that never ran).
#include <filesystem>
#include <thread>

#include "engine/base/FFLog.h"
#include "transcoder/FFmpeg.h"

namespace sonorix {

TConvertThread::TConvertThread(TCustomFFmpeg* task, TThreadPriority priority) : task_(task), priority_(priority) {
    std::thread([this] { Execute(); }).detach();
}

void TConvertThread::Resume() {
    std::lock_guard lock(mutex_);
    resumed_ = true;
    cv_.notify_all();
}

void TConvertThread::Execute() {
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

TConvertThread* TCustomFFmpeg::Start(bool threaded, TThreadPriority priority) {
    if (running_ || terminated_) return nullptr;
    const char* missing = output_files.empty()  ? "At least one output file must be specified"
                          : input_files.empty() ? "At least one input file must be specified"
                                                : nullptr;
    if (missing) {
        free_everything();
        fail(missing);
        deliver_termination();
        return nullptr;
    }
    running_ = true;
    stop_requested = false;
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
    stop_requested = true;
    {
        std::lock_guard lock(worker_lock_);
        if (worker_) worker_->Resume();
    }
    // A wait from inside the run (a call-out of the task) would never end.
    if (wait && run_thread_.load() != std::this_thread::get_id()) WaitDraining(run_finished_);
}

void TCustomFFmpeg::TerminateWithoutRun(bool wait) {
    if (running_) {
        Stop(wait);
        return;
    }
    if (terminated_) return;
    // A task that never ran still holds the empty temporary output its
    // set-up opened: nothing may be left behind for it.
    discard_temp_outputs();
    terminate_delivered_.Reset();
    std::thread([this] {
        deliver_termination();
        terminate_delivered_.Set();
    }).detach();
    if (wait) WaitDraining(terminate_delivered_);
}

void TCustomFFmpeg::fail(const std::string& text) {
    log_message(this, llQuiet, text);
    failed_ = true;
    std::lock_guard lock(state_lock_);
    error_text_ = text;
}

void TCustomFFmpeg::guarded(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception& e) {
        fail(e.what());
    } catch (...) {
        fail("unknown error");
    }
}

void TCustomFFmpeg::run() {
    run_thread_ = std::this_thread::get_id();
    completed_ = false;
    guarded([&] { transcode(); });
    // Only this task's codecs: other tasks run at once.
    guarded([&] { close_codecs(); });
    guarded([&] { free_everything(); });
    run_thread_ = std::thread::id();
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

void TCustomFFmpeg::free_everything() {
    // Graphs first: a volumedetect graph logs its result when freed, and that
    // line must precede the termination notification.
    filtergraphs.clear();
    for (TOutputFile& of : output_files) {
        int64_t written = -1;
        if (of.ctx && of.ctx->pb) written = avio_size(of.ctx->pb);
        of.ctx.reset();  // closes the file before it is renamed or deleted
        if (of.temp_name.empty()) continue;
        std::error_code ec;
        if (written < 0) written = static_cast<int64_t>(std::filesystem::file_size(of.temp_name, ec));
        bool committed = false;
        if (completed_ && written > 0) {
            const std::string problem = commit_output(of);
            committed = problem.empty();
            if (!committed) {
                completed_ = false;
                fail(problem);
            }
        }
        if (!committed) std::filesystem::remove(of.temp_name, ec);
        of.temp_name.clear();
    }
    output_streams.clear();
    output_files.clear();
    input_files.clear();
    input_streams.clear();
    if (progress_avio) avio_closep(&progress_avio);
}

}  // namespace sonorix
