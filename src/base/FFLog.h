// Log capture: every library log line and every engine message passes through
// the one logger of the process, is filtered by level and handed, as whole
// lines, to OnLog and optionally to a log file.
//
// Threads: the library callback runs on whatever thread the libraries log
// from. With TriggerEventInMainThread, OnLog runs on the main thread through
// the engine's main-thread queue; a worker only posts the line and never waits
// for the main thread while it holds a logger lock.
#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <memory>
#include <string>

#include "base/FFBase.h"

namespace sonorix {

enum TLogLevel : int { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

using TLogEvent = std::function<void(TObject* Sender, int AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg)>;

// Level mapping between the libraries' numbers and TLogLevel.
TLogLevel LibraryLevelToLogLevel(int library_level);
int LogLevelToLibraryLevel(TLogLevel level);
const char* LogLevelName(TLogLevel level);

struct TLogInfo {
    TObject* Sender = nullptr;
    int ThreadID = 0;
    TLogLevel LogLevel = llInfo;
    std::string LogMsg;
};

class TFFLogger : public TFFBaseComponent {
public:
    // Becomes the current logger of the process; a second live instance
    // raises "Allow creating only one instance of TFFLogger.".
    TFFLogger();
    ~TFFLogger() override;
    TFFLogger(const TFFLogger&) = delete;
    TFFLogger& operator=(const TFFLogger&) = delete;

    bool Active() const { return active_; }
    void SetActive(bool value);

    TLogLevel LogLevel() const { return level_.load(); }
    void SetLogLevel(TLogLevel value);

    // Shared by every instance: there is one log file per process.
    std::string LogFile() const;
    void SetLogFile(const std::string& value);
    bool LogToFile() const;
    void SetLogToFile(bool value);

    bool TriggerEventInMainThread() const { return trigger_in_main_.load(); }
    void SetTriggerEventInMainThread(bool value) { trigger_in_main_ = value; }

    const TLogEvent& OnLog() const { return on_log_; }
    void SetOnLog(TLogEvent handler);

    bool Muted() const { return muted_.load(); }

    // The logger that receives everything; created privately (muted) on
    // demand when no form owns one.
    static TFFLogger& Current();

    // Called by the loader once the utility library is in place.
    static void HookLibraryLog();
    static void UnhookLibraryLog();

    // Internal: deliver one complete line.
    void Deliver(TObject* sender, int thread_id, TLogLevel level, const std::string& text);

private:
    struct PrivateTag {};
    explicit TFFLogger(PrivateTag);
    void RecomputeMuted();
    void Publish();

    bool active_ = true;
    std::atomic<TLogLevel> level_{llInfo};
    std::atomic<bool> trigger_in_main_{true};
    std::atomic<bool> muted_{true};
    TLogEvent on_log_;
    TLogInfo current_line_;
    bool private_ = false;
    // Calls queued for the main thread check this before touching the logger.
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

// Engine messages. Both return at once, before any lock, when the logger is
// muted or level is more detailed than its LogLevel.
void log_message(TObject* sender, TLogLevel level, const std::string& text);
void log_format(TObject* sender, TLogLevel level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// While one lives, the calling thread's log lines (the libraries' and the
// engine's) are dropped: a helper thread that belongs to no task (the list's
// probe) posts nothing to the main thread. Nests.
class ThreadLogSilence {
public:
    ThreadLogSilence();
    ~ThreadLogSilence();
    ThreadLogSilence(const ThreadLogSilence&) = delete;
    ThreadLogSilence& operator=(const ThreadLogSilence&) = delete;
};

// The last error line the libraries logged on the calling thread since the
// last clear, as "name: message" (the logging object's class name, without
// its address); empty when none. Kept whether or not the logger delivers
// lines, so that a failed step can say in the libraries' words what to change.
std::string LastLibraryError();
void ClearLastLibraryError();

// The library callback (installed by HookLibraryLog); exposed for tests.
void library_log_callback(void* avcl, int level, const char* fmt, va_list args);

}  // namespace sonorix
