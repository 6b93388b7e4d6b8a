#include "dsp/loudness_meter.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "dsp/planes.h"

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

void LoudnessMeter::configure(int rate, std::vector<double> weights, bool parts) {
    pre_ = pre_filter(rate);
    rlb_ = rlb_filter(rate);
    channels_.assign(weights.size(), Channel{});
    for (size_t c = 0; c < weights.size(); ++c) channels_[c].weight = weights[c];
    // 100 ms rounded to the nearest frame.
    segment_frames_ = static_cast<size_t>((rate + 5) / 10);
    filled_ = 0;
    energy_ = 0;
    segments_.clear();
    prepare_parts(parts);
}

void LoudnessMeter::add(const double* samples, size_t frames) {
    interleaved_to_planes(samples, channels_.size(), frames, scratch_, scratch_planes_);
    add_planes(scratch_planes_.data(), frames);
}

#if defined(__x86_64__) && defined(__GNUC__)
namespace {
void widen(const float* from, size_t n, double* to);
void widen(const double* from, size_t n, double* to);
}  // namespace
#endif

void LoudnessMeter::add_planes(const double* const* planes, size_t frames) { add_segments(planes, frames); }
void LoudnessMeter::add_planes(const float* const* planes, size_t frames) { add_segments(planes, frames); }

template <typename T>
void LoudnessMeter::add_segments(const T* const* planes, size_t frames) {
    const size_t channels = channels_.size();
    if (channels == 0 || segment_frames_ == 0) return;
    std::vector<const T*> at(planes, planes + channels);
    while (frames > 0) {
        const size_t n = std::min(frames, segment_frames_ - filled_);
        if (use_parts_ && n == segment_frames_) {
            filter_parts(at.data());  // whole in the planes: read from there
        } else if (use_parts_) {
            // Held until the segment is whole.
#if defined(__x86_64__) && defined(__GNUC__)
            for (size_t c = 0; c < channels; ++c) widen(at[c], n, parts_.held[c].data() + filled_);
#endif
            if (filled_ + n == segment_frames_) filter_parts(parts_.held_at.data());
        } else {
            filter(at.data(), n);
        }
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
        if (cpu_has_fma())
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

// The filter's chain (each output waits for the one before) bounds its
// speed, not its arithmetic. A segment's parts, filtered side by side in the
// eight lanes of a register, shorten the chain: four parts of two channels,
// or eight of a lone channel (a mono track's segment in half the steps). A
// part but the first starts from silence (its pre-filter's inputs before it
// are known); its true outputs differ from those by the response to the
// state the part before ends in (s: the pre-filter's last two outputs, the
// high-pass's), a sum of four unit responses g_j, so its energy is
//   sum y0^2 + 2 sum_j s_j (y0 . g_j) + sum_jk s_j s_k (g_j . g_k)
// and its end state that from silence plus the unit responses' end states
// weighted by s: the figures of filtering the segment in one run.
void LoudnessMeter::prepare_parts(bool parts) {
    use_parts_ = false;
    if (!parts) return;
#if defined(__x86_64__) && defined(__GNUC__)
    Parts& h = parts_;
    h.count = channels_.size() == 1 ? 8 : 4;
    h.part = segment_frames_ / h.count;
    h.last = segment_frames_ - (h.count - 1) * h.part;
    if (!cpu_has_avx512() || h.part < 8) return;
    h.response.assign(4 * h.last, 0.0);
    for (size_t j = 0; j < 4; ++j) {
        Stage pre, rlb;
        if (j == 0) pre.y1 = rlb.x1 = 1;  // the high-pass's inputs are the pre-filter's outputs
        if (j == 1) pre.y2 = rlb.x2 = 1;
        if (j == 2) rlb.y1 = 1;
        if (j == 3) rlb.y2 = 1;
        double* g = h.response.data() + j * h.last;
        for (size_t n = 0; n < h.last; ++n) {
            g[n] = step(rlb_, rlb, step(pre_, pre, 0.0));
            const double end[4] = {pre.y1, pre.y2, rlb.y1, rlb.y2};
            for (size_t k = 0; k < 4; ++k) {
                if (n + 1 == h.part) h.carry[0][k][j] = end[k];
                if (n + 1 == h.last) h.carry[1][k][j] = end[k];
            }
        }
    }
    for (size_t j = 0; j < 4; ++j) {
        for (size_t k = 0; k < 4; ++k) {
            const double* a = h.response.data() + j * h.last;
            const double* b = h.response.data() + k * h.last;
            double sum = 0;
            for (size_t n = 0; n < h.last; ++n) {
                sum += a[n] * b[n];
                if (n + 1 == h.part) h.gram[0][j][k] = sum;
            }
            h.gram[1][j][k] = sum;
        }
    }
    h.held.assign(channels_.size(), std::vector<double>(segment_frames_));
    h.held_at.clear();
    for (const auto& held : h.held) h.held_at.push_back(held.data());
    use_parts_ = true;
#endif
}

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

// Pair's eight-lane form: lanes 2p and 2p + 1 the two channels of part p.
struct Octet {
    __m512d b0, b1, b2, a1, a2;
    __m512d x1, x2, y1, y2;
};

// The inputs' terms are summed first, off the chain from output to output;
// the outputs' last: a step's result then waits one operation on the output
// before it and two on the one before that.
__attribute__((target("avx512f"))) inline __m512d octet_step(Octet& s, __m512d x) {
    const __m512d in = _mm512_fmadd_pd(s.b0, x, _mm512_fmadd_pd(s.b1, s.x1, _mm512_mul_pd(s.b2, s.x2)));
    const __m512d y = _mm512_fnmadd_pd(s.a1, s.y1, _mm512_fnmadd_pd(s.a2, s.y2, in));
    s.x2 = s.x1, s.x1 = x, s.y2 = s.y1, s.y1 = y;
    return y;
}

__attribute__((target("avx512f"))) inline __m512d octet_high_pass(Octet& s, __m512d x) {
    const __m512d in = _mm512_add_pd(x, _mm512_fmadd_pd(s.b1, s.x1, s.x2));
    const __m512d y = _mm512_fnmadd_pd(s.a1, s.y1, _mm512_fnmadd_pd(s.a2, s.y2, in));
    s.x2 = s.x1, s.x1 = x, s.y2 = s.y1, s.y1 = y;
    return y;
}

__attribute__((target("avx512f"))) Octet make_octet(const LoudnessMeter::Biquad& f) {
    Octet q;
    q.b0 = _mm512_set1_pd(f.b0), q.b1 = _mm512_set1_pd(f.b1), q.b2 = _mm512_set1_pd(f.b2);
    q.a1 = _mm512_set1_pd(f.a1), q.a2 = _mm512_set1_pd(f.a2);
    return q;
}

__attribute__((target("avx512f"))) inline void store_states(const Octet& p, const Octet& h, double st[8][8]) {
    _mm512_storeu_pd(st[0], p.x1), _mm512_storeu_pd(st[1], p.x2), _mm512_storeu_pd(st[2], p.y1);
    _mm512_storeu_pd(st[3], p.y2), _mm512_storeu_pd(st[4], h.x1), _mm512_storeu_pd(st[5], h.x2);
    _mm512_storeu_pd(st[6], h.y1), _mm512_storeu_pd(st[7], h.y2);
}

// Frame i of each lane's run as one Octet frame (lane k reads run[k]).
__attribute__((target("avx512f"))) inline __m512d octet_frame(const double* const run[8], size_t i) {
    return _mm512_setr_pd(run[0][i], run[1][i], run[2][i], run[3][i], run[4][i], run[5][i], run[6][i], run[7][i]);
}
__attribute__((target("avx512f,avx512dq"))) inline __m512d octet_frame(const float* const run[8], size_t i) {
    // The masked form: GCC 12's plain one warns of an undefined operand.
    return _mm512_maskz_cvtps_pd(
        0xff, _mm256_setr_ps(run[0][i], run[1][i], run[2][i], run[3][i], run[4][i], run[5][i], run[6][i], run[7][i]));
}

// Frames i to i + 7 of the eight runs as eight Octet frames: each run read
// in one load, then the 8 x 8 transposed.
__attribute__((target("avx512f,avx512dq"))) inline void octet_frames(const float* const run[8], size_t i,
                                                                     __m512d x[8]) {
    __m256 r[8];
    for (size_t k = 0; k < 8; ++k) r[k] = _mm256_loadu_ps(run[k] + i);
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xee);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xee);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xee);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xee);
    const __m256 column[8] = {_mm256_permute2f128_ps(u0, u4, 0x20), _mm256_permute2f128_ps(u1, u5, 0x20),
                              _mm256_permute2f128_ps(u2, u6, 0x20), _mm256_permute2f128_ps(u3, u7, 0x20),
                              _mm256_permute2f128_ps(u0, u4, 0x31), _mm256_permute2f128_ps(u1, u5, 0x31),
                              _mm256_permute2f128_ps(u2, u6, 0x31), _mm256_permute2f128_ps(u3, u7, 0x31)};
    for (size_t k = 0; k < 8; ++k) x[k] = _mm512_maskz_cvtps_pd(0xff, column[k]);
}

// A segment's running sums, by lane: the squared outputs, and the outputs
// against each unit response (every part is at its own frame i, so one
// response value serves all lanes).
struct OctetSums {
    __m512d squares, with0, with1, with2, with3;
};

__attribute__((target("avx512f"))) inline OctetSums zero_sums() {
    const __m512d z = _mm512_setzero_pd();
    return {z, z, z, z, z};
}

__attribute__((target("avx512f"))) inline void octet_output(Octet& p, Octet& h, __m512d x, const double* g,
                                                            size_t last, size_t i, OctetSums& s) {
    const __m512d y = octet_high_pass(h, octet_step(p, x));
    s.squares = _mm512_fmadd_pd(y, y, s.squares);
    s.with0 = _mm512_fmadd_pd(y, _mm512_set1_pd(g[i]), s.with0);
    s.with1 = _mm512_fmadd_pd(y, _mm512_set1_pd(g[last + i]), s.with1);
    s.with2 = _mm512_fmadd_pd(y, _mm512_set1_pd(g[2 * last + i]), s.with2);
    s.with3 = _mm512_fmadd_pd(y, _mm512_set1_pd(g[3 * last + i]), s.with3);
}

// Filters the first `part` frames of each lane's run, lane k from run[k]:
// lanes below `stated` from the states given, the others from silence.
// sums: the energies; products[j]: the outputs against unit response j (of
// use in the lanes from silence); st: the end states, by lane.
template <typename T>
__attribute__((target("avx512f,avx512dq"))) void octet_segment(const LoudnessMeter::Biquad& pre_f,
                                                               const LoudnessMeter::Biquad& rlb_f,
                                                               const LoudnessMeter::Stage* pre,
                                                               const LoudnessMeter::Stage* rlb, size_t stated,
                                                               const T* const run[8], size_t part,
                                                               const double* response, size_t last, double sums[8],
                                                               double products[4][8], double st[8][8]) {
    Octet p = make_octet(pre_f), h = make_octet(rlb_f);
    const size_t q = part;
    double lanes[8][8] = {};  // the pre-filter's x1 x2 y1 y2, the high-pass's, by lane
    for (size_t k = 0; k < 8; ++k) {
        if (k < stated) {
            const double given[8] = {pre[k].x1, pre[k].x2, pre[k].y1, pre[k].y2,
                                     rlb[k].x1, rlb[k].x2, rlb[k].y1, rlb[k].y2};
            for (size_t v = 0; v < 8; ++v) lanes[v][k] = given[v];
        } else {
            // The pre-filter's inputs before the run are known; the rest starts silent.
            lanes[0][k] = static_cast<double>(run[k][-1]);
            lanes[1][k] = static_cast<double>(run[k][-2]);
        }
    }
    p.x1 = _mm512_loadu_pd(lanes[0]), p.x2 = _mm512_loadu_pd(lanes[1]);
    p.y1 = _mm512_loadu_pd(lanes[2]), p.y2 = _mm512_loadu_pd(lanes[3]);
    h.x1 = _mm512_loadu_pd(lanes[4]), h.x2 = _mm512_loadu_pd(lanes[5]);
    h.y1 = _mm512_loadu_pd(lanes[6]), h.y2 = _mm512_loadu_pd(lanes[7]);
    // Two sets of sums, for even and odd frames: each sum's chain then waits
    // on every other output, not on every one.
    OctetSums even = zero_sums(), odd = zero_sums();
    size_t i = 0;
    if constexpr (std::is_same_v<T, float>) {
        for (; i + 8 <= q; i += 8) {
            __m512d x[8];
            octet_frames(run, i, x);
            for (size_t k = 0; k < 8; k += 2) {
                octet_output(p, h, x[k], response, last, i + k, even);
                octet_output(p, h, x[k + 1], response, last, i + k + 1, odd);
            }
        }
    }
    for (; i + 2 <= q; i += 2) {
        octet_output(p, h, octet_frame(run, i), response, last, i, even);
        octet_output(p, h, octet_frame(run, i + 1), response, last, i + 1, odd);
    }
    if (i < q) octet_output(p, h, octet_frame(run, i), response, last, i, even);
    _mm512_storeu_pd(sums, _mm512_add_pd(even.squares, odd.squares));
    _mm512_storeu_pd(products[0], _mm512_add_pd(even.with0, odd.with0));
    _mm512_storeu_pd(products[1], _mm512_add_pd(even.with1, odd.with1));
    _mm512_storeu_pd(products[2], _mm512_add_pd(even.with2, odd.with2));
    _mm512_storeu_pd(products[3], _mm512_add_pd(even.with3, odd.with3));
    store_states(p, h, st);
}

// Converts n samples into doubles.
__attribute__((target("avx2"))) void widen(const float* from, size_t n, double* to) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(to + i, _mm256_cvtps_pd(_mm_loadu_ps(from + i)));
    for (; i < n; ++i) to[i] = from[i];
}
void widen(const double* from, size_t n, double* to) { std::copy_n(from, n, to); }

}  // namespace
#endif

template <typename T>
void LoudnessMeter::filter_parts(const T* const* planes) {
#if defined(__x86_64__) && defined(__GNUC__)
    Parts& h = parts_;
    const size_t q = h.part, extra = h.last - h.part, count = h.count;
    const size_t channels = channels_.size();
    // A lone channel: its eight parts in the lanes; else two channels' four
    // parts each (the last of an odd count twice), lanes 2p and 2p + 1.
    const size_t stride = count == 8 ? 1 : 2;
    for (size_t first = 0; first < channels; first += stride) {
        const bool pair = stride == 2 && first + 1 < channels;
        Channel* ch[2] = {&channels_[first], pair ? &channels_[first + 1] : &channels_[first]};
        const T* x[2] = {planes[first], planes[pair ? first + 1 : first]};
        const Stage pre[2] = {ch[0]->pre, ch[1]->pre}, rlb[2] = {ch[0]->rlb, ch[1]->rlb};
        const T* run[8];
        for (size_t k = 0; k < 8; ++k) run[k] = count == 8 ? x[0] + k * q : x[k % 2] + (k / 2) * q;
        double sums[8], products[4][8], st[8][8];
        octet_segment(pre_, rlb_, pre, rlb, stride, run, q, h.response.data(), h.last, sums, products, st);
        for (size_t c = 0; c < (pair ? 2u : 1u); ++c) {
            // Part 0 ran from the true state; the rest from silence.
            Stage p{st[0][c], st[1][c], st[2][c], st[3][c]}, hp{st[4][c], st[5][c], st[6][c], st[7][c]};
            double energy = sums[c];
            for (size_t part = 1; part < count; ++part) {
                const size_t lane = stride * part + c;
                const bool last = part + 1 == count;
                Stage zp{st[0][lane], st[1][lane], st[2][lane], st[3][lane]};
                Stage zh{st[4][lane], st[5][lane], st[6][lane], st[7][lane]};
                double zs = sums[lane];
                double dot[4] = {products[0][lane], products[1][lane], products[2][lane], products[3][lane]};
                // The last part's frames beyond the others', one at a time.
                for (size_t i = q; last && i < q + extra; ++i) {
                    const double y = step(rlb_, zh, step(pre_, zp, static_cast<double>(x[c][part * q + i])));
                    zs += y * y;
                    for (size_t j = 0; j < 4; ++j) dot[j] += y * h.response[j * h.last + i];
                }
                const int table = last ? 1 : 0;
                const double s[4] = {p.y1, p.y2, hp.y1, hp.y2};
                for (size_t j = 0; j < 4; ++j) {
                    zs += 2 * s[j] * dot[j];
                    for (size_t k = 0; k < 4; ++k) zs += s[j] * s[k] * h.gram[table][j][k];
                }
                energy += zs;
                double end[4] = {zp.y1, zp.y2, zh.y1, zh.y2};
                for (size_t k = 0; k < 4; ++k) {
                    for (size_t j = 0; j < 4; ++j) end[k] += h.carry[table][k][j] * s[j];
                }
                p = zp, hp = zh;
                p.y1 = end[0], p.y2 = end[1], hp.y1 = end[2], hp.y2 = end[3];
                hp.x1 = p.y1, hp.x2 = p.y2;  // the high-pass's inputs are the pre-filter's outputs
            }
            energy_ += ch[c]->weight * energy;
            ch[c]->pre = p, ch[c]->rlb = hp;
        }
    }
#endif
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
