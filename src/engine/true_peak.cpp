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
    // The history starts silent, as if the track began after silence.
    channels_.assign(static_cast<size_t>(std::max(channels, 1)), Channel{});
    for (Channel& ch : channels_) ch.window.assign(kHistory + kBlockFrames, 0.0f);
}

void TruePeakMeter::add(const double* samples, size_t frames) {
    const size_t channels = channels_.size();
    scratch_.resize(frames * channels);
    std::vector<double*> planes(channels);
    for (size_t c = 0; c < channels; ++c) planes[c] = scratch_.data() + c * frames;
    to_planes(&samples, false, channels, frames, planes.data());
    add_planes(planes.data(), frames);
}

namespace {

// The largest magnitude of n samples as floats and the largest step between
// neighbours, the one from `before` into the first included.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) inline __m256 eight(const double* from) {
    return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(from + 4)), _mm256_cvtpd_ps(_mm256_loadu_pd(from)));
}
__attribute__((target("avx2"))) inline __m256 eight(const float* from) { return _mm256_loadu_ps(from); }

__attribute__((target("avx2"))) inline float largest(__m256 v) {
    __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_max_ps(m, _mm_movehl_ps(m, m));
    return _mm_cvtss_f32(_mm_max_ss(m, _mm_shuffle_ps(m, m, 1)));
}

// Eight samples at a time; returns how many it took.
template <typename T>
__attribute__((target("avx2"))) size_t stats_wide(const T* from, size_t n, float& before, float& peak, float& step) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256i rotate = _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6);
    __m256 top = _mm256_setzero_ps(), steps = _mm256_setzero_ps();
    __m256 rotated = _mm256_set1_ps(before);  // lane 0: the sample before the next eight
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = eight(from + i);
        // The sample before each: the last of the previous eight, then v's first seven.
        const __m256 next = _mm256_permutevar8x32_ps(v, rotate);
        const __m256 earlier = _mm256_blend_ps(next, rotated, 0x01);
        rotated = next;
        top = _mm256_max_ps(top, _mm256_and_ps(v, magnitude));
        steps = _mm256_max_ps(steps, _mm256_and_ps(_mm256_sub_ps(v, earlier), magnitude));
    }
    if (i == 0) return 0;
    peak = std::max(peak, largest(top));
    step = std::max(step, largest(steps));
    before = static_cast<float>(from[i - 1]);
    return i;
}
#endif

// The second bound (see the header), with its margin for rounding.
double step_bound(float reach, float slope) {
    double stepped = 0;
    for (int k = 0; k < TruePeakMeter::kPhases; ++k) {
        stepped = std::max(stepped, kStepBound.sum[k] * reach + kStepBound.weighted[k] * slope);
    }
    return stepped * kMargin;
}

template <typename T>
inline void block_stats(const T* from, size_t n, float before, float& peak, float& step) {
    size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (cpu_has_avx2()) i = stats_wide(from, n, before, peak, step);
#endif
    for (; i < n; ++i) {
        const float v = static_cast<float>(from[i]);
        peak = std::max(peak, std::fabs(v));
        step = std::max(step, std::fabs(v - before));
        before = v;
    }
}

}  // namespace

void TruePeakMeter::add_planes(const double* const* planes, size_t frames) { add_blocks(planes, frames); }
void TruePeakMeter::add_planes(const float* const* planes, size_t frames) { add_blocks(planes, frames); }

// Each channel block by block, straight from its plane. A block is judged on
// its own samples and on the kHistory before it, which lie within the last
// kTail of the block before (or of all that came before, when it was
// shorter): their figures stand for the history's, a bound as safe and only
// a little looser. The samples are copied out as floats only for a block
// that has to be interpolated.
template <typename T>
void TruePeakMeter::add_blocks(const T* const* planes, size_t frames) {
    for (size_t c = 0; c < channels_.size(); ++c) {
        const T* x = planes[c];
        Channel& ch = channels_[c];
        float* w = ch.window.data();
        for (size_t at = 0; at < frames; at += kBlockFrames) {
            const size_t n = std::min(kBlockFrames, frames - at);
            ++blocks_;
            float before = at > 0 ? static_cast<float>(x[at - 1]) : ch.tail[kHistory - 1];
            const size_t body = n > kTail ? n - kTail : 0;
            float body_peak = 0, body_step = 0, tail_peak = 0, tail_step = 0;
            block_stats(x + at, body, before, body_peak, body_step);
            if (body > 0) before = static_cast<float>(x[at + body - 1]);
            block_stats(x + at + body, n - body, before, tail_peak, tail_step);
            const float block_peak = std::max(body_peak, tail_peak);
            // The sample peak is a floor of the true peak: the annex filter's
            // phase 0 reads a lone sample at 0.97 of itself.
            peak_ = std::max(peak_, static_cast<double>(block_peak));
            const float reach = std::max(block_peak, ch.history_peak);
            const float slope = std::max({body_step, tail_step, ch.history_step});
            if (reach * kGainBound > peak_ && step_bound(reach, slope) > peak_) {
                ++interpolated_;
                // The history: the samples before `at`, from the plane or,
                // before its start, from the last call's.
                for (size_t j = 0; j < kHistory; ++j) {
                    const size_t from = at + j;  // counted from kHistory before the plane
                    w[j] = from >= kHistory ? static_cast<float>(x[from - kHistory]) : ch.tail[from];
                }
                for (size_t i = 0; i < n; ++i) w[kHistory + i] = static_cast<float>(x[at + i]);
                peak_ = std::max(peak_, static_cast<double>(interpolated_peak(w, n)));
            }
            if (body > 0) {
                ch.history_peak = tail_peak, ch.history_step = tail_step;
            } else {
                ch.history_peak = reach, ch.history_step = slope;
            }
        }
        // The last kHistory samples, for the next call's first blocks.
        if (frames >= kHistory) {
            for (size_t j = 0; j < kHistory; ++j) ch.tail[j] = static_cast<float>(x[frames - kHistory + j]);
        } else {
            std::copy(ch.tail.begin() + static_cast<ptrdiff_t>(frames), ch.tail.end(), ch.tail.begin());
            for (size_t j = 0; j < frames; ++j) ch.tail[kHistory - frames + j] = static_cast<float>(x[j]);
        }
    }
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

// One output frame as wide_peak computes it, to the same rounding: the
// figure does not depend on where blocks end.
__attribute__((target("fma"))) float fused_scalar_peak(const float* newest) {
    float peak = 0;
    for (const auto& phase : kCoefficients) {
        float y = phase[0] * newest[0];
        for (int j = 1; j < TruePeakMeter::kTaps; ++j) y = __builtin_fmaf(phase[j], newest[-j], y);
        peak = std::max(peak, std::fabs(y));
    }
    return peak;
}

}  // namespace
#endif

float TruePeakMeter::interpolated_peak(const float* history, size_t frames) {
    const float* newest = history + kHistory;  // the newest sample of output frame 0
    size_t i = 0;
    float peak = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (cpu_has_avx2_fma()) {
        peak = wide_peak(newest, frames, i);
        for (; i < frames; ++i) peak = std::max(peak, fused_scalar_peak(newest + i));
        return peak;
    }
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
