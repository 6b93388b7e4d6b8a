// Samples of any decoder format as one plane of doubles per channel, 1.0
// full scale: the form the loudness filter and the true peak read, made once
// per frame whether the decoder gives planes or interleaved frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

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
        for (size_t i = 0; i < frames; ++i) {
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
