// The media probe: opens a file (or describes one opened elsewhere) and
// answers questions about it. Used on the thread that calls it; the probe an
// encoder owns is used on the main thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/FFBase.h"
#include "base/FFLog.h"
#include "base/libav_handles.h"

namespace sonorix {

struct TRational {
    int num = 0;
    int den = 1;
};

struct TFileStreamInfo {
    int64_t StartTime;  // microseconds; AV_NOPTS_VALUE without a file
    int64_t Duration = -1;
    int BitRate = -1;
    int Year = -1;
    int Track = -1;
    std::string Title, Author, Copyright, Comment, Album, Genre;
    TFileStreamInfo();
};

struct TAudioStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartTime = -1;  // stream time-base units
    int64_t StartTimeUs = -1;
    int64_t DurationTicks = -1;  // stream time-base units
    int64_t Duration = -1;       // microseconds
    int BitRate = -1;
    int Channels = -1;
    int SampleRate = -1;
    int SampleFormat = -1;
};

struct TVideoStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartTime = -1;
    int64_t StartTimeUs = -1;
    int64_t DurationTicks = -1;
    int64_t Duration = -1;
    int BitRate = -1;
    int Height = -1;
    int Width = -1;
    float SampleAspect = -1.0f;
    float DisplayAspect = -1.0f;
    TRational SampleAspectRatio;
    TRational DisplayAspectRatio;
    int PixelFormat = -1;
    TRational FrameRate;
};

using TBeforeFindStreamInfoEvent = std::function<void(TObject* Sender, AVFormatContext* AFormatContext)>;

class TCustomDecoder : public TFFBaseComponent {
public:
    TCustomDecoder();
    ~TCustomDecoder() override;
    TCustomDecoder(const TCustomDecoder&) = delete;
    TCustomDecoder& operator=(const TCustomDecoder&) = delete;

    bool TriggerEventInMainThread = true;
    TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;

    bool LoadFile(const std::string& AFileName, const std::string& AFormatName = std::string());
    void CloseFile();
    void AttachInput(AVFormatContext* AFormatContext);

    void GetFileInfo(TFileStreamInfo& AInfo);
    void GetAudioStreamInfo(int AStreamIndex, TAudioStreamInfo& AInfo);
    void GetVideoStreamInfo(int AStreamIndex, TVideoStreamInfo& AInfo);
    bool IsVideoStream(int AStreamIndex);
    std::string GetInfoText();

    const std::string& LastErrorMessage() const { return last_error_; }
    AVFormatContext* FormatContext() const { return format_context_; }
    const std::string& ForcedFormat() const { return forced_format_; }

    int64_t FileSize = -1;
    int StreamCount = -1;
    int ProgramCount = -1;
    int AudioStreamCount = -1;
    int VideoStreamCount = -1;
    int SubtitleStreamCount = -1;
    int FirstAudioStream = -1;
    int FirstVideoStream = -1;
    int FirstSubtitleStream = -1;

    // The scaler flags of the probe's bitmap converter (bicubic unless a
    // loaded file's options said otherwise).
    const std::string& ScalerFlags() const { return sws_flags_; }

    // Aborts an open or stream-info read that is under way (from any thread).
    void Interrupt();

private:
    static int interrupt_check(void* opaque);
    void GatherInfo();
    int64_t DeterminedFileSize() const;
    void Error(TLogLevel level, const std::string& text);
    void Warn(const std::string& text);
    std::string StreamLine(int index);
    bool CheckStream(int& index, bool video, const char* none_text, const char* kind);

    InputFilePtr own_context_;                   // a file this probe opened
    AVFormatContext* format_context_ = nullptr;  // that file, or an input attached by its task
    std::string sws_flags_ = "bicubic";
    std::string last_error_;
    std::string forced_format_;
    static constexpr int64_t kUnset = INT64_MIN;
    std::atomic<int64_t> timeout_start_{kUnset};
};

// Frame decoding, seeking and bitmaps are not used by the system.
class TFFDecoder : public TCustomDecoder {};

// Shared text helpers.
std::string duration_form(int64_t microseconds);  // "%.2d:%.2d:%.2d.%.3d" after adding 5000 us
std::string size_text(int64_t bytes);             // "1024 Byte", "1.00 KB", ...
std::string codec_description(const AVStream* stream);
std::string rate_text(double value, const char* unit);  // ", 29.97 fps", ", 25 tbr", ", 90k tbn"

}  // namespace sonorix
