// Which task of an encoder a worker's log line belongs to, when several tasks
// run at once: lines carry only the worker's thread id.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>

namespace sonorix {

class TCustomEncoder;

class TaskLogRouter {
public:
    using Clock = std::chrono::steady_clock;
    // Installs the encoder's OnAudioInputHook: the tasks must be set up with
    // AudioInputHook. started runs on the main thread when a task's first
    // audio arrives.
    explicit TaskLogRouter(TCustomEncoder& encoder, std::function<void(int task, Clock::time_point)> started = {});
    ~TaskLogRouter();
    TaskLogRouter(const TaskLogRouter&) = delete;
    TaskLogRouter& operator=(const TaskLogRouter&) = delete;

    // The task a line logged by thread belongs to; -1 for none. Main thread.
    int task_of(int thread) const;

private:
    TCustomEncoder& encoder_;
    std::function<void(int, Clock::time_point)> started_;
    // Thread ids are reused by later workers, so the binding is made on the
    // main thread, in order with the log lines the workers post there: an
    // ended task's last lines still find it, a new task's lines the new one.
    std::map<int, int> task_of_thread_;  // main thread only
    std::mutex bound_lock_;
    std::set<int> bound_tasks_;  // worker side: a task's first hook call posts its binding
};

}  // namespace sonorix
