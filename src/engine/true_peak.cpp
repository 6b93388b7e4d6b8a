#include "engine/true_peak.h"

#include <algorithm>
#include <cmath>

#include "engine/private/planes.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace sonorix {

namespace {

// The annex's coefficients, phase by phase; tap j weighs the sample j places
// back from the newest.
alignas(16) constexpr float kCoefficients[TruePeakMeter::kPhases][TruePeakMeter::kTaps] = {
    {0.0017089843750f, 0.0109863281250f, -0.0196533203125f, 0.0332031250000f, -0.0594482421875f, 0.1373291015625f,
     0.9721679687500f, -0.1022949218750f, 0.0476074218750f, -0.0266113281250f, 0.0148925781250f, -0.0083007812500f},
    {-0.0291748046875f, 0.0292968750000f, -0.0517578125000f, 0.0891113281250f, -0.1665039062500f, 0.4650878906250f,
     0.7797851562500f, -0.2003173828125f, 0.1015625000000f, -0.0582275390625f, 0.0330810546875f, -0.0189208984375f},
    {-0.0189208984375f, 0.0330810546875f, -0.0582275390625f, 0.1015625000000f, -0.2003173828125f, 0.7797851562500f,
     0.4650878906250f, -0.1665039062500f, 0.0891113281250f, -0.0517578125000f, 0.0292968750000f, -0.0291748046875f},
    {-0.0083007812500f, 0.0148925781250f, -0.0266113281250f, 0.0476074218750f, -0.1022949218750f, 0.9721679687500f,
     0.1373291015625f, -0.0594482421875f, 0.0332031250000f, -0.0196533203125f, 0.0109863281250f, 0.0017089843750f},
};

constexpr size_t kHistory = TruePeakMeter::kTaps - 1;

// Each coefficient repeated over the lanes of a vector (8 floats, of which
// SSE2 reads the first 4), read from memory by the multiplications.
struct Spread {
    alignas(32) float h[TruePeakMeter::kPhases][TruePeakMeter::kTaps][8];
};
const Spread kSpread = [] {
    Spread s{};
    for (int k = 0; k < TruePeakMeter::kPhases; ++k) {
        for (int j = 0; j < TruePeakMeter::kTaps; ++j) std::fill_n(s.h[k][j], 8, kCoefficients[k][j]);
    }
    return s;
}();

// Per phase: |sum of the taps| and the taps weighted by their distance from
// the largest (see the header).
struct StepBound {
    double sum[TruePeakMeter::kPhases];
    double weighted[TruePeakMeter::kPhases];
};
const StepBound kStepBound = [] {
    StepBound b{};
    for (int k = 0; k < TruePeakMeter::kPhases; ++k) {
        const float* h = kCoefficients[k];
        const int largest =
            static_cast<int>(std::max_element(h, h + TruePeakMeter::kTaps,
                                              [](float a, float c) { return std::fabs(a) < std::fabs(c); }) -
                             h);
        double sum = 0;
        for (int j = 0; j < TruePeakMeter::kTaps; ++j) {
            sum += h[j];
            b.weighted[k] += std::fabs(h[j]) * std::abs(j - largest);
        }
        b.sum[k] = std::fabs(sum);
    }
    return b;
}();

// Rounding: the filter sums in float.
constexpr double kMargin = 1 + 1e-5;

double gain_bound() {
    double bound = 0;
    for (const auto& phase : kCoefficients) {
        double sum = 0;
        for (const float c : phase) sum += std::fabs(c);
        bound = std::max(bound, sum);
    }
    return bound;
}

// One output frame's four phases, from the newest sample at x[0] backwards.
float scalar_peak(const float* newest) {
    float peak = 0;
    for (const auto& phase : kCoefficients) {
        float y = 0;
        for (int j = 0; j < TruePeakMeter::kTaps; ++j) y += phase[j] * newest[-j];
        peak = std::max(peak, std::fabs(y));
    }
    return peak;
}

}  // namespace

const double TruePeakMeter::kGainBound = gain_bound() * kMargin;

TruePeakMeter::TruePeakMeter(int channels) { set_channels(channels); }

void TruePeakMeter::set_channels(int channels) {
    if (!buffers_.empty()) finish();
    channels_ = std::max(channels, 1);
    buffers_.assign(static_cast<size_t>(channels_), std::vector<float>(kHistory + kBlockFrames + kHistory, 0.0f));
    block_peak_.assign(static_cast<size_t>(channels_), 0.0f);
    block_step_.assign(static_cast<size_t>(channels_), 0.0f);
    filled_ = 0;
}

void TruePeakMeter::add(const double* samples, size_t frames) {
    const size_t channels = static_cast<size_t>(channels_);
    scratch_.resize(frames * channels);
    std::vector<double*> planes(channels);
    for (size_t c = 0; c < channels; ++c) planes[c] = scratch_.data() + c * frames;
    to_planes(&samples, false, channels, frames, planes.data());
    add_planes(planes.data(), frames);
}

namespace {

// Copies n samples into `to` as floats (to[-1] is the sample before them)
// and raises `peak` and `step` to their largest magnitude and step.
#if defined(__x86_64__) && defined(__GNUC__)
// The same, eight samples at a time; returns how many it took.
__attribute__((target("avx2"))) size_t take_wide(const double* from, float* to, size_t n, float& peak, float& step) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256i rotate = _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6);
    __m256 top = _mm256_set1_ps(peak), steps = _mm256_set1_ps(step);
    __m256 rotated = _mm256_set1_ps(to[-1]);  // lane 7: the sample before the next eight
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v =
            _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(from + i + 4)), _mm256_cvtpd_ps(_mm256_loadu_pd(from + i)));
        _mm256_storeu_ps(to + i, v);
        // The sample before each: the last of the previous eight, then v's first seven.
        const __m256 next = _mm256_permutevar8x32_ps(v, rotate);
        const __m256 before = _mm256_blend_ps(next, rotated, 0x01);
        rotated = next;
        top = _mm256_max_ps(top, _mm256_and_ps(v, magnitude));
        steps = _mm256_max_ps(steps, _mm256_and_ps(_mm256_sub_ps(v, before), magnitude));
    }
    alignas(32) float lanes[16];
    _mm256_store_ps(lanes, top);
    _mm256_store_ps(lanes + 8, steps);
    peak = *std::max_element(lanes, lanes + 8);
    step = *std::max_element(lanes + 8, lanes + 16);
    return i;
}
#endif

void take(const double* from, float* to, size_t n, float& peak, float& step) {
    size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (cpu_has_avx2()) {
        i = take_wide(from, to, n, peak, step);
        from += i, to += i, n -= i;
        i = 0;
    }
#endif
#if defined(__SSE2__)
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 top = _mm_set1_ps(peak), steps = _mm_set1_ps(step);
    __m128 last = _mm_set1_ps(to[-1]);
    for (; i + 4 <= n; i += 4) {
        const __m128 v = _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(from + i)), _mm_cvtpd_ps(_mm_loadu_pd(from + i + 2)));
        _mm_storeu_ps(to + i, v);
        // The sample before each: the last of the previous four, then v's first three.
        const __m128 before = _mm_castsi128_ps(
            _mm_or_si128(_mm_slli_si128(_mm_castps_si128(v), 4), _mm_srli_si128(_mm_castps_si128(last), 12)));
        top = _mm_max_ps(top, _mm_and_ps(v, magnitude));
        steps = _mm_max_ps(steps, _mm_and_ps(_mm_sub_ps(v, before), magnitude));
        last = v;
    }
    alignas(16) float lanes[8];
    _mm_store_ps(lanes, top);
    _mm_store_ps(lanes + 4, steps);
    peak = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
    step = std::max(std::max(lanes[4], lanes[5]), std::max(lanes[6], lanes[7]));
#endif
    for (; i < n; ++i) {
        const float v = static_cast<float>(from[i]);
        to[i] = v;
        peak = std::max(peak, std::fabs(v));
        step = std::max(step, std::fabs(v - to[static_cast<ptrdiff_t>(i) - 1]));
    }
}

}  // namespace

void TruePeakMeter::add_planes(const double* const* planes, size_t frames) {
    size_t done = 0;
    while (done < frames) {
        const size_t n = std::min(frames - done, kBlockFrames - filled_);
        for (size_t c = 0; c < buffers_.size(); ++c) {
            take(planes[c] + done, buffers_[c].data() + kHistory + filled_, n, block_peak_[c], block_step_[c]);
        }
        filled_ += n;
        done += n;
        if (filled_ == kBlockFrames) run_block(kBlockFrames);
    }
}

void TruePeakMeter::finish() {
    // The outputs up to the last sample; none past it: a file that stops
    // mid-wave would read an overshoot of the cut that no one plays (nor do
    // the filter graphs read one).
    run_block(filled_);
}

void TruePeakMeter::run_block(size_t frames) {
    // The sample peak is a floor of the true peak: the annex filter's phase 0
    // reads a lone sample at 0.97 of itself.
    for (const float p : block_peak_) peak_ = std::max(peak_, static_cast<double>(p));
    for (size_t c = 0; c < buffers_.size() && frames > 0; ++c) {
        ++blocks_;
        // The outputs of this block read the history too.
        const float* b = buffers_[c].data();
        float reach = block_peak_[c], slope = block_step_[c];
        for (size_t j = 0; j < kHistory; ++j) {
            reach = std::max(reach, std::fabs(b[j]));
            if (j > 0) slope = std::max(slope, std::fabs(b[j] - b[j - 1]));
        }
        double stepped = 0;
        for (int k = 0; k < kPhases; ++k) {
            stepped = std::max(stepped, kStepBound.sum[k] * reach + kStepBound.weighted[k] * slope);
        }
        const double bound = std::min(reach * kGainBound, stepped * kMargin);
        if (bound > peak_) {
            ++interpolated_;
            peak_ = std::max(peak_, static_cast<double>(interpolated_peak(b, frames)));
        }
    }
    // The block's last samples are the next one's history.
    for (auto& b : buffers_) std::copy_n(b.begin() + static_cast<ptrdiff_t>(frames), kHistory, b.begin());
    std::fill(block_peak_.begin(), block_peak_.end(), 0.0f);
    std::fill(block_step_.begin(), block_step_.end(), 0.0f);
    filled_ = 0;
}

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

// Eight output frames at a time with fused multiply-adds, for processors
// that have them (chosen at run time): a third of the SSE2 loop's work.
__attribute__((target("avx2,fma"))) float wide_peak(const float* newest, size_t frames, size_t& done) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 top = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        __m256 x[TruePeakMeter::kTaps];
        for (int j = 0; j < TruePeakMeter::kTaps; ++j) x[j] = _mm256_loadu_ps(newest + i - j);
        for (const auto& phase : kSpread.h) {
            __m256 y = _mm256_mul_ps(_mm256_load_ps(phase[0]), x[0]);
            for (int j = 1; j < TruePeakMeter::kTaps; ++j) y = _mm256_fmadd_ps(_mm256_load_ps(phase[j]), x[j], y);
            top = _mm256_max_ps(top, _mm256_and_ps(y, magnitude));
        }
    }
    done = i;
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, top);
    return *std::max_element(lanes, lanes + 8);
}

bool wide() {
    static const bool wide = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return wide;
}

}  // namespace
#endif

float TruePeakMeter::interpolated_peak(const float* history, size_t frames) {
    const float* newest = history + kHistory;  // the newest sample of output frame 0
    size_t i = 0;
    float peak = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (wide()) peak = wide_peak(newest, frames, i);
#endif
#if defined(__SSE2__)
    // Four output frames at a time: the taps' samples are loaded once and
    // shared by the four phases.
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 top = _mm_setzero_ps();
    for (; i + 4 <= frames; i += 4) {
        __m128 x[kTaps];
        for (int j = 0; j < kTaps; ++j) x[j] = _mm_loadu_ps(newest + i - j);
        for (const auto& phase : kSpread.h) {
            __m128 y = _mm_mul_ps(_mm_load_ps(phase[0]), x[0]);
            for (int j = 1; j < kTaps; ++j) y = _mm_add_ps(y, _mm_mul_ps(_mm_load_ps(phase[j]), x[j]));
            top = _mm_max_ps(top, _mm_and_ps(y, magnitude));
        }
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, top);
    peak = std::max(peak, std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3])));
#endif
    for (; i < frames; ++i) peak = std::max(peak, scalar_peak(newest + i));
    return peak;
}

}  // namespace sonorix
