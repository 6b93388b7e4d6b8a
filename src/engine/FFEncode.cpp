#include "engine/FFEncode.h"
#include "engine/private/encoder_task.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "base/FFLoad.h"
#include "base/FFLog.h"
#include "base/MainThreadQueue.h"

namespace sonorix {

namespace {

// Replaces every occurrence of from (ignoring case) by to. A match may share
// its leading blank with the trailing blank of the one before it.
void replace_all_nocase(std::string& text, const std::string& from, const std::string& to) {
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    const std::string needle = lower(from);
    size_t pos = 0;
    while (pos + needle.size() <= text.size()) {
        const size_t found = lower(text).find(needle, pos);
        if (found == std::string::npos) break;
        text.replace(found, from.size(), to);
        pos = found + to.size() - 1;
    }
}

std::string normalise_output_options(const std::string& options) {
    static const char* const kNames[][2] = {
        {" -audioinputhook ", " -AudioInputHook "},
        {" -audiooutputhook ", " -AudioOutputHook "},
        {" -videoinputhook ", " -VideoInputHook "},
        {" -videooutputhook ", " -VideoOutputHook "},
        {" -frameinputhook ", " -FrameInputHook "},
        {" -frameoutputhook ", " -FrameOutputHook "},
        {" -join ", " -Join "},
    };
    std::string text = " " + options + " ";
    for (const auto& [from, to] : kNames) replace_all_nocase(text, from, to);
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

void ResetInputOptions(TInputOptions& AOptions) { AOptions = TInputOptions(); }
void ResetOutputOptions(TOutputOptions& AOptions) { AOptions = TOutputOptions(); }

// ---- BitmapConverter ------------------------------------------------------

AVPixelFormat BitmapConverter::BitmapFormat(int bits) {
    switch (bits) {
    case 8: return AV_PIX_FMT_BGR8;
    case 15: return AV_PIX_FMT_RGB555LE;
    case 16: return AV_PIX_FMT_RGB565LE;
    case 24: return AV_PIX_FMT_BGR24;
    case 32: return AV_PIX_FMT_BGRA;
    default: return AV_PIX_FMT_NONE;
    }
}

bool BitmapConverter::ToBitmap(const AVFrame* frame, TBitmap& bitmap) {
    const AVPixelFormat target = BitmapFormat(bits_);
    to_rgb_.reset(sws_getCachedContext(to_rgb_.release(), frame->width, frame->height,
                                       static_cast<AVPixelFormat>(frame->format), frame->width, frame->height, target,
                                       SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!to_rgb_) return false;
    if (bitmap.Width != frame->width || bitmap.Height != frame->height || bitmap.BitsPixel != bits_) {
        bitmap.Width = frame->width;
        bitmap.Height = frame->height;
        bitmap.BitsPixel = bits_;
        bitmap.Stride = av_image_get_linesize(target, frame->width, 0);
        bitmap.Stride = (bitmap.Stride + 3) & ~3;  // rows on 4-byte boundaries
        bitmap.Pixels.assign(static_cast<size_t>(bitmap.Stride) * frame->height, 0);
    }
    uint8_t* dst[4] = {bitmap.Pixels.data(), nullptr, nullptr, nullptr};
    int dst_stride[4] = {bitmap.Stride, 0, 0, 0};
    // Packed 8-bit formats take a palette plane in the scaler's view.
    uint32_t palette[256];
    if (target == AV_PIX_FMT_BGR8) {
        dst[1] = reinterpret_cast<uint8_t*>(palette);
        dst_stride[1] = 0;
    }
    return sws_scale(to_rgb_.get(), frame->data, frame->linesize, 0, frame->height, dst, dst_stride) > 0;
}

bool BitmapConverter::FromBitmap(const TBitmap& bitmap, AVFrame* frame) {
    const AVPixelFormat source = BitmapFormat(bitmap.BitsPixel);
    from_rgb_.reset(sws_getCachedContext(from_rgb_.release(), bitmap.Width, bitmap.Height, source, frame->width,
                                         frame->height, static_cast<AVPixelFormat>(frame->format), SWS_BICUBIC, nullptr,
                                         nullptr, nullptr));
    if (!from_rgb_) return false;
    if (av_frame_make_writable(frame) < 0) return false;
    const uint8_t* src[4] = {bitmap.Pixels.data(), nullptr, nullptr, nullptr};
    const int src_stride[4] = {bitmap.Stride, 0, 0, 0};
    return sws_scale(from_rgb_.get(), src, src_stride, 0, bitmap.Height, frame->data, frame->linesize) > 0;
}

// ---- TFFmpeg and its list -------------------------------------------------

TFFmpeg::~TFFmpeg() {
    WaitForEnd();
    // The probes describe contexts the transcoder owns: forget them first.
    probes_.clear();
}

// On the run's thread, while the owner does not read the probes (the task runs).
void TFFmpeg::before_inputs_freed() {
    for (auto& probe : probes_) {
        if (probe) probe->CloseFile();
    }
    // An ended task of a long deferred list keeps nothing it parsed or ran
    // with: its owner reads only its names, option records and result.
    if (deferred_) {
        options().release_parse_state();
        probes_.clear();  // created on this worker; made again on demand
        std::vector<uint8_t>().swap(HookBitmap.Pixels);
        std::vector<uint8_t>().swap(PreviewBitmap.Pixels);
    }
}

std::string TFFmpeg::run_deferred_setup() {
    auto steps = std::move(PendingSetup);
    PendingSetup.clear();
    deferred_ = true;
    for (auto& step : steps) {
        std::string problem = step();
        if (!problem.empty()) return problem;
    }
    return {};
}

TFFDecoder& TFFmpeg::InputProbe(int index) {
    if (static_cast<int>(probes_.size()) <= index) probes_.resize(static_cast<size_t>(index) + 1);
    auto& probe = probes_[static_cast<size_t>(index)];
    if (!probe) probe = std::make_unique<TFFDecoder>();
    return *probe;
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> task) {
    items_.push_back(std::move(task));
    return Count() - 1;
}

void TFFmpegList::Clear() {
    // Workers read the list (their task's index) until they end: all are told
    // to stop, each is waited for, and only then are the tasks freed.
    for (auto& t : items_) t->Stop(false);
    for (auto& t : items_) t->WaitForEnd();
    items_.clear();
}

void TFFmpegList::Delete(int index) {
    Item(index)->WaitForEnd();
    items_.erase(items_.begin() + index);
}

TFFmpeg* TFFmpegList::Item(int index) const {
    if (index < 0 || index >= Count()) throw std::out_of_range(Format("List index out of bounds (%d)", index));
    return items_[static_cast<size_t>(index)].get();
}

int TFFmpegList::IndexOf(const TFFmpeg* task) const {
    for (int i = 0; i < Count(); ++i) {
        if (items_[static_cast<size_t>(i)].get() == task) return i;
    }
    return -1;
}

void TFFmpegList::BreakAll(bool wait) {
    // Every task is told before any is waited for: one that runs on while
    // those before it stop would end whole, and its file appear after the
    // stop.
    if (wait) {
        for (auto& t : items_) t->Stop(false);
    }
    for (auto& t : items_) t->TerminateWithoutRun(wait);
}

void TFFmpegList::SetPreviewBit(bool on) {
    for (auto& t : items_) t->PreviewFlags = on ? (t->PreviewFlags | 1) : (t->PreviewFlags & ~1);
}

void TFFmpegList::SetPreviewBitmapBit(bool on) {
    for (auto& t : items_) t->PreviewFlags = on ? (t->PreviewFlags | 2) : (t->PreviewFlags & ~2);
}

// ---- TCustomEncoder ------------------------------------------------------

TCustomEncoder::TCustomEncoder() : tasks_(std::make_unique<TFFmpegList>()) {}

int TCustomEncoder::TasksCount() const { return tasks_->Count(); }
TFFmpeg* TCustomEncoder::Task(int index) const { return tasks_->Item(index); }

TOutputOptions TCustomEncoder::FirstOutputOptions(int ATaskIndex) const {
    const auto& outputs = tasks_->Item(ATaskIndex)->OutputOptions;
    return outputs.empty() ? TOutputOptions{} : outputs.begin()->second;
}

TCustomEncoder::~TCustomEncoder() {
    // Nothing of a stopping task reaches the owner from here on; a handler
    // already running keeps its own copy until it returns.
    OnAudioInputHook = nullptr;
    OnAudioOutputHook = nullptr;
    OnBeforeFindStreamInfo = nullptr;
    OnVideoInputHook = nullptr;
    OnVideoOutputHook = nullptr;
    OnPreviewBitmap = nullptr;
    OnProgress = nullptr;
    OnTerminate = nullptr;
    OnFrameInputHook = nullptr;
    OnFrameOutputHook = nullptr;
    alive_->store(false);
    {
        std::lock_guard lock(terminate_lock_);
        remaining_ = 0;
    }
    tasks_->Clear();
    WaitForDeliveries(*live_deliveries_);
}

bool TCustomEncoder::LibrariesLoaded() const { return TFFLoader::Instance().Loaded(kEncoderLibraries); }

bool TCustomEncoder::LoadLibraries(const std::string& AFolder) {
    TFFLoader& loader = TFFLoader::Instance();
    loader.SetLibraryFolder(AFolder);
    if (loader.Load(kEncoderLibraries)) return true;
    last_error_ = loader.LastErrorMessage();
    return false;
}

void TCustomEncoder::CheckWorking(const char* operation) const {
    if (running_) throw EEngineError(Format("Cannot %s while working.", operation));
}

void TCustomEncoder::SetPreview(bool value) {
    preview_ = value;
    tasks_->SetPreviewBit(value);
}

void TCustomEncoder::SetPreviewBitmap(bool value) {
    preview_bitmap_ = value;
    tasks_->SetPreviewBitmapBit(value);
}

void TCustomEncoder::PrepareTask(TFFmpeg& task) {
    task.set_last_error("");
    task.options().strict_options = strict_options_;
    task.read_timeout = ReadTimeout;
    task.write_timeout = WriteTimeout;
}

int TCustomEncoder::OpenInput(TFFmpeg& task, const std::string& file_name, const TInputOptions* options) {
    const int index = static_cast<int>(task.input_files.size());
    std::string text, presets;
    if (options) {
        TInputOptions copy = *options;
        if (copy.FileName.empty()) copy.FileName = file_name;
        text = copy.Options;
        presets = copy.Presets;
        task.InputOptions[index] = std::move(copy);
    } else {
        task.InputOptions.erase(index);
    }
    OptionsContextScope context(task);
    return task.OpenInputFile(*context, text, file_name, presets);
}

void TCustomEncoder::LinkTask(TFFmpeg& task) {
    TFFmpeg* raw = &task;
    task.OnBeforeFindStreamInfo = [this, raw](TCustomFFmpeg*, AVFormatContext* ctx) {
        DoBeforeFindStreamInfo(raw, ctx);
    };
    task.PreviewFlags = (preview_ ? 1 : 0) | (preview_bitmap_ ? 2 : 0);
    task.OnProgress = [this, raw](TCustomFFmpeg*, int input, int frame, int fps, float q, float br, int64_t size,
                                  int64_t pos,
                                  int64_t dur) { DoProgress(raw, input, frame, fps, q, br, size, pos, dur); };
    task.OnTerminate = [this, raw](TCustomFFmpeg*) { DoTaskTerminated(raw); };
}

int TCustomEncoder::AddInputNow(TFFmpeg& task, const std::string& file_name, const TInputOptions* options,
                                std::string& error) {
    const int index = static_cast<int>(task.input_files.size());
    try {
        PrepareTask(task);
        const int result = OpenInput(task, file_name, options);
        if (result < 0) {
            task.InputOptions.erase(index);
            error = task.last_error();
            return -1;
        }
        task.InputProbe(result).AttachInput(task.input_files[static_cast<size_t>(result)].ctx.get());
        return result;
    } catch (const std::exception& e) {
        task.InputOptions.erase(index);
        error = e.what();
        return -1;
    }
}

int TCustomEncoder::AddTask(const std::string& AFileName, const TInputOptions* AOptions) {
    CheckWorking("AddTask");
    auto task = std::make_unique<TFFmpeg>(this);
    try {
        LinkTask(*task);
        if (DeferSetup) {
            TFFmpeg* raw = task.get();
            const std::optional<TInputOptions> options = AOptions ? std::optional(*AOptions) : std::nullopt;
            task->PendingSetup.push_back([this, raw, AFileName, options] {
                std::string error;
                AddInputNow(*raw, AFileName, options ? &*options : nullptr, error);
                return error.empty() ? error : "Add file error: " + error;
            });
            return tasks_->Add(std::move(task));
        }
        std::string error;
        if (AddInputNow(*task, AFileName, AOptions, error) < 0) {
            last_error_ = error;
            return -1;
        }
        return tasks_->Add(std::move(task));
    } catch (const std::exception& e) {
        last_error_ = e.what();
        return -1;
    }
}

int TCustomEncoder::AddWorkTask(TWorkCall AWork, int64_t ADuration) {
    CheckWorking("AddWorkTask");
    auto task = std::make_unique<TFFmpeg>(this);
    LinkTask(*task);
    task->Work = std::move(AWork);
    task->WorkDuration = ADuration;
    return tasks_->Add(std::move(task));
}

int TCustomEncoder::AddInput(int ATaskIndex, const std::string& AFileName, const TInputOptions* AOptions) {
    CheckWorking("AddInput");
    TFFmpeg* task = tasks_->Item(ATaskIndex);
    if (!task->PendingSetup.empty()) {
        const std::optional<TInputOptions> options = AOptions ? std::optional(*AOptions) : std::nullopt;
        task->PendingSetup.push_back([this, task, AFileName, options] {
            std::string error;
            AddInputNow(*task, AFileName, options ? &*options : nullptr, error);
            return error.empty() ? error : "Add file error: " + error;
        });
        return ++task->DeferredInputs;
    }
    std::string error;
    const int result = AddInputNow(*task, AFileName, AOptions, error);
    if (result < 0) last_error_ = error;
    return result;
}

void TCustomEncoder::InstallOutputHooks(TFFmpeg& task, const TOutputOptions& options) {
    TFFmpeg* raw = &task;
    if (options.AudioInputHook) {
        task.OnAudioInputHook = [this, raw](TCustomFFmpeg*, int64_t pts, void* s, int size, int rate, int ch,
                                            AVSampleFormat fmt) {
            DoAudioHook(OnAudioInputHook, raw, pts, s, size, rate, ch, fmt);
        };
    }
    if (options.AudioOutputHook) {
        task.OnAudioOutputHook = [this, raw](TCustomFFmpeg*, int64_t pts, void* s, int size, int rate, int ch,
                                             AVSampleFormat fmt) {
            DoAudioHook(OnAudioOutputHook, raw, pts, s, size, rate, ch, fmt);
        };
    }
    if (options.VideoInputHook) {
        task.OnVideoInputHook = [this, raw](TCustomFFmpeg*, AVFrame* f, int64_t pts) { DoVideoInputHook(raw, f, pts); };
    }
    if (options.VideoOutputHook || options.FrameOutputHook || (task.PreviewFlags & 2)) {
        const bool video = options.VideoOutputHook, frame = options.FrameOutputHook;
        task.OnVideoOutputHook = [this, raw, video, frame](TCustomFFmpeg*, AVFrame* f, int64_t pts) {
            if (raw->PreviewFlags & 2) DoPreviewBitmap(raw, f, pts);
            if (video) DoVideoOutputHook(raw, f, pts);
            if (frame) DoFrameOutputHook(raw, f, pts);
        };
    }
    if (options.FrameInputHook) {
        task.OnFrameInputHook = [this, raw](TCustomFFmpeg*, AVFrame* f, int64_t pts) { DoFrameInputHook(raw, f, pts); };
    }
}

int TCustomEncoder::SetOutputNow(TFFmpeg& task, const std::string& AFileName, const TOutputOptions* AOptions,
                                 std::string& error) {
    const int index = static_cast<int>(task.OutputOptions.size());
    try {
        PrepareTask(task);
        std::string text, presets;
        bool join = false;
        if (AOptions) {
            TOutputOptions copy = *AOptions;
            if (copy.FileName.empty()) copy.FileName = AFileName;
            if (BitmapConverter::BitmapFormat(copy.BitsPixel) == AV_PIX_FMT_NONE) {
                throw EEngineError(Format("Invalid BitsPixel %d", copy.BitsPixel));
            }
            task.HookConverter.SetBitsPixel(copy.BitsPixel);
            task.PreviewConverter.SetBitsPixel(copy.BitsPixel);
            InstallOutputHooks(task, copy);
            text = copy.Options;
            presets = copy.Presets;
            join = copy.Join;
            task.OutputOptions[index] = std::move(copy);
        } else {
            task.OutputOptions.erase(index);
        }
        OptionsContextScope context(task);
        const int result = task.OpenOutputFile(*context, normalise_output_options(text), join, AFileName, presets);
        if (result < 0) {
            error = task.last_error();
            task.OutputOptions.erase(index);
        }
        return result;
    } catch (const std::exception& e) {
        error = e.what();
        if (!task.last_error().empty() && task.last_error() != error) error += "\r\n" + task.last_error();
        task.OutputOptions.erase(index);
        return -1;
    }
}

int TCustomEncoder::SetOutput(int ATaskIndex, const std::string& AFileName, const TOutputOptions* AOptions) {
    CheckWorking("SetOutput");
    TFFmpeg* task = tasks_->Item(ATaskIndex);
    if (!task->PendingSetup.empty()) {
        if (AOptions && BitmapConverter::BitmapFormat(AOptions->BitsPixel) == AV_PIX_FMT_NONE) {
            last_error_ = Format("Invalid BitsPixel %d", AOptions->BitsPixel);
            return -1;
        }
        const std::optional<TOutputOptions> options = AOptions ? std::optional(*AOptions) : std::nullopt;
        task->PendingSetup.push_back([this, task, AFileName, options] {
            std::string error;
            SetOutputNow(*task, AFileName, options ? &*options : nullptr, error);
            return error;
        });
        return task->DeferredOutputs++;
    }
    std::string error;
    const int result = SetOutputNow(*task, AFileName, AOptions, error);
    if (result < 0) last_error_ = error;
    return result;
}

void TCustomEncoder::RemoveTask(int ATaskIndex) {
    CheckWorking("RemoveTask");
    tasks_->Delete(ATaskIndex);
}

void TCustomEncoder::ClearTasks() {
    if (running_ && !all_terminated_) throw EEngineError("Cannot ClearTasks while working.");
    tasks_->Clear();
    last_error_.clear();
    std::lock_guard lock(terminate_lock_);
    finished_count_ = 0;
    failed_count_ = 0;
    next_index_ = -1;
    remaining_ = 0;
    all_terminated_ = false;
    threaded_ = false;
    running_ = false;
}

void TCustomEncoder::StartTask(int ALimit) {
    CheckWorking("StartTask");
    std::unique_lock lock(terminate_lock_);
    finished_count_ = 0;
    failed_count_ = 0;
    next_index_ = 0;
    remaining_ = TasksCount();
    all_terminated_ = false;
    threaded_ = ALimit > 0;
    running_ = true;
    if (threaded_) {
        for (; remaining_ > 0 && ALimit > 0; --ALimit) StartNextTask();
        return;
    }
    // Each task runs to its end on this thread, outside the lock: a handler
    // may stop the run, and the tasks it stops are counted by other threads.
    unthreaded_start_ = std::this_thread::get_id();
    while (TFFmpeg* task = TakeNextTask()) {
        lock.unlock();
        task->Start(false, ThreadPriority);
        lock.lock();
    }
    unthreaded_start_ = std::thread::id();
    const bool final = std::exchange(final_pending_, false);
    const TTerminateInfo final_info = FinalInfo();
    lock.unlock();
    // The end is announced here, after the last run has returned, so that the
    // final handler may clear the list; notices of stopped tasks come first.
    if (final) {
        WaitForDeliveries(*pending_deliveries_);
        OnTerminate(this, final_info);
    }
}

// Caller holds the termination lock. The next task to start, or null.
TFFmpeg* TCustomEncoder::TakeNextTask() {
    if (remaining_ <= 0) return nullptr;
    --remaining_;
    TFFmpeg* task = tasks_->Item(next_index_);
    ++next_index_;
    task->ProgressIntervalUs = static_cast<int64_t>(progress_interval_) * 1000;
    return task;
}

// Caller holds the termination lock; a threaded run.
void TCustomEncoder::StartNextTask() {
    if (TFFmpeg* task = TakeNextTask()) {
        if (TConvertThread* worker = task->Start(true, ThreadPriority)) worker->Resume();
    }
}

void TCustomEncoder::Stop(bool AWait) {
    {
        std::lock_guard lock(terminate_lock_);
        remaining_ = 0;
    }
    if (running_) tasks_->BreakAll(AWait);
}

void TCustomEncoder::DoTaskTerminated(TFFmpeg* ATask) {
    std::optional<TTerminateInfo> direct;
    {
        std::lock_guard lock(terminate_lock_);
        if (OnTerminate) {
            terminate_info_ =
                TTerminateInfo{tasks_->IndexOf(ATask), ATask->Completed(), ATask->Failed(), ATask->ErrorText()};
            // Straight to the handler only on the thread of an unthreaded
            // start (tasks it stops end on other threads), and after the lock
            // is left, so that the handler may stop the run.
            if (!threaded_ && running_ && unthreaded_start_ == std::this_thread::get_id()) {
                direct = terminate_info_;
            } else {
                DeliverTerminate(terminate_info_, false);
            }
        }
        ++finished_count_;
        if (ATask->Failed()) ++failed_count_;
        if (remaining_ < 1) {
            if (finished_count_ >= TasksCount() && !all_terminated_) FinalNotification();
        } else if (threaded_) {
            StartNextTask();
        }
    }
    if (direct) OnTerminate(this, *direct);
}

// Caller holds the termination lock. The list's end: Completed unless a
// task failed, so that no follow-up starts on a failed run.
TTerminateInfo TCustomEncoder::FinalInfo() const {
    if (failed_count_ == 0) return TTerminateInfo{-1, true, false, ""};
    return TTerminateInfo{-1, false, true, Format("%d of %d tasks failed", failed_count_, TasksCount())};
}

// Caller holds the termination lock.
void TCustomEncoder::FinalNotification() {
    all_terminated_ = true;
    if (unthreaded_start_ != std::thread::id()) {
        final_pending_ = true;
    } else if (OnTerminate) {
        DeliverTerminate(FinalInfo(), true);
    }
}

// A short-lived, detached delivery thread. The final notice waits until every
// per-task delivery has finished. A component being destroyed waits for the
// threads still under way and skips their handlers.
void TCustomEncoder::DeliverTerminate(const TTerminateInfo& info, bool wait_for_delivered) {
    if (!wait_for_delivered) ++*pending_deliveries_;
    ++*live_deliveries_;
    auto pending = pending_deliveries_;
    auto live = live_deliveries_;
    auto alive = alive_;
    const bool in_main = TriggerEventInMainThread;
    std::thread([this, info, wait_for_delivered, pending, live, alive, in_main] {
        if (wait_for_delivered) {
            while (pending->load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        auto call = [this, &info, &alive] {
            if (alive->load()) OnTerminate(this, info);
        };
        try {
            MainThreadQueue::Instance().Raise(in_main, call);
        } catch (const std::exception& e) {
            log_format(nullptr, llError, "OnTerminate handler failed: %s", e.what());
        } catch (...) {
            log_message(nullptr, llError, "OnTerminate handler failed");
        }
        if (!wait_for_delivered) --*pending;
        --*live;
        // A main thread waiting for the deliveries (WaitForDeliveries) wakes
        // now, not at the end of its slice.
        if (in_main) MainThreadQueue::Instance().Post([] {});
    }).detach();
}

void TCustomEncoder::WaitForDeliveries(const std::atomic<int>& count) {
    MainThreadQueue& queue = MainThreadQueue::Instance();
    while (count.load() > 0) {
        if (queue.IsMainThread()) {
            queue.WaitAndDrain(std::chrono::milliseconds(5));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

void TCustomEncoder::DoProgress(TFFmpeg* ATask, int AInputIndex, int AFrameNumber, int AFPS, float AQuality,
                                float ABitRate, int64_t AOutputSize, int64_t APosition, int64_t ADuration) {
    if (!OnProgress) return;
    std::lock_guard lock(progress_lock_);
    progress_info_ = TProgressInfo{
        tasks_->IndexOf(ATask), AInputIndex, AFrameNumber, AFPS, AQuality, ABitRate, AOutputSize, APosition, ADuration};
    auto call = [this] { OnProgress(this, &progress_info_); };
    MainThreadQueue::Instance().Raise(TriggerEventInMainThread, call);
}

void TCustomEncoder::DoBeforeFindStreamInfo(TFFmpeg* task, AVFormatContext* context) {
    if (!OnBeforeFindStreamInfo) return;
    std::lock_guard lock(before_find_lock_);
    auto call = [this, task, context] { OnBeforeFindStreamInfo(task, context); };
    MainThreadQueue::Instance().Raise(TriggerEventInMainThread, call);
}

void TCustomEncoder::DoAudioHook(const EventSlot<TAudioHookEvent>& slot, TFFmpeg* task, int64_t pts, void* samples,
                                 int size, int rate, int channels, AVSampleFormat format) {
    const auto event = slot.Get();
    if (!event) return;
    std::lock_guard lock(audio_hook_lock_);
    (*event)(this, tasks_->IndexOf(task), pts, static_cast<uint8_t*>(samples), size, rate, channels, format);
}

void TCustomEncoder::DoVideoHook(const EventSlot<TVideoHookEvent>& slot, TFFmpeg* task, AVFrame* frame, int64_t pts,
                                 std::atomic<bool>& unhooked) {
    const auto event = slot.Get();
    if (!event || unhooked) return;
    std::lock_guard lock(video_hook_lock_);
    if (!task->HookConverter.ToBitmap(frame, task->HookBitmap)) {
        log_message(this, llError, "Cannot initialize the toRGB conversion context");
        unhooked = true;
        return;
    }
    hook_info_ = THookInfo{tasks_->IndexOf(task), &task->HookBitmap, ++task->HookFrames, pts, true, false};
    {
        std::lock_guard canvas(task->HookBitmap.Canvas());
        (*event)(this, &hook_info_);
    }
    if (hook_info_.Unhook) unhooked = true;
    if (hook_info_.WriteBack && !task->HookConverter.FromBitmap(task->HookBitmap, frame)) {
        log_message(this, llError, "Cannot initialize the fromRGB conversion context");
        unhooked = true;
    }
}

void TCustomEncoder::DoVideoInputHook(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS) {
    DoVideoHook(OnVideoInputHook, ATask, AFrame, APTS, ATask->VideoInputUnhooked);
}

void TCustomEncoder::DoVideoOutputHook(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS) {
    DoVideoHook(OnVideoOutputHook, ATask, AFrame, APTS, ATask->VideoOutputUnhooked);
}

void TCustomEncoder::DoFrameHook(const EventSlot<TFrameHookEvent>& slot, TFFmpeg* task, AVFrame* frame, int64_t pts) {
    const auto event = slot.Get();
    if (!event) return;
    std::lock_guard lock(frame_hook_lock_);
    frame_hook_info_ = TFrameHookInfo{tasks_->IndexOf(task), ++task->HookFrames, frame, frame->format,
                                      frame->width,          frame->height,      pts};
    (*event)(this, &frame_hook_info_);
}

void TCustomEncoder::DoFrameInputHook(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS) {
    DoFrameHook(OnFrameInputHook, ATask, AFrame, APTS);
}

void TCustomEncoder::DoFrameOutputHook(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS) {
    DoFrameHook(OnFrameOutputHook, ATask, AFrame, APTS);
}

// At most one preview bitmap per 100 ms of run time per task.
void TCustomEncoder::DoPreviewBitmap(TFFmpeg* ATask, AVFrame* AFrame, int64_t APTS) {
    if (!OnPreviewBitmap) return;
    const int64_t now = av_gettime_relative();
    if (ATask->LastPreviewUs != INT64_MIN && now - ATask->LastPreviewUs < 100000) return;
    ATask->LastPreviewUs = now;
    std::lock_guard lock(preview_lock_);
    if (!ATask->PreviewConverter.ToBitmap(AFrame, ATask->PreviewBitmap)) {
        log_message(this, llError, "Cannot initialize the toRGB conversion context");
        return;
    }
    preview_info_ = TPreviewInfo{tasks_->IndexOf(ATask), &ATask->PreviewBitmap, ATask->HookFrames, APTS};
    auto call = [this] { OnPreviewBitmap(this, preview_info_); };
    MainThreadQueue::Instance().Raise(TriggerEventInMainThread, call);
}

}  // namespace sonorix
