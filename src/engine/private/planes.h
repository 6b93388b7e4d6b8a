// Samples of any decoder format as one plane of doubles per channel, 1.0
// full scale: the form the loudness filter and the true peak read, made once
// per frame whether the decoder gives planes or interleaved frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

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
// Whether the processor has AVX2, asked once.
inline bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    }();
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

// `data` holds one pointer per channel when `planar`, else one pointer to
// interleaved frames; plane c receives its `frames` values.
template <typename T>
void to_planes(const T* const* data, bool planar, size_t channels, size_t frames, double* const* planes) {
    if (planar) {
        for (size_t c = 0; c < channels; ++c) {
            const T* in = data[c];
            double* out = planes[c];
            for (size_t i = 0; i < frames; ++i) out[i] = sample_value(in[i]);
        }
        return;
    }
    const T* in = data[0];
    if (channels == 2) {
        // Stereo, the common case: one pass, both planes written in step.
        double* left = planes[0];
        double* right = planes[1];
        size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
        if constexpr (std::is_same_v<T, int16_t>) {
            if (cpu_has_avx2()) i = split_stereo_s16(in, frames, left, right);
        }
#endif
        for (; i < frames; ++i) {
            left[i] = sample_value(in[2 * i]);
            right[i] = sample_value(in[2 * i + 1]);
        }
        return;
    }
    for (size_t c = 0; c < channels; ++c) {
        double* out = planes[c];
        for (size_t i = 0; i < frames; ++i) out[i] = sample_value(in[i * channels + c]);
    }
}

}  // namespace sonorix
