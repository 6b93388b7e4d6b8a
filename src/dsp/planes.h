// Samples of any decoder format as one plane per channel, 1.0 full scale:
// the form the loudness filter and the true peak read, made once per frame
// whether the decoder gives planes or interleaved frames; and the scan of
// the sample peak and the sum of squares.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace sonorix {

// Exact for every format a decoder gives (32-bit integers too), and floats
// keep what lies above full scale.
template <typename T>
double sample_value(T v) {
    if constexpr (std::is_same_v<T, uint8_t>) return (static_cast<int>(v) - 128) / 128.0;
    if constexpr (std::is_same_v<T, int16_t>) return v / 32768.0;
    if constexpr (std::is_same_v<T, int32_t>) return v / 2147483648.0;
    if constexpr (std::is_same_v<T, int64_t>) return static_cast<double>(v) / 9223372036854775808.0;
    if constexpr (std::is_floating_point_v<T>) return static_cast<double>(v);
}

#if defined(__x86_64__) && defined(__GNUC__)
// Reads the processor's features for __builtin_cpu_supports; always true.
inline bool cpu_features_read() {
    __builtin_cpu_init();
    return true;
}

// Whether the processor has AVX2, asked once.
inline bool cpu_has_avx2() {
    static const bool has = cpu_features_read() && __builtin_cpu_supports("avx2");
    return has;
}

// Interleaved 16-bit stereo, the usual WAV and FLAC frame, four frames at a
// time; returns how many frames it converted (a multiple of four).
__attribute__((target("avx2"))) inline size_t split_stereo_s16(const int16_t* in, size_t frames, double* left,
                                                               double* right) {
    const __m256d scale = _mm256_set1_pd(1.0 / 32768.0);  // a power of two: as exact as the division
    const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        const __m256i v = _mm256_permutevar8x32_epi32(_mm256_cvtepi16_epi32(raw), order);
        _mm256_storeu_pd(left + i, _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(v)), scale));
        _mm256_storeu_pd(right + i, _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(v, 1)), scale));
    }
    return i;
}
#endif

// The largest magnitude and the sum of squares of `count` samples, 1.0 full
// scale, added to `peak` and `squares`: what the sample peak and the mean
// level read, in the decoder's own format.
template <typename T>
void scan_samples(const T* in, size_t count, double& peak, double& squares) {
    // Four of each in registers: four chains the processor overlaps.
    double p0 = peak, p1 = 0, p2 = 0, p3 = 0, s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const double v0 = sample_value(in[i]), v1 = sample_value(in[i + 1]);
        const double v2 = sample_value(in[i + 2]), v3 = sample_value(in[i + 3]);
        p0 = std::max(p0, std::fabs(v0)), p1 = std::max(p1, std::fabs(v1));
        p2 = std::max(p2, std::fabs(v2)), p3 = std::max(p3, std::fabs(v3));
        s0 += v0 * v0, s1 += v1 * v1, s2 += v2 * v2, s3 += v3 * v3;
    }
    for (; i < count; ++i) {
        const double v = sample_value(in[i]);
        p0 = std::max(p0, std::fabs(v));
        s0 += v * v;
    }
    peak = std::max(std::max(p0, p1), std::max(p2, p3));
    squares += (s0 + s1) + (s2 + s3);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The end of a wide 16-bit scan: its lanes' largest and smallest values and
// exact sums of squares, added to the peak and the squares.
template <size_t kLanes, size_t kSums>
void settle_s16_scan(const int16_t (&highs)[kLanes], const int16_t (&lows)[kLanes], const uint64_t (&sums)[kSums],
                     double& peak, double& squares) {
    int largest = 0;
    for (size_t k = 0; k < kLanes; ++k) largest = std::max({largest, static_cast<int>(highs[k]), -lows[k]});
    uint64_t total = 0;
    for (const uint64_t part : sums) total += part;
    peak = std::max(peak, largest / 32768.0);
    squares += static_cast<double>(total) / 1073741824.0;
}

// 16-bit samples in integers, sixteen at a time: the largest and smallest
// value, and the squares summed exactly in 64 bits (a pair of squares reaches
// 2^31 only at -32768 twice, which still fits 32 bits unsigned).
__attribute__((target("avx2"))) inline size_t scan_s16_wide(const int16_t* in, size_t count, double& peak,
                                                            double& squares) {
    __m256i high = _mm256_set1_epi16(0), low = _mm256_set1_epi16(0);
    __m256i sum0 = _mm256_setzero_si256(), sum1 = _mm256_setzero_si256();
    const __m256i zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        high = _mm256_max_epi16(high, v);
        low = _mm256_min_epi16(low, v);
        const __m256i pairs = _mm256_madd_epi16(v, v);
        sum0 = _mm256_add_epi64(sum0, _mm256_unpacklo_epi32(pairs, zero));
        sum1 = _mm256_add_epi64(sum1, _mm256_unpackhi_epi32(pairs, zero));
    }
    alignas(32) int16_t highs[16], lows[16];
    alignas(32) uint64_t sums[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(highs), high);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lows), low);
    _mm256_store_si256(reinterpret_cast<__m256i*>(sums), _mm256_add_epi64(sum0, sum1));
    settle_s16_scan(highs, lows, sums, peak, squares);
    return i;
}

// Floats eight at a time: the magnitudes compared as floats (exact), the
// squares summed in doubles. A NaN leaves the peak as it was.
__attribute__((target("avx2,fma"))) inline size_t scan_float_wide(const float* in, size_t count, double& peak,
                                                                  double& squares) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 top = _mm256_setzero_ps();
    __m256d sum0 = _mm256_setzero_pd(), sum1 = _mm256_setzero_pd();
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 v = _mm256_loadu_ps(in + i);
        top = _mm256_max_ps(_mm256_and_ps(v, magnitude), top);
        const __m256d a = _mm256_cvtps_pd(_mm256_castps256_ps128(v)), b = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
        sum0 = _mm256_fmadd_pd(a, a, sum0);
        sum1 = _mm256_fmadd_pd(b, b, sum1);
    }
    alignas(32) float tops[8];
    alignas(32) double sums[4];
    _mm256_store_ps(tops, top);
    _mm256_store_pd(sums, _mm256_add_pd(sum0, sum1));
    for (const float t : tops) peak = std::max(peak, static_cast<double>(t));
    squares += (sums[0] + sums[1]) + (sums[2] + sums[3]);
    return i;
}

// Whether the processor has AVX-512 (its foundation and double-word
// instructions), asked once.
inline bool cpu_has_avx512() {
    static const bool has =
        cpu_features_read() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return has;
}

// Whether the processor has AVX-512's byte and word instructions, asked once.
inline bool cpu_has_avx512bw() {
    static const bool has =
        cpu_features_read() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    return has;
}

// Whether the processor has FMA, asked once.
inline bool cpu_has_fma() {
    static const bool has = cpu_features_read() && __builtin_cpu_supports("fma");
    return has;
}

// Whether the processor has FMA beside AVX2, asked once.
inline bool cpu_has_avx2_fma() {
    static const bool has = cpu_features_read() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
}
#endif

// scan_samples with the wide loops where the processor has them.
template <typename T>
void scan_fast(const T* in, size_t count, double& peak, double& squares) {
    size_t done = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (std::is_same_v<T, int16_t>) {
        if (cpu_has_avx2()) done = scan_s16_wide(in, count, peak, squares);
    } else if constexpr (std::is_same_v<T, float>) {
        if (cpu_has_avx2_fma()) done = scan_float_wide(in, count, peak, squares);
    }
#endif
    scan_samples(in + done, count - done, peak, squares);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same into float planes, exact too (16 bits fit a float's 24).
__attribute__((target("avx2"))) inline size_t split_stereo_s16(const int16_t* in, size_t frames, float* left,
                                                               float* right) {
    const __m256 scale = _mm256_set1_ps(1.0f / 32768.0f);
    const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        const __m256i v = _mm256_permutevar8x32_epi32(_mm256_cvtepi16_epi32(raw), order);
        const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(v), scale);
        _mm_storeu_ps(left + i, _mm256_castps256_ps128(f));
        _mm_storeu_ps(right + i, _mm256_extractf128_ps(f, 1));
    }
    return i;
}

// Both at once for 16-bit stereo, sixteen frames at a time: the split above
// and scan_s16_wide's peak and exact sum of squares, in one pass over the
// samples. A frame's two samples are one 32-bit word, the left one its low
// half, so two shifts part them. (The masked forms: GCC 12's plain ones warn
// of an undefined operand.)
__attribute__((target("avx512f,avx512bw"))) inline size_t split_scan_stereo_s16(const int16_t* in, size_t frames,
                                                                                float* left, float* right, double& peak,
                                                                                double& squares) {
    const __m512 scale = _mm512_set1_ps(1.0f / 32768.0f);
    const __m512i zero = _mm512_setzero_si512();
    __m512i high = zero, low = zero, sum0 = zero, sum1 = zero;
    size_t i = 0;
    for (; i + 16 <= frames; i += 16) {
        const __m512i pairs = _mm512_loadu_si512(in + 2 * i);
        high = _mm512_max_epi16(high, pairs);
        low = _mm512_min_epi16(low, pairs);
        const __m512i squared = _mm512_madd_epi16(pairs, pairs);  // a frame's two squares: unsigned 32 bits
        sum0 = _mm512_add_epi64(sum0, _mm512_maskz_unpacklo_epi32(0xffff, squared, zero));
        sum1 = _mm512_add_epi64(sum1, _mm512_maskz_unpackhi_epi32(0xffff, squared, zero));
        const __m512i l = _mm512_maskz_srai_epi32(0xffff, _mm512_maskz_slli_epi32(0xffff, pairs, 16), 16);
        const __m512i r = _mm512_maskz_srai_epi32(0xffff, pairs, 16);
        _mm512_storeu_ps(left + i, _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(0xffff, l), scale));
        _mm512_storeu_ps(right + i, _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(0xffff, r), scale));
    }
    alignas(64) int16_t highs[32], lows[32];
    alignas(64) uint64_t sums[8];
    _mm512_store_si512(highs, high);
    _mm512_store_si512(lows, low);
    _mm512_store_si512(sums, _mm512_add_epi64(sum0, sum1));
    settle_s16_scan(highs, lows, sums, peak, squares);
    return i;
}
#endif

// `data` holds one pointer per channel when `planar`, else one pointer to
// interleaved frames; plane c receives its `frames` values, as doubles or as
// floats (which only formats a float holds exactly are given).
template <typename T, typename Out>
void to_planes(const T* const* data, bool planar, size_t channels, size_t frames, Out* const* planes) {
    if (planar) {
        for (size_t c = 0; c < channels; ++c) {
            const T* in = data[c];
            Out* out = planes[c];
            for (size_t i = 0; i < frames; ++i) out[i] = static_cast<Out>(sample_value(in[i]));
        }
        return;
    }
    const T* in = data[0];
    if (channels == 2) {
        // Stereo, the common case: one pass, both planes written in step.
        Out* left = planes[0];
        Out* right = planes[1];
        size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
        if constexpr (std::is_same_v<T, int16_t>) {
            if (cpu_has_avx2()) i = split_stereo_s16(in, frames, left, right);
        }
#endif
        for (; i < frames; ++i) {
            left[i] = static_cast<Out>(sample_value(in[2 * i]));
            right[i] = static_cast<Out>(sample_value(in[2 * i + 1]));
        }
        return;
    }
    for (size_t c = 0; c < channels; ++c) {
        Out* out = planes[c];
        for (size_t i = 0; i < frames; ++i) out[i] = static_cast<Out>(sample_value(in[i * channels + c]));
    }
}

// scan_fast over interleaved 16-bit stereo frames, and to_planes of them into
// float planes, in one pass where the processor allows.
inline void scan_and_split_stereo_s16(const int16_t* in, size_t frames, float* left, float* right, double& peak,
                                      double& squares) {
    size_t done = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (cpu_has_avx512bw()) done = split_scan_stereo_s16(in, frames, left, right, peak, squares);
#endif
    const int16_t* const rest = in + 2 * done;
    scan_fast(rest, 2 * (frames - done), peak, squares);
    float* const planes[2] = {left + done, right + done};
    to_planes(&rest, false, 2, frames - done, planes);
}

// Interleaved frames into planes laid out one after another in `samples`,
// `planes` pointing at each: the form add_planes reads.
template <typename T, typename Out>
void interleaved_to_planes(const T* interleaved, size_t channels, size_t frames, std::vector<Out>& samples,
                           std::vector<Out*>& planes) {
    samples.resize(frames * channels);
    planes.resize(channels);
    for (size_t c = 0; c < channels; ++c) planes[c] = samples.data() + c * frames;
    to_planes(&interleaved, false, channels, frames, planes.data());
}

}  // namespace sonorix
