// Common roots of the engine's objects.
#pragma once

#include <chrono>
#include <cstdarg>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>

namespace sonorix {

// Every sender of an event or a log line is a TObject.
class TObject {
public:
    virtual ~TObject() = default;
};

// Raised for misuse of a component ("Cannot %s while working.", a second
// logger, an empty library set) and for the loader's "Library %s not loaded.".
class EEngineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TFFBaseComponent : public TObject {
public:
    static constexpr int kDefaultTimeout = 30000;  // milliseconds

    std::string About;
    const std::string& Version() const { return version_; }

    int ReadTimeout = kDefaultTimeout;
    int WriteTimeout = kDefaultTimeout;

private:
    std::string version_ = "5.3";
};

// An event that stays signalled until it is reset.
class ManualResetEvent {
public:
    explicit ManualResetEvent(bool signalled) : signalled_(signalled) {}
    void Set() {
        std::lock_guard lock(mutex_);
        signalled_ = true;
        cv_.notify_all();
    }
    void Reset() {
        std::lock_guard lock(mutex_);
        signalled_ = false;
    }
    bool IsSet() const {
        std::lock_guard lock(mutex_);
        return signalled_;
    }
    void Wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return signalled_; });
    }
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return signalled_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_;
};

// Waits for the event; on the main thread it keeps running the calls queued
// for it and the window's messages in 20 ms slices, so that a worker blocked
// on a main-thread event can finish.
void WaitDraining(ManualResetEvent& event);

// Worker thread priorities, as nice values from 10 (tpIdle) down to -15;
// best effort, since ordinary users may not raise priority.
enum TThreadPriority : int { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Applies the priority to the calling thread. Returns false when the system
// refused (the thread then keeps its priority).
bool ApplyThreadPriority(TThreadPriority priority);

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

// A small integer id of the calling thread (the kernel's thread id).
int CurrentThreadId();

}  // namespace sonorix
