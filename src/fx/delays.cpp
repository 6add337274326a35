#include "delays.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "engine/effects.h"
#include "engine/units.h"
#include "exact/certify.h"
#include "laws.h"

namespace vx {

TDelay_form::TDelay_form() : Form("Delay", 330, 250) {
    ScrollBar_Delay_Time.label = "Delay ";
    ScrollBar_Delay_Decay.label = "Decay ";
    ScrollBar_Delay_Gain.label = "Gain  ";
    ScrollBar_Delay_I_Gain.label = "Echo Gain  ";
    ScrollBar_Delay_Time.hint = "Delay time, 520 samples a step";
    ScrollBar_Delay_Decay.hint = "Level of each echo against the one before";
    ScrollBar_Delay_Gain.hint = "Output level of dry and echoes";
    ScrollBar_Delay_I_Gain.hint = "Level of the first echo";
    CheckRadioBox_Small_Flanger.hint = "Sweep the echoes slowly";
    ScrollBar_Delay_Time.group = ScrollBar_Delay_Decay.group = "Echoes";
    ScrollBar_Delay_Gain.group = ScrollBar_Delay_I_Gain.group = "Levels";
    CheckRadioBox_Small_Flanger.group = "Echoes";
    Slider* order[] = {&ScrollBar_Delay_Time, &ScrollBar_Delay_Decay, &ScrollBar_Delay_Gain, &ScrollBar_Delay_I_Gain};
    int top = 24;
    for (Slider* s : order) {
        s->bounds = {16, top, 298, 17};
        top += 48;
        add(*s);
    }
    CheckRadioBox_Small_Flanger.bounds = {16, top, 140, 20};
    add(CheckRadioBox_Small_Flanger);

    ScrollBar_Delay_Time.on_change = [this] { ScrollBar_Delay_TimeChange(); };
    ScrollBar_Delay_Decay.on_change = [this] { ScrollBar_Delay_DecayChange(); };
    ScrollBar_Delay_Gain.on_change = [this] { ScrollBar_Delay_GainChange(); };
    ScrollBar_Delay_I_Gain.on_change = [this] { ScrollBar_Delay_I_GainChange(); };
    CheckRadioBox_Small_Flanger.on_click = [this] { CheckRadioBox_Small_FlangerClick(); };
    add(Curve_Taps);
    Curve_Taps.set_source([this] { return tap_series(); });
    after_each_change(*this, [this] { Curve_Taps.invalidate(); });
    Timer_Rate.on_timer = [this] {
        if (display_rate() != taps_rate_ && !Curve_Taps.stale()) Curve_Taps.invalidate();
    };
    // Each shows the value its handler stored, which is what the processing uses.
    ScrollBar_Delay_Time.unit_text = [this] { return samples_text(delay_samples, display_rate()); };
    ScrollBar_Delay_Decay.unit_text = [this] { return percent_text(decay); };
    ScrollBar_Delay_Gain.unit_text = [this] { return gain_text(out_gain); };
    ScrollBar_Delay_I_Gain.unit_text = [this] { return gain_text(echo_gain); };
    FormCreate();
}

// Where run() reads each tap behind the write position, and with what gain (the sweep, when on,
// moves every tap by up to 600 samples).
std::vector<Curve::Series> TDelay_form::tap_series() {
    taps_rate_ = display_rate();
    const double ms = 1000.0 / std::max(1, taps_rate_);
    const int32_t D = std::clamp<int32_t>(delay_samples, 0, kMaxDelay);
    const float og = out_gain;
    Curve::Series left{"left, mono", Curve::Style::Bars, {0.0}, {og}};
    Curve::Series right{"right", Curve::Style::Bars, {0.0}, {og}};
    for (int j = 0; j < 5; ++j) {
        const double g = static_cast<double>(og) * tap_gain[j];
        left.x.push_back((j + 1) * D * ms);
        left.y.push_back(g);
        right.x.push_back((sweep_on != 0 ? (j + 1) * D : j * D + D / 2) * ms);
        right.y.push_back(g);
    }
    // The time axis ends a little after the last echo, at a round figure.
    double end = 5.5 * D * ms;
    for (double step : {100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0})
        if (end <= step) {
            end = step;
            break;
        }
    Curve_Taps.set_axes({"ms", -end / 50.0, end}, Curve_Taps.y_axis());
    return {std::move(left), std::move(right)};
}

void TDelay_form::FormCreate() {
    shown_once = 0;
    sweep_on = 0;
    for (Channel* c : {&L, &R}) {
        c->sweep_offset = 0;
        c->sweep_count = 0;
        c->sweep_dir = 1;
    }
    delay_samples = 6000;
    decay = 0.5f;
    out_gain = 0.33f;
    echo_gain = 0.0f;
    // Each differs from the form's own position, so each runs its handler, in this order.
    ScrollBar_Delay_Time.set_position(75);
    ScrollBar_Delay_Decay.set_position(45);
    ScrollBar_Delay_Gain.set_position(65);
    ScrollBar_Delay_I_Gain.set_position(85);
}

int32_t delay_time_samples(int32_t position) { return position * 520; }

float delay_percent_law(int32_t position) { return static_cast<float>(position / 100.0); }

void TDelay_form::ScrollBar_Delay_TimeChange() { delay_samples = delay_time_samples(ScrollBar_Delay_Time.position()); }

void TDelay_form::recompute_tap_gains() {
    echo_gain = delay_percent_law(ScrollBar_Delay_I_Gain.position());
    decay = delay_percent_law(ScrollBar_Delay_Decay.position());
    float g[6];
    g[0] = 1.0f;
    for (int j = 1; j < 6; ++j) g[j] = g[j - 1] * decay;  // float32 products
    const uint32_t w = tap_gain_writing.load(std::memory_order_relaxed);
    tap_gain_writing.store(w + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (int j = 0; j < 6; ++j) tap_gain[j] = g[j] * echo_gain;
    tap_gain_writing.store(w + 2, std::memory_order_release);
}

void TDelay_form::take_tap_gains() {
    const uint32_t before = tap_gain_writing.load(std::memory_order_acquire);
    float g[5];
    for (int j = 0; j < 5; ++j) g[j] = tap_gain[j];
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((before & 1u) != 0 || tap_gain_writing.load(std::memory_order_relaxed) != before) return;
    for (int j = 0; j < 5; ++j) taps_[j] = g[j];
}

void TDelay_form::ScrollBar_Delay_DecayChange() { recompute_tap_gains(); }

void TDelay_form::ScrollBar_Delay_I_GainChange() { recompute_tap_gains(); }

void TDelay_form::ScrollBar_Delay_GainChange() {
    out_gain = delay_percent_law(ScrollBar_Delay_Gain.position());
}

void TDelay_form::CheckRadioBox_Small_FlangerClick() { sweep_on = CheckRadioBox_Small_Flanger.checked() ? 1 : 0; }

namespace {

// A float32 product is exact in double: the double sum is one rounding of the exact tap, and where
// the certification cannot vouch for its float32 the tap is taken again in extended precision.
using exact::float_sum_uncertain;

constexpr int32_t kPiece = 16;

inline float extended_tap(float acc, float sample, float gain) {
    return static_cast<float>(static_cast<long double>(acc) +
                              static_cast<long double>(sample) * static_cast<long double>(gain));
}

// A NaN or an infinity that came in with the signal enters the line as silence, so that it cannot
// come back in the echoes for seconds; a finite sample is stored as it is. (The dry sample of that
// instant becomes silence too.)
inline float stored(float x) { return std::isfinite(x) ? x : 0.0f; }

// One sweep step; the direction turns once the offset has left 0..600.
inline void step_sweep(TDelay_form::Channel& c) {
    c.sweep_count = static_cast<int32_t>(static_cast<uint32_t>(c.sweep_count) + 1u);  // wraps, never overflows
    if ((c.sweep_count & 127) == 0) c.sweep_offset += c.sweep_dir;
    if (c.sweep_offset > TDelay_form::kSweepTop) c.sweep_dir = -1;
    if (c.sweep_offset < 0) c.sweep_dir = 1;
}

// The same as k calls of step_sweep: the offset moves only at every 128th count, and the turn checks
// in between find nothing new.
inline void advance_sweep(TDelay_form::Channel& c, int32_t k) {
    const uint32_t count = static_cast<uint32_t>(c.sweep_count);
    const uint32_t steps = ((count & 127u) + static_cast<uint32_t>(k)) >> 7;
    for (uint32_t s = 0; s < steps; ++s) {
        c.sweep_offset += c.sweep_dir;
        if (c.sweep_offset > TDelay_form::kSweepTop) c.sweep_dir = -1;
        if (c.sweep_offset < 0) c.sweep_dir = 1;
    }
    c.sweep_count = static_cast<int32_t>(count + static_cast<uint32_t>(k));
}

// Five unswept taps for k samples: out[m] = og x (in[m] + the taps of src[0..4][m]), in double.
// Marks in `flags` the pieces of kPiece samples where a sum needs more than the double path, and
// returns true if there is one.
[[gnu::always_inline]] inline bool unswept_taps_body(float* __restrict out, const float* __restrict in, const float* const src[5], const float* g,
                  float og, int32_t k, uint8_t* flags) {
    const float* __restrict tap[5] = {src[0], src[1], src[2], src[3], src[4]};
    double gain[5];
    for (int j = 0; j < 5; ++j) gain[j] = g[j];
    uint64_t any = 0;
    auto piece = [&](int32_t at, int32_t len) {
        uint64_t extended = 0;
        for (int32_t m = at; m < at + len; ++m) {
            float acc = in[m];
            for (int j = 0; j < 5; ++j) {
                const double s = static_cast<double>(acc) + static_cast<double>(tap[j][m]) * gain[j];
                extended |= float_sum_uncertain(s);
                acc = static_cast<float>(s);
            }
            out[m] = og * acc;
        }
        flags[at / kPiece] = extended != 0;
        any |= extended;
    };
    int32_t at = 0;
    for (; at + kPiece <= k; at += kPiece) piece(at, kPiece);  // (a fixed count: unrolled, no tail)
    if (at < k) piece(at, k - at);
    return any != 0;
}

// The same taps with every sum settled off the float halfway points (what quiet passages need);
// true if a sum is still uncertain, and the caller then takes the piece one tap at a time.
[[gnu::always_inline]] inline bool settled_taps_body(float* __restrict out, const float* __restrict in, const float* const src[5],
                                                     const float* g, float og, int32_t k) {
    const float* __restrict tap[5] = {src[0], src[1], src[2], src[3], src[4]};
    double gain[5];
    for (int j = 0; j < 5; ++j) gain[j] = g[j];
    uint64_t uncertain = 0;
    for (int32_t m = 0; m < k; ++m) {
        float acc = in[m];
        for (int j = 0; j < 5; ++j)
            acc = static_cast<float>(exact::float_sum_settled(acc, static_cast<double>(tap[j][m]) * gain[j], uncertain));
        out[m] = og * acc;
    }
    return uncertain != 0;
}

bool unswept_taps_plain(float* __restrict out, const float* __restrict in, const float* const src[5], const float* g,
                        float og, int32_t k, uint8_t* flags) {
    return unswept_taps_body(out, in, src, g, og, k, flags);
}
bool settled_taps_plain(float* __restrict out, const float* __restrict in, const float* const src[5], const float* g,
                        float og, int32_t k) {
    return settled_taps_body(out, in, src, g, og, k);
}

#if VX_EXACT_AVX2
// The same loop, built for AVX2 (eight sums to a register); the same IEEE operations, so the same bits.
__attribute__((target("avx2"))) bool unswept_taps_avx2(float* __restrict out, const float* __restrict in,
                                                      const float* const src[5], const float* g, float og, int32_t k,
                                                      uint8_t* flags) {
    return unswept_taps_body(out, in, src, g, og, k, flags);
}
// Four samples to a register (the compiler does not vectorise the settling), the rest as above.
__attribute__((target("avx2"))) bool settled_taps_avx2(float* __restrict out, const float* __restrict in,
                                                     const float* const src[5], const float* g, float og, int32_t k) {
    __m256d gain[5];
    for (int j = 0; j < 5; ++j) gain[j] = _mm256_set1_pd(g[j]);
    const __m128 out_gain = _mm_set1_ps(og);
    __m256i uncertain = _mm256_setzero_si256();
    int32_t m = 0;
    for (; m + 4 <= k; m += 4) {
        __m128 acc = _mm_loadu_ps(in + m);
        for (int j = 0; j < 5; ++j) {
            const __m256d p = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(src[j] + m)), gain[j]);
            acc = _mm256_cvtpd_ps(exact::float_sum_settled(_mm256_cvtps_pd(acc), p, uncertain));
        }
        _mm_storeu_ps(out + m, _mm_mul_ps(out_gain, acc));
    }
    const float* rest[5];
    for (int j = 0; j < 5; ++j) rest[j] = src[j] + m;
    return !_mm256_testz_si256(uncertain, uncertain) || (m < k && settled_taps_body(out + m, in + m, rest, g, og, k - m));
}
#endif

}  // namespace

float delay_tap_add(float acc, float sample, float gain) {
    const double a = acc, p = static_cast<double>(sample) * gain;
    const double s = a + p;
    if (float_sum_uncertain(s)) [[unlikely]] {
        float r;
        return exact::resolved_float_sum(a, p, r) ? r : extended_tap(acc, sample, gain);
    }
    return static_cast<float>(s);
}

template <bool Right>
void TDelay_form::run(Channel& c, int32_t n, int32_t D) {
    D = std::clamp(D, 0, kMaxDelay);  // keeps every unswept tap inside the store
    float g[5];
    for (int j = 0; j < 5; ++j) g[j] = taps_[j];
    const float og = out_gain;
    float* w = c.work;

    if (sweep_on != 0) {
        for (int32_t i = 0; i < n; ++i) {
            const float x = stored(w[i]);
            c.line[c.write_pos] = x;
            float acc = x;
            c.read_pos = c.write_pos;
            step_sweep(c);
            for (int j = 0; j < 5; ++j) {
                c.read_pos = c.write_pos - (j + 1) * D + c.sweep_offset;
                if (c.read_pos < 0) c.read_pos += kStore;
                // Up to 600 past the store: the zero tail of the line.
                const float v = c.read_pos < kLineWords ? c.line[c.read_pos] : 0.0f;
                acc = delay_tap_add(acc, v, g[j]);
            }
            w[i] = og * acc;
            if (++c.write_pos == kStore) c.write_pos = 0;
        }
        return;
    }

    // Unswept taps lie at fixed distances behind the write position, so a run of samples that no
    // index wraps in reads five contiguous stretches of the line.
    int32_t behind[5];
    for (int j = 0; j < 5; ++j) behind[j] = Right ? j * D + D / 2 : (j + 1) * D;
    for (int32_t i = 0; i < n;) {
        const int32_t wp = c.write_pos;
        int32_t k = std::min(n - i, kStore - wp);
        const float* src[5];
        for (int j = 0; j < 5; ++j) {
            int32_t rp = wp - behind[j];
            if (rp < 0) {
                rp += kStore;
                k = std::min(k, kStore - rp);
            }
            src[j] = c.line + rp;
        }
        // Writing the run first is safe: every tap reads at or behind its own sample's write
        // position, at most 5 x 52000 samples back, never where a later sample of the run writes.
        float* dst = c.line + wp;
        float* out = w + i;
        for (int32_t m = 0; m < k; ++m) dst[m] = stored(out[m]);
        // The double path marks the pieces where a sum needs more (quiet passages have one every
        // few dozen samples); only those are taken again, with settled sums, and where even those
        // cannot vouch for a sum, one tap at a time.
        uint8_t flags[kWork / kPiece + 1];
#if VX_EXACT_AVX2
        const bool avx2 = vector_path;
        const bool again = avx2 ? unswept_taps_avx2(out, dst, src, g, og, k, flags) : unswept_taps_plain(out, dst, src, g, og, k, flags);
#else
        const bool again = unswept_taps_plain(out, dst, src, g, og, k, flags);
#endif
        for (int32_t at = 0; again && at < k; at += kPiece) {
            if (!flags[at / kPiece]) continue;
            const int32_t len = std::min(kPiece, k - at);
            const float* from[5];
            for (int j = 0; j < 5; ++j) from[j] = src[j] + at;
#if VX_EXACT_AVX2
            const bool uncertain = avx2 ? settled_taps_avx2(out + at, dst + at, from, g, og, len)
                                        : settled_taps_plain(out + at, dst + at, from, g, og, len);
#else
            const bool uncertain = settled_taps_plain(out + at, dst + at, from, g, og, len);
#endif
            if (uncertain) [[unlikely]] {
                for (int32_t m = 0; m < len; ++m) {
                    float acc = dst[at + m];
                    for (int j = 0; j < 5; ++j) acc = delay_tap_add(acc, from[j][m], g[j]);
                    out[at + m] = og * acc;
                }
            }
        }
        c.read_pos = static_cast<int32_t>(src[4] + (k - 1) - c.line);
        advance_sweep(c, k);
        c.write_pos = wp + k == kStore ? 0 : wp + k;
        i += k;
    }
}

void TDelay_form::Delay_RT(int32_t frameCount, int32_t D) { run<false>(L, frameCount, D); }

void TDelay_form::Delay_RT1(int32_t frameCount, int32_t D) { run<true>(R, frameCount, D); }

void TDelay_form::Delay(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    take_tap_gains();
    if (channelCount == 1) {
        const int32_t D = delay_samples;
        for (int32_t at = 0; at < frameCount; at += kWork) {
            const int32_t k = std::min(kWork, frameCount - at);
            std::copy(buffer + at, buffer + at + k, L.work);
            Delay_RT(k, D);
            std::copy(L.work, L.work + k, buffer + at);
        }
        return;
    }
    // The left channel is finished before the right one starts.
    for (int right = 0; right < 2; ++right) {
        Channel& c = right ? R : L;
        const int32_t D = delay_samples;
        for (int32_t at = 0; at < frameCount; at += kWork) {
            const int32_t k = std::min(kWork, frameCount - at);
            const float* from = buffer + 2 * static_cast<ptrdiff_t>(at) + right;
            for (int32_t i = 0; i < k; ++i) c.work[i] = from[2 * i];
            if (right)
                Delay_RT1(k, D);
            else
                Delay_RT(k, D);
            float* to = buffer + 2 * static_cast<ptrdiff_t>(at) + right;
            for (int32_t i = 0; i < k; ++i) to[2 * i] = c.work[i];
        }
    }
}

void TDelay_form::get_parameters(int32_t* block) {
    block[0] = ScrollBar_Delay_Time.position();
    block[1] = ScrollBar_Delay_Decay.position();
    block[2] = ScrollBar_Delay_Gain.position();
    block[3] = ScrollBar_Delay_I_Gain.position();
    put_bool_byte(block[4], CheckRadioBox_Small_Flanger.checked());
}

void TDelay_form::put_parameters(const int32_t* block) {
    ScrollBar_Delay_Time.set_position(block[0]);
    ScrollBar_Delay_Decay.set_position(block[1]);
    ScrollBar_Delay_Gain.set_position(block[2]);
    ScrollBar_Delay_I_Gain.set_position(block[3]);
    // Checked only for a state byte of exactly 1, so that the box and the sweep always agree.
    CheckRadioBox_Small_Flanger.set_checked((static_cast<uint32_t>(block[4]) & 0xFFu) == 1u);
    Curve_Taps.invalidate();
}

VX_REGISTER_KIND(8, TDelay_form, Delay)

}  // namespace vx
