// Engine only: one task of the encoder component (the transcoder with its
// links back to the component) and the list that owns the tasks. Nothing
// above the engine includes this; FFEncode.h names these types only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/libav_handles.h"
#include "engine/FFEncode.h"
#include "transcoder/FFmpeg.h"

namespace sonorix {

// Converts frames to bitmaps and back with the libraries' scaler.
class BitmapConverter {
public:
    void SetBitsPixel(int bits) { bits_ = bits; }
    int BitsPixel() const { return bits_; }
    // Fills bitmap from frame; false when the scaler cannot be set up.
    bool ToBitmap(const AVFrame* frame, TBitmap& bitmap);
    // Writes bitmap back into frame's own format; false when impossible.
    bool FromBitmap(const TBitmap& bitmap, AVFrame* frame);
    static AVPixelFormat BitmapFormat(int bits);

private:
    int bits_ = 32;
    ScalerPtr to_rgb_;  // cached by the scaler between frames of one size
    ScalerPtr from_rgb_;
};

// One task: the transcoder plus its links back to the component.
class TFFmpeg : public TCustomFFmpeg {
public:
    explicit TFFmpeg(TCustomEncoder* AEncoder) : Encoder(AEncoder) {}
    // Waits for the worker before the hook bitmaps, converters and probes go.
    ~TFFmpeg() override;

    TCustomEncoder* Encoder;
    // One probe per input, attached to the opened input (created on demand).
    // For the owner's thread while the task does not run (the worker reads
    // the same contexts); the end of the run empties them before it frees
    // the inputs.
    TFFDecoder& InputProbe(int index);
    std::map<int, TInputOptions> InputOptions;
    std::map<int, TOutputOptions> OutputOptions;
    int PreviewFlags = 0;  // bit 0 preview window, bit 1 preview bitmap events
    // A deferred set-up's steps, in the order they were asked for (owner's
    // thread until the start; run and emptied by the worker). Each returns
    // empty or why it failed.
    std::vector<std::function<std::string()>> PendingSetup;
    int DeferredInputs = 0;   // inputs after the first asked for so far
    int DeferredOutputs = 0;  // outputs asked for so far

    // Hook state of the worker that runs this task.
    BitmapConverter HookConverter;
    BitmapConverter PreviewConverter;
    TBitmap HookBitmap;
    TBitmap PreviewBitmap;
    std::atomic<bool> VideoInputUnhooked{false};
    std::atomic<bool> VideoOutputUnhooked{false};
    int64_t LastPreviewUs = INT64_MIN;
    int HookFrames = 0;

protected:
    void before_inputs_freed() override;
    bool setup_deferred() const override { return !PendingSetup.empty(); }
    std::string run_deferred_setup() override;

private:
    std::vector<std::unique_ptr<TFFDecoder>> probes_;
    bool deferred_ = false;  // set up on its worker: it releases what it ran with when it ends
};

// Owning list of tasks.
class TFFmpegList {
public:
    int Add(std::unique_ptr<TFFmpeg> task);
    void Clear();
    void Delete(int index);
    TFFmpeg* Item(int index) const;  // raises std::out_of_range outside the list
    int IndexOf(const TFFmpeg* task) const;
    int Count() const { return static_cast<int>(items_.size()); }
    void BreakAll(bool wait);
    void SetPreviewBit(bool on);
    void SetPreviewBitmapBit(bool on);

private:
    std::vector<std::unique_ptr<TFFmpeg>> items_;
};

}  // namespace sonorix
