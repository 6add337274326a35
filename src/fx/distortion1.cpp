#include "distortion1.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "engine/effects.h"
#include "engine/units.h"
#include "laws.h"

namespace vx {

TDistortion1_form::TDistortion1_form() : Form("Distortion", 330, 330) {
    ScrollBar_Gain_In.label = "Drive";
    ScrollBar_Gain_Out.label = "Level";
    ScrollBar_Tone1_k4.label = "Tone 1 ";
    ScrollBar_Tone2_k3.label = "Tone 2 ";
    ScrollBar_Smooth_k2.label = "Smooth ";
    ScrollBar_Color_M.label = "Color (L)  ";
    ScrollBar_Color_N.label = "Color (R)  ";
    ScrollBar_Gain_In.group = ScrollBar_Gain_Out.group = "Gain";
    ScrollBar_Tone1_k4.group = ScrollBar_Tone2_k3.group = ScrollBar_Smooth_k2.group = "Curve";
    ScrollBar_Color_M.group = ScrollBar_Color_N.group = "Color";
    ScrollBar_Gain_In.hint = "Input gain";
    ScrollBar_Gain_Out.hint = "Output gain";
    ScrollBar_Tone1_k4.hint = "Knee output level";
    ScrollBar_Tone2_k3.hint = "Knee input level";
    ScrollBar_Smooth_k2.hint = "Knee hardness: left hard, right soft";
    ScrollBar_Color_M.hint = ScrollBar_Color_N.hint = "Band split: right puts more into the high band";
    Slider* order[] = {&ScrollBar_Gain_In,   &ScrollBar_Gain_Out, &ScrollBar_Tone1_k4, &ScrollBar_Tone2_k3,
                       &ScrollBar_Smooth_k2, &ScrollBar_Color_M,  &ScrollBar_Color_N};
    int top = 24;
    for (Slider* s : order) {
        s->bounds = {16, top, 298, 17};
        top += 44;
        add(*s);
    }

    ScrollBar_Gain_In.on_change = [this] { ScrollBar_Gain_InChange(); };
    ScrollBar_Gain_Out.on_change = [this] { ScrollBar_Gain_OutChange(); };
    ScrollBar_Tone1_k4.on_change = [this] { ScrollBar_Tone1_k4Change(); };
    ScrollBar_Tone2_k3.on_change = [this] { ScrollBar_Tone2_k3Change(); };
    ScrollBar_Smooth_k2.on_change = [this] { ScrollBar_Smooth_k2Change(); };
    ScrollBar_Color_M.on_change = [this] { ScrollBar_Color_MChange(); };
    ScrollBar_Color_N.on_change = [this] { ScrollBar_Color_NChange(); };
    add(Curve_Transfer);
    Curve_Transfer.set_source([this] { return transfer_series(); });
    after_each_change(*this, [this] { Curve_Transfer.invalidate(); });
    // Each shows the value its handler stored: a new instance bends at 1000 -> 10000 until moved.
    ScrollBar_Gain_In.unit_text = [this] { return gain_text(gain_in); };
    ScrollBar_Gain_Out.unit_text = [this] { return gain_text(gain_out); };
    // The knee's two levels are samples on the 16-bit scale.
    ScrollBar_Tone1_k4.unit_text = [this] { return dbfs_text(knee_out); };
    ScrollBar_Tone2_k3.unit_text = [this] { return dbfs_text(knee_in); };
    ScrollBar_Smooth_k2.unit_text = [this] { return factor_text(smooth); };
    ScrollBar_Color_M.unit_text = [this] { return "split " + one_pole_corner_text(color_L, display_rate()); };
    ScrollBar_Color_N.unit_text = [this] { return "split " + one_pole_corner_text(color_R, display_rate()); };
    FormCreate();
}

std::vector<vx::Curve::Series> TDistortion1_form::transfer_series() {
    auto copy = private_copy(*this);
    // The band splits are not part of the stored settings.
    copy->color_L = color_L.load();
    copy->color_R = color_R.load();
    auto y = ramp_outputs(2, [&](float* b, int32_t n) { copy->distortion1(n, 48000, 2, b); });
    return {{"left, mono", vx::Curve::Style::Line, ramp_inputs(), std::move(y[0])},
            {"right", vx::Curve::Style::Line, ramp_inputs(), std::move(y[1])}};
}

// These differ from the sliders' first positions on purpose; a field follows its slider once moved.
void TDistortion1_form::FormCreate() {
    shown_once = 0;
    out_scale = 0.49f;
    smooth = 0.1f;
    knee_in = 1000;
    knee_out = 10000;
    gain_in = 1.0f;
    gain_out = 1.0f;
    color_L = 0.98f;
    color_R = 0.98f;
}

float smooth_of_position(int32_t position) {
    return static_cast<float>((1.0 / (position * 1.0)) * 0.2);
}

float color_of_position(int32_t position) {
    float c = static_cast<float>(std::sqrt(position * 1.0 / 100.0));
    // Never 1.0: the low band would freeze.
    if (c > 0.999) c = static_cast<float>(0.999);
    if (c < 0.001) c = static_cast<float>(0.001);
    return c;
}

void TDistortion1_form::ScrollBar_Gain_InChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_In.position())) gain_in = *f;
}

void TDistortion1_form::ScrollBar_Gain_OutChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_Out.position())) gain_out = *f;
}

void TDistortion1_form::ScrollBar_Tone1_k4Change() { knee_out = ScrollBar_Tone1_k4.position(); }

void TDistortion1_form::ScrollBar_Tone2_k3Change() { knee_in = ScrollBar_Tone2_k3.position(); }

void TDistortion1_form::ScrollBar_Smooth_k2Change() { smooth = smooth_of_position(ScrollBar_Smooth_k2.position()); }

void TDistortion1_form::ScrollBar_Color_MChange() { color_L = color_of_position(ScrollBar_Color_M.position()); }

void TDistortion1_form::ScrollBar_Color_NChange() { color_R = color_of_position(ScrollBar_Color_N.position()); }

void TDistortion1_form::FNC(float* y, int32_t n, float c, float& m) {
    float state = m;
    for (int32_t i = 0; i < n; ++i) y[i] = one_pole_lowpass(state, c, y[i]);
    m = state;
}

TDistortion1_form::Curve::Curve(int32_t A, int32_t B, float d, float e) : a(A), dd(d) {
    // The two lines: through (0, 0) and (A, B), and through (A, B) and (32767, 32767).
    const double b = B;
    k_lo = static_cast<float>(b / a);
    k_hi = static_cast<float>((32767.0 - b) / (32767.0 - a));
    c_hi = static_cast<float>(b - (32767.0 - b) * a / (32767.0 - a));
    k_span = static_cast<double>(k_lo) - k_hi;

    // Where the top of the range and zero land, so that the result can be scaled to 0 .. e x 32767.
    const float w_top = static_cast<float>((std::atan((32768.0 - a) * dd) / 1.5707963267945 + 1.0) * 0.5);
    float s = static_cast<float>(k_lo - k_span * w_top);
    float t = static_cast<float>(static_cast<double>(c_hi) * w_top);
    const float y_top = static_cast<float>(static_cast<double>(s) * 32767.0 + t);
    const float w_0 = static_cast<float>((std::atan((0.0 - a) * dd) / 1.5707963267945 + 1.0) * 0.5);
    s = static_cast<float>(k_lo - k_span * w_0);
    t = static_cast<float>(static_cast<double>(c_hi) * w_0);
    const float y_0 = static_cast<float>(static_cast<double>(s) * 0.0 + t);
    S = static_cast<float>(static_cast<double>(e) * 32767.0 / (static_cast<double>(y_top) - y_0));
    O = static_cast<float>(static_cast<double>(y_0) * S);
}

float TDistortion1_form::Curve::weight(double atan_of_arg) {
    return static_cast<float>(atan_of_arg * 0.318309886183871 + 0.5);
}

// Odd by construction: the magnitude goes through the curve and the sign comes back afterwards.
float TDistortion1_form::Curve::finish_weighted(float y, float w) const {
    const bool negative = y < 0.0f;  // a zero takes the positive branch
    const float u = negative ? -y : y;
    const float s = static_cast<float>(k_lo - k_span * w);
    const float t = static_cast<float>(static_cast<double>(c_hi) * w);
    const float r = static_cast<float>((static_cast<double>(s) * u + t) * S - O);
    return negative ? -r : r;  // rounding is symmetric: the same as rounding -r
}

float TDistortion1_form::Curve::finish(float y, double atan_of_arg) const {
    return finish_weighted(y, weight(atan_of_arg));
}

float TDistortion1_form::Curve::operator()(float y) const { return finish(y, std::atan(arg(y))); }

void TDistortion1_form::distortion(float* y, int32_t n, int32_t A, int32_t B, float d, float e) {
    const Curve curve(A, B, d, e);
    for (int32_t i = 0; i < n; ++i) y[i] = curve(y[i]);
}

// Vectors of doubles never cross a call here (everything below is inlined into its kernel).
#pragma GCC diagnostic ignored "-Wpsabi"
namespace {
// atan(x) to within a few units in the last place, without branches, for a double or a vector of
// them: the argument is folded into |r| <= 0.66 (atan(x) = pi/2 - atan(1/x) above tan(3 pi / 8),
// pi/4 + atan((x - 1) / (x + 1)) between 0.66 and that), where a rational function of r^2 holds.
template <class V>
[[gnu::always_inline]] inline V atan_close(V x) {
    const V zero{}, one = zero + 1.0;
    const V ax = x < 0.0 ? -x : x;
    const auto far = ax > 2.41421356237309504880;
    const auto mid = ax > 0.66;
    const V num = far ? -one : (mid ? ax - 1.0 : ax);
    const V den = far ? ax : (mid ? ax + 1.0 : one);
    const V base = far ? zero + 1.57079632679489661923 : (mid ? zero + 0.785398163397448309616 : zero);
    const V r = num / den;
    const V z = r * r;
    const V p = (((-8.750608600031904122785e-1 * z - 1.615753718733365076637e1) * z - 7.500855792314704667340e1) * z -
                 1.228866684490136173410e2) * z - 6.485021904942025371773e1;
    const V q = ((((z + 2.485846490142306297962e1) * z + 1.650270098316988542046e2) * z + 4.328810604912902668951e2) * z +
                 4.853903996359136964868e2) * z + 1.945506571482613964425e2;
    const V a = base + (r + r * (z * p / q));
    return x < 0.0 ? -a : a;
}

// atan_close is never further than this from std::atan; the tests hold it to a sixteenth of that.
constexpr double kAtanSlack = 0x1p-40;

typedef double Doubles __attribute__((vector_size(32)));
typedef float Floats __attribute__((vector_size(16)));

// Curve::weight, four at a time.
[[gnu::always_inline]] inline Floats weight4(Doubles t) { return __builtin_convertvector(t * 0.318309886183871 + 0.5, Floats); }

// The curve's blend weights of x[0..n-1], exactly as Curve::weight(std::atan(x)) rounds them. The
// weight from the fast arctangent stands when both ends of the interval the true one lies in round to
// the same float (every step is monotonic); otherwise, or for a NaN, std::atan decides.
VX_VECTOR_CLONES
void weights(const double* __restrict x, float* __restrict w, int32_t n) {
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        Doubles v;
        std::memcpy(&v, x + i, sizeof v);
        const Doubles t = atan_close(v);
        const Floats lo = weight4(t - kAtanSlack), hi = weight4(t + kAtanSlack);
        std::memcpy(w + i, &lo, sizeof lo);
        // Rare: a look at each lane only when one of them is not settled.
        if (__builtin_expect(lo[0] != hi[0] || lo[1] != hi[1] || lo[2] != hi[2] || lo[3] != hi[3], 0)) {
            for (int j = 0; j < 4; ++j)
                if (!(lo[j] == hi[j])) w[i + j] = TDistortion1_form::Curve::weight(std::atan(x[i + j]));
        }
    }
    for (; i < n; ++i) w[i] = TDistortion1_form::Curve::weight(std::atan(x[i]));
}

// Curve::finish_weighted, four at a time.
[[gnu::always_inline]] inline Doubles finish4(const TDistortion1_form::Curve& c, Floats y, Floats w) {
    const Floats u = y < 0.0f ? -y : y;
    const Doubles wd = __builtin_convertvector(w, Doubles);
    const Doubles s = __builtin_convertvector(__builtin_convertvector(static_cast<double>(c.k_lo) - c.k_span * wd, Floats), Doubles);
    const Doubles t = __builtin_convertvector(__builtin_convertvector(static_cast<double>(c.c_hi) * wd, Floats), Doubles);
    const Floats r = __builtin_convertvector((s * __builtin_convertvector(u, Doubles) + t) * static_cast<double>(c.S) -
                                                 static_cast<double>(c.O), Floats);
    return __builtin_convertvector(y < 0.0f ? -r : r, Doubles);
}

// The bands through the rest of the curve and summed, back into the buffer.
VX_VECTOR_CLONES
void finish_bands(const TDistortion1_form::Curve& curve, float* __restrict out, const float* __restrict hi,
                  const float* __restrict lo, const float* __restrict w_hi, const float* __restrict w_lo, float gout,
                  int32_t k) {
    int32_t i = 0;
    for (; i + 4 <= k; i += 4) {
        Floats h, l, wh, wl;
        std::memcpy(&h, hi + i, sizeof h);
        std::memcpy(&l, lo + i, sizeof l);
        std::memcpy(&wh, w_hi + i, sizeof wh);
        std::memcpy(&wl, w_lo + i, sizeof wl);
        const Floats sum = __builtin_convertvector((finish4(curve, h, wh) + finish4(curve, l, wl)) * static_cast<double>(gout), Floats);
        std::memcpy(out + i, &sum, sizeof sum);
    }
    for (; i < k; ++i) {
        const float h = curve.finish_weighted(hi[i], w_hi[i]);
        const float l = curve.finish_weighted(lo[i], w_lo[i]);
        out[i] = static_cast<float>((static_cast<double>(h) + l) * gout);
    }
}
}  // namespace

double atan_for_curve(double x) { return atan_close(x); }

// Per sample the same as running input gain, FNC, the split and the curve on each band as passes
// over the block. The channels' low-passes run side by side, so that each hides the other's chain
// from sample to sample; everything after them has no chain and is vectorised.
template <int Channels>
void TDistortion1_form::run(float* v, int32_t n, const Curve& curve) {
    const float gin = gain_in, gout = gain_out;
    const float c[2] = {color_L, color_R};
    float state[2] = {lp_mem_L, lp_mem_R};
    for (int32_t at = 0; at < n; at += kPiece) {
        const int32_t k = std::min(kPiece, n - at) * Channels;
        float* x = v + at * Channels;
        for (int32_t i = 0; i < k; i += Channels) {
            for (int ch = 0; ch < Channels; ++ch) {
                const float in = x[i + ch] * gin;  // one float32 product
                const float lo = one_pole_lowpass(state[ch], c[ch], in);
                band_lo[i + ch] = lo;
                band_hi[i + ch] = in - lo;
            }
        }
        for (int32_t i = 0; i < k; ++i) {
            args[i] = curve.arg(band_hi[i]);
            args[k + i] = curve.arg(band_lo[i]);
        }
        weights(args, blend, 2 * k);
        finish_bands(curve, x, band_hi, band_lo, blend, blend + k, gout, k);
    }
    lp_mem_L = state[0];
    if (Channels == 2) lp_mem_R = state[1];
}

// Silence into low-passes that each round back to their own value (rest, or the smallest value
// their decay gets down to): every frame of the block is then the same, so one is worked out and
// copied. False, with nothing changed, otherwise.
template <int Channels>
bool TDistortion1_form::run_settled(float* v, int32_t n, const Curve& curve) {
    const float gin = gain_in;
    for (int32_t i = 0; i < n * Channels; ++i)
        if (std::bit_cast<uint32_t>(v[i] * gin) != 0) return false;
    const float c[2] = {color_L, color_R};
    const float memory[2] = {lp_mem_L, lp_mem_R};
    float out[2];
    for (int ch = 0; ch < Channels; ++ch) {
        float state = memory[ch];
        const float lo = one_pole_lowpass(state, c[ch], 0.0f);
        if (std::bit_cast<uint32_t>(lo) != std::bit_cast<uint32_t>(memory[ch])) return false;
        const float hi = 0.0f - lo;
        out[ch] = static_cast<float>((static_cast<double>(curve(hi)) + curve(lo)) * gain_out);
    }
    for (int32_t i = 0; i < n; ++i)
        for (int ch = 0; ch < Channels; ++ch) v[i * Channels + ch] = out[ch];
    return true;
}

void TDistortion1_form::distortion1(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    const Curve curve(knee_in, knee_out, smooth, out_scale);
    if (channelCount == 1) {
        if (!run_settled<1>(buffer, frameCount, curve)) run<1>(buffer, frameCount, curve);
    } else if (!run_settled<2>(buffer, frameCount, curve)) {
        run<2>(buffer, frameCount, curve);
    }
    settle_memories();
}

// A NaN or an infinity that came in with the signal would stay in the band split for good: that
// memory starts again from rest. A finite memory is never touched.
void TDistortion1_form::settle_memories() {
    if (!std::isfinite(lp_mem_L)) lp_mem_L = 0.0f;
    if (!std::isfinite(lp_mem_R)) lp_mem_R = 0.0f;
}

void TDistortion1_form::get_parameters(int32_t* block) {
    block[0] = float_word(out_scale);
    block[1] = float_word(smooth);
    block[2] = knee_in;
    block[3] = knee_out;
    block[4] = float_word(gain_in);
    block[5] = float_word(gain_out);
    block[6] = ScrollBar_Smooth_k2.position();
    block[7] = ScrollBar_Tone2_k3.position();
    block[8] = ScrollBar_Tone1_k4.position();
    block[9] = ScrollBar_Gain_In.position();
    block[10] = ScrollBar_Gain_Out.position();
}


void TDistortion1_form::put_parameters(const int32_t* block) {
    out_scale = restored_float(block[0], out_scale, 0.0f, 1.0f);
    smooth = restored_float(block[1], smooth, smooth_of_position(ScrollBar_Smooth_k2.max()),
                      smooth_of_position(ScrollBar_Smooth_k2.min()));
    knee_in = std::clamp(block[2], ScrollBar_Tone2_k3.min(), ScrollBar_Tone2_k3.max());
    knee_out = std::clamp(block[3], ScrollBar_Tone1_k4.min(), ScrollBar_Tone1_k4.max());
    const float g_lo = *SliderFactor(0), g_hi = *SliderFactor(100);
    gain_in = restored_float(block[4], gain_in, g_lo, g_hi);
    gain_out = restored_float(block[5], gain_out, g_lo, g_hi);
    ScrollBar_Smooth_k2.set_position(block[6]);
    ScrollBar_Tone2_k3.set_position(block[7]);
    ScrollBar_Tone1_k4.set_position(block[8]);
    ScrollBar_Gain_In.set_position(block[9]);
    ScrollBar_Gain_Out.set_position(block[10]);
    Curve_Transfer.invalidate();
}

VX_REGISTER_KIND(6, TDistortion1_form, distortion1)

}  // namespace vx
