#include "base/FFBase.h"

#include "base/MainThreadQueue.h"

#include <cstdarg>
#include <cstdio>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace sonorix {

std::string FormatV(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (needed > 0) {
        std::vector<char> buf(static_cast<size_t>(needed) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, args);
        out.assign(buf.data(), static_cast<size_t>(needed));
    }
    return out;
}

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = FormatV(fmt, args);
    va_end(args);
    return out;
}

void WaitDraining(ManualResetEvent& event) {
    MainThreadQueue& queue = MainThreadQueue::Instance();
    if (!queue.IsMainThread()) {
        event.Wait();
        return;
    }
    while (!event.WaitFor(std::chrono::milliseconds(20))) {
        queue.Drain();
        queue.ProcessMessages();
    }
}

bool ApplyThreadPriority(TThreadPriority priority) {
    // Nice values only, per thread (Linux applies setpriority to a thread
    // id). The idle class is not used: beside any ordinary process it gets
    // almost no time and is never boosted, so a measurement at tpIdle stood
    // still while a compiler ran; nice 10 keeps it behind the user's work
    // and moving.
    static const int kNice[] = {10, 8, 5, 0, -5, -10, -15};
    return setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), kNice[priority]) == 0;
}

int CurrentThreadId() {
    thread_local const int id = static_cast<int>(::syscall(SYS_gettid));
    return id;
}

}  // namespace sonorix
