#include "engine/loudness_meter.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "engine/private/planes.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace sonorix {

namespace {

constexpr double kAbsoluteGate = -70.0;  // LUFS
constexpr double kRelativeGate = -10.0;  // LU below the blocks above the absolute gate
constexpr double kRangeGate = -20.0;     // LU below, for the range's windows
constexpr size_t kBlockSegments = 4;     // 400 ms
constexpr size_t kWindowSegments = 30;   // 3 s

double loudness_of(double energy) { return -0.691 + 10.0 * std::log10(energy); }
double energy_of(double loudness) { return std::pow(10.0, (loudness + 0.691) / 10.0); }

// One biquad stage over one sample, in direct form I: the loop carries only
// y1 -> y through one multiply and one add, half the chain of the
// transposed forms.
inline double step(const LoudnessMeter::Biquad& f, LoudnessMeter::Stage& s, double x) {
    const double y = (f.b0 * x + f.b1 * s.x1 + f.b2 * s.x2 - f.a2 * s.y2) - f.a1 * s.y1;
    s.x2 = s.x1, s.x1 = x, s.y2 = s.y1, s.y1 = y;
    return y;
}

// A state this small is below any sample; left alone it would decay through
// the subnormal numbers, which cost a hundred times more each.
void flush(double& s) {
    if (std::fabs(s) < 1e-30) s = 0;
}

}  // namespace

// The two stages as BS.1770 gives them at 48 kHz, from their analogue
// designs (a high shelf of +4 dB about 1682 Hz, a high-pass at 38 Hz), so
// that every rate gets its own.
LoudnessMeter::Biquad LoudnessMeter::pre_filter(int rate) {
    const double f0 = 1681.974450955533, gain_db = 3.999843853973347, q = 0.7071752369554196;
    const double k = std::tan(M_PI * f0 / rate);
    const double vh = std::pow(10.0, gain_db / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    const double a0 = 1.0 + k / q + k * k;
    return {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
            2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
}

LoudnessMeter::Biquad LoudnessMeter::rlb_filter(int rate) {
    const double f0 = 38.13547087602444, q = 0.5003270373238773;
    const double k = std::tan(M_PI * f0 / rate);
    const double a0 = 1.0 + k / q + k * k;
    return {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
}

void LoudnessMeter::configure(int rate, std::vector<double> weights) {
    pre_ = pre_filter(rate);
    rlb_ = rlb_filter(rate);
    channels_.assign(weights.size(), Channel{});
    for (size_t c = 0; c < weights.size(); ++c) channels_[c].weight = weights[c];
    // 100 ms rounded to the nearest frame.
    segment_frames_ = static_cast<size_t>((rate + 5) / 10);
    filled_ = 0;
    energy_ = 0;
    segments_.clear();
}

void LoudnessMeter::add(const double* samples, size_t frames) {
    const size_t channels = channels_.size();
    scratch_.resize(frames * channels);
    std::vector<double*> planes(channels);
    for (size_t c = 0; c < channels; ++c) planes[c] = scratch_.data() + c * frames;
    to_planes(&samples, false, channels, frames, planes.data());
    add_planes(planes.data(), frames);
}

void LoudnessMeter::add_planes(const double* const* planes, size_t frames) { add_segments(planes, frames); }
void LoudnessMeter::add_planes(const float* const* planes, size_t frames) { add_segments(planes, frames); }

template <typename T>
void LoudnessMeter::add_segments(const T* const* planes, size_t frames) {
    const size_t channels = channels_.size();
    if (channels == 0 || segment_frames_ == 0) return;
    std::vector<const T*> at(planes, planes + channels);
    while (frames > 0) {
        const size_t n = std::min(frames, segment_frames_ - filled_);
        filter(at.data(), n);
        filled_ += n;
        for (auto& p : at) p += n;
        frames -= n;
        if (filled_ == segment_frames_) segment_ended();
    }
}

namespace {

// Runs both stages over two channels, left and right, and returns the sum of
// their squared outputs. kFused: with fused multiply-adds, which halve the
// loop's chain (y1 -> y is then one instruction); the compiler keeps every
// state in a register through the loop.
#if defined(__SSE2__)
struct Pair {
    __m128d b0, b1, b2, a1, a2;
    __m128d x1, x2, y1, y2;
    Pair(const LoudnessMeter::Biquad& f, const LoudnessMeter::Stage& left, const LoudnessMeter::Stage& right)
        : b0(_mm_set1_pd(f.b0)),
          b1(_mm_set1_pd(f.b1)),
          b2(_mm_set1_pd(f.b2)),
          a1(_mm_set1_pd(f.a1)),
          a2(_mm_set1_pd(f.a2)),
          x1(_mm_set_pd(right.x1, left.x1)),
          x2(_mm_set_pd(right.x2, left.x2)),
          y1(_mm_set_pd(right.y1, left.y1)),
          y2(_mm_set_pd(right.y2, left.y2)) {}
    void store(LoudnessMeter::Stage& left, LoudnessMeter::Stage* right) const {
        _mm_storel_pd(&left.x1, x1), _mm_storel_pd(&left.x2, x2);
        _mm_storel_pd(&left.y1, y1), _mm_storel_pd(&left.y2, y2);
        if (right) {
            _mm_storeh_pd(&right->x1, x1), _mm_storeh_pd(&right->x2, x2);
            _mm_storeh_pd(&right->y1, y1), _mm_storeh_pd(&right->y2, y2);
        }
    }
};

// One frame of the two channels, left in the low lane.
inline __m128d load_pair(const double* left, const double* right) { return _mm_loadh_pd(_mm_load_sd(left), right); }
inline __m128d load_pair(const float* left, const float* right) {
    return _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(left), _mm_load_ss(right)));
}

// Direct form I: the loop carries only y1 -> y.
inline __m128d step(Pair& s, __m128d x) {
    const __m128d feed =
        _mm_sub_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(s.b0, x), _mm_mul_pd(s.b1, s.x1)), _mm_mul_pd(s.b2, s.x2)),
                   _mm_mul_pd(s.a2, s.y2));
    const __m128d y = _mm_sub_pd(feed, _mm_mul_pd(s.a1, s.y1));
    s.x2 = s.x1, s.x1 = x, s.y2 = s.y1, s.y1 = y;
    return y;
}

// The states are copied into locals: through the references every load of
// a sample could alias them (vector types alias anything), which would keep
// them in memory.
template <typename T>
__m128d pair_sums(Pair& pre_state, Pair& rlb_state, const T* left, const T* right, size_t frames) {
    Pair pre = pre_state, rlb = rlb_state;
    __m128d sum = _mm_setzero_pd();
    for (size_t i = 0; i < frames; ++i) {
        const __m128d y = step(rlb, step(pre, load_pair(left + i, right + i)));
        sum = _mm_add_pd(sum, _mm_mul_pd(y, y));
    }
    pre_state = pre, rlb_state = rlb;
    return sum;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("fma"))) inline __m128d fused_step(Pair& s, __m128d x) {
    const __m128d feed =
        _mm_fnmadd_pd(s.a2, s.y2, _mm_fmadd_pd(s.b2, s.x2, _mm_fmadd_pd(s.b1, s.x1, _mm_mul_pd(s.b0, x))));
    const __m128d y = _mm_fnmadd_pd(s.a1, s.y1, feed);
    s.x2 = s.x1, s.x1 = x, s.y2 = s.y1, s.y1 = y;
    return y;
}

// The high-pass's numerator is 1, -2, 1 exactly: x + x2 - 2 x1, an
// operation fewer (the loop is bound by its count as much as by its chain).
__attribute__((target("fma"))) inline __m128d fused_high_pass(Pair& s, __m128d x) {
    const __m128d feed = _mm_fnmadd_pd(s.a2, s.y2, _mm_fmadd_pd(s.b1, s.x1, _mm_add_pd(x, s.x2)));
    const __m128d y = _mm_fnmadd_pd(s.a1, s.y1, feed);
    s.x2 = s.x1, s.x1 = x, s.y2 = s.y1, s.y1 = y;
    return y;
}

template <typename T>
__attribute__((target("fma"))) __m128d fused_pair_sums(Pair& pre_state, Pair& rlb_state, const T* left, const T* right,
                                                       size_t frames) {
    Pair pre = pre_state, rlb = rlb_state;
    // Two sums, so that the squares' additions do not become the chain.
    __m128d sum0 = _mm_setzero_pd(), sum1 = _mm_setzero_pd();
    size_t i = 0;
    for (; i + 2 <= frames; i += 2) {
        const __m128d y0 = fused_high_pass(rlb, fused_step(pre, load_pair(left + i, right + i)));
        sum0 = _mm_fmadd_pd(y0, y0, sum0);
        const __m128d y1 = fused_high_pass(rlb, fused_step(pre, load_pair(left + i + 1, right + i + 1)));
        sum1 = _mm_fmadd_pd(y1, y1, sum1);
    }
    if (i < frames) {
        const __m128d y = fused_high_pass(rlb, fused_step(pre, load_pair(left + i, right + i)));
        sum0 = _mm_fmadd_pd(y, y, sum0);
    }
    pre_state = pre, rlb_state = rlb;
    return _mm_add_pd(sum0, sum1);
}

bool fused() {
    static const bool fused = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma");
    }();
    return fused;
}
#endif
#endif

}  // namespace

// Channels two by two, a pair in the lanes of one register; an odd last
// channel runs in both lanes and only the first is kept.
template <typename T>
void LoudnessMeter::filter(const T* const* planes, size_t frames) {
    const size_t channels = channels_.size();
    for (size_t first = 0; first < channels; first += 2) {
        const bool pair = first + 1 < channels;
        Channel& left = channels_[first];
        Channel& right = pair ? channels_[first + 1] : left;
        const T* l = planes[first];
        const T* r = pair ? planes[first + 1] : l;
#if defined(__SSE2__)
        Pair pre(pre_, left.pre, right.pre), rlb(rlb_, left.rlb, right.rlb);
        __m128d sum;
#if defined(__x86_64__) && defined(__GNUC__)
        if (fused())
            sum = fused_pair_sums(pre, rlb, l, r, frames);
        else
#endif
            sum = pair_sums(pre, rlb, l, r, frames);
        pre.store(left.pre, pair ? &right.pre : nullptr);
        rlb.store(left.rlb, pair ? &right.rlb : nullptr);
        double sums[2];
        _mm_storeu_pd(sums, sum);
        energy_ += left.weight * sums[0] + (pair ? right.weight * sums[1] : 0.0);
#else
        for (size_t k = 0; k < (pair ? 2u : 1u); ++k) {
            Channel& ch = k ? right : left;
            const T* x = k ? r : l;
            Stage pre = ch.pre, rlb = ch.rlb;  // locals, which the compiler keeps in registers
            double sum = 0;
            for (size_t i = 0; i < frames; ++i) {
                const double y = step(rlb_, rlb, step(pre_, pre, static_cast<double>(x[i])));
                sum += y * y;
            }
            ch.pre = pre, ch.rlb = rlb;
            energy_ += ch.weight * sum;
        }
#endif
    }
}

void LoudnessMeter::segment_ended() {
    for (Channel& ch : channels_) {
        for (Stage* st : {&ch.pre, &ch.rlb}) flush(st->y1), flush(st->y2);
    }
    segments_.push_back(energy_);
    energy_ = 0;
    filled_ = 0;
    const size_t n = segments_.size();
    const double per_frame = 1.0 / static_cast<double>(segment_frames_);
    if (n >= kBlockSegments) {
        const double sum = std::accumulate(segments_.end() - kBlockSegments, segments_.end(), 0.0);
        block_energies_.push_back(sum * per_frame / kBlockSegments);
    }
    if (n >= kWindowSegments) {
        const double sum = std::accumulate(segments_.end() - kWindowSegments, segments_.end(), 0.0);
        window_energies_.push_back(sum * per_frame / kWindowSegments);
        // Only the last window's segments are needed again.
        if (n >= 4 * kWindowSegments) segments_.erase(segments_.begin(), segments_.end() - kWindowSegments);
    }
}

std::optional<double> LoudnessMeter::integrated() const {
    auto mean_above = [&](double gate) -> std::optional<double> {
        double sum = 0;
        size_t n = 0;
        for (const double e : block_energies_) {
            if (e > gate) sum += e, ++n;
        }
        if (n == 0) return std::nullopt;
        return sum / static_cast<double>(n);
    };
    const double absolute = energy_of(kAbsoluteGate);
    const auto ungated = mean_above(absolute);
    if (!ungated) return std::nullopt;
    const auto gated = mean_above(std::max(absolute, *ungated * std::pow(10.0, kRelativeGate / 10.0)));
    return gated ? std::optional<double>(loudness_of(*gated)) : std::nullopt;
}

double LoudnessMeter::range() const {
    const double absolute = energy_of(kAbsoluteGate);
    double sum = 0;
    size_t n = 0;
    for (const double e : window_energies_) {
        if (e > absolute) sum += e, ++n;
    }
    if (n == 0) return 0;
    const double relative = sum / static_cast<double>(n) * std::pow(10.0, kRangeGate / 10.0);
    std::vector<double> kept;
    for (const double e : window_energies_) {
        if (e > absolute && e > relative) kept.push_back(e);
    }
    if (kept.size() < 2) return 0;
    std::sort(kept.begin(), kept.end());
    const double last = static_cast<double>(kept.size() - 1);
    const double low = kept[static_cast<size_t>(last * 0.10 + 0.5)];
    const double high = kept[static_cast<size_t>(last * 0.95 + 0.5)];
    return loudness_of(high) - loudness_of(low);
}

std::vector<float> LoudnessMeter::blocks() const {
    std::vector<float> out;
    out.reserve(block_energies_.size());
    for (const double e : block_energies_) {
        out.push_back(e > 0 ? static_cast<float>(loudness_of(e)) : -HUGE_VALF);
    }
    return out;
}

}  // namespace sonorix
