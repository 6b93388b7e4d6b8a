#include "workflow/task_log.h"

#include "engine/FFEncode.h"
#include "base/MainThreadQueue.h"

namespace sonorix {

TaskLogRouter::TaskLogRouter(TCustomEncoder& encoder, std::function<void(int, Clock::time_point)> started)
    : encoder_(encoder), started_(std::move(started)) {
    encoder_.OnAudioInputHook = [this](TObject*, int task, int64_t, uint8_t*, int, int, int, AVSampleFormat) {
        {
            std::lock_guard lock(bound_lock_);
            if (!bound_tasks_.insert(task).second) return;
        }
        const int thread = CurrentThreadId();
        const auto start = Clock::now();
        MainThreadQueue::Instance().Post([this, thread, task, start] {
            task_of_thread_.insert_or_assign(thread, task);
            if (started_) started_(task, start);
        });
    };
}

TaskLogRouter::~TaskLogRouter() { encoder_.OnAudioInputHook = nullptr; }

int TaskLogRouter::task_of(int thread) const {
    const auto it = task_of_thread_.find(thread);
    return it == task_of_thread_.end() ? -1 : it->second;
}

}  // namespace sonorix
