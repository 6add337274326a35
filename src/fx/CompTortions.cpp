#include "CompTortions.h"

#include <algorithm>
#include <vector>
#include <cmath>
#include <bit>
#include <cstddef>

#include "engine/effects.h"
#include "engine/units.h"
#include "laws.h"

namespace vx {

TCompTortion_form::TCompTortion_form() : Form("Compressor-Distortion", 330, 330) {
    ScrollBar_Drive.label = "Drive ";
    ScrollBar_Sharp.label = "Sharp ";
    ScrollBar_Distortion.label = "Distortion ";
    SkinScroll_Level.label = "Level ";
    ScrollBar_Popravka.label = "Crunch ";
    ScrollBar_Softness2.label = "Softness ";
    ScrollBar_Color.label = "Color  ";
    ScrollBar_Drive.hint = "Input gain";
    ScrollBar_Sharp.hint = "Knee: left soft, right hard";
    ScrollBar_Distortion.hint = "Left keeps the level, right holds it flat";
    SkinScroll_Level.hint = "Output gain";
    ScrollBar_Popravka.hint = "Gain on the envelope: right compresses earlier";
    ScrollBar_Softness2.hint = "Window: left long and smooth (compressor), right one sample (waveshaper)";
    ScrollBar_Color.hint = "Low cut: right removes more of the low band";
    Slider* order[] = {&ScrollBar_Drive,    &ScrollBar_Sharp,     &ScrollBar_Distortion, &SkinScroll_Level,
                       &ScrollBar_Popravka, &ScrollBar_Softness2, &ScrollBar_Color};
    int top = 24;
    for (Slider* s : order) {
        s->bounds = {16, top, 298, 17};
        top += 44;
        add(*s);
    }

    ScrollBar_Drive.on_change = [this] { ScrollBar_DriveChange(); };
    ScrollBar_Sharp.on_change = [this] { ScrollBar_SharpChange(); };
    ScrollBar_Distortion.on_change = [this] { ScrollBar_DistortionChange(); };
    SkinScroll_Level.on_change = [this] { SkinScroll_LevelChange(); };
    ScrollBar_Popravka.on_change = [this] { ScrollBar_PopravkaChange(); };
    ScrollBar_Softness2.on_change = [this] { ScrollBar_Softness2Change(); };
    ScrollBar_Color.on_change = [this] { ScrollBar_ColorChange(); };
    add(Curve_Law);
    Curve_Law.set_source([this] {
        const std::vector<double> x = ramp_inputs();
        std::vector<float> in(x.begin(), x.end()), out(in.size());
        static_law(in.data(), out.data(), static_cast<int32_t>(in.size()));
        return std::vector<Curve::Series>{{"output", Curve::Style::Line, x, std::vector<double>(out.begin(), out.end())}};
    });
    after_each_change(*this, [this] { Curve_Law.invalidate(); });
    // Each shows the value its handler stored: a new instance runs K = 6e7 and color 0.98 until moved.
    ScrollBar_Drive.unit_text = [this] { return gain_text(gain_in); };
    SkinScroll_Level.unit_text = [this] { return gain_text(gain_out); };
    ScrollBar_Popravka.unit_text = [this] { return gain_text(crunch); };
    // The gain law turns from 1 towards g^(d - 2) where g^2 passes K: the knee sits at g = sqrt(K).
    ScrollBar_Sharp.unit_text = [this] { return "knee " + dbfs_text(std::sqrt(static_cast<double>(sharp_k))); };
    // Above the knee the output grows as g^(d - 1): a ratio of 1 / (d - 1) dB in to 1 dB out.
    ScrollBar_Distortion.unit_text = [this] {
        const double d = dist_exp;
        return ratio_text(d - 1.0 > 0.0 ? 1.0 / (d - 1.0) : 0.0) + " (d " + plain_number(d, 2) + ")";
    };
    ScrollBar_Softness2.unit_text = [this] { return samples_text(window, display_rate()); };
    // The low band is dropped: the corner of the one-pole split is where the cut begins.
    ScrollBar_Color.unit_text = [this] { return "cut below " + one_pole_corner_text(color, display_rate()); };
    FormCreate();
}

// Sharp and Color start away from their sliders on purpose; a field follows its slider once moved.
void TCompTortion_form::FormCreate() {
    shown_once = 0;
    gain_in = 1.0f;
    gain_out = 1.0f;
    sharp_k = 6e7f;
    dist_exp = 1.25f;
    crunch = 1.0f;
    window = 15;
    color = 0.98f;
    restart_window(15, 0.0f);
}

void TCompTortion_form::restart_window(int32_t h, float envelope) {
    wr_L = 398;
    mid_L = 398 - (h - 1) / 2;
    old_L = 398 - h;
    env_L = envelope;
    wr_R = wr_L;
    mid_R = mid_L;
    old_R = old_L;
    env_R = envelope;
}

float TCompTortion_form::sharp_of_position(int32_t position) {
    return static_cast<float>((51 - position) * 10000000);
}

float TCompTortion_form::exponent_of_position(int32_t position) {
    return static_cast<float>((100 - position) / 100.0 + 1.0);
}

float TCompTortion_form::color_of_position(int32_t position) {
    float c = static_cast<float>(std::sqrt(position * 1.0 / 100.0));
    // Never 1.0: the low band would freeze and the high band carry everything.
    if (c > 0.999) c = static_cast<float>(0.999);
    if (c < 0.001) c = static_cast<float>(0.001);
    return c;
}

void TCompTortion_form::ScrollBar_DriveChange() {
    if (auto f = SliderFactor(ScrollBar_Drive.position())) gain_in = *f;
}

void TCompTortion_form::ScrollBar_SharpChange() { sharp_k = sharp_of_position(ScrollBar_Sharp.position()); }

void TCompTortion_form::ScrollBar_DistortionChange() {
    dist_exp = exponent_of_position(ScrollBar_Distortion.position());
}

void TCompTortion_form::SkinScroll_LevelChange() {
    if (auto f = SliderFactor(SkinScroll_Level.position())) gain_out = *f;
}

void TCompTortion_form::ScrollBar_PopravkaChange() {
    if (auto f = SliderFactor(ScrollBar_Popravka.position())) crunch = *f;
}

// The indices and envelopes belong to the audio thread: it restarts them itself at the start of its
// next block, so every block runs either wholly on the old window or wholly on the new one, and no
// block is let through unprocessed (that would be an audible step into the dry signal).
int32_t TCompTortion_form::window_of_position(int32_t position) { return 101 - 2 * position; }

void TCompTortion_form::ScrollBar_Softness2Change() {
    const int32_t h = window_of_position(ScrollBar_Softness2.position());
    window = h;
    window_request.store(h, std::memory_order_release);
}

void TCompTortion_form::ScrollBar_ColorChange() { color = color_of_position(ScrollBar_Color.position()); }

double TCompTortion_form::Power(double b, double e) {
    if (e == 0.0) return 1.0;
    if (b == 0.0 && e > 0.0) return 0.0;
    if (e == std::trunc(e) && std::fabs(e) < 2147483648.0) {
        uint32_t k = static_cast<uint32_t>(std::fabs(e));
        double r = 1.0, x = b;
        bool first = true;
        while (k != 0) {
            if (k & 1u) {
                r = first ? x : r * x;
                first = false;
            }
            k >>= 1;
            if (k != 0) x = x * x;
        }
        return e < 0.0 ? 1.0 / r : r;
    }
    return std::exp(e * std::log(b));
}

void TCompTortion_form::FNC(float* y, int32_t n, float c, float& m) {
    float state = m;
    for (int32_t i = 0; i < n; ++i) y[i] = one_pole_lowpass(state, c, y[i]);
    m = state;
}

namespace {

// What one block reads from the handlers' fields, read once.
struct Law {
    float gin, gout, crunch, K, d, c;
    int32_t h;
};

inline int32_t advance(int32_t index) { return index == 500 ? 0 : index + 1; }

// One channel as a block runs it: the state in locals, written back at the end.
struct Lane {
    float* v;          // the channel's samples, v[0], v[stride], ...
    ptrdiff_t stride;
    float m, E;
    float* R;
    int32_t wr, mid, old;
    float* b;          // per sample: the envelope, then the value the gain law is taken of
    float* y;          // per sample: the output, before it goes into v
    double* p;         // per sample: Power(b, d)
    float* H;          // the ring in time order (kRing values), then the samples of this piece
    float* lp_mem_out;
    float* env_out;
    int32_t *wr_out, *mid_out, *old_out;
    int32_t d_old = 0, d_mid = 0;  // how far the leaving sample and the tap lie behind the newest

    // The ring into H, oldest first; H[kRing - 1] is the newest sample.
    void ring_to_line() {
        d_old = (wr - old + TCompTortion_form::kRing) % TCompTortion_form::kRing;
        d_mid = (wr - mid + TCompTortion_form::kRing) % TCompTortion_form::kRing;
        const int32_t first = advance(wr), tail = TCompTortion_form::kRing - first;
        std::copy_n(R + first, tail, H);
        std::copy_n(R, first, H + tail);
    }
    // After n more samples, the last kRing values of H back into the ring, the indices moved on.
    void line_to_ring(int32_t n, int32_t k) {
        wr = (wr + n) % TCompTortion_form::kRing;
        mid = (mid + n) % TCompTortion_form::kRing;
        old = (old + n) % TCompTortion_form::kRing;
        const int32_t first = advance(wr), tail = TCompTortion_form::kRing - first;
        std::copy_n(H + k, tail, R + first);
        std::copy_n(H + k + tail, first, R);
    }
    // The tapped samples of this piece.
    const float* taps() const { return H + TCompTortion_form::kRing - d_mid; }

    void store() const {
        *lp_mem_out = m;
        *env_out = E;
        *wr_out = wr;
        *mid_out = mid;
        *old_out = old;
    }
};

// The low-pass step from memory m, without storing it.
inline float lowpass_of(float m, float c, float x) { return one_pole_lowpass(m, c, x); }


// Everything of one sample up to the gain law: low band off, into the ring, envelope, the tap.
inline void front(Lane& l, const Law& law, int32_t i, int32_t at) {
    const float x = l.v[static_cast<ptrdiff_t>(at + i) * l.stride];
    const float low = one_pole_lowpass(l.m, law.c, x);
    const float high = x - low;
    const float t = high * law.gin;
    float* newest = l.H + TCompTortion_form::kRing + i;
    *newest = t;
    l.E = static_cast<float>((static_cast<double>(std::fabs(t)) + l.E) - std::fabs(newest[-l.d_old]));
    if (l.E < TCompTortion_form::kFloor) l.E = TCompTortion_form::kFloor;
    l.b[i] = l.E;
}

// The front of k samples of one or two channels. Copies of the lanes keep their state in registers
// (through the lanes themselves every store could alias it); the two channels' recurrences are
// independent and overlap when they run side by side.
template <int Count>
void fronts(Lane* const* lanes, const Law& law, int32_t k, int32_t at) {
    Lane a = *lanes[0];
    Lane b = *lanes[Count - 1];
    for (int32_t i = 0; i < k; ++i) {
        front(a, law, i, at);
        if constexpr (Count == 2) front(b, law, i, at);
    }
    *lanes[0] = a;
    if constexpr (Count == 2) *lanes[1] = b;
}

inline double power_of(float b, double d) {
    return b == 0.0f ? 0.0 : std::exp(d * std::log(static_cast<double>(b)));
}

// Power(b, d) for a d that is not integral, over k samples. kGroup at a time, logarithms first: each
// exponential waits for its logarithm, and the chains of a group overlap. A value equal to the one
// before (silence, a held envelope) reuses its result.
constexpr int32_t kGroup = 8;

void powers(double* __restrict p, const float* __restrict b, int32_t k, double d) {
    float last_b = -1.0f;
    double last_p = 0.0;
    int32_t j = 0;
    for (; j + kGroup <= k; j += kGroup) {
        bool fresh = b[j] != last_b;
        for (int32_t i = 0; i < kGroup; ++i) fresh &= b[j + i] != 0.0f && (i == 0 || b[j + i] != b[j + i - 1]);
        if (fresh) {
            double l[kGroup];
            for (int32_t i = 0; i < kGroup; ++i) l[i] = std::log(static_cast<double>(b[j + i]));
            for (int32_t i = 0; i < kGroup; ++i) p[j + i] = std::exp(d * l[i]);
        } else {
            for (int32_t i = j; i < j + kGroup; ++i) {
                if (b[i] != last_b) {
                    last_b = b[i];
                    last_p = power_of(b[i], d);
                }
                p[i] = last_p;
            }
        }
        last_b = b[j + kGroup - 1];
        last_p = p[j + kGroup - 1];
    }
    for (; j < k; ++j) {
        if (b[j] != last_b) {
            last_b = b[j];
            last_p = power_of(b[j], d);
        }
        p[j] = last_p;
    }
}

// What the gain law is taken of: the envelope's mean times Crunch, or for a one-sample window the
// sample's own magnitude (y x y is |y| x |y|, so one law serves both).
VX_VECTOR_CLONES
void law_inputs(float* __restrict b, const float* __restrict y, int32_t k, int32_t h, float crunch) {
    if (h > 1) {
        const double hd = h, cd = crunch;
        for (int32_t i = 0; i < k; ++i) b[i] = static_cast<float>((static_cast<double>(b[i]) / hd) * cd);
    } else {
        for (int32_t i = 0; i < k; ++i) b[i] = std::fabs(y[i]);
    }
}

// q = (Power(b, d) + K) / (b x b + K) as float32, and the output gout x y x q.
template <int Mode>  // 0: d not integral (Power in p), 1: d = 1, 2: d = 2
VX_VECTOR_CLONES void outputs(float* __restrict out, const float* __restrict y, const float* __restrict b,
                              const double* __restrict p, int32_t k, double K, double gout) {
    for (int32_t i = 0; i < k; ++i) {
        const double bd = b[i];
        double pw;
        if constexpr (Mode == 2)
            pw = bd * bd;
        else if constexpr (Mode == 1)
            pw = bd;
        else
            pw = p[i];
        const float q = static_cast<float>((pw + K) / (bd * bd + K));
        out[i] = static_cast<float>(gout * y[i] * q);
    }
}

// The gain law and the output of k samples whose fronts have run.
bool back(Lane& l, const Law& law, int32_t k, int32_t at) {
    const double K = law.K, gout = law.gout;
    const float* y = l.taps();
    law_inputs(l.b, y, k, law.h, law.crunch);
    if (law.d == 2.0f) {
        outputs<2>(l.y, y, l.b, l.p, k, K, gout);
    } else if (law.d == 1.0f) {
        outputs<1>(l.y, y, l.b, l.p, k, K, gout);
    } else {
        powers(l.p, l.b, k, law.d);
        outputs<0>(l.y, y, l.b, l.p, k, K, gout);
    }
    bool finite = true;
    float* v = l.v + static_cast<ptrdiff_t>(at) * l.stride;
    for (int32_t i = 0; i < k; ++i) {
        v[i * l.stride] = l.y[i];
        finite &= std::isfinite(l.y[i]);
    }
    return finite;
}

// One value of the gain law, as the passes above compute it.
template <int Mode>
float gain_law(float b, double d, double K) {
    const double bd = b;
    double pw;
    if constexpr (Mode == 2)
        pw = bd * bd;
    else if constexpr (Mode == 1)
        pw = bd;
    else
        pw = power_of(b, d);
    return static_cast<float>((pw + K) / (bd * bd + K));
}

// True when n frames of this channel are exact silence (+0.0) into a state that repeats itself: the
// low-pass memory at a fixed point, the whole window holding one value and the envelope stable on it.
// Every sample then comes out the same, and the block is one computation and a fill. This is also
// the state in which the memories are denormal, where sample-by-sample arithmetic is slowest.
bool settled(const Lane& l, const Law& law, int32_t n) {
    if (l.E < TCompTortion_form::kFloor) return false;
    if (std::bit_cast<uint32_t>(lowpass_of(l.m, law.c, 0.0f)) != std::bit_cast<uint32_t>(l.m)) return false;
    for (int32_t i = 0; i < n; ++i)
        if (std::bit_cast<uint32_t>(l.v[static_cast<ptrdiff_t>(i) * l.stride]) != 0u) return false;
    const float t = (0.0f - l.m) * law.gin;
    const uint32_t tb = std::bit_cast<uint32_t>(t);
    const int32_t span = (l.wr - l.old + TCompTortion_form::kRing) % TCompTortion_form::kRing;
    for (int32_t j = 0, at = l.old; j < span; ++j) {
        at = advance(at);
        if (std::bit_cast<uint32_t>(l.R[at]) != tb) return false;
    }
    const float E = static_cast<float>((static_cast<double>(std::fabs(t)) + l.E) - std::fabs(t));
    return E == l.E;
}

template <int Mode>
void run_settled(Lane& l, const Law& law, int32_t n) {
    const float t = (0.0f - l.m) * law.gin;
    const float g = static_cast<float>((static_cast<double>(l.E) / law.h) * law.crunch);
    const float b = law.h > 1 ? g : std::fabs(t);
    const float out = static_cast<float>(static_cast<double>(law.gout) * t * gain_law<Mode>(b, law.d, law.K));
    for (int32_t i = 0; i < n; ++i) {
        l.wr = advance(l.wr);
        l.mid = advance(l.mid);
        l.old = advance(l.old);
        l.R[l.wr] = t;
        l.v[static_cast<ptrdiff_t>(i) * l.stride] = out;
    }
}

void run_settled_any(Lane& l, const Law& law, int32_t n) {
    if (law.d == 2.0f)
        run_settled<2>(l, law, n);
    else if (law.d == 1.0f)
        run_settled<1>(l, law, n);
    else
        run_settled<0>(l, law, n);
}

// Only a non-finite or absurd input gets here: it would otherwise stay in the ring and the envelope
// for ever. The non-finite outputs become silence and the channel starts again from rest.
void mend(Lane& l, int32_t n, bool output_finite) {
    if (output_finite && std::isfinite(l.E) && std::isfinite(l.m)) return;
    for (int32_t i = 0; i < n; ++i) {
        float& x = l.v[static_cast<ptrdiff_t>(i) * l.stride];
        if (!std::isfinite(x)) x = 0.0f;
    }
    if (!std::isfinite(l.E) || !std::isfinite(l.m)) {
        std::fill(l.R, l.R + TCompTortion_form::kRing, 0.0f);
        l.E = 0.0f;
        l.m = 0.0f;
    }
}

}  // namespace

// A held level fills the window: the envelope is h times its magnitude (never below the floor). From
// there the block's own passes compute the law and the output.
void TCompTortion_form::static_law(const float* in, float* out, int32_t n) const {
    const Law law{gain_in, gain_out, crunch, sharp_k, dist_exp, color, window};
    const double K = law.K, gout = law.gout;
    std::vector<float> y(static_cast<size_t>(n)), b(static_cast<size_t>(n));
    std::vector<double> p(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        y[i] = in[i] * law.gin;
        b[i] = std::max(static_cast<float>(static_cast<double>(std::fabs(y[i])) * law.h), static_cast<float>(kFloor));
    }
    law_inputs(b.data(), y.data(), n, law.h, law.crunch);
    if (law.d == 2.0f) {
        outputs<2>(out, y.data(), b.data(), p.data(), n, K, gout);
    } else if (law.d == 1.0f) {
        outputs<1>(out, y.data(), b.data(), p.data(), n, K, gout);
    } else {
        powers(p.data(), b.data(), n, law.d);
        outputs<0>(out, y.data(), b.data(), p.data(), n, K, gout);
    }
}

void TCompTortion_form::CompTortion(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (window_request.load(std::memory_order_relaxed) != 0) {
        const int32_t h = window_request.exchange(0, std::memory_order_acquire);
        if (h != 0) restart_window(h, 0.001f);
    }
    const Law law{gain_in, gain_out, crunch, sharp_k, dist_exp, color, window};
    const int32_t n = frameCount > 0 ? frameCount : 0;
    const bool stereo = channelCount != 1;
    // Nothing to process still brings the envelopes up to the floor.
    if (env_L < kFloor) env_L = kFloor;
    if (stereo && env_R < kFloor) env_R = kFloor;
    if (n == 0) return;

    Lane lanes[2] = {
        {buffer, stereo ? 2 : 1, lp_mem_L, env_L, ring_L, wr_L, mid_L, old_L, law_in[0], tap[0], power[0], line[0],
         &lp_mem_L, &env_L, &wr_L, &mid_L, &old_L},
        {stereo ? buffer + 1 : buffer, 2, lp_mem_R, env_R, ring_R, wr_R, mid_R, old_R, law_in[1], tap[1], power[1], line[1],
         &lp_mem_R, &env_R, &wr_R, &mid_R, &old_R},
    };
    Lane* busy_lanes[2];
    int count = 0;
    for (int c = 0; c < (stereo ? 2 : 1); ++c) {
        if (settled(lanes[c], law, n))
            run_settled_any(lanes[c], law, n);
        else
            busy_lanes[count++] = &lanes[c];
    }
    for (int c = 0; c < count; ++c) busy_lanes[c]->ring_to_line();
    bool finite[2] = {true, true};
    int32_t k = 0;
    for (int32_t at = 0; at < n; at += k) {
        if (at > 0)
            for (int c = 0; c < count; ++c) std::copy_n(busy_lanes[c]->H + k, kRing, busy_lanes[c]->H);
        k = std::min(kScratch, n - at);
        if (count == 2)
            fronts<2>(busy_lanes, law, k, at);
        else if (count == 1)
            fronts<1>(busy_lanes, law, k, at);
        for (int c = 0; c < count; ++c) finite[c] &= back(*busy_lanes[c], law, k, at);
    }
    for (int c = 0; c < count; ++c) {
        busy_lanes[c]->line_to_ring(n, k);
        mend(*busy_lanes[c], n, finite[c]);
    }
    for (int c = 0; c < (stereo ? 2 : 1); ++c) lanes[c].store();
}

void TCompTortion_form::get_parameters(int32_t* block) {
    block[0] = float_word(gain_in);
    block[1] = float_word(gain_out);
    block[2] = float_word(sharp_k);
    block[3] = float_word(dist_exp);
    block[4] = float_word(crunch);
    block[5] = window;
    block[6] = float_word(color);
    block[7] = ScrollBar_Drive.position();
    block[8] = SkinScroll_Level.position();
    block[9] = ScrollBar_Sharp.position();
    block[10] = ScrollBar_Distortion.position();
    block[11] = ScrollBar_Popravka.position();
    block[12] = ScrollBar_Softness2.position();
    block[13] = ScrollBar_Color.position();
}

void TCompTortion_form::put_parameters(const int32_t* block) {
    const float g_lo = *SliderFactor(0), g_hi = *SliderFactor(100);
    gain_in = restored_float(block[0], gain_in, g_lo, g_hi);
    gain_out = restored_float(block[1], gain_out, g_lo, g_hi);
    sharp_k = restored_float(block[2], sharp_k, sharp_of_position(ScrollBar_Sharp.max()),
                       sharp_of_position(ScrollBar_Sharp.min()));
    dist_exp = restored_float(block[3], dist_exp, exponent_of_position(ScrollBar_Distortion.max()),
                        exponent_of_position(ScrollBar_Distortion.min()));
    crunch = restored_float(block[4], crunch, g_lo, g_hi);
    // A window of 0 would divide by zero; the ring indices keep their distances either way.
    window = std::clamp<int32_t>(block[5], 1, 101);
    color = restored_float(block[6], color, 0.001f, 0.999f);
    ScrollBar_Drive.set_position(block[7]);
    SkinScroll_Level.set_position(block[8]);
    ScrollBar_Sharp.set_position(block[9]);
    ScrollBar_Distortion.set_position(block[10]);
    ScrollBar_Popravka.set_position(block[11]);
    ScrollBar_Softness2.set_position(block[12]);
    ScrollBar_Color.set_position(block[13]);
    Curve_Law.invalidate();
}

VX_REGISTER_KIND(3, TCompTortion_form, CompTortion)

}  // namespace vx
