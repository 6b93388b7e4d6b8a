// The encoder component: an ordered list of conversion tasks, run at most a
// given number at once, reporting progress, hooks and the end of each task
// and of the whole list through events.
//
// Threads: every operation is called on the main thread. Each started task
// runs on its own worker, which raises progress, preview, hook and
// termination calls; the worker of a task that ends starts the next one.
// With TriggerEventInMainThread, OnProgress, OnPreviewBitmap,
// OnBeforeFindStreamInfo and OnTerminate run on the main thread through the
// engine's main-thread queue (the raising thread waits); hooks always run on
// the worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/FFBase.h"
#include "engine/FFDecode.h"
#include "base/libav.h"

namespace sonorix {

struct TInputOptions {
    std::string FileName;
    std::string Options;
    std::string Presets;
};

struct TOutputOptions {
    std::string FileName;
    std::string Options;
    std::string Presets;
    bool AudioInputHook = false;
    bool AudioOutputHook = false;
    bool VideoInputHook = false;
    bool VideoOutputHook = false;
    int BitsPixel = 32;
    bool FrameInputHook = false;
    bool FrameOutputHook = false;
    bool Join = false;
};

void ResetInputOptions(TInputOptions& AOptions);
void ResetOutputOptions(TOutputOptions& AOptions);

struct TProgressInfo {
    int TaskIndex = 0;
    int InputIndex = 0;
    int FrameNumber = -1;
    int FPS = 0;
    float Quality = -1;
    float BitRate = -1;
    int64_t OutputSize = 0;
    int64_t Position = 0;   // microseconds
    int64_t Duration = -1;  // microseconds
};
using PProgressInfo = TProgressInfo*;

// A task's end, or (TaskIndex -1) the list's: Completed when no task failed,
// else Failed with how many did.
struct TTerminateInfo {
    int TaskIndex = -1;
    bool Completed = false;
    bool Failed = false;
    std::string ErrorText;
};

// A video frame as a bitmap of BitsPixel depth, rows top to bottom: 8 packed
// BGR 3:3:2, 15 packed 5:5:5, 16 packed 5:6:5, 24 BGR, 32 BGRA.
class TBitmap {
public:
    int Width = 0;
    int Height = 0;
    int BitsPixel = 32;
    int Stride = 0;  // bytes per row
    std::vector<uint8_t> Pixels;
    uint8_t* ScanLine(int row) { return Pixels.data() + static_cast<size_t>(row) * Stride; }
    std::mutex& Canvas() { return canvas_; }

private:
    std::mutex canvas_;  // locked while a hook handler draws
};

struct THookInfo {
    int TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    int FrameNumber = 0;
    int64_t PTS = 0;
    bool WriteBack = true;
    bool Unhook = false;
};
using PHookInfo = THookInfo*;

struct TFrameHookInfo {
    int TaskIndex = 0;
    int FrameNumber = 0;
    AVFrame* Picture = nullptr;
    int PixFmt = -1;
    int Width = 0;
    int Height = 0;
    int64_t PTS = 0;
};
using PFrameHookInfo = TFrameHookInfo*;

struct TPreviewInfo {
    int TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    int FrameNumber = 0;
    int64_t PTS = 0;
};

using TAudioHookEvent = std::function<void(TObject* Sender, int ATaskIndex, int64_t APTS, uint8_t* ASample, int ASize,
                                           int ASampleRate, int AChannels, AVSampleFormat ASampleFormat)>;
using TVideoHookEvent = std::function<void(TObject* Sender, PHookInfo AHookInfo)>;
using TFrameHookEvent = std::function<void(TObject* Sender, PFrameHookInfo AHookInfo)>;
using TPreviewBitmapEvent = std::function<void(TObject* Sender, const TPreviewInfo& APreviewInfo)>;
using TProgressEvent = std::function<void(TObject* Sender, PProgressInfo AProgressInfo)>;
using TTerminateEvent = std::function<void(TObject* Sender, const TTerminateInfo& ATerminateInfo)>;

class TCustomEncoder;

// An event slot that the main thread may assign or clear while workers raise
// the event: a call runs a snapshot taken under the slot's lock, so clearing
// never races with a reader nor frees a handler that is running.
template <typename Fn>
class EventSlot {
public:
    EventSlot() = default;
    EventSlot(const EventSlot&) = delete;
    EventSlot& operator=(const EventSlot&) = delete;

    template <typename F>
    EventSlot& operator=(F&& handler) {
        auto next = std::make_shared<const Fn>(std::forward<F>(handler));
        if (!*next) next.reset();
        Swap(next);
        return *this;
    }
    EventSlot& operator=(std::nullptr_t) {
        std::shared_ptr<const Fn> none;
        Swap(none);
        return *this;
    }
    std::shared_ptr<const Fn> Get() const {
        std::lock_guard lock(mutex_);
        return handler_;
    }
    explicit operator bool() const { return Get() != nullptr; }
    template <typename... Args>
    void operator()(Args&&... args) const {
        if (const auto handler = Get()) (*handler)(std::forward<Args>(args)...);
    }

private:
    // The old handler is freed by the caller, outside the lock.
    void Swap(std::shared_ptr<const Fn>& other) {
        std::lock_guard lock(mutex_);
        handler_.swap(other);
    }
    mutable std::mutex mutex_;
    std::shared_ptr<const Fn> handler_;
};

// What a work task does on its worker (see AddWorkTask): it reads stop
// between its steps and reports the share done (0 to 1); empty, or why it
// failed (a stopped work returns empty).
using TWorkCall =
    std::function<std::string(const std::atomic<bool>& stop, const std::function<void(double share)>& progress)>;

class TFFmpeg;  // one task: engine/private/encoder_task.h
class TFFmpegList;

class TCustomEncoder : public TFFBaseComponent {
public:
    TCustomEncoder();
    ~TCustomEncoder() override;
    TCustomEncoder(const TCustomEncoder&) = delete;
    TCustomEncoder& operator=(const TCustomEncoder&) = delete;

    bool LibrariesLoaded() const;
    bool LoadLibraries(const std::string& AFolder);

    int TasksCount() const;
    int AddTask(const std::string& AFileName, const TInputOptions* AOptions = nullptr);
    // A task whose work is a call on its worker in place of a transcode (the
    // lossless remux): nothing is opened here; it starts, stops, reports
    // progress (positions within ADuration, microseconds) and ends through
    // the same events as the other tasks. The task's index.
    int AddWorkTask(TWorkCall AWork, int64_t ADuration = -1);
    int AddInput(int ATaskIndex, const std::string& AFileName, const TInputOptions* AOptions = nullptr);
    int SetOutput(int ATaskIndex, const std::string& AFileName, const TOutputOptions* AOptions = nullptr);
    void RemoveTask(int ATaskIndex);
    void ClearTasks();
    void StartTask(int ALimit);
    // Every task is told before any is waited for, so none runs on to its
    // end meanwhile. With AWait, returns once every worker has ended; called
    // from a handler that a worker waits for (OnProgress, OnPreviewBitmap, a
    // sent OnTerminate), it only requests the stop, and the tasks end stopped
    // after the handler returns.
    void Stop(bool AWait);

    TFFDecoder& Decoder() { return decoder_; }
    const std::string& LastErrorMessage() const { return last_error_; }
    // The engine's own (and its tests') view of a task.
    TFFmpeg* Task(int index) const;
    // The options a task's first output was set with (empty before).
    TOutputOptions FirstOutputOptions(int ATaskIndex) const;

    bool Preview() const { return preview_; }
    void SetPreview(bool value);
    bool PreviewBitmap() const { return preview_bitmap_; }
    void SetPreviewBitmap(bool value);
    int ProgressInterval() const { return progress_interval_; }
    void SetProgressInterval(int value) { progress_interval_ = value > 100 ? value : 100; }
    TThreadPriority ThreadPriority = tpNormal;
    bool TriggerEventInMainThread = true;
    // With DeferSetup, AddTask, AddInput and SetOutput only record their
    // files and options; each task opens its inputs, parses its options and
    // creates its temporary output when it starts on its worker, so a list of
    // any length holds the files of at most StartTask's limit of tasks. A
    // set-up that fails ends that task Failed with the reason, in its own
    // OnTerminate; the others run. The input probes of such a task describe
    // nothing before it runs. Without it (the default) the calls open at once
    // and return -1 with LastErrorMessage.
    bool DeferSetup = false;

    bool Running() const { return running_; }
    bool AllTerminated() const { return all_terminated_; }

    // Assigned and cleared on the main thread, also while tasks run.
    EventSlot<TAudioHookEvent> OnAudioInputHook;
    EventSlot<TAudioHookEvent> OnAudioOutputHook;
    EventSlot<TBeforeFindStreamInfoEvent> OnBeforeFindStreamInfo;
    EventSlot<TVideoHookEvent> OnVideoInputHook;
    EventSlot<TVideoHookEvent> OnVideoOutputHook;
    EventSlot<TPreviewBitmapEvent> OnPreviewBitmap;
    EventSlot<TProgressEvent> OnProgress;
    EventSlot<TTerminateEvent> OnTerminate;
    EventSlot<TFrameHookEvent> OnFrameInputHook;
    EventSlot<TFrameHookEvent> OnFrameOutputHook;

protected:
    virtual void DoVideoInputHook(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS);
    virtual void DoVideoOutputHook(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS);
    virtual void DoFrameInputHook(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS);
    virtual void DoFrameOutputHook(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS);
    virtual void DoPreviewBitmap(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS);
    virtual void DoProgress(TFFmpeg* ATask, int AInputIndex, int AFrameNumber, int AFPS, float AQuality, float ABitRate,
                            int64_t AOutputSize, int64_t APosition, int64_t ADuration);
    virtual void DoTaskTerminated(TFFmpeg* ATask);

private:
    void CheckWorking(const char* operation) const;
    void PrepareTask(TFFmpeg& task);
    int OpenInput(TFFmpeg& task, const std::string& file_name, const TInputOptions* options);
    // The input's index (its probe attached), or -1 with error set.
    int AddInputNow(TFFmpeg& task, const std::string& file_name, const TInputOptions* options, std::string& error);
    int SetOutputNow(TFFmpeg& task, const std::string& file_name, const TOutputOptions* options, std::string& error);
    void LinkTask(TFFmpeg& task);
    TFFmpeg* TakeNextTask();
    void StartNextTask();
    void FinalNotification();
    TTerminateInfo FinalInfo() const;
    void DeliverTerminate(const TTerminateInfo& info, bool wait_for_delivered);
    void DoAudioHook(const EventSlot<TAudioHookEvent>& event, TFFmpeg* task, int64_t pts, void* samples, int size,
                     int rate, int channels, AVSampleFormat format);
    void DoVideoHook(const EventSlot<TVideoHookEvent>& event, TFFmpeg* task, AVFrame* frame, int64_t pts,
                     std::atomic<bool>& unhooked);
    void DoFrameHook(const EventSlot<TFrameHookEvent>& event, TFFmpeg* task, AVFrame* frame, int64_t pts);
    void DoBeforeFindStreamInfo(TFFmpeg* task, AVFormatContext* context);
    void InstallOutputHooks(TFFmpeg& task, const TOutputOptions& options);
    // Until count drops to 0, running the main thread's calls when on it.
    static void WaitForDeliveries(const std::atomic<int>& count);

    std::string last_error_;
    bool strict_options_ = true;
    bool preview_ = false;
    bool preview_bitmap_ = false;
    int progress_interval_ = 500;

    TProgressInfo progress_info_;
    TTerminateInfo terminate_info_;
    THookInfo hook_info_;
    TFrameHookInfo frame_hook_info_;
    TPreviewInfo preview_info_;

    std::mutex audio_hook_lock_;
    std::mutex preview_lock_;
    std::mutex progress_lock_;
    std::recursive_mutex terminate_lock_;
    std::mutex video_hook_lock_;
    std::mutex frame_hook_lock_;
    std::mutex before_find_lock_;

    // Per-task deliveries still under way; the final notification waits for
    // none to be left (a single flag could be reset by a parallel task's
    // delivery and let the final notice overtake it).
    std::shared_ptr<std::atomic<int>> pending_deliveries_ = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    std::shared_ptr<std::atomic<int>> live_deliveries_ = std::make_shared<std::atomic<int>>(0);
    // An unthreaded StartTask under way: its thread, which gets the notices
    // directly and raises the final one before it returns.
    std::thread::id unthreaded_start_;
    bool final_pending_ = false;

    TFFDecoder decoder_;
    std::unique_ptr<TFFmpegList> tasks_;
    int finished_count_ = 0;
    int failed_count_ = 0;
    int next_index_ = -1;
    int remaining_ = 0;
    std::atomic<bool> all_terminated_{false};
    bool threaded_ = false;
    std::atomic<bool> running_{false};
};

class TFFEncoder : public TCustomEncoder {};

}  // namespace sonorix
