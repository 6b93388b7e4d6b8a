// BS.1770 loudness of one track as its samples pass: K-weighting (the
// pre-filter and the RLB high-pass, designed for the track's rate), the
// weighted energy of every 100 ms, and from those the 400 ms blocks
// (integrated loudness, gated at -70 LUFS and 10 LU below) and the 3 s
// windows every 100 ms (loudness range: gated at -70 and 20 LU below, 10th
// to 95th percentile, EBU Tech 3342).
//
// Written for the meter's speed: libebur128 reads the same figures (the
// tests hold it as the reference) at several times the cost, which no
// longer fits loudness at about the cost of decoding. One object per track,
// one thread.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace sonorix {

class LoudnessMeter {
public:
    // The weight of each channel in the sum: 1 for the fronts, 1.41 (+1.5
    // dB) for the surrounds, 0 for the LFE, 2 for mono (dual mono).
    static constexpr double kSurround = 1.41253754462275;

    // Starts a run of `rate` with these channel weights; the blocks and
    // windows measured so far stay (a track whose layout changes midway).
    // parts false: each segment filtered in one run even where the
    // processor could take its parts side by side (the tests hold the two
    // ways to one figure).
    void configure(int rate, std::vector<double> weights, bool parts = true);
    // Interleaved samples of the configured channels, 1.0 full scale.
    void add(const double* samples, size_t frames);
    // The same as one plane per channel, in doubles or floats.
    void add_planes(const double* const* planes, size_t frames);
    void add_planes(const float* const* planes, size_t frames);

    // Frames of 100 ms at the configured rate: planes handed over in whole
    // ones are filtered where they lie, without a copy.
    size_t segment_frames() const { return segment_frames_; }
    // LUFS; none when no block passed the absolute gate (silence, or
    // shorter than 400 ms).
    std::optional<double> integrated() const;
    // LU; 0 when fewer than two windows pass the gates.
    double range() const;
    // The loudness of every whole 400 ms block, one every 100 ms.
    std::vector<float> blocks() const;

    // The filter's coefficients at a rate: b0 b1 b2 a1 a2 of each stage.
    struct Biquad {
        double b0, b1, b2, a1, a2;
    };
    static Biquad pre_filter(int rate);
    static Biquad rlb_filter(int rate);

    struct Stage {
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;  // direct form I: the last two inputs and outputs
    };

private:
    struct Channel {
        Stage pre, rlb;
        double weight = 1;
    };
    template <typename T>
    void add_segments(const T* const* planes, size_t frames);
    template <typename T>
    void filter(const T* const* planes, size_t frames);
    void segment_ended();

    // A whole segment filtered as parts side by side, all but the first from
    // a silent start and then mended by linearity (see the .cpp).
    struct Parts {
        size_t count = 4;           // 8 for a lone channel
        size_t part = 0, last = 0;  // frames of each part but the last, of the last
        // The outputs from each unit state (the pre-filter's last two
        // outputs, the high-pass's) over `last` frames, one after another.
        std::vector<double> response;
        double gram[2][4][4] = {};              // their sums of products over `part`, over `last` frames
        double carry[2][4][4] = {};             // the states they end in, row by state
        std::vector<std::vector<double>> held;  // per channel: the segment so far
        std::vector<const double*> held_at;     // where each channel's starts
    };
    void prepare_parts(bool parts);
    // One whole segment, one plane per channel.
    template <typename T>
    void filter_parts(const T* const* planes);

    Biquad pre_{}, rlb_{};
    std::vector<Channel> channels_;
    Parts parts_;
    bool use_parts_ = false;
    size_t segment_frames_ = 0;            // 100 ms
    size_t filled_ = 0;                    // frames in the segment under way
    double energy_ = 0;                    // its weighted sum of squares
    std::vector<double> segments_;         // of this run: mean weighted energy per 100 ms
    std::vector<double> block_energies_;   // every 400 ms block of every run
    std::vector<double> window_energies_;  // every 3 s window
    std::vector<double> scratch_;          // add's planes
    std::vector<double*> scratch_planes_;
};

}  // namespace sonorix
