#include "base/FFLog.h"

#include <sys/file.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "base/MainThreadQueue.h"
#include "base/libav.h"

namespace sonorix {

namespace {

// Process-wide state. Never destroyed: library threads may still log while
// static destructors run.
struct LogState {
    std::mutex callback_lock;  // partial lines and repeat state
    std::mutex delivery_lock;  // current line, event call and log file; taken after callback_lock
    std::mutex slot_lock;      // the current-logger slot

    TFFLogger* current = nullptr;
    TFFLogger* private_logger = nullptr;

    // Fast-path copies of the current logger's filter, read without locks.
    std::atomic<bool> muted{true};
    std::atomic<int> level{llInfo};

    std::atomic<int> library_level{32};
    std::atomic<bool> hooked{false};

    std::string log_file;
    bool log_to_file = false;
    FILE* log_stream = nullptr;

    std::string last_library_text;
    int repeat_count = 0;
    std::unordered_map<int, std::string> partial_lines;
};

LogState& state() {
    static LogState* s = new LogState;
    return *s;
}

void close_log_stream(LogState& s) {
    if (s.log_stream) {
        std::fclose(s.log_stream);
        s.log_stream = nullptr;
    }
}

// Caller holds the delivery lock.
void write_log_file(LogState& s, int thread_id, TLogLevel level, const std::string& text) {
    if (!s.log_to_file || s.log_file.empty()) return;
    if (!s.log_stream) {
        s.log_stream = std::fopen(s.log_file.c_str(), "ab");
        if (!s.log_stream) return;
        // Other writers are kept out while the logger holds the file.
        flock(fileno(s.log_stream), LOCK_EX | LOCK_NB);
    }
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const int millis =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&secs, &local);
    std::fprintf(s.log_stream, "%.2d:%.2d:%.2d %.3d [%.8x] %s: %s\r\n", local.tm_hour, local.tm_min, local.tm_sec,
                 millis, static_cast<unsigned>(thread_id), LogLevelName(level), text.c_str());
    std::fflush(s.log_stream);
}

// Builds "[name @ %p] " for the object that logged and, when its class names
// one, for its parent context first.
std::string context_prefix(void* avcl) {
    std::string prefix;
    const AVClass* avc = *static_cast<const AVClass**>(avcl);
    if (!avc) return prefix;
    if (avc->parent_log_context_offset) {
        auto** parent =
            *reinterpret_cast<const AVClass***>(static_cast<uint8_t*>(avcl) + avc->parent_log_context_offset);
        if (parent && *parent) {
            prefix += Format("[%s @ %p] ", (*parent)->item_name(parent), static_cast<void*>(parent));
        }
    }
    prefix += Format("[%s @ %p] ", avc->item_name(avcl), avcl);
    return prefix;
}

// Formats into a 2048-byte buffer, or into a heap buffer growing by 2048 bytes.
std::string format_message(const std::string& prefix, const char* fmt, va_list args) {
    std::string out = prefix;
    if (!fmt) return out;
    if (std::strcmp(fmt, "%s") == 0) {
        va_list peek;
        va_copy(peek, args);
        const char* arg = va_arg(peek, const char*);
        va_end(peek);
        if (!arg) return out;
    }
    char small[2048];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return out;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return out;
    }
    std::vector<char> big(prefix.size() + 4097);
    for (;;) {
        va_copy(copy, args);
        n = std::vsnprintf(big.data(), big.size(), fmt, copy);
        va_end(copy);
        if (n < 0) return out;
        if (static_cast<size_t>(n) < big.size()) break;
        big.resize(big.size() + 2048);
    }
    out.append(big.data(), static_cast<size_t>(n));
    return out;
}

thread_local int t_silenced = 0;  // ThreadLogSilence instances alive on this thread

// Caller holds the callback lock (library lines) or nothing (engine messages).
// A library line's sender is the logger itself.
void deliver_current(TObject* sender, bool from_library, int thread_id, TLogLevel level, const std::string& text) {
    LogState& s = state();
    std::lock_guard delivery(s.delivery_lock);
    if (!s.current || s.current->Muted()) return;
    s.current->Deliver(from_library ? s.current : sender, thread_id, level, text);
}

// The calling thread's last library error line; open while the library is
// still sending the rest of that line.
struct LastError {
    std::string text;
    bool open = false;
};
thread_local LastError t_last_error;

void remember_library_error(void* avcl, const char* fmt, va_list args) {
    LastError& last = t_last_error;
    std::string prefix;
    if (!last.open && avcl) {
        if (const AVClass* avc = *static_cast<const AVClass**>(avcl)) prefix = std::string(avc->item_name(avcl)) + ": ";
    }
    std::string text = format_message(prefix, fmt, args);
    const bool ends_line = !text.empty() && text.back() == '\n';
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (last.open) {
        last.text += text;
    } else if (text.size() > prefix.size()) {
        last.text = std::move(text);
    }
    last.open = !ends_line;
}

}  // namespace

std::string LastLibraryError() { return t_last_error.text; }

void ClearLastLibraryError() {
    if (!t_last_error.text.empty()) t_last_error.text.clear();
    t_last_error.open = false;
}

TLogLevel LibraryLevelToLogLevel(int library_level) {
    if (library_level < 0) return llQuiet;
    const int v = library_level / 8 + 1;
    return v >= llDebug ? llDebug : static_cast<TLogLevel>(v);
}

int LogLevelToLibraryLevel(TLogLevel level) { return (static_cast<int>(level) - 1) * 8; }

const char* LogLevelName(TLogLevel level) {
    static const char* const kNames[] = {"Quiet", "Panic", "Fatal", "Error", "Warning", "Info", "Verbose", "Debug"};
    const int i = static_cast<int>(level);
    return i >= 0 && i <= llDebug ? kNames[i] : "Unknown";
}

TFFLogger::TFFLogger() {
    LogState& s = state();
    std::lock_guard slot(s.slot_lock);
    std::lock_guard delivery(s.delivery_lock);
    if (s.current && !s.current->private_) {
        throw EEngineError("Allow creating only one instance of TFFLogger.");
    }
    if (s.private_logger) {
        TFFLogger* old = s.private_logger;
        s.private_logger = nullptr;
        s.current = nullptr;
        old->alive_->store(false);
        delete old;  // its destructor sees it is no longer current
    }
    s.current = this;
    Publish();
}

TFFLogger::TFFLogger(PrivateTag) : private_(true) {}

TFFLogger::~TFFLogger() {
    alive_->store(false);
    LogState& s = state();
    if (private_) return;  // freed by the slot holder, which holds the locks
    std::lock_guard slot(s.slot_lock);
    std::lock_guard callback(s.callback_lock);
    std::lock_guard delivery(s.delivery_lock);
    if (s.current == this) {
        s.current = nullptr;
        s.muted = true;
        close_log_stream(s);
    }
}

TFFLogger& TFFLogger::Current() {
    LogState& s = state();
    std::lock_guard slot(s.slot_lock);
    if (!s.current) {
        std::lock_guard delivery(s.delivery_lock);
        s.private_logger = new TFFLogger(PrivateTag{});
        s.current = s.private_logger;
        s.current->Publish();
    }
    return *s.current;
}

// Caller holds the delivery lock or is constructing.
void TFFLogger::Publish() {
    LogState& s = state();
    if (s.current != this) return;
    s.muted = muted_.load();
    s.level = level_.load();
}

void TFFLogger::RecomputeMuted() {
    LogState& s = state();
    std::lock_guard delivery(s.delivery_lock);
    muted_ = !(active_ && (on_log_ || (s.log_to_file && !s.log_file.empty())));
    Publish();
}

void TFFLogger::SetActive(bool value) {
    active_ = value;
    RecomputeMuted();
}

void TFFLogger::SetOnLog(TLogEvent handler) {
    {
        std::lock_guard delivery(state().delivery_lock);
        on_log_ = std::move(handler);
    }
    RecomputeMuted();
}

void TFFLogger::SetLogLevel(TLogLevel value) {
    if (value == level_.load()) return;
    level_ = value;
    LogState& s = state();
    {
        std::lock_guard delivery(s.delivery_lock);
        Publish();
    }
    if (s.hooked) {
        const int lib = LogLevelToLibraryLevel(value);
        s.library_level = lib;
        av_log_set_level(lib);
    }
}

std::string TFFLogger::LogFile() const {
    std::lock_guard delivery(state().delivery_lock);
    return state().log_file;
}

void TFFLogger::SetLogFile(const std::string& value) {
    {
        LogState& s = state();
        std::lock_guard delivery(s.delivery_lock);
        s.log_file = value;
        close_log_stream(s);
    }
    RecomputeMuted();
}

bool TFFLogger::LogToFile() const {
    std::lock_guard delivery(state().delivery_lock);
    return state().log_to_file;
}

void TFFLogger::SetLogToFile(bool value) {
    {
        LogState& s = state();
        std::lock_guard delivery(s.delivery_lock);
        s.log_to_file = value;
        close_log_stream(s);
    }
    RecomputeMuted();
}

// Caller holds the delivery lock.
void TFFLogger::Deliver(TObject* sender, int thread_id, TLogLevel level, const std::string& text) {
    current_line_ = TLogInfo{sender, thread_id, level, text};
    if (on_log_) {
        MainThreadQueue& queue = MainThreadQueue::Instance();
        if (trigger_in_main_ && !queue.IsMainThread()) {
            queue.Post([this, alive = alive_, info = current_line_] {
                if (!alive->load() || !on_log_) return;
                on_log_(info.Sender, info.ThreadID, info.LogLevel, info.LogMsg);
            });
        } else {
            on_log_(sender, thread_id, level, text);
        }
    }
    write_log_file(state(), thread_id, level, text);
}

void TFFLogger::HookLibraryLog() {
    LogState& s = state();
    const int lib = LogLevelToLibraryLevel(static_cast<TLogLevel>(s.level.load()));
    s.library_level = lib;
    av_log_set_level(lib);
    av_log_set_callback(library_log_callback);
    s.hooked = true;
}

void TFFLogger::UnhookLibraryLog() {
    state().hooked = false;
    av_log_set_callback(av_log_default_callback);
}

void library_log_callback(void* avcl, int level, const char* fmt, va_list args) {
    if (level <= AV_LOG_ERROR && fmt) remember_library_error(avcl, fmt, args);
    if (t_silenced > 0) return;
    LogState& s = state();
    if (level > s.library_level.load()) return;
    std::lock_guard callback(s.callback_lock);
    if (s.muted.load()) return;
    const int tid = CurrentThreadId();
    std::string& partial = s.partial_lines[tid];
    const std::string prefix = avcl && partial.empty() ? context_prefix(avcl) : std::string();
    const std::string text = format_message(prefix, fmt, args);
    if (!text.empty() && text.back() == '\n' && text == s.last_library_text) {
        ++s.repeat_count;
        return;
    }
    const TLogLevel mapped = LibraryLevelToLogLevel(level);
    if (s.repeat_count > 1) {
        deliver_current(nullptr, true, tid, mapped, Format("    Last message repeated %d times", s.repeat_count));
    }
    s.repeat_count = 0;
    s.last_library_text = text;
    partial += text;
    for (size_t lf; (lf = partial.find('\n')) != std::string::npos;) {
        std::string line = partial.substr(0, lf);
        partial.erase(0, lf + 1);
        deliver_current(nullptr, true, tid, mapped, line);
    }
    if (partial.empty()) s.partial_lines.erase(tid);
}

ThreadLogSilence::ThreadLogSilence() { ++t_silenced; }
ThreadLogSilence::~ThreadLogSilence() { --t_silenced; }

void log_message(TObject* sender, TLogLevel level, const std::string& text) {
    if (t_silenced > 0) return;
    LogState& s = state();
    if (s.muted.load() || static_cast<int>(level) > s.level.load()) return;
    deliver_current(sender, false, CurrentThreadId(), level, text);
}

void log_format(TObject* sender, TLogLevel level, const char* fmt, ...) {
    if (t_silenced > 0) return;
    LogState& s = state();
    if (s.muted.load() || static_cast<int>(level) > s.level.load()) return;
    va_list args;
    va_start(args, fmt);
    const std::string text = format_message(std::string(), fmt, args);
    va_end(args);
    deliver_current(sender, false, CurrentThreadId(), level, text);
}

}  // namespace sonorix
