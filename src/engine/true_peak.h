// The true peak of a track: its samples interpolated 4x by the 48-tap
// polyphase filter of the BS.1770 annex (12 taps a phase), the largest
// magnitude of the result, and never less than the sample peak.
//
// The interpolation is the costly part, so it runs block by block, and only
// over blocks that can raise the maximum: an output is a weighted sum of 12
// input samples, so it is at most kGainBound times the largest of them (R).
// Nor can it pass |sum of its taps| * R + W * D, where D is the largest step
// between neighbouring samples and W the taps weighted by their distance
// from the phase's largest one: an output differs from that tap's sample by
// at most the steps in between. Music steps little from sample to sample,
// so this bound sits a few dB above the sample peak where the first sits
// 6 dB above. Each channel's block is judged on its own samples and on the
// last kTail before it (which hold the filter's history of kTaps - 1): one
// whose lesser bound stays at or below the maximum so far is skipped, so the
// figure is the same as interpolating everything, wherever the blocks end.
//
// One object per track, used by one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonorix {

class TruePeakMeter {
public:
    static constexpr int kPhases = 4;
    static constexpr int kTaps = 12;  // per phase
    // Blocks this short keep the interpolation to the few places near the
    // maximum; a block that ends a call to add_planes may be shorter.
    static constexpr size_t kBlockFrames = 64;
    // The samples whose figures stand for a block's history (at least
    // kTaps - 1), and one more for the step into the first of them.
    static constexpr size_t kTail = 16;
    static constexpr size_t kBefore = kTail + 1;
    static_assert(kTail >= kTaps - 1);
    // Max over the phases of the sum of |coefficient|: 2.0228 (+6.12 dB), set
    // by the phases half-way between samples.
    static const double kGainBound;

    explicit TruePeakMeter(int channels = 1);

    // Interleaved samples of the channel count given; 1.0 is full scale.
    void add(const double* samples, size_t frames);
    // The same as one plane per channel, in doubles or floats.
    void add_planes(const double* const* planes, size_t frames);
    void add_planes(const float* const* planes, size_t frames);
    // A new channel count: the maximum is kept, the history starts silent.
    void set_channels(int channels);

    // Linear; 0 for digital silence. Every sample added is counted: the
    // outputs reach up to the last sample and none past it (a file that stops
    // mid-wave would read an overshoot of the cut that no one plays).
    double peak() const { return peak_; }
    // Counted per channel: a stereo track's block counts twice.
    int64_t blocks() const { return blocks_; }
    int64_t blocks_interpolated() const { return interpolated_; }

    // The largest |output| of the interpolator over `frames` outputs of one
    // channel: history holds kTaps - 1 samples before the first, then the
    // frames themselves. For the tests and the benchmark as well.
    static float interpolated_peak(const float* history, size_t frames);

private:
    struct Channel {
        std::array<float, kBefore> before{};  // the last samples of the last call
        std::vector<float> window;            // a block and its history, as floats, where the plane cannot serve
    };

    template <typename T>
    void add_blocks(const T* const* planes, size_t frames);
    // reach: the largest magnitude of the block and its tail, where the
    // quick test found it; 0 when not known.
    template <typename T>
    void judge(const T* w, size_t n, Channel& ch, float reach);
    void raise(double peak);

    std::vector<Channel> channels_;
    std::vector<double> scratch_;  // add's planes
    std::vector<double*> scratch_planes_;
    double peak_ = 0;
    float limit_ = 0;  // blocks whose samples stay at or below it are skipped
    int64_t blocks_ = 0;
    int64_t interpolated_ = 0;
};

}  // namespace sonorix
