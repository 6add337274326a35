// Laws shared by several effect kinds: how a control position becomes a factor, and filter cores
// that more than one kind runs. Header-only so that each kind inlines them into its own loop.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>

namespace vx {

// Position 0..100 of a slider to a factor from 1/11 to 11: linear above the centre (1 at 50), its
// reciprocal mirror below, so p and 100 - p give reciprocal factors. A position outside 0 <= p < 101
// gives nothing, and the caller keeps its field as it was.
inline std::optional<float> SliderFactor(int32_t position) {
    const float x = static_cast<float>(position);
    if (!(x >= 0.0f && x < 101.0f)) return std::nullopt;
    const double xd = x;
    const double factor = xd >= 50.0 ? (xd - 50.0) / 5.0 + 1.0 : 1.0 / (std::fabs(xd - 50.0) / 5.0 + 1.0);
    return static_cast<float>(factor);
}

// A float restored from a ParameterBlock word: kept as stored within lo..hi (what the kind's
// controls can produce), clamped into it otherwise; a word that is not a finite number leaves the
// field as it was. A damaged chain file then cannot divide by zero or drive the output to inf.
inline float restored_float(int32_t word, float current, float lo, float hi) {
    const float f = std::bit_cast<float>(word);
    if (!std::isfinite(f)) return current;
    return f < lo ? lo : (f > hi ? hi : f);
}

// The same, restored into a field (a relaxed<float> that the audio thread reads): a word that is not
// a number leaves the field untouched.
template <class Field>
void restore_float(Field& field, int32_t word, float lo, float hi) {
    const float f = std::bit_cast<float>(word);
    if (std::isfinite(f)) field = f < lo ? lo : (f > hi ? hi : f);
}

// Four-pole resonant low-pass. The arithmetic runs in extended precision and every assignment is
// stored as float64, so that long runs stay on the same path as the reference recurrence.
struct FourPoleLowpass {
    double in = 0, out1 = 0, out2 = 0, out3 = 0, out4 = 0, in1 = 0, in2 = 0, in3 = 0, in4 = 0;

    // f = 1.16 x fc, stored as float64.
    static double f_of(double fc) { return static_cast<double>(1.16L * static_cast<long double>(fc)); }
    // fb = (1 - 0.15 x f x f) x res, stored as float64.
    static double fb_of(double f, double res) {
        const long double lf = f;
        return static_cast<double>((1.0L - 0.15L * lf * lf) * static_cast<long double>(res));
    }

    // One sample through the four poles; returns out4 (the caller rounds it as it stores it).
    double step(double x, double f, double fb) {
        const long double lf = f;
        in = x;
        in = static_cast<double>(static_cast<long double>(in) - static_cast<long double>(out4) * fb);
        in = static_cast<double>(((0.35013L * (lf * lf)) * (lf * lf)) * static_cast<long double>(in));
        const long double g = 1.0L - lf;
        out1 = static_cast<double>((0.3L * in1 + in) + g * out1);
        in1 = in;
        out2 = static_cast<double>((0.3L * in2 + out1) + g * out2);
        in2 = out1;
        out3 = static_cast<double>((0.3L * in3 + out2) + g * out3);
        in3 = out2;
        out4 = static_cast<double>((0.3L * in4 + out3) + g * out4);
        in4 = out3;
        return out4;
    }
};

// The frequency of a normalised cut-off fc of the four-pole at `rate`: the model's cut-off runs
// nearly linearly from 0 to half the rate as fc goes from 0 to 1.
inline double four_pole_cutoff_hz(double fc, double rate) { return fc * rate / 2.0; }

// The four-pole's loop, closed by its feedback, has the characteristic polynomial
// z (z - g)^4 + k fb (z + 0.3)^4 with g = 1 - f and k = 0.35013 f^4. Beyond f = 1 a real pole runs
// out through z = -1 quickly as f grows (sooner the higher the resonance), and the filter then
// grows without bound. Returns the largest f >= 1 whose poles all lie within `radius`: up to it
// the filter settles; a caller that may go further clamps f there. Plain double arithmetic, for
// tables made once.
inline bool four_pole_poles_within(double f, double res, double radius) {
    const double g = 1.0 - f, k = 0.35013 * f * f * f * f, fb = (1.0 - 0.15 * f * f) * res;
    // Coefficients of z^0 .. z^5: z (z - g)^4 from the binomial, k fb (z + 0.3)^4 likewise.
    const double binom[5] = {1, 4, 6, 4, 1};
    double a[6] = {};
    for (int j = 0; j <= 4; ++j) {
        a[j + 1] += binom[j] * std::pow(-g, 4 - j);
        a[j] += k * fb * binom[j] * std::pow(0.3, 4 - j);
    }
    // Roots within `radius` of z are roots of p(radius w) within the unit circle: Schur-Cohn.
    for (int j = 0; j <= 5; ++j) a[j] *= std::pow(radius, j);
    for (int n = 5; n > 0; --n) {
        if (!(std::fabs(a[0]) < std::fabs(a[n]))) return false;
        double q[6] = {};
        for (int j = 0; j < n; ++j) q[j] = a[n] * a[j + 1] - a[0] * a[n - 1 - j];
        for (int j = 0; j < n; ++j) a[j] = q[j];
    }
    return true;
}

inline double four_pole_f_limit(double res, double radius) {
    double lo = 1.0, hi = 2.0;  // at f = 2 a pole sits on the unit circle whatever the resonance
    if (!four_pole_poles_within(lo, res, radius)) return lo;
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        (four_pole_poles_within(mid, res, radius) ? lo : hi) = mid;
    }
    return lo;
}

// --- One-pole low-pass --------------------------------------------------------------------------
// Splits a channel into a low band and the remainder: state = c x state + (1 - c) x input, summed in
// double and stored as float32. c near 1 puts the corner low. Returns the new state (the low band).
inline float one_pole_lowpass(float& state, float c, float input) {
    const double cd = c;
    state = static_cast<float>(cd * state + (1.0 - cd) * input);
    return state;
}

// Kernels built again for wider vector units and chosen at load time. Each clone does the same IEEE
// operations (no fused multiply-add), so the results do not depend on the machine. Not under
// ThreadSanitizer, whose run time is not up yet when the clones' resolvers run at load.
#if defined(__SANITIZE_THREAD__)
#define VX_NO_VECTOR_CLONES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VX_NO_VECTOR_CLONES 1
#endif
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(VX_NO_VECTOR_CLONES)
#define VX_VECTOR_CLONES __attribute__((target_clones("avx2", "sse4.2", "default")))
#else
#define VX_VECTOR_CLONES
#endif

// --- Second-order band-pass from a centre frequency and a bandwidth -------------------------------
// H(z) = (1 - z^-2) / (a0 + a1 z^-1 + a2 z^-2), peak gain close to 1, -3 dB points near fc -+ bw/2
// at the design rate. Banks design it once at 48000 Hz, so at another stream rate every band moves
// by rate / 48000. Designed in double, coefficients stored as float32.
struct BandPassCoefficients {
    float a0 = 1.0f, a1 = 0.0f, a2 = 0.0f;
};

inline BandPassCoefficients band_pass_design(double centre_hz, double bandwidth_hz, double design_rate = 48000.0) {
    const double fl = (centre_hz - bandwidth_hz / 2.0) / design_rate;
    const double fh = (centre_hz + bandwidth_hz / 2.0) / design_rate;
    const double theta = std::numbers::pi * (fh - fl);
    const double k = std::cos(theta) / std::sin(theta);
    const double alpha = std::cos(std::numbers::pi * (fh + fl)) / std::cos(theta);
    return {static_cast<float>(k + 1.0), static_cast<float>(-2.0 * alpha * k), static_cast<float>(k - 1.0)};
}

// One step for input x, given the input two steps back and the last two outputs, all float32:
// y = ((x - x2) - a1 y1 - a2 y2) / a0 in double, in this order, stored as float32.
inline float band_pass_step(float x, float x2, float y1, float y2, const BandPassCoefficients& c) {
    const double y = ((static_cast<double>(x) - x2) - static_cast<double>(c.a1) * y1 - static_cast<double>(c.a2) * y2) / c.a0;
    return static_cast<float>(y);
}

}  // namespace vx
