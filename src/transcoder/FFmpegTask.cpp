// The task's life: start (threaded or not), stop, terminate without run, the
// run's separately guarded steps and the termination notification.
//
// Threads: Start, Stop and TerminateWithoutRun are called by the owner's
// thread (normally the main thread); the run and every call-out happen on the
// worker (or on the caller's thread for unthreaded runs, or on a detached
// thread for tasks that never ran).
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "base/FFLog.h"
#include "base/MainThreadQueue.h"
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
    // A deferred set-up opens the files on the worker: checked there.
    const char* missing = setup_deferred() || Work ? nullptr
                          : output_files.empty()   ? "At least one output file must be specified"
                          : input_files.empty()    ? "At least one input file must be specified"
                                                   : nullptr;
    TConvertThread* worker = nullptr;
    {
        std::lock_guard lock(life_lock_);
        // Running, ended, or stopped before it ran: the notice is claimed.
        if (termination_claimed_) return nullptr;
        termination_claimed_ = true;
        if (!missing) {
            running_ = true;
            stop_requested = false;
            completed_ = false;
            terminated_ = false;
            if (threaded) {
                // Reset here, not in the worker: a Stop with wait right after
                // Start must not find the event still signalled from before.
                run_finished_.Reset();
                worker = worker_ = new TConvertThread(this, priority);
            }
        }
    }
    if (missing) {
        before_inputs_freed();
        free_everything();
        fail(missing);
        deliver_termination();
        return nullptr;
    }
    if (!threaded) run();
    return worker;
}

void TCustomFFmpeg::request_stop() {
    stop_requested = true;
    std::lock_guard lock(life_lock_);
    if (worker_) worker_->Resume();
}

void TCustomFFmpeg::Stop(bool wait) {
    request_stop();
    if (!wait || run_thread_.load() == std::this_thread::get_id()) return;
    // A handler that a worker waits for returns before that worker can end;
    // the stop is requested and the worker ends after the handler.
    if (MainThreadQueue::InBlockingCall()) return;
    WaitDraining(run_finished_);
}

void TCustomFFmpeg::WaitForEnd() {
    request_stop();
    if (run_thread_.load() == std::this_thread::get_id()) return;  // freed from inside its own run
    WaitDraining(run_finished_);
    WaitDraining(terminate_delivered_);
}

void TCustomFFmpeg::TerminateWithoutRun(bool wait) {
    bool claimed = false;
    {
        std::lock_guard lock(life_lock_);
        if (!termination_claimed_) {
            termination_claimed_ = claimed = true;
            terminate_delivered_.Reset();
        }
    }
    if (!claimed) {
        // Running, or its one notice is on its way or delivered.
        Stop(wait);
        if (wait) WaitDraining(terminate_delivered_);
        return;
    }
    // A task that never ran still holds the empty temporary output its
    // set-up opened: nothing may be left behind for it.
    discard_temp_outputs();
    std::thread([this] {
        deliver_termination();
        terminate_delivered_.Set();
    }).detach();
    if (wait) WaitDraining(terminate_delivered_);
}

void TCustomFFmpeg::fail(const std::string& text) {
    // What goes wrong once a stop was asked for is the stop's doing (an
    // open interrupted, a filter graph left half made): the task was
    // stopped, it did not fail.
    if (stop_requested.load()) {
        log_message(this, llInfo, text);
        return;
    }
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
    bool ready = true;
    if (setup_deferred()) {
        std::string problem = "unknown error";
        guarded([&] { problem = run_deferred_setup(); });
        if (problem.empty()) {
            problem = output_files.empty()  ? "At least one output file must be specified"
                      : input_files.empty() ? "At least one input file must be specified"
                                            : "";
        }
        ready = problem.empty();
        if (!ready && !failed_) fail(problem);
    }
    if (ready) guarded([&] { Work ? run_work() : transcode(); });
    // Only this task's codecs: other tasks run at once.
    guarded([&] { close_codecs(); });
    guarded([&] { before_inputs_freed(); });
    guarded([&] { free_everything(); });
    run_thread_ = std::thread::id();
    guarded([&] { deliver_termination(); });
}

void TCustomFFmpeg::run_work() {
    // Without a known duration the share is told as a position in a second.
    const int64_t duration = WorkDuration > 0 ? WorkDuration : 1000000;
    int64_t last = INT64_MIN;
    const std::string problem = Work(stop_requested, [&](double share) {
        const int64_t now = av_gettime_relative();
        if (share < 1 && last != INT64_MIN && now - last < ProgressIntervalUs) return;
        last = now;
        const auto position =
            static_cast<int64_t>(std::llround(std::clamp(share, 0.0, 1.0) * static_cast<double>(duration)));
        if (OnProgress) OnProgress(this, 0, -1, 0, -1, -1, 0, position, duration);
    });
    if (!problem.empty() && !stop_requested) fail(problem);
    completed_ = problem.empty() && !stop_requested;
}

void TCustomFFmpeg::deliver_termination() {
    {
        std::lock_guard lock(life_lock_);
        running_ = false;
        terminated_ = true;
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
    // Emptied and their storage returned: a long list keeps nothing per
    // ended task but what its owner reads (names, options, the result).
    std::vector<std::unique_ptr<TOutputStream>>().swap(output_streams);
    std::vector<TOutputFile>().swap(output_files);
    std::vector<TInputFile>().swap(input_files);
    std::vector<std::unique_ptr<TInputStream>>().swap(input_streams);
    std::vector<std::unique_ptr<TFilterGraph>>().swap(filtergraphs);
    std::vector<char>().swap(loop_.input_eagain);
    loop_.reap_frame.reset();
    loop_.discarded_packet.reset();
    if (options_.progress_avio) avio_closep(&options_.progress_avio);
}

}  // namespace sonorix
