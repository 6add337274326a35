#include "distortion1.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

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

// Odd by construction: the magnitude goes through the curve and the sign comes back afterwards.
float TDistortion1_form::Curve::finish(float y, double atan_of_arg) const {
    const bool negative = y < 0.0f;  // a zero takes the positive branch
    const float u = negative ? -y : y;
    const float w = static_cast<float>(atan_of_arg * 0.318309886183871 + 0.5);
    const float s = static_cast<float>(k_lo - k_span * w);
    const float t = static_cast<float>(static_cast<double>(c_hi) * w);
    const float r = static_cast<float>((static_cast<double>(s) * u + t) * S - O);
    return negative ? -r : r;  // rounding is symmetric: the same as rounding -r
}

float TDistortion1_form::Curve::operator()(float y) const { return finish(y, std::atan(arg(y))); }

void TDistortion1_form::distortion(float* y, int32_t n, int32_t A, int32_t B, float d, float e) {
    const Curve curve(A, B, d, e);
    for (int32_t i = 0; i < n; ++i) y[i] = curve(y[i]);
}

namespace {
// The bands through the rest of the curve and summed, into hi.
VX_VECTOR_CLONES
void finish_bands(const TDistortion1_form::Curve& curve, float* __restrict hi, const float* __restrict lo,
                  const double* __restrict atan_hi, const double* __restrict atan_lo, float gout, int32_t k) {
    for (int32_t i = 0; i < k; ++i) {
        const float h = curve.finish(hi[i], atan_hi[i]);
        const float l = curve.finish(lo[i], atan_lo[i]);
        hi[i] = static_cast<float>((static_cast<double>(h) + l) * gout);
    }
}
}  // namespace

// Per sample the same as running input gain, FNC, the split and the curve on each band as passes
// over the block. The arctangents are taken in the pass that runs the low-pass, so that its chain
// from sample to sample hides behind them; what follows them has no chain and is vectorised.
void TDistortion1_form::channel(float* v, ptrdiff_t stride, int32_t n, float c, float& m, const Curve& curve) {
    const float gin = gain_in, gout = gain_out;
    float state = m;
    for (int32_t at = 0; at < n; at += kScratch) {
        const int32_t k = std::min(kScratch, n - at);
        float* x = v + at * stride;
        for (int32_t i = 0; i < k; ++i) {
            const float in = x[i * stride] * gin;  // one float32 product
            const float lo = one_pole_lowpass(state, c, in);
            const float hi = in - lo;
            band_lo[i] = lo;
            band_hi[i] = hi;
            atan_lo[i] = std::atan(curve.arg(lo));
            atan_hi[i] = std::atan(curve.arg(hi));
        }
        finish_bands(curve, band_hi, band_lo, atan_hi, atan_lo, gout, k);
        for (int32_t i = 0; i < k; ++i) x[i * stride] = band_hi[i];
    }
    m = state;
}

void TDistortion1_form::distortion1(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    const Curve curve(knee_in, knee_out, smooth, out_scale);
    if (channelCount == 1) {
        channel(buffer, 1, frameCount, color_L, lp_mem_L, curve);
        settle_memories();
        return;
    }
    channel(buffer, 2, frameCount, color_L, lp_mem_L, curve);
    channel(buffer + 1, 2, frameCount, color_R, lp_mem_R, curve);
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
}

VX_REGISTER_KIND(6, TDistortion1_form, distortion1)

}  // namespace vx
