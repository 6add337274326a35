#include "wahs.h"

#include <complex>
#include <numbers>

#include "engine/effects.h"
#include "engine/units.h"

#include "exact/tiny.h"

#include <algorithm>
#include <array>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vx {

namespace {
bool paired_path_available();
}

Twah_form::Twah_form() : Form("wah", 330, 300) {
    ScrollBar_Fc.label = " Low Pass Filter  Cut Off Frequency Start  ";
    ScrollBar_deviation.label = " Low Pass Filter  Cut Off Frequency Stop  ";
    ScrollBar_res.label = " Resonance for Low Pass Filter     ";
    ScrollBar_Speed.label = "  Wah Speed   ";
    ScrollBar_Level.label = "  Level    ";
    ScrollBar_Fc.bounds = {16, 28, 296, 17};
    ScrollBar_deviation.bounds = {16, 72, 296, 17};
    ScrollBar_res.bounds = {16, 116, 296, 17};
    ScrollBar_Speed.bounds = {16, 160, 296, 17};
    ScrollBar_Level.bounds = {16, 204, 296, 17};
    CheckRadioBox_Sweep_OnOff.bounds = {16, 240, 140, 20};
    ScrollBar_Fc.group = ScrollBar_deviation.group = ScrollBar_Speed.group = "Sweep";
    CheckRadioBox_Sweep_OnOff.group = "Sweep";
    ScrollBar_res.group = "Filter";
    ScrollBar_Level.group = "Output";
    ScrollBar_Fc.hint = "Lower turning point of the sweep";
    ScrollBar_deviation.hint = "Upper turning point of the sweep";

    add(ScrollBar_Fc);
    add(ScrollBar_deviation);
    add(ScrollBar_res);
    add(ScrollBar_Speed);
    add(ScrollBar_Level);
    add(CheckRadioBox_Sweep_OnOff);

    ScrollBar_Fc.on_change = [this] { ScrollBar_FcChange(); };
    ScrollBar_deviation.on_change = [this] { ScrollBar_deviationChange(); };
    ScrollBar_res.on_change = [this] { ScrollBar_resChange(); };
    ScrollBar_Speed.on_change = [this] { ScrollBar_SpeedChange(); };
    ScrollBar_Level.on_change = [this] { ScrollBar_LevelChange(); };
    CheckRadioBox_Sweep_OnOff.on_click = [this] { CheckRadioBox_Sweep_OnOffClick(); };
    add(Curve_Sweep);
    Curve_Sweep.set_source([this] { return sweep_series(); });
    after_each_change(*this, [this] { Curve_Sweep.invalidate(); });
    Timer_Sweep.on_timer = [this] {
        if ((shown_cutoff != drawn_cutoff_ || shown_rate != drawn_rate_) && !Curve_Sweep.stale()) Curve_Sweep.invalidate();
    };
    // Each shows the value its handler stored: a new instance sweeps by 1.0001 a step until moved.
    ScrollBar_Fc.unit_text = [this] { return hz_text(wah_cutoff_hz(start, res, display_rate())); };
    ScrollBar_deviation.unit_text = [this] { return hz_text(wah_cutoff_hz(stop, res, display_rate())); };
    ScrollBar_res.unit_text = [this] { return resonance_text(res); };
    // How long one sweep from start to stop takes (a step is a sample, or a frame in stereo).
    ScrollBar_Speed.unit_text = [this] {
        const double up = up_factor, from = start, to = stop;
        const std::string factor = factor_text(up) + " a step";
        if (!(to > from) || !(from > 0.0) || !(up > 1.0)) return factor;
        return period_text(std::log(to / from) / std::log(up), display_rate()) + " up, " + factor;
    };
    ScrollBar_Level.unit_text = [this] { return gain_text(level); };
    FormCreate();
}

void Twah_form::FormCreate() {
    shown_once = 0;
    level = 1.0f;
    cutoff_left = 0.1;
    cutoff_right = 0.1;
    res = 3.0;
    state_left = FourPoleLowpass{};
    state_right = FourPoleLowpass{};
    sweep_on = true;
    step_left = 1.0001f;
    step_right = 1.0001f;
    start = 0.05f;
    stop = 0.25f;
    up_factor = 1.0001f;
    down_factor = wah_down_factor(up_factor);
    paired_path = paired_path_available();
}

float wah_up_factor(int32_t position) { return static_cast<float>(position * 0.000006L + 1.0L); }

float wah_down_factor(float up) { return static_cast<float>(1.0 / static_cast<double>(up)); }

namespace {

// Where the four-pole's f is clamped, by resonance position 1..39: the right channel's 1.1 x f
// would otherwise pass the point where the filter grows without bound (and so would a left
// channel swept that high). Below it nothing changes; the margin keeps the last pole within 0.99,
// where the ringing still dies down within a few hundred samples.
constexpr double kSettledPoleRadius = 0.99;
const std::array<double, 40> kFLimit = [] {
    std::array<double, 40> t{};
    for (int p = 1; p < 40; ++p) t[static_cast<size_t>(p)] = four_pole_f_limit(p / 10.0, kSettledPoleRadius);
    t[0] = t[1];
    return t;
}();

// The clamp for a resonance: res is always a position / 10; anything else takes the limit of the
// next higher position (the limit falls as the resonance rises).
double f_limit_of(double res) {
    const double p = std::ceil(res * 10.0 - 1e-9);
    if (!(p >= 1.0)) return kFLimit[1];
    if (p >= 39.0) return kFLimit[39];
    return kFLimit[static_cast<size_t>(p)];
}

// The controls' values for one block: a handler's change takes effect with the next block, and
// both stereo channels see the same values.
struct BlockSettings {
    bool sweep_on;
    float start, stop, up, down, level;
    double res;
    double f_limit;  // from the same reading of res, so that both belong to one setting

    explicit BlockSettings(const Twah_form& w)
        // The falling factor always follows the rising one; taken from the same reading, the two
        // cannot belong to different settings.
        : sweep_on(w.sweep_on), start(w.start), stop(w.stop), up(w.up_factor), down(wah_down_factor(up)),
          level(w.level), res(w.res), f_limit(f_limit_of(res)) {}

    // One step of the exponential sweep; falling wins when both turning points are passed.
    void advance(double& cutoff, float& step) const {
        if (!sweep_on) return;
        cutoff = static_cast<double>(static_cast<long double>(cutoff) * step);
        if (cutoff < start) step = up;
        if (cutoff > stop) step = down;
    }
};

// The right channel's filter frequency for the sweep's cut-off.
inline double right_f(double cutoff) { return static_cast<double>((1.16L * cutoff) * 1.1L); }

inline float filtered(FourPoleLowpass& lp, float x, double f, double fb, float level) {
    return exact::to_float_times(exact::four_pole_step(lp, x, f, fb), static_cast<double>(level));
}

// hi + lo == v exactly: lo holds the 11 bits of the extended value that a double cannot.
inline void split(long double v, double& hi, double& lo) {
    hi = static_cast<double>(v);
    lo = static_cast<double>(v - hi);
}

#if defined(__x86_64__)
#define VX_WAH_PAIRED 1

// --- Both filters side by side -------------------------------------------------------------
// Each assignment of the recurrence is an extended-precision expression rounded to double. Here
// it is computed as the correctly rounded double of its exact value (fused multiply-add and
// error-free sums), which is what the extended arithmetic gives too unless the exact value lies
// within the extended roundings' reach of a halfway point between two doubles. That is checked
// for every value; a value too close to call (a few in a thousand) is computed the plain way.

#pragma GCC push_options
#pragma GCC target("fma,avx2")

using V = __m128d;  // a frame's left and right value
using W = __m256d;  // two frames' values

// What the checks need of either width, by the number of lanes.
template <int N> struct Width;
template <> struct Width<2> {
    static constexpr int count = 2;
    static constexpr unsigned all = 3;
    static V set1(double d) { return _mm_set1_pd(d); }
    static V add(V a, V b) { return _mm_add_pd(a, b); }
    static V fmadd(V a, V b, V c) { return _mm_fmadd_pd(a, b, c); }
    static V fnmadd(V a, V b, V c) { return _mm_fnmadd_pd(a, b, c); }
    static unsigned equal(V a, V b) { return static_cast<unsigned>(_mm_movemask_pd(_mm_cmpeq_pd(a, b))); }
    static void store(double* d, V v) { _mm_store_pd(d, v); }
    static V load(const double* d) { return _mm_load_pd(d); }
};
template <> struct Width<4> {
    static constexpr int count = 4;
    static constexpr unsigned all = 0xF;
    static W set1(double d) { return _mm256_set1_pd(d); }
    static W add(W a, W b) { return _mm256_add_pd(a, b); }
    static W fmadd(W a, W b, W c) { return _mm256_fmadd_pd(a, b, c); }
    static W fnmadd(W a, W b, W c) { return _mm256_fnmadd_pd(a, b, c); }
    static unsigned equal(W a, W b) { return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_EQ_OQ))); }
    static void store(double* d, W v) { _mm256_store_pd(d, v); }
    static W load(const double* d) { return _mm256_load_pd(d); }
};
constexpr int width_of(V) { return 2; }
constexpr int width_of(W) { return 4; }
inline W wabs(W v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
template <class T> using Lanes = Width<width_of(T{})>;

inline V vabs(V v) { return _mm_andnot_pd(_mm_set1_pd(-0.0), v); }
// The power of two at or below |v| (v normal). A value rounded to nearest lies in the same binade
// as its exact value or above it, so this bounds the rounding error of the exact value's binade.
inline V binade(V v) { return _mm_and_pd(v, _mm_castsi128_pd(_mm_set1_epi64x(0x7FF0000000000000LL))); }

// The checks run beside the recurrence; their sums go through the multiply-add units (x x 1 + y
// rounds exactly as x + y) so that they leave the adders to it.
template <class T> T add_(T a, T b) { return Lanes<T>::fmadd(a, Lanes<T>::set1(1.0), b); }
template <class T> T sub_(T a, T b) { return Lanes<T>::fnmadd(b, Lanes<T>::set1(1.0), a); }

// How far the extended roundings may have moved a value: reach times the terms' sizes, plus a
// floor that covers this path's own losses near the subnormal range (where it then declines).
template <class T> T bound(T reach, T t) { return Lanes<T>::fmadd(t, reach, Lanes<T>::set1(0x1p-1000)); }
template <class T> T bound(T reach, T t, T more) { return Lanes<T>::fmadd(t, reach, more); }

// Lanes where r is certain to be the double the extended arithmetic rounds to: res is the exact
// value minus r, delta bounds how far the extended roundings may have moved the value. Both ends
// of that interval round to r, so everything between does.
template <class T> unsigned certain(T r, T res, T delta) {
    const T above = Lanes<T>::add(r, add_(res, delta));
    const T below = add_(sub_(res, delta), r);
    return Lanes<T>::equal(above, r) & Lanes<T>::equal(below, r);
}

// Replaces the lanes that were not certain by the plain extended computation of that lane.
template <class T, class Exact>
T recompute(T r, unsigned ok, Exact exact, int64_t& count) {
    alignas(64) double lanes[Lanes<T>::count];
    Lanes<T>::store(lanes, r);
    for (int l = 0; l < Lanes<T>::count; ++l) {
        if (ok & (1u << l)) continue;
        lanes[l] = exact(l);
        ++count;
    }
    return Lanes<T>::load(lanes);
}

inline double lane(V v, int i) {
    alignas(16) double d[2];
    _mm_store_pd(d, v);
    return d[i];
}

struct PairState {
    V in, o1, o2, o3, o4, i1, i2, i3, i4;
};

PairState pair_of(const FourPoleLowpass& l, const FourPoleLowpass& r) {
    return PairState{_mm_set_pd(r.in, l.in), _mm_set_pd(r.out1, l.out1), _mm_set_pd(r.out2, l.out2),
                     _mm_set_pd(r.out3, l.out3), _mm_set_pd(r.out4, l.out4), _mm_set_pd(r.in1, l.in1),
                     _mm_set_pd(r.in2, l.in2), _mm_set_pd(r.in3, l.in3), _mm_set_pd(r.in4, l.in4)};
}

void unpair(const PairState& s, int l, FourPoleLowpass& lp) {
    lp.in = lane(s.in, l), lp.out1 = lane(s.o1, l), lp.out2 = lane(s.o2, l), lp.out3 = lane(s.o3, l);
    lp.out4 = lane(s.o4, l), lp.in1 = lane(s.i1, l), lp.in2 = lane(s.i2, l), lp.in3 = lane(s.i3, l);
    lp.in4 = lane(s.i4, l);
}

// The extended constants, each as two doubles that add up to it exactly.
struct Split {
    V hi, lo;
    explicit Split(long double v) {
        double h, l;
        split(v, h, l);
        hi = _mm_set1_pd(h), lo = _mm_set1_pd(l);
    }
};

// An extended rounding moves a value by at most 2^-64 of it; the bounds below add that up for
// every rounding before the store, with a little to spare for this path's own errors.
constexpr double kReach = 0x1.00004p-64;

// Sweeps and filters n frames. Stereo: the lanes are the left and right samples of a frame; mono:
// both lanes filter the same sample (the second lane's state is thrown away) and the first is kept.
// The sweep of n frames: one cut-off per frame into cuts.
inline void sweep_cuts(int32_t n, double& cutoff, float& step, const BlockSettings& bs, double* cuts,
                       int64_t& recomputed) {
    const V reach = _mm_set1_pd(kReach);
    // The float settings as doubles (exact), so that no conversion sits in the loop.
    const double start = bs.start, stop = bs.stop, up = bs.up, down = bs.down;
    double cut = cutoff, sf = step;
    for (int32_t i = 0; i < n; ++i) {
        // cut-off x step factor: exact as p + pe; only a double rounding that lands on a halfway
        // point could make the extended result differ from p.
        if (bs.sweep_on) {
            const V cv = _mm_set1_pd(cut), sv = _mm_set1_pd(sf);
            const V p = _mm_mul_pd(cv, sv);
            const V pe = _mm_fmsub_pd(cv, sv, p);
            if (__builtin_expect(certain(p, pe, bound(reach, vabs(p))) != 3, 0)) {
                cut = static_cast<double>(static_cast<long double>(cut) * static_cast<float>(sf));
                ++recomputed;
            } else {
                cut = _mm_cvtsd_f64(p);
            }
            if (cut < start) sf = up;
            if (cut > stop) sf = down;
        }
        cuts[i] = cut;
    }
    cutoff = cut;
    step = static_cast<float>(sf);
}

// f and fb of n4 frames (a multiple of 4) from their cut-offs, two frames to a vector.
template <bool Stereo>
void coefficients(int32_t n4, Twah_form::Coefficients& c, double res, double f_limit, int64_t& recomputed) {
    double h116, l116, h11, l11, h015, l015;
    split(1.16L, h116, l116);
    split(1.1L, h11, l11);
    split(0.15L, h015, l015);
    const W c116h = _mm256_set1_pd(h116), c116l = _mm256_set1_pd(l116);
    const W c015h = _mm256_set1_pd(h015), c015l = _mm256_set1_pd(l015);
    const W one = _mm256_set1_pd(1.0), reach = _mm256_set1_pd(kReach), resonance = _mm256_set1_pd(res);
    const W limit = _mm256_set1_pd(f_limit);
    // Lanes: left, right of frame i, then of frame i + 1. The right lane takes the
    // further factor 1.1 (mono: both lanes are the left channel).
    const double rh = Stereo ? h11 : 1.0, rl = Stereo ? l11 : 0.0, rr = Stereo ? 2 * kReach : kReach;
    const W m = _mm256_set_pd(rh, 1.0, rh, 1.0);
    const W ml = _mm256_set_pd(rl, 0.0, rl, 0.0);
    const W f_reach = _mm256_set_pd(rr, kReach, rr, kReach);
    for (int32_t i = 0; i < n4; i += 2) {
        const W cc = _mm256_permute4x64_pd(_mm256_loadu_pd(c.cut + i), 0x50);
        // f = 1.16 x cut-off (right: x 1.1 again)
        const W ph = _mm256_mul_pd(c116h, cc);
        const W pl = _mm256_add_pd(_mm256_fmsub_pd(c116h, cc, ph), _mm256_mul_pd(c116l, cc));
        const W fh = _mm256_mul_pd(ph, m);
        const W fl = _mm256_add_pd(_mm256_fmsub_pd(ph, m, fh), _mm256_add_pd(_mm256_mul_pd(ph, ml), _mm256_mul_pd(pl, m)));
        W f = _mm256_add_pd(fh, fl);
        unsigned ok = certain(f, add_(sub_(fh, f), fl), bound(f_reach, wabs(f)));
        if (__builtin_expect(ok != Width<4>::all, 0))
            f = recompute(f, ok, [&](int l) {
                const double cut = c.cut[i + l / 2];
                return Stereo && l % 2 == 1 ? right_f(cut) : FourPoleLowpass::f_of(cut);
            }, recomputed);
        // (as std::min: the limit where it is below f, f otherwise)
        f = _mm256_blendv_pd(f, limit, _mm256_cmp_pd(limit, f, _CMP_LT_OQ));
        // fb = (1 - 0.15 f f) res
        const W q = _mm256_mul_pd(f, f);
        const W qe = _mm256_fmsub_pd(f, f, q);
        const W th = _mm256_mul_pd(c015h, q);
        const W tl = _mm256_add_pd(_mm256_fmsub_pd(c015h, q, th), _mm256_add_pd(_mm256_mul_pd(c015h, qe), _mm256_mul_pd(c015l, q)));
        const W wh = _mm256_sub_pd(one, th);
        const W wz = _mm256_sub_pd(wh, one);
        const W wl = _mm256_sub_pd(
            _mm256_add_pd(_mm256_sub_pd(one, _mm256_sub_pd(wh, wz)), _mm256_sub_pd(_mm256_sub_pd(_mm256_setzero_pd(), th), wz)), tl);
        const W yh = _mm256_mul_pd(wh, resonance);
        const W yl = _mm256_add_pd(_mm256_fmsub_pd(wh, resonance, yh), _mm256_mul_pd(wl, resonance));
        W fb = _mm256_add_pd(yh, yl);
        // 0.15 x f and x f move t by 2 t 2^-64 at most, 1 - t by its own size, then the product
        const W fb_terms = _mm256_mul_pd(_mm256_fmadd_pd(wabs(th), _mm256_set1_pd(2.0), wabs(wh)), resonance);
        ok = certain(fb, add_(sub_(yh, fb), yl), bound(reach, fb_terms, bound(reach, wabs(fb))));
        if (__builtin_expect(ok != Width<4>::all, 0)) {
            alignas(32) double fs[4];
            _mm256_store_pd(fs, f);
            fb = recompute(fb, ok, [&](int l) { return FourPoleLowpass::fb_of(fs[l], res); }, recomputed);
        }
        _mm256_store_pd(&c.f[i][0], f);
        _mm256_store_pd(&c.fb[i][0], fb);
    }
}

// Filters n frames with the chunk's coefficients. Stereo: the lanes are the left and right
// samples of a frame; mono: both lanes filter the same sample (the second lane's state is thrown
// away) and the first is kept.
template <bool Stereo>
void filter_pairs(int32_t n, float* x, PairState& st, const Twah_form::Coefficients& c, float level,
                  int64_t& recomputed) {
    const Split c035(0.35013L), c03(0.3L);
    const V one = _mm_set1_pd(1.0), zero = _mm_setzero_pd(), reach = _mm_set1_pd(kReach), reach4 = _mm_set1_pd(4 * kReach),
            reach6 = _mm_set1_pd(6 * kReach);
    const V lv = _mm_set1_pd(static_cast<double>(level));
    PairState s = st;
    for (int32_t i = 0; i < n; ++i) {
        const V f = _mm_load_pd(c.f[i]);
        const V fb = _mm_load_pd(c.fb[i]);
        const V q = _mm_mul_pd(f, f);
        const V qe = _mm_fmsub_pd(f, f, q);
        int ok;

        // 0.35013 f^4 and 1 - f as pairs of doubles, within 2^-100 of their exact values. The
        // extended arithmetic rounds them (the first four times, the second where f is out of
        // range) before it uses them; the bounds below allow for that.
        const V ff_lo = qe;
        const V f4 = _mm_mul_pd(q, q);
        const V f4_lo = _mm_add_pd(_mm_fmsub_pd(q, q, f4), _mm_mul_pd(_mm_add_pd(q, q), ff_lo));
        const V kh = _mm_mul_pd(c035.hi, f4);
        const V kl = _mm_add_pd(_mm_fmsub_pd(c035.hi, f4, kh), _mm_add_pd(_mm_mul_pd(c035.hi, f4_lo), _mm_mul_pd(c035.lo, f4)));
        const V gh = _mm_sub_pd(one, f);
        const V gz = _mm_sub_pd(gh, one);
        const V gl = _mm_add_pd(_mm_sub_pd(one, _mm_sub_pd(gh, gz)), _mm_sub_pd(_mm_sub_pd(zero, f), gz));
        // 1 - f is exact in extended precision for 2^-8 <= f < 2 (as the sweep's range keeps it);
        // outside, its rounding counts too.
        const V g_exact = _mm_and_pd(_mm_cmpge_pd(f, _mm_set1_pd(0x1p-8)), _mm_cmplt_pd(f, _mm_set1_pd(2.0)));
        const V g_reach = _mm_blendv_pd(reach4, reach, g_exact);

        // (whole-register conversions: a scalar one would wait for the register's last use)
        const V xv = Stereo ? _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2 * i))))
                            : _mm_cvtps_pd(_mm_set1_ps(x[i]));

        // A filter ringing down into the subnormal range, where every value would be handed
        // back: the plain recurrence takes the frame at once.
        if (__builtin_expect(_mm_movemask_pd(_mm_cmplt_pd(vabs(s.o4), _mm_set1_pd(0x1p-900))) != 0, 0)) {
            // Without subnormal registers, for as long as a lane stays down there.
            FourPoleLowpass poles[2];
            unpair(s, 0, poles[0]);
            unpair(s, 1, poles[1]);
            auto deep = [](double d) { return (std::bit_cast<uint64_t>(d) << 1) < (uint64_t{1023 - 900} << 53); };
            const double lvl = static_cast<double>(level);
            const float zero_out = std::signbit(lvl) ? -0.0f : 0.0f;  // for an output of +0 units
            const bool whole_units = std::fabs(lvl) < 0x1p64;
            int32_t j = i;
            while (j < n) {
                // Silence on ringing of a few units: whole units, kept as such from frame to frame.
                if (whole_units && exact::TinyFourPole::fits(poles[0]) && (!Stereo || exact::TinyFourPole::fits(poles[1]))) {
                    exact::TinyFourPole tl(poles[0]), tr(Stereo ? poles[1] : poles[0]);
                    for (; j < n; ++j) {
                        exact::TinyFourPole nl = tl;
                        if (!nl.step(x[Stereo ? 2 * j : j], c.f[j][0], c.fb[j][0])) break;
                        if (Stereo) {
                            exact::TinyFourPole nr = tr;
                            if (!nr.step(x[2 * j + 1], c.f[j][1], c.fb[j][1])) break;
                            tr = nr;
                            x[2 * j + 1] = std::signbit(tr.out4) ? -zero_out : zero_out;
                        }
                        tl = nl;
                        x[Stereo ? 2 * j : j] = std::signbit(tl.out4) ? -zero_out : zero_out;
                    }
                    tl.store(poles[0]);
                    if (Stereo) tr.store(poles[1]);
                    if (j >= n) break;
                }
                bool leave;
                if (Stereo) {
                    const double l = exact::four_pole_step_deep(poles[0], x[2 * j], c.f[j][0], c.fb[j][0]);
                    const double r = exact::four_pole_step_deep(poles[1], x[2 * j + 1], c.f[j][1], c.fb[j][1]);
                    x[2 * j] = exact::to_float_times(l, lvl);
                    x[2 * j + 1] = exact::to_float_times(r, lvl);
                    leave = !deep(l) && !deep(r);
                } else {
                    // (mono: both lanes carry the same filter)
                    const double l = exact::four_pole_step_deep(poles[0], x[j], c.f[j][0], c.fb[j][0]);
                    x[j] = exact::to_float_times(l, lvl);
                    leave = !deep(l);
                }
                ++j;
                if (leave) break;
            }
            i = j - 1;
            s = pair_of(poles[0], poles[Stereo ? 1 : 0]);
            continue;
        }

        // in = x - out4 x fb
        V a = _mm_fnmadd_pd(s.o4, fb, xv);
        {
            const V p = _mm_mul_pd(s.o4, fb);
            const V pe = _mm_fmsub_pd(s.o4, fb, p);
            const V sum = sub_(xv, p);
            const V bb = sub_(sum, xv);
            const V se = add_(sub_(xv, sub_(sum, bb)), sub_(sub_(zero, p), bb));
            const V res = sub_(add_(sub_(sum, a), se), pe);
            ok = certain(a, res, bound(reach, binade(p), bound(reach, binade(a))));  // product, difference
            if (__builtin_expect(ok != 3, 0))
                // (the fallbacks take copies: references would keep the values in memory)
                a = recompute(a, ok, [xv, o4 = s.o4, fb](int l) {
                    return static_cast<double>(static_cast<long double>(lane(xv, l)) -
                                               static_cast<long double>(lane(o4, l)) * lane(fb, l));
                }, recomputed);
        }
        // in = ((0.35013 x (f x f)) x (f x f)) x in
        V b = _mm_fmadd_pd(kh, a, _mm_mul_pd(kl, a));
        {
            const V t = _mm_mul_pd(kl, a);
            const V p = _mm_mul_pd(kh, a);
            const V pe = _mm_fmsub_pd(kh, a, p);
            const V res = add_(add_(sub_(p, b), pe), t);
            // f x f (used twice), 0.35013 x that, x f x f again, then the product: five
            // relative roundings
            ok = certain(b, res, bound(reach6, vabs(b)));
            if (__builtin_expect(ok != 3, 0))
                b = recompute(b, ok, [f, a](int l) {
                    const long double lf = lane(f, l);
                    return static_cast<double>(((0.35013L * (lf * lf)) * (lf * lf)) * lane(a, l));
                }, recomputed);
        }
        // out = (0.3 x in_k + u) + (1 - f) x out, for the four poles in turn. All but u is known
        // early; u joins with one sum and the sum's error.
        auto pole = [&](V u, V in_k, V out) {
            const V ah = _mm_mul_pd(c03.hi, in_k);
            const V al = _mm_add_pd(_mm_fmsub_pd(c03.hi, in_k, ah), _mm_mul_pd(c03.lo, in_k));
            const V bh = _mm_mul_pd(gh, out);
            const V bl = _mm_add_pd(_mm_fmsub_pd(gh, out, bh), _mm_mul_pd(gl, out));
            const V ch = _mm_add_pd(ah, bh);
            const V cz = _mm_sub_pd(ch, ah);
            const V cl = _mm_add_pd(_mm_add_pd(_mm_sub_pd(ah, _mm_sub_pd(ch, cz)), _mm_sub_pd(bh, cz)), _mm_add_pd(al, bl));
            // The error of ch + u, exact: the short form with the larger term first, both ways
            // round, and the right one chosen.
            const V sum = _mm_add_pd(ch, u);
            const V e_ch_first = _mm_sub_pd(u, _mm_sub_pd(sum, ch));
            const V e_u_first = _mm_sub_pd(ch, _mm_sub_pd(sum, u));
            const V e = _mm_blendv_pd(e_u_first, e_ch_first, _mm_cmpge_pd(vabs(ch), vabs(u)));
            V r = _mm_add_pd(sum, _mm_add_pd(e, cl));
            const V res = add_(add_(sub_(sum, r), e), cl);
            // 0.3 x in_k, adding u (an intermediate: bounded by its size), 1 - f where it is not
            // exact, (1 - f) x out, the sum
            const V delta = bound(reach, binade(ah), bound(reach, vabs(add_(ah, u)), bound(g_reach, binade(bh), bound(reach, binade(r)))));
            const int good = certain(r, res, delta);
            if (__builtin_expect(good != 3, 0))
                r = recompute(r, good, [f, in_k, u, out](int l) {
                    const long double g = 1.0L - lane(f, l);
                    return static_cast<double>((0.3L * lane(in_k, l) + lane(u, l)) + g * lane(out, l));
                }, recomputed);
            return r;
        };
        const V o1 = pole(b, s.i1, s.o1);
        const V o2 = pole(o1, s.i2, s.o2);
        const V o3 = pole(o2, s.i3, s.o3);
        const V o4 = pole(o3, s.i4, s.o4);
        s = PairState{b, o1, o2, o3, o4, b, o1, o2, o3};

        const __m128 y = _mm_cvtpd_ps(_mm_mul_pd(o4, lv));
        if (Stereo)
            _mm_storel_pi(reinterpret_cast<__m64*>(x + 2 * i), y);
        else
            _mm_store_ss(x + i, y);
    }
    st = s;
}

#pragma GCC pop_options

bool paired_path_available() {
    return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
}
#else
bool paired_path_available() { return false; }
#endif

}  // namespace

// The sweep and the coefficients of a chunk go first, so that the filter loop carries nothing but
// the recurrences (two of them side by side in stereo).
template <int Channels, bool Right>
void Twah_form::run(int32_t frames, float* buffer, double& cutoff, float& step) {
    const BlockSettings s(*this);
#if VX_WAH_PAIRED
    if (paired_path && Channels != 0) {
        PairState st = pair_of(state_left, Channels == 1 ? state_left : state_right);
        for (int32_t done = 0; done < frames; done += kChunk) {
            const int32_t n = frames - done < kChunk ? frames - done : kChunk;
            sweep_cuts(n, cutoff, step, s, coef.cut, paired_recomputed);
            const int32_t n4 = (n + 3) & ~3;
            for (int32_t i = n; i < n4; ++i) coef.cut[i] = coef.cut[n - 1];
            coefficients<Channels == 2>(n4, coef, s.res, s.f_limit, paired_recomputed);
            filter_pairs<Channels == 2>(n, buffer + static_cast<ptrdiff_t>(done) * Channels, st, coef, s.level,
                                        paired_recomputed);
        }
        unpair(st, 0, state_left);
        if (Channels == 2) unpair(st, 1, state_right);
        return;
    }
#endif
    for (int32_t done = 0; done < frames; done += kChunk) {
        const int32_t n = frames - done < kChunk ? frames - done : kChunk;
        for (int32_t i = 0; i < n; ++i) {
            s.advance(cutoff, step);
            if (Channels == 2 || !Right) {
                coef.f[i][0] = std::min(FourPoleLowpass::f_of(cutoff), s.f_limit);
                coef.fb[i][0] = FourPoleLowpass::fb_of(coef.f[i][0], s.res);
            }
            if (Channels == 2 || Right) {
                coef.f[i][1] = std::min(right_f(cutoff), s.f_limit);
                coef.fb[i][1] = FourPoleLowpass::fb_of(coef.f[i][1], s.res);
            }
        }
        // Local copies: the compiler need not fear that a store into the buffer changes them.
        FourPoleLowpass left = state_left, right = state_right;
        const float level = s.level;
        float* x = buffer + static_cast<ptrdiff_t>(done) * (Channels == 1 ? 1 : 2);
        if (Channels == 2) {
            for (int32_t i = 0; i < n; ++i) {
                x[2 * i] = filtered(left, x[2 * i], coef.f[i][0], coef.fb[i][0], level);
                x[2 * i + 1] = filtered(right, x[2 * i + 1], coef.f[i][1], coef.fb[i][1], level);
            }
        } else if (Right) {
            for (int32_t i = 0; i < n; ++i)
                x[2 * i + 1] = filtered(right, x[2 * i + 1], coef.f[i][1], coef.fb[i][1], level);
        } else {
            constexpr int stride = Channels == 1 ? 1 : 2;
            for (int32_t i = 0; i < n; ++i)
                x[stride * i] = filtered(left, x[stride * i], coef.f[i][0], coef.fb[i][0], level);
        }
        state_left = left;
        state_right = right;
    }
}

namespace {
// A memory that is no longer a number (a NaN or an infinity that came in with the signal) would
// keep the channel silent or screaming for good: it starts again from rest instead.
void settle(FourPoleLowpass& p) {
    const double sum = p.in + p.out1 + p.out2 + p.out3 + p.out4 + p.in1 + p.in2 + p.in3 + p.in4;
    if (!std::isfinite(sum)) p = FourPoleLowpass{};
}
void settle(double& cutoff, float& step, float up) {
    if (!(std::isfinite(cutoff) && cutoff > 0.0)) cutoff = 0.1;
    if (!(std::isfinite(step) && step > 0.0f)) step = up;
}
}  // namespace

void Twah_form::settle_memories() {
    settle(state_left);
    settle(state_right);
    settle(cutoff_left, step_left, up_factor);
    settle(cutoff_right, step_right, up_factor);
}

void Twah_form::filter_fnc_1(int32_t count, float* samples) {
    if (count > 0) run<1, false>(count, samples, cutoff_left, step_left);
    settle_memories();
}

void Twah_form::filter_fnc_2(int32_t frames, float* buffer) {
    if (frames > 0) run<0, false>(frames, buffer, cutoff_left, step_left);
    settle_memories();
}

void Twah_form::filter_fnc_3(int32_t frames, float* buffer) {
    if (frames > 0) run<0, true>(frames, buffer, cutoff_right, step_right);
    settle_memories();
}

void Twah_form::wah(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    if (sampleRate > 0) shown_rate = sampleRate;
    if (channelCount == 1) {
        filter_fnc_1(frameCount, buffer);
        shown_cutoff = cutoff_left;
        return;
    }
    // The right channel restarts from the left's sweep position every block. With one set of
    // settings for the block both channels then sweep identically, so the left's sweep serves
    // both, and the two channels run side by side (the same results as filter_fnc_2, then _3).
    run<2, false>(frameCount, buffer, cutoff_left, step_left);
    settle_memories();
    cutoff_right = cutoff_left;
    step_right = step_left;
    shown_cutoff = cutoff_left;
}

double wah_cutoff_hz(double cutoff, double res, double rate) {
    const double f = std::min(FourPoleLowpass::f_of(cutoff), f_limit_of(res));
    // The loop's phase: one sample's delay and four stages (1 + 0.3 z^-1) / (1 - (1 - f) z^-1), each
    // of whose factors keeps a positive real part, so the sum of their angles needs no unwrapping.
    auto phase = [f](double w) {
        const std::complex<double> z = std::polar(1.0, -w);
        return -w + 4.0 * (std::arg(1.0 + 0.3 * z) - std::arg(1.0 - (1.0 - f) * z));
    };
    constexpr int kSteps = 1024;
    double lo = 0.0, hi = -1.0, lowest = 0.0, at_lowest = std::numbers::pi;
    for (int i = 1; i < kSteps; ++i) {
        const double w = std::numbers::pi * i / kSteps;
        const double p = phase(w);
        if (p < lowest) lowest = p, at_lowest = w;
        if (p <= -std::numbers::pi) {
            hi = w;
            break;
        }
        lo = w;
    }
    if (hi < 0.0) return at_lowest * rate / (2.0 * std::numbers::pi);
    for (int i = 0; i < 40; ++i) {
        const double mid = 0.5 * (lo + hi);
        (phase(mid) <= -std::numbers::pi ? hi : lo) = mid;
    }
    return 0.5 * (lo + hi) * rate / (2.0 * std::numbers::pi);
}

std::vector<Curve::Series> Twah_form::sweep_series() {
    drawn_cutoff_ = shown_cutoff;
    drawn_rate_ = shown_rate;
    const double rate = drawn_rate_ > 0 ? drawn_rate_ : 48000.0;
    const double r = res;
    const double f = std::min(FourPoleLowpass::f_of(drawn_cutoff_), f_limit_of(r));
    const double fb = FourPoleLowpass::fb_of(f, r);
    Curve::Series response{"response", Curve::Style::Line, log_frequencies(241), {}};
    const double gain = level;
    for (double hz : response.x)
        response.y.push_back(decibels(gain * four_pole_response(f, fb, unit_delay(hz, rate))));
    return {{"sweep", Curve::Style::Span, {wah_cutoff_hz(start, r, rate), wah_cutoff_hz(stop, r, rate)}, {}},
            {"cut-off", Curve::Style::Marker, {wah_cutoff_hz(drawn_cutoff_, r, rate)}, {}},
            std::move(response)};
}

float wah_turning_point(int32_t position) { return static_cast<float>(position / 200.0); }

double wah_resonance(int32_t position) { return position / 10.0; }

void Twah_form::ScrollBar_FcChange() { start = wah_turning_point(ScrollBar_Fc.position()); }

void Twah_form::ScrollBar_deviationChange() { stop = wah_turning_point(ScrollBar_deviation.position()); }

void Twah_form::ScrollBar_resChange() { res = wah_resonance(ScrollBar_res.position()); }

void Twah_form::ScrollBar_SpeedChange() {
    const float up = wah_up_factor(ScrollBar_Speed.position());
    up_factor = up;
    down_factor = wah_down_factor(up);
}

void Twah_form::ScrollBar_LevelChange() {
    if (auto f = SliderFactor(ScrollBar_Level.position())) level = *f;
}

void Twah_form::CheckRadioBox_Sweep_OnOffClick() { sweep_on = CheckRadioBox_Sweep_OnOff.checked(); }

void Twah_form::get_parameters(int32_t* block) {
    block[0] = ScrollBar_Fc.position();
    block[1] = ScrollBar_deviation.position();
    block[2] = ScrollBar_Speed.position();
    block[3] = ScrollBar_Level.position();
}

void Twah_form::put_parameters(const int32_t* block) {
    ScrollBar_Fc.set_position(block[0]);
    ScrollBar_deviation.set_position(block[1]);
    ScrollBar_Speed.set_position(block[2]);
    ScrollBar_Level.set_position(block[3]);
}

VX_REGISTER_KIND(10, Twah_form, wah)

}  // namespace vx
