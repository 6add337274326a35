#include "limiter_form.h"

#include "engine/effects.h"
#include "engine/units.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "laws.h"

namespace vx {

namespace {

constexpr long double kStereoExponent = 0.707L;
constexpr long double kMonoExponent = 0.85L;

// What the page's sliders put before their value in its title, in the order they are looked for.
constexpr const char* kPagePrefix[5] = {"porog =", "gain =", "color =", "colorl =", "colorr ="};

// state = state x c + (1 - c) x input in extended precision, stored as float32; returns the state.
inline float lowpass_ext(float& state, long double c, long double one_minus_c, float input) {
    state = static_cast<float>(static_cast<long double>(state) * c + one_minus_c * static_cast<long double>(input));
    return state;
}

float limit_coef(float c) {
    if (c > 0.999f) c = 0.999f;
    if (c < 0.001f) c = 0.001f;
    return c;
}

// A decimal integer with nothing after it; leading blanks and a sign are allowed.
bool read_decimal(const std::string& s, int32_t& out) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && s[i] == '+') ++i;
    const char* first = s.data() + i;
    const char* last = s.data() + s.size();
    const auto [end, ec] = std::from_chars(first, last, out);
    return ec == std::errc() && end == last && first != last;
}

// c ? a : b through the bits, so that the compiler computes both sides and keeps the loop free of
// branches (a branch would keep it from vectorising).
inline float pick(bool c, float a, float b) {
    const uint32_t m = 0u - static_cast<uint32_t>(c);
    return std::bit_cast<float>((std::bit_cast<uint32_t>(a) & m) | (std::bit_cast<uint32_t>(b) & ~m));
}

// The mono limiter on one value: above T the slope is s (t, sd: T and s in double), below -T likewise.
// Both sides are computed first, which lets the compiler choose without branching.
inline float limit_one(float x, float T, double t, double sd) {
    const float above = static_cast<float>((x - t) * sd + t);
    x = x >= T ? above : x;
    const float below = static_cast<float>((x + t) * sd - t);
    x = x <= -T ? below : x;
    return x;
}

// The stereo hard clip.
inline float clip(float v, float T) {
    if (v >= T) v = T;
    if (v <= -T) v = -T;
    return v;
}

// --- powers ---------------------------------------------------------------------------------
// a^e = 2^(e log2 a) in double: log2 from atanh of the mantissa reduced to [sqrt(1/2), sqrt(2)),
// 2^f from its Taylor series after taking out the nearest integer. Both series run well past
// double precision; what remains (the rounded steps and e held as a double) stays below 2^-43 of
// the result. A result further than kWindow units of the double's last place from a float32
// rounding midpoint therefore rounds as the exact power does, whatever extended power function
// computed it (within 2^-60); the others go the exact way.
constexpr uint64_t kSqrtHalfBits = 0x3FE6A09E667F3BCDull;
constexpr uint64_t kBias = 0x4000000000000000ull;
constexpr uint64_t kHalfFloatUlp = 1ull << 28;  // double mantissa bits below float32's, halfway
constexpr uint64_t kWindow = 1ull << 16;        // 2^-37 of the result at least

// a^e for a positive, normal double a; see above for its error.
inline double power_approx(double a, double e) {
    constexpr double kInvLn2 = 1.4426950408889634074;
    constexpr double kLn2 = 0.69314718055994530942;
    constexpr double kRound = 0x1.8p52;
    const uint64_t b = std::bit_cast<uint64_t>(a);
    const uint64_t u = b - kSqrtHalfBits + kBias;
    const uint64_t top = u >> 52;
    const double k = std::bit_cast<double>(top | 0x4330000000000000ull) - (0x1p52 + 1024.0);
    const double m = std::bit_cast<double>(b - ((top << 52) - kBias));
    const double s = (m - 1.0) / (m + 1.0);
    const double z = s * s;
    double p = 1.0 / 19.0;
    p = p * z + 1.0 / 17.0;
    p = p * z + 1.0 / 15.0;
    p = p * z + 1.0 / 13.0;
    p = p * z + 1.0 / 11.0;
    p = p * z + 1.0 / 9.0;
    p = p * z + 1.0 / 7.0;
    p = p * z + 1.0 / 5.0;
    p = p * z + 1.0 / 3.0;
    p = p * z + 1.0;
    const double log2a = k + ((2.0 * s) * p) * kInvLn2;
    const double y = e * log2a;
    const double t = y + kRound;
    const double g = (y - (t - kRound)) * kLn2;  // |g| <= ln2 / 2
    double q = 1.0 / 6227020800.0;               // 1/13!
    q = q * g + 1.0 / 479001600.0;
    q = q * g + 1.0 / 39916800.0;
    q = q * g + 1.0 / 3628800.0;
    q = q * g + 1.0 / 362880.0;
    q = q * g + 1.0 / 40320.0;
    q = q * g + 1.0 / 5040.0;
    q = q * g + 1.0 / 720.0;
    q = q * g + 1.0 / 120.0;
    q = q * g + 1.0 / 24.0;
    q = q * g + 1.0 / 6.0;
    q = q * g + 0.5;
    q = q * g + 1.0;
    q = q * g + 1.0;
    // The integer part of y sits in the low bits of t; it goes into the exponent.
    return std::bit_cast<double>(std::bit_cast<uint64_t>(q) + (std::bit_cast<uint64_t>(t) << 52));
}

// Whether r lies far enough from every float32 rounding midpoint (for r in float32's normal range).
inline bool rounds_surely(double r) {
    const uint64_t low = std::bit_cast<uint64_t>(r) & ((kHalfFloatUlp << 1) - 1);
    const uint64_t dist = low > kHalfFloatUlp ? low - kHalfFloatUlp : kHalfFloatUlp - low;
    return dist > kWindow;
}

VX_VECTOR_CLONES
void fast_powers(const float* __restrict in, float* __restrict out, int32_t* __restrict unsure, int32_t n,
                 double e) {
    for (int32_t i = 0; i < n; ++i) {
        const float v = in[i];
        const double a = std::fabs(static_cast<double>(v));
        const double r = power_approx(a, e);
        const bool zero = a == 0.0;
        // Also refused: infinity and NaN, and results below float32's normal range.
        const bool ok = zero | ((a <= 3.4028234663852886e38) & (r >= 0x1p-126) & rounds_surely(r));
        const float f = pick(zero, 0.0f, static_cast<float>(r));
        out[i] = pick(v < 0.0f, -f, f);
        unsure[i] = ok ? 0 : 1;
    }
}

}  // namespace

float limiter_power(float v, long double e) {
    if (v >= 0.0f) return v == 0.0f ? 0.0f : static_cast<float>(std::pow(static_cast<long double>(v), e));
    if (v < 0.0f) return -static_cast<float>(std::pow(-static_cast<long double>(v), e));
    return v;
}

int32_t limiter_powers(const float* in, float* out, int32_t* unsure, int32_t n, long double e) {
    if (n <= 0) return 0;
    fast_powers(in, out, unsure, n, static_cast<double>(e));
    int32_t exact = 0;
    for (int32_t i = 0; i < n; ++i)
        if (unsure[i] != 0) {
            out[i] = limiter_power(in[i], e);
            ++exact;
        }
    return exact;
}

float circuit_current(double e) {
    constexpr double kKnee = static_cast<double>(500.0f / 100000.0f);
    if (std::isnan(e)) return 0.0f;
    if (std::fabs(e) < 500.0) return static_cast<float>(e / 100000.0);
    const double excess = std::fabs(e) - 500.0;
    float i;
    // Nearly always the fast power settles the float32 current (the division and the sum add two
    // roundings, far inside the window); where it cannot, the extended one.
    const bool in_range = excess > 0.0 && excess <= 1e6;
    const double fast = in_range ? power_approx(excess, 1.85) / 100000.0 + kKnee : 0.0;
    if (in_range && rounds_surely(fast))
        i = static_cast<float>(fast);
    else
        i = static_cast<float>(static_cast<double>(std::pow(static_cast<long double>(excess), 1.85L)) / 100000.0 + kKnee);
    return e < 0.0 ? -i : i;
}

float limiter_limit(float v, float T, float s) { return limit_one(v, T, T, s); }

float limiter_coef_of_position(int32_t position) {
    return limit_coef(static_cast<float>(std::sqrt(position / 100.0)));
}

float limiter_page_threshold(int32_t n) { return static_cast<float>(std::nearbyint(n * std::sqrt(static_cast<double>(n)))); }

float limiter_page_level(int32_t n) { return SliderFactor(100 - n).value_or(1.0f); }

float limiter_page_color(int32_t n) { return limit_coef(static_cast<float>(n / 100.0)); }

float limiter_slope(float right_coef) { return static_cast<float>(0.2 * right_coef); }

// --- the window and its controls ------------------------------------------------------------

Tlimiter_form::Tlimiter_form() : Form(" Distortion ", 327, 302) {
    Page_porog.label = "Threshold";
    Page_gain.label = "Level";
    Page_color.label = "Color";
    Page_colorl.label = "Color left";
    Page_colorr.label = "Color right";
    Page_porog.hint = "Limiting level: right clips later";
    Page_gain.hint = "Output level: left is loudest";
    Page_color.hint = "Mono band split: right puts more into the high band";
    Page_colorl.hint = "Left band split: right puts more into the high band";
    Page_colorr.hint = "Right band split: right puts more into the high band";

    ScrollBar_Limiter_Porog.label = "Limiter Porog";
    ScrollBar_Koeff.label = "Split mono / left";
    ScrollBar_koeff_R.label = "Split right, slope";
    ScrollBar_FNC_1.label = "Low smoothing";
    ScrollBar_FNC_2.label = "High smoothing";
    ScrollBar_Limiter_Porog.hint = "Threshold on the 16-bit sample scale";
    ScrollBar_koeff_R.hint = "Right band split; in mono also the slope above the threshold";
    CheckBox_soft_limiter.hint = "Mono: circuit simulation; stereo: soft clip";
    for (Control* c : std::initializer_list<Control*>{&ScrollBar_Limiter_Porog, &ScrollBar_Koeff, &ScrollBar_koeff_R,
                                                      &ScrollBar_FNC_1, &ScrollBar_FNC_2, &CheckBox_soft_limiter})
        c->group = "Advanced";

    Slider* page[] = {&Page_porog, &Page_gain, &Page_color, &Page_colorl, &Page_colorr};
    for (int i = 0; i < 5; ++i) {
        add(*page[i]);
        page[i]->on_change = [this, i] { page_slider_moved(i); };
    }
    add(ScrollBar_Limiter_Porog);
    add(ScrollBar_Koeff);
    add(ScrollBar_koeff_R);
    add(ScrollBar_FNC_1);
    add(ScrollBar_FNC_2);
    add(CheckBox_soft_limiter);

    ScrollBar_Limiter_Porog.on_change = [this] { ScrollBar_Limiter_PorogChange(); };
    ScrollBar_Koeff.on_change = [this] { ScrollBar_KoeffChange(); };
    ScrollBar_koeff_R.on_change = [this] { ScrollBar_koeff_RChange(); };
    ScrollBar_FNC_1.on_change = [this] { ScrollBar_FNC_1Change(); };
    ScrollBar_FNC_2.on_change = [this] { ScrollBar_FNC_2Change(); };
    CheckBox_soft_limiter.on_click = [this] { CheckBox_soft_limiterClick(); };
    add(Curve_Transfer);
    Curve_Transfer.set_source([this] { return transfer_series(); });
    after_each_change(*this, [this] { Curve_Transfer.invalidate(); });
    // Every split and smoothing coefficient is that of a one-pole low-pass: its corner is the unit.
    // Each shows the field its handler stores, which a new instance and a restored block set
    // without moving any control; where two controls write one field, both show it.
    auto corner = [](float c) { return "corner " + one_pole_corner_text(c, display_rate()); };
    for (Slider* s : {&Page_porog, &ScrollBar_Limiter_Porog}) s->unit_text = [this] { return dbfs_text(threshold); };
    Page_gain.unit_text = [this] { return gain_text(out_gain); };
    Page_color.unit_text = [this, corner] { return corner(split_coef); };
    for (Slider* s : {&Page_colorl, &ScrollBar_Koeff}) s->unit_text = [this, corner] { return corner(split_coef_L); };
    Page_colorr.unit_text = [this, corner] { return corner(split_coef_R); };
    ScrollBar_koeff_R.unit_text = [this, corner] { return corner(split_coef_R) + ", slope " + factor_text(knee_slope); };
    ScrollBar_FNC_1.unit_text = [this, corner] { return corner(low_smooth); };
    ScrollBar_FNC_2.unit_text = [this, corner] { return corner(high_smooth); };
    FormCreate();
}

std::vector<Curve::Series> Tlimiter_form::transfer_series() {
    std::vector<Curve::Series> out;
    for (int channels : {1, 2}) {
        auto copy = private_copy(*this);
        // The smoothing is not part of the stored settings.
        copy->low_smooth = low_smooth.load();
        copy->high_smooth = high_smooth.load();
        auto y = ramp_outputs(channels, [&](float* b, int32_t n) { copy->limiter(n, 48000, channels, b); });
        out.push_back({channels == 1 ? "mono" : "stereo", Curve::Style::Line, ramp_inputs(), std::move(y[0])});
    }
    return out;
}

void Tlimiter_form::FormCreate() { shown_once = 0; }

// These differ from what the controls show on purpose; a field follows its control once moved.
void Tlimiter_form::create_defaults() {
    threshold = 500.0f;
    out_gain = 1.0f;
    split_coef = 0.98f;
    split_coef_L = 0.98f;
    split_coef_R = 0.98f;
    knee_slope = 0.0f;
    low_smooth = 0.1f;
    high_smooth = 0.71f;
    shape_mode = 0;
    for (int32_t& v : editor_values) v = 0;
    Curve_Transfer.invalidate();
    split_state = low_state = high_state = split_state_L = split_state_R = 0.0f;
    cap_voltage = 0.0;
}

void Tlimiter_form::FormShow() {
    const bool first = shown_once == 0;
    Form::FormShow();
    if (!first) return;
    // The page opens at the values it stored; opening it sets nothing.
    showing_page_ = true;
    Slider* page[] = {&Page_porog, &Page_gain, &Page_color, &Page_colorl, &Page_colorr};
    for (int i = 0; i < 5; ++i) page[i]->set_position(editor_values[i]);
    showing_page_ = false;
}

void Tlimiter_form::page_slider_moved(int index) {
    if (showing_page_) return;
    Slider* page[] = {&Page_porog, &Page_gain, &Page_color, &Page_colorl, &Page_colorr};
    Page_TitleChange(kPagePrefix[index] + std::to_string(page[index]->position()));
}

void Tlimiter_form::Page_TitleChange(const std::string& title) {
    std::string rest = title;
    for (int k = 0; k < 5; ++k) {
        const size_t at = rest.find(kPagePrefix[k]);
        if (at == std::string::npos) continue;
        rest.erase(at, std::strlen(kPagePrefix[k]));
        int32_t n = 0;
        if (!read_decimal(rest, n) || n < 0 || n > 100) continue;
        editor_values[k] = n;
        switch (k) {
            case 0: threshold = limiter_page_threshold(n); break;
            case 1: out_gain = limiter_page_level(n); break;
            case 2: split_coef = limiter_page_color(n); break;
            case 3: split_coef_L = limiter_coef_of_position(n); break;
            case 4: split_coef_R = limiter_coef_of_position(n); break;
        }
    }
}

float limiter_threshold(int32_t position) { return static_cast<float>(position); }

void Tlimiter_form::ScrollBar_Limiter_PorogChange() {
    threshold = limiter_threshold(ScrollBar_Limiter_Porog.position());
}

void Tlimiter_form::ScrollBar_KoeffChange() {
    const float c = limiter_coef_of_position(ScrollBar_Koeff.position());
    split_coef = c;
    split_coef_L = c;
}

void Tlimiter_form::ScrollBar_koeff_RChange() {
    const float c = limiter_coef_of_position(ScrollBar_koeff_R.position());
    split_coef_R = c;
    knee_slope = limiter_slope(c);
}

void Tlimiter_form::ScrollBar_FNC_1Change() { low_smooth = limiter_coef_of_position(ScrollBar_FNC_1.position()); }

void Tlimiter_form::ScrollBar_FNC_2Change() { high_smooth = limiter_coef_of_position(ScrollBar_FNC_2.position()); }

void Tlimiter_form::CheckBox_soft_limiterClick() { shape_mode = CheckBox_soft_limiter.checked() ? 1 : 0; }

// --- processing -----------------------------------------------------------------------------

float Tlimiter_form::Rotalumis(float x) {
    constexpr double kLimit = 50000.0;
    constexpr double dt = 1.0 / 44100.0;
    constexpr double C = 1e-7;
    double y = std::clamp(cap_voltage, -kLimit, kLimit);
    double e = x - y;
    if (e > kLimit) e = kLimit;
    if (e < -kLimit) e = -kLimit;
    const float out = static_cast<float>(e);
    const float i = circuit_current(e);
    const double step = static_cast<double>(i) * dt / C;
    double next = y + step;
    // An explicit step this large would carry the capacitor past the input and swing for ever;
    // it charges to the input instead.
    if ((step > 0.0 && next > x) || (step < 0.0 && next < x)) next = x;
    cap_voltage = std::clamp(next, -kLimit, kLimit);
    return out;
}

namespace {

// Stereo: both channels clipped at +-T, the bands summed and scaled, back into the interleaved x.
VX_VECTOR_CLONES
void clip_sum_stereo(float* __restrict x, const float* __restrict lo_l, const float* __restrict hi_l,
                     const float* __restrict lo_r, const float* __restrict hi_r, int32_t n, float T, float g) {
    for (int32_t i = 0; i < n; ++i) {
        x[2 * i] = (clip(lo_l[i], T) + clip(hi_l[i], T)) * g;
        x[2 * i + 1] = (clip(lo_r[i], T) + clip(hi_r[i], T)) * g;
    }
}

VX_VECTOR_CLONES
void sum_stereo(float* __restrict x, const float* __restrict lo_l, const float* __restrict hi_l,
                const float* __restrict lo_r, const float* __restrict hi_r, int32_t n, float g) {
    for (int32_t i = 0; i < n; ++i) {
        x[2 * i] = (lo_l[i] + hi_l[i]) * g;
        x[2 * i + 1] = (lo_r[i] + hi_r[i]) * g;
    }
}

void power_band(float* v, float* tmp, int32_t* unsure, int32_t n, long double e) {
    limiter_powers(v, tmp, unsure, n, e);
    std::memcpy(v, tmp, sizeof(float) * static_cast<size_t>(n));
}

// Whether x[0], x[stride], ... x[(n - 1) stride] all have the same bits.
bool constant(const float* x, ptrdiff_t stride, int32_t n) {
    const uint32_t first = std::bit_cast<uint32_t>(x[0]);
    uint32_t diff = 0;
    for (int32_t i = 1; i < n; ++i) diff |= std::bit_cast<uint32_t>(x[i * stride]) ^ first;
    return diff == 0;
}

bool same(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

// What one block reads of the settings, once.
struct Mono {
    long double c, a, c1, a1, c2, a2;
    float T, g;
    double t, sd;
    int32_t mode;

    float step(float& st, float& ls, float& hs, float x) const {
        float lo = lowpass_ext(st, c, a, x);
        float hi = x - lo;
        if (mode == 2) {
            lo = limiter_power(lo, kMonoExponent);
            hi = limiter_power(hi, kMonoExponent);
        } else {
            lo = limit_one(lo, T, t, sd);
            hi = limit_one(hi, T, t, sd);
        }
        const float l = lowpass_ext(ls, c1, a1, lo);
        const float h = lowpass_ext(hs, c2, a2, hi);
        return (l + h) * g;
    }
};

struct Stereo {
    long double c, a;
    float T;
    int32_t mode;

    float step(float& st, float x) const {
        const float lo = lowpass_ext(st, c, a, x);
        const float hi = x - lo;
        if (mode == 1) return limiter_power(lo, kStereoExponent) + limiter_power(hi, kStereoExponent);
        return clip(lo, T) + clip(hi, T);
    }
};

}  // namespace

// A held input (silence, mostly) runs sample by sample until the memories stop changing; from
// then on every sample comes out the same, and the rest is filled in. This keeps the memories'
// long tails of tiny numbers, which are slow to compute with, out of the way.
void Tlimiter_form::mono(float* x, int32_t n, int32_t mode) {
    Mono p;
    p.c = split_coef.load(), p.c1 = low_smooth.load(), p.c2 = high_smooth.load();
    p.a = 1.0L - p.c, p.a1 = 1.0L - p.c1, p.a2 = 1.0L - p.c2;
    p.T = threshold, p.g = out_gain;
    p.t = p.T, p.sd = knee_slope.load();
    p.mode = mode;
    float* lo = band_lo[0];
    float* hi = band_hi[0];
    for (int32_t at = 0; at < n; at += kScratch) {
        const int32_t k = std::min(kScratch, n - at);
        float* v = x + at;
        float st = split_state, ls = low_state, hs = high_state;
        if (constant(v, 1, k)) {
            for (int32_t i = 0; i < k; ++i) {
                const float st0 = st, ls0 = ls, hs0 = hs;
                v[i] = p.step(st, ls, hs, v[i]);
                if (same(st, st0) && same(ls, ls0) && same(hs, hs0)) {
                    std::fill(v + i + 1, v + k, v[i]);
                    break;
                }
            }
        } else if (mode != 2) {
            // One pass: the memories' chains from sample to sample overlap.
            for (int32_t i = 0; i < k; ++i) {
                const float in = v[i];
                const float l = lowpass_ext(st, p.c, p.a, in);
                const float h = in - l;
                const float lp = lowpass_ext(ls, p.c1, p.a1, limit_one(l, p.T, p.t, p.sd));
                const float hp = lowpass_ext(hs, p.c2, p.a2, limit_one(h, p.T, p.t, p.sd));
                v[i] = (lp + hp) * p.g;
            }
        } else {
            // The powers go as one pass over the bands, between the memories' passes.
            for (int32_t i = 0; i < k; ++i) {
                lo[i] = lowpass_ext(st, p.c, p.a, v[i]);
                hi[i] = v[i] - lo[i];
            }
            power_band(lo, shaped, unsure, k, kMonoExponent);
            power_band(hi, shaped, unsure, k, kMonoExponent);
            for (int32_t i = 0; i < k; ++i) {
                const float l = lowpass_ext(ls, p.c1, p.a1, lo[i]);
                const float h = lowpass_ext(hs, p.c2, p.a2, hi[i]);
                v[i] = (l + h) * p.g;
            }
        }
        split_state = st, low_state = ls, high_state = hs;
    }
}

void Tlimiter_form::stereo(float* x, int32_t n, int32_t mode) {
    const long double cl = split_coef_L.load(), cr = split_coef_R.load();
    const float T = threshold, g = out_gain;
    const Stereo left{cl, 1.0L - cl, T, mode};
    const Stereo right{cr, 1.0L - cr, T, mode};
    for (int32_t at = 0; at < n; at += kScratch) {
        const int32_t k = std::min(kScratch, n - at);
        float* v = x + 2 * at;
        float sl = split_state_L, sr = split_state_R;
        if (constant(v, 2, k) && constant(v + 1, 2, k)) {
            for (int32_t i = 0; i < k; ++i) {
                const float sl0 = sl, sr0 = sr;
                v[2 * i] = left.step(sl, v[2 * i]) * g;
                v[2 * i + 1] = right.step(sr, v[2 * i + 1]) * g;
                if (same(sl, sl0) && same(sr, sr0)) {
                    for (int32_t j = i + 1; j < k; ++j) v[2 * j] = v[2 * i], v[2 * j + 1] = v[2 * i + 1];
                    break;
                }
            }
            split_state_L = sl, split_state_R = sr;
            continue;
        }
        for (int32_t i = 0; i < k; ++i) {
            const float xl = v[2 * i], xr = v[2 * i + 1];
            const float l = lowpass_ext(sl, left.c, left.a, xl);
            const float r = lowpass_ext(sr, right.c, right.a, xr);
            band_lo[0][i] = l;
            band_hi[0][i] = xl - l;
            band_lo[1][i] = r;
            band_hi[1][i] = xr - r;
        }
        split_state_L = sl, split_state_R = sr;
        if (mode == 1) {
            for (int ch = 0; ch < 2; ++ch) {
                power_band(band_lo[ch], shaped, unsure, k, kStereoExponent);
                power_band(band_hi[ch], shaped, unsure, k, kStereoExponent);
            }
            sum_stereo(v, band_lo[0], band_hi[0], band_lo[1], band_hi[1], k, g);
        } else {
            clip_sum_stereo(v, band_lo[0], band_hi[0], band_lo[1], band_hi[1], k, T, g);
        }
    }
}

void Tlimiter_form::circuit(float* x, int32_t n) {
    const float g = out_gain;
    const bool held = constant(x, 1, n);
    for (int32_t i = 0; i < n; ++i) {
        const double y0 = cap_voltage;
        x[i] = Rotalumis(x[i]) * g;
        if (held && std::bit_cast<uint64_t>(y0) == std::bit_cast<uint64_t>(cap_voltage)) {
            std::fill(x + i + 1, x + n, x[i]);
            break;
        }
    }
}

void Tlimiter_form::limiter(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    const int32_t mode = shape_mode;
    if (channelCount == 1) {
        if (mode == 1)
            circuit(buffer, frameCount);
        else
            mono(buffer, frameCount, mode);
    } else {
        stereo(buffer, frameCount, mode);
    }
    // Only an input that is not a number can get into a memory; it must not stay there.
    for (float* m : {&split_state, &low_state, &high_state, &split_state_L, &split_state_R})
        if (!std::isfinite(*m)) *m = 0.0f;
    if (!std::isfinite(cap_voltage)) cap_voltage = 0.0;
}

// --- parameter block ------------------------------------------------------------------------

void Tlimiter_form::get_parameters(int32_t* block) {
    block[0] = float_word(threshold);
    block[1] = float_word(out_gain);
    block[2] = float_word(split_coef);
    block[3] = float_word(knee_slope);
    block[4] = float_word(split_coef_L);
    block[5] = float_word(split_coef_R);
    block[6] = shape_mode;
    for (int i = 0; i < 5; ++i) block[7 + i] = editor_values[i];
}

// The words go straight into the fields and no control moves. A damaged word is kept within what
// the controls (or a new instance) can set.
void Tlimiter_form::put_parameters(const int32_t* block) {
    restore_float(threshold, block[0], 0.0f, static_cast<float>(ScrollBar_Limiter_Porog.max()));
    restore_float(out_gain, block[1], *SliderFactor(0), *SliderFactor(100));
    restore_float(split_coef, block[2], 0.001f, 0.999f);
    restore_float(knee_slope, block[3], 0.0f, static_cast<float>(0.2 * 0.999f));
    restore_float(split_coef_L, block[4], 0.001f, 0.999f);
    restore_float(split_coef_R, block[5], 0.001f, 0.999f);
    shape_mode = block[6];
    for (int i = 0; i < 5; ++i) editor_values[i] = std::clamp(block[7 + i], 0, 100);
    Curve_Transfer.invalidate();
}

VX_REGISTER_KIND(4, Tlimiter_form, limiter)

}  // namespace vx
