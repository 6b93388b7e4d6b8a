#include "engine/true_peak.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "dsp/planes.h"

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
    for (Channel& ch : channels_) ch.window.assign(kBefore + kBlockFrames, 0.0f);
}

void TruePeakMeter::add(const double* samples, size_t frames) {
    interleaved_to_planes(samples, channels_.size(), frames, scratch_, scratch_planes_);
    add_planes(scratch_planes_.data(), frames);
}

namespace {

// A block's figures over n samples read as floats: the largest magnitude, and
// the largest step between neighbours, w[-1] to w[0] included. Eight at a
// time where the processor has AVX2 (asked once); the steps are worked out
// only for the blocks that pass the quick test of the magnitudes.
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

// The largest magnitude of the first n - n % 8, or 0 when none passes
// `limit`: most blocks end at the comparison, without adding up the lanes.
template <typename T>
__attribute__((target("avx2"))) float wide_peak_above(const T* w, size_t n, float limit) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 top = _mm256_setzero_ps();
    for (size_t i = 0; i + 8 <= n; i += 8) top = _mm256_max_ps(top, _mm256_and_ps(eight(w + i), magnitude));
    if (!_mm256_movemask_ps(_mm256_cmp_ps(top, _mm256_set1_ps(limit), _CMP_GT_OQ))) return 0;
    return largest(top);
}

// The same for floats, sixteen at a time, where the processor has AVX-512;
// the rest in one masked load (the masked lanes read as 0).
__attribute__((target("avx512f"))) float widest_peak_above(const float* w, size_t n, float limit) {
    __m512 top = _mm512_setzero_ps();
    size_t i = 0;
    // The masked forms: GCC 12's plain ones warn of an undefined operand.
    for (; i + 16 <= n; i += 16) top = _mm512_mask_max_ps(top, 0xffff, top, _mm512_abs_ps(_mm512_loadu_ps(w + i)));
    if (i < n) {
        const __mmask16 rest = static_cast<__mmask16>((1u << (n - i)) - 1);
        top = _mm512_mask_max_ps(top, 0xffff, top, _mm512_abs_ps(_mm512_maskz_loadu_ps(rest, w + i)));
    }
    if (!_mm512_cmp_ps_mask(top, _mm512_set1_ps(limit), _CMP_GT_OQ)) return 0;
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, top);
    return *std::max_element(lanes, lanes + 16);
}

__attribute__((target("avx512f"))) float widest_step(const float* w, size_t n) {
    __m512 top = _mm512_setzero_ps();
    for (size_t i = 0; i + 16 <= n; i += 16) {
        const __m512 step = _mm512_sub_ps(_mm512_loadu_ps(w + i), _mm512_loadu_ps(w + i - 1));
        top = _mm512_mask_max_ps(top, 0xffff, top, _mm512_abs_ps(step));
    }
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, top);
    return *std::max_element(lanes, lanes + 16);
}

template <typename T>
__attribute__((target("avx2"))) float wide_step(const T* w, size_t n) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 top = _mm256_setzero_ps();
    for (size_t i = 0; i + 8 <= n; i += 8) {
        top = _mm256_max_ps(top, _mm256_and_ps(_mm256_sub_ps(eight(w + i), eight(w + i - 1)), magnitude));
    }
    return largest(top);
}

// From the block at `at` on (each whole, its kTail before it in the plane),
// the first whose samples pass `limit`, with their largest magnitude in
// `reach`, or where the whole blocks end: the quick test in one tight loop,
// as most blocks end there.
constexpr size_t kSpan = TruePeakMeter::kTail + TruePeakMeter::kBlockFrames;

template <typename T>
__attribute__((target("avx2"))) size_t wide_skip(const T* x, size_t at, size_t frames, float limit, float& reach) {
    for (; at + TruePeakMeter::kBlockFrames <= frames; at += TruePeakMeter::kBlockFrames) {
        if ((reach = wide_peak_above(x + at - TruePeakMeter::kTail, kSpan, limit)) > 0) break;
    }
    return at;
}

__attribute__((target("avx512f"))) size_t widest_skip(const float* x, size_t at, size_t frames, float limit,
                                                      float& reach) {
    for (; at + TruePeakMeter::kBlockFrames <= frames; at += TruePeakMeter::kBlockFrames) {
        if ((reach = widest_peak_above(x + at - TruePeakMeter::kTail, kSpan, limit)) > 0) break;
    }
    return at;
}
#endif

template <typename T>
size_t skip_quiet(const T* x, size_t at, size_t frames, float limit, float& reach) {
    reach = 0;  // not known
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (std::is_same_v<T, float>) {
        if (cpu_has_avx512()) return widest_skip(x, at, frames, limit, reach);
    }
    if (cpu_has_avx2()) return wide_skip(x, at, frames, limit, reach);
#endif
    return at;
}

template <typename T>
float peak_above(const T* w, size_t n, float limit) {
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (std::is_same_v<T, float>) {
        if (cpu_has_avx512()) return widest_peak_above(w, n, limit);
    }
    // A block that ends a call may leave a few over the eights: those go below.
    if (cpu_has_avx2() && n % 8 == 0) return wide_peak_above(w, n, limit);
#endif
    float peak = 0;
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(static_cast<float>(w[i])));
    return peak;
}

template <typename T>
float largest_step(const T* w, size_t n) {
    size_t i = 0;
    float step = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (std::is_same_v<T, float>) {
        if (cpu_has_avx512() && n % 16 == 0) return widest_step(w, n);
    }
    if (cpu_has_avx2()) {
        i = n - n % 8;
        step = wide_step(w, n);
    }
#endif
    for (; i < n; ++i) step = std::max(step, std::fabs(static_cast<float>(w[i]) - static_cast<float>(w[i - 1])));
    return step;
}

// The second bound (see the header), with its margin for rounding.
double step_bound(float reach, float slope) {
    double stepped = 0;
    for (int k = 0; k < TruePeakMeter::kPhases; ++k) {
        stepped = std::max(stepped, kStepBound.sum[k] * reach + kStepBound.weighted[k] * slope);
    }
    return stepped * kMargin;
}

}  // namespace

void TruePeakMeter::add_planes(const double* const* planes, size_t frames) { add_blocks(planes, frames); }
void TruePeakMeter::add_planes(const float* const* planes, size_t frames) { add_blocks(planes, frames); }

// Each channel block by block, straight from its plane. A block is judged on
// its own samples and the kTail before it, which hold the filter's history;
// they lie in the plane, or for the first block of a call partly in the
// last call's samples, and that block is judged from a copy. The samples are
// copied out as floats for the interpolation only when they are not floats
// in the plane already.
template <typename T>
void TruePeakMeter::add_blocks(const T* const* planes, size_t frames) {
    for (size_t c = 0; c < channels_.size(); ++c) {
        const T* x = planes[c];
        Channel& ch = channels_[c];
        static_assert(kBlockFrames >= kBefore, "every block but a call's first has what comes before it in the plane");
        for (size_t at = 0; at < frames; at += kBlockFrames) {
            float reach = 0;
            if (at > 0) {
                const size_t next = skip_quiet(x, at, frames, limit_, reach);
                blocks_ += static_cast<int64_t>((next - at) / kBlockFrames);
                if ((at = next) >= frames) break;
            }
            const size_t n = std::min(kBlockFrames, frames - at);
            ++blocks_;
            if (at > 0) {
                judge(x + at - kTail, n, ch, reach);
            } else {
                // The last call's samples, then the block, as floats, in the window.
                float* w = ch.window.data();
                std::copy(ch.before.begin(), ch.before.end(), w);
                for (size_t j = 0; j < n; ++j) w[kBefore + j] = static_cast<float>(x[j]);
                judge(static_cast<const float*>(w + kBefore - kTail), n, ch, 0);
            }
        }
        // The last kBefore samples, for the next call's first block.
        if (frames >= kBefore) {
            for (size_t j = 0; j < kBefore; ++j) ch.before[j] = static_cast<float>(x[frames - kBefore + j]);
        } else {
            std::copy(ch.before.begin() + static_cast<ptrdiff_t>(frames), ch.before.end(), ch.before.begin());
            for (size_t j = 0; j < frames; ++j) ch.before[kBefore - frames + j] = static_cast<float>(x[j]);
        }
    }
}

// w: the kTail samples before a block of n, then the block; w[-1] is readable.
// Skipped when the samples times the gain bound cannot pass the maximum, or
// else when the step bound cannot; the figure is the same as interpolating
// every block.
template <typename T>
void TruePeakMeter::judge(const T* w, size_t n, Channel& ch, float reach) {
    const size_t span = kTail + n;
    if (reach == 0) reach = peak_above(w, span, limit_);
    if (reach <= limit_) return;  // then also below the maximum: the sample peak is not raised
    raise(reach);                 // the sample peak is a floor of the true peak
    if (step_bound(reach, largest_step(w, span)) <= peak_) return;
    ++interpolated_;
    const float* history;
    if constexpr (std::is_same_v<T, float>) {
        history = w + kTail - kHistory;
    } else {
        float* copy = ch.window.data();
        for (size_t j = 0; j < kHistory + n; ++j) copy[j] = static_cast<float>(w[kTail - kHistory + j]);
        history = copy;
    }
    raise(interpolated_peak(history, n));
}

void TruePeakMeter::raise(double peak) {
    if (peak <= peak_) return;
    peak_ = peak;
    // A block at or below this cannot pass the maximum, even after the
    // float's rounding.
    limit_ = std::nextafter(static_cast<float>(peak_ / kGainBound), 0.0f);
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

// Sixteen output frames at a time, where the processor has AVX-512: the
// same sums in the same order, so the same figure.
__attribute__((target("avx512f"))) float widest_peak(const float* newest, size_t frames, size_t& done) {
    __m512 top = _mm512_setzero_ps();
    size_t i = 0;
    for (; i + 16 <= frames; i += 16) {
        __m512 x[TruePeakMeter::kTaps];
        for (int j = 0; j < TruePeakMeter::kTaps; ++j) x[j] = _mm512_loadu_ps(newest + i - j);
        for (const auto& phase : kCoefficients) {
            __m512 y = _mm512_mul_ps(_mm512_set1_ps(phase[0]), x[0]);
            for (int j = 1; j < TruePeakMeter::kTaps; ++j) y = _mm512_fmadd_ps(_mm512_set1_ps(phase[j]), x[j], y);
            top = _mm512_mask_max_ps(top, 0xffff, top, _mm512_abs_ps(y));
        }
    }
    done = i;
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, top);
    return *std::max_element(lanes, lanes + 16);
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
        if (cpu_has_avx512()) peak = widest_peak(newest, frames, i);
        size_t more = 0;
        peak = std::max(peak, wide_peak(newest + i, frames - i, more));
        for (i += more; i < frames; ++i) peak = std::max(peak, fused_scalar_peak(newest + i));
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
