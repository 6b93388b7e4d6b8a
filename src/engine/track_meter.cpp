#include "engine/track_meter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "base/FFLoad.h"
#include "base/libav.h"
#include "base/libav_handles.h"
#include "dsp/loudness_meter.h"
#include "dsp/planes.h"
#include "engine/true_peak.h"

namespace sonorix {

namespace {

constexpr double kAbsoluteGate = -70.0;  // LUFS: what a silent track reads
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

double to_db(double linear) {
    return linear > 0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

// BS.1770's weight of a channel, by its place: the LFE counts not at all,
// the surrounds 1.5 dB more; mono counts twice (as two equal channels).
// Six channels whose places the file does not name (PCM in Matroska) are
// taken as the usual 5.1, so their LFE does not count either.
double channel_weight(const AVChannelLayout& layout, int index) {
    if (layout.nb_channels == 1) return 2.0;
    AVChannelLayout places = layout;  // a mask or unspecified layout owns nothing to free
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC && layout.nb_channels == 6)
        av_channel_layout_from_mask(&places, AV_CH_LAYOUT_5POINT1);
    switch (av_channel_layout_channel_from_index(&places, static_cast<unsigned>(index))) {
    case AV_CHAN_LOW_FREQUENCY:
    case AV_CHAN_LOW_FREQUENCY_2: return 0.0;
    case AV_CHAN_BACK_LEFT:
    case AV_CHAN_BACK_RIGHT:
    case AV_CHAN_BACK_CENTER:
    case AV_CHAN_SIDE_LEFT:
    case AV_CHAN_SIDE_RIGHT:
    case AV_CHAN_TOP_BACK_LEFT:
    case AV_CHAN_TOP_BACK_CENTER:
    case AV_CHAN_TOP_BACK_RIGHT:
    case AV_CHAN_SURROUND_DIRECT_LEFT:
    case AV_CHAN_SURROUND_DIRECT_RIGHT: return LoudnessMeter::kSurround;
    default: return 1.0;
    }
}

// One audio track: its decoder and the running figures.
class Track {
    static constexpr size_t kBatchBytes = 128 * 1024;
    // One plane per channel, `stride` values apart in `samples`; `at` points
    // past the frames staged, where the next frame goes.
    template <typename V>
    struct Staging {
        std::vector<V> samples;
        std::vector<V*> planes, at;
        size_t stride = 0;
    };
    // 8- and 16-bit samples and floats are staged as floats, which hold them
    // exactly; the rest as doubles.
    enum class Copy { none, floats, doubles };

public:
    Track(const MeterRequest& request, int stream_index) : request_(request), stream_index_(stream_index) {}
    ~Track() { av_channel_layout_uninit(&layout_); }
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;

    // Empty, or why the decoder cannot be opened.
    std::string open(const AVStream* stream) {
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (!codec) return std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
        decoder.reset(avcodec_alloc_context3(codec));
        if (!decoder) return "out of memory";
        int ret = avcodec_parameters_to_context(decoder.get(), stream->codecpar);
        if (ret >= 0) {
            decoder->pkt_timebase = stream->time_base;
            CodecOpenLock lock;
            ret = avcodec_open2(decoder.get(), codec, nullptr);
        }
        if (ret < 0) return std::string("cannot open the decoder ") + codec->name + ": " + av::error_text(ret);
        return {};
    }

    int stream_index() const { return stream_index_; }

    // Empty, or why the frame could not be measured.
    std::string add(const AVFrame* frame) {
        const int channels = av::channel_count(frame);
        const size_t frames = static_cast<size_t>(frame->nb_samples);
        if (channels <= 0 || frames == 0) return {};
        const AVSampleFormat format = static_cast<AVSampleFormat>(frame->format);
        copy_ = Copy::none;
        if (request_.loudness) {
            const bool floats = format == AV_SAMPLE_FMT_U8 || format == AV_SAMPLE_FMT_U8P ||
                                format == AV_SAMPLE_FMT_S16 || format == AV_SAMPLE_FMT_S16P ||
                                format == AV_SAMPLE_FMT_FLT || format == AV_SAMPLE_FMT_FLTP;
            const Copy copy = floats ? Copy::floats : Copy::doubles;
            if (copy != staged_copy_) hand_over(true);  // each run of frames staged in one type
            if (std::string why = configure(frame); !why.empty()) return why;
            copy_ = staged_copy_ = copy;
            if (copy_ == Copy::doubles) make_room(doubles_, frames);
            if (copy_ == Copy::floats) make_room(floats_, frames);
        }
        switch (format) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_U8P: scan<uint8_t>(frame); break;
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P: scan<int16_t>(frame); break;
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P: scan<int32_t>(frame); break;
        case AV_SAMPLE_FMT_S64:
        case AV_SAMPLE_FMT_S64P: scan<int64_t>(frame); break;
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP: scan<float>(frame); break;
        case AV_SAMPLE_FMT_DBL:
        case AV_SAMPLE_FMT_DBLP: scan<double>(frame); break;
        default: return std::string("unknown sample format ") + std::to_string(frame->format);
        }
        frames_ += static_cast<int64_t>(frames);
        if (copy_ != Copy::none) {
            staged_ += frames;
            if (staged_ >= batch_) hand_over(false);
        }
        return {};
    }

    TrackMeasure finish() {
        TrackMeasure m;
        m.frames = frames_;
        if (values_ > 0) {
            m.sample_peak_db = to_db(peak_);
            m.rms_db = to_db(std::sqrt(squares_ / static_cast<double>(values_)));
        }
        if (!request_.loudness) return m;
        hand_over(true);
        m.true_peak = to_db(true_peak_.peak());
        m.true_peak_blocks = true_peak_.blocks();
        m.true_peak_blocks_interpolated = true_peak_.blocks_interpolated();
        // Below the gate (or no whole block) the track reads the gate itself.
        const auto integrated = loudness_.integrated();
        m.integrated = integrated ? std::max(*integrated, kAbsoluteGate) : kAbsoluteGate;
        m.range = loudness_.range();
        if (request_.blocks) m.blocks = loudness_.blocks();
        return m;
    }

    CodecContextPtr decoder;

private:
    // The loudness state for the frame's channels and rate: made at the first
    // frame (a decoder may learn its layout only then), changed when they do.
    std::string configure(const AVFrame* frame) {
        const int channels = av::channel_count(frame);
        const unsigned long rate = static_cast<unsigned long>(frame->sample_rate);
        if (rate == 0) return "a frame without a sample rate";
        if (channels == channels_ && rate == rate_ && av_channel_layout_compare(&frame->ch_layout, &layout_) == 0) {
            return {};
        }
        hand_over(true);  // what is staged belongs to the run before
        std::vector<double> weights;
        for (int c = 0; c < channels; ++c) weights.push_back(channel_weight(frame->ch_layout, c));
        loudness_.configure(static_cast<int>(rate), std::move(weights));
        if (channels != channels_) true_peak_.set_channels(channels);
        av_channel_layout_uninit(&layout_);
        av_channel_layout_copy(&layout_, &frame->ch_layout);
        channels_ = channels;
        rate_ = rate;
        segment_ = loudness_.segment_frames();
        return {};
    }

    // The planes the meters read are filled frame by frame and handed over a
    // few whole 100 ms segments at a time, so the filter reads each segment
    // straight from them (a frame seldom ends where a segment does) and the
    // true peak makes fewer, longer passes. Room for `frames` more.
    template <typename V>
    void make_room(Staging<V>& s, size_t frames) {
        const size_t channels = static_cast<size_t>(channels_);
        // About 128 KB a batch, which stays in the cache between the meters.
        batch_ = std::max<size_t>(1, kBatchBytes / (segment_ * channels * sizeof(V))) * segment_;
        if (s.planes.size() == channels && staged_ + frames <= s.stride) {
            s.at.resize(channels);
            for (size_t c = 0; c < channels; ++c) s.at[c] = s.planes[c] + staged_;
            return;
        }
        const size_t stride = std::max(batch_, staged_) + frames;
        std::vector<V> samples(stride * channels);
        for (size_t c = 0; c < channels && c < s.planes.size(); ++c) {
            std::copy_n(s.planes[c], staged_, samples.data() + c * stride);
        }
        s.samples = std::move(samples);
        s.stride = stride;
        s.planes.resize(channels);
        s.at.resize(channels);
        for (size_t c = 0; c < channels; ++c) {
            s.planes[c] = s.samples.data() + c * stride;
            s.at[c] = s.planes[c] + staged_;
        }
    }

    // The staged frames to the meters: the whole segments, or all.
    void hand_over(bool all) {
        if (staged_copy_ == Copy::doubles) hand_over(doubles_, all);
        if (staged_copy_ == Copy::floats) hand_over(floats_, all);
    }
    template <typename V>
    void hand_over(Staging<V>& s, bool all) {
        const size_t n = all ? staged_ : staged_ - staged_ % segment_;
        if (n == 0) return;
        true_peak_.add_planes(s.planes.data(), n);
        loudness_.add_planes(s.planes.data(), n);
        for (V* plane : s.planes) std::copy(plane + n, plane + staged_, plane);
        staged_ -= n;
    }

    // Every sample into the peak and the sum of squares, read in the
    // decoder's format; for the loudness (copy_) also staged, one plane per
    // channel, as floats or doubles.
    template <typename T>
    void scan(const AVFrame* frame) {
        const size_t channels = static_cast<size_t>(av::channel_count(frame));
        const size_t frames = static_cast<size_t>(frame->nb_samples);
        const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
        const auto* data = reinterpret_cast<const T* const*>(frame->extended_data);
        values_ += static_cast<int64_t>(frames * channels);
        if constexpr (std::is_same_v<T, int16_t>) {
            if (copy_ == Copy::floats && !planar && channels == 2) {  // a 16-bit WAV's stereo: one pass
                scan_and_split_stereo_s16(data[0], frames, floats_.at[0], floats_.at[1], peak_, squares_);
                return;
            }
        }
        double peak = peak_;
        for (size_t c = 0; c < (planar ? channels : 1); ++c) {
            scan_fast(data[c], planar ? frames : frames * channels, peak, squares_);
        }
        peak_ = peak;
        if (copy_ == Copy::doubles) to_planes(data, planar, channels, frames, doubles_.at.data());
        if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, int16_t> || std::is_same_v<T, float>) {
            if (copy_ == Copy::floats) to_planes(data, planar, channels, frames, floats_.at.data());
        }
    }

    const MeterRequest request_;
    const int stream_index_;
    double peak_ = 0;
    double squares_ = 0;
    int64_t values_ = 0;
    int64_t frames_ = 0;
    Copy copy_ = Copy::none;         // this frame's
    Copy staged_copy_ = Copy::none;  // the staged frames'
    Staging<float> floats_;
    Staging<double> doubles_;
    size_t staged_ = 0;
    size_t segment_ = 1;  // frames of 100 ms
    size_t batch_ = 1;    // staged frames handed over once there are this many

    LoudnessMeter loudness_;
    int channels_ = 0;
    unsigned long rate_ = 0;
    AVChannelLayout layout_{};
    TruePeakMeter true_peak_;
};

// Sends one packet (null: the end) to the track's decoder and measures what
// comes out. Damaged data is skipped, as a conversion skips it.
std::string decode(Track& track, const AVPacket* packet, AVFrame* frame) {
    int ret = avcodec_send_packet(track.decoder.get(), packet);
    if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) return {};
    while (true) {
        ret = avcodec_receive_frame(track.decoder.get(), frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
        if (ret < 0) return {};
        std::string why = track.add(frame);
        av_frame_unref(frame);
        if (!why.empty()) return why;
    }
}

}  // namespace

MeterResult measure_tracks(const std::string& file_name, const MeterRequest& request, const std::atomic<bool>* stop,
                           const MeterProgressEvent& progress) {
    MeterResult result;
    AVFormatContext* opened = nullptr;
    int ret = avformat_open_input(&opened, file_name.c_str(), nullptr, nullptr);
    InputFilePtr input(opened);
    if (ret < 0) {
        result.error = file_name + ": " + av::error_text(ret);
        return result;
    }
    ret = avformat_find_stream_info(input.get(), nullptr);
    if (ret < 0) {
        result.error = file_name + ": could not find codec parameters: " + av::error_text(ret);
        return result;
    }

    av::read_in_large_packets(input.get());
    std::vector<bool> lossy;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters* par = input->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
        lossy.push_back(d && (d->props & AV_CODEC_PROP_LOSSY));
    }
    if (request.lossy_only && std::find(lossy.begin(), lossy.end(), true) == lossy.end()) {
        result.tracks.resize(lossy.size());
        return result;
    }

    std::vector<std::unique_ptr<Track>> tracks;
    std::vector<Track*> track_of_stream(input->nb_streams, nullptr);
    bool default_found = false;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* st = input->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
            st->discard = AVDISCARD_ALL;  // the demuxer skips what is not measured
            continue;
        }
        if ((st->disposition & AV_DISPOSITION_DEFAULT) && !default_found) {
            result.main_track = tracks.size();
            default_found = true;
        }
        auto track = std::make_unique<Track>(request, static_cast<int>(i));
        if (std::string why = track->open(st); !why.empty()) {
            result.error = file_name + ": audio track " + std::to_string(tracks.size()) + ": " + why;
            return result;
        }
        track_of_stream[i] = track.get();
        tracks.push_back(std::move(track));
    }
    if (tracks.empty()) return result;  // nothing to measure: the caller tells what that means

    const int64_t duration = input->duration > 0 ? input->duration : -1;
    const int64_t start = input->start_time != AV_NOPTS_VALUE ? input->start_time : 0;
    auto last_report = std::chrono::steady_clock::now();
    int64_t position = 0;
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        result.error = "out of memory";
        return result;
    }
    while (true) {
        if (stop && stop->load(std::memory_order_relaxed)) {
            result.stopped = true;
            return result;
        }
        ret = av_read_frame(input.get(), packet.get());
        if (ret == AVERROR(EAGAIN)) continue;
        if (ret < 0) break;  // the end, or as far as a damaged file reads
        Track* track = static_cast<unsigned>(packet->stream_index) < track_of_stream.size()
                           ? track_of_stream[static_cast<size_t>(packet->stream_index)]
                           : nullptr;
        if (track) {
            if (progress && packet->pts != AV_NOPTS_VALUE) {
                const auto now = std::chrono::steady_clock::now();
                if (now - last_report >= kProgressEvery) {
                    last_report = now;
                    const AVRational tb = input->streams[packet->stream_index]->time_base;
                    // Tracks interleave a little out of order: never back.
                    position = std::max(position, av_rescale_q(packet->pts, tb, AV_TIME_BASE_Q) - start);
                    progress(position, duration);
                }
            }
            std::string why = decode(*track, packet.get(), frame.get());
            if (!why.empty()) {
                result.error = file_name + ": " + why;
                return result;
            }
        }
        av_packet_unref(packet.get());
    }
    for (auto& track : tracks) {
        std::string why = decode(*track, nullptr, frame.get());
        if (!why.empty()) {
            result.error = file_name + ": " + why;
            return result;
        }
        result.tracks.push_back(track->finish());
        result.tracks.back().lossy = lossy[result.tracks.size() - 1];
    }
    if (progress) progress(duration > 0 ? duration : position, duration);
    return result;
}

}  // namespace sonorix
