#include "noise_gates.h"

#include <cmath>
#include <limits>

#include "engine/units.h"
#include "exact/certify.h"
#include "laws.h"

namespace vx {

Tnoise_gate_form::Tnoise_gate_form() : Form("Noise Gate", 330, 300) {
    ScrollBar_Gain_In.label = "Input Level  ";
    ScrollBar_Supress.label = "Noise Supression  ";
    ScrollBar_Gain_Out.label = "Output Level  ";
    ScrollBar_Gain_In.bounds = {16, 28, 296, 17};
    Label_Porog_Max.bounds = {16, 60, 296, 16};
    ScrollBar_Porog_Max.bounds = {16, 80, 296, 17};
    Label_porog_min.bounds = {16, 112, 296, 16};
    ScrollBar_min_porog.bounds = {16, 132, 296, 17};
    ScrollBar_Supress.bounds = {16, 184, 296, 17};
    ScrollBar_Gain_Out.bounds = {16, 236, 296, 17};
    ScrollBar_Gain_In.group = ScrollBar_Gain_Out.group = "Level";
    Label_Porog_Max.group = ScrollBar_Porog_Max.group = "Thresholds";
    Label_porog_min.group = ScrollBar_min_porog.group = "Thresholds";
    ScrollBar_Supress.group = "Gate";
    ScrollBar_Porog_Max.hint = "Envelope level that opens the gate";
    ScrollBar_min_porog.hint = "Envelope level below which the gate closes";
    ScrollBar_Supress.hint = "How far the closed gate turns the signal down";

    add(ScrollBar_Gain_In);
    add(Label_Porog_Max);
    add(ScrollBar_Porog_Max);
    add(Label_porog_min);
    add(ScrollBar_min_porog);
    add(ScrollBar_Supress);
    add(ScrollBar_Gain_Out);

    ScrollBar_Gain_In.on_change = [this] { ScrollBar_Gain_InChange(); };
    ScrollBar_Porog_Max.on_change = [this] { ScrollBar_Porog_MaxChange(); };
    ScrollBar_min_porog.on_change = [this] { ScrollBar_min_porogChange(); };
    ScrollBar_Supress.on_change = [this] { ScrollBar_SupressChange(); };
    ScrollBar_Gain_Out.on_change = [this] { ScrollBar_Gain_OutChange(); };
    // Each shows the value its handler stored: a new instance gates at 1000 and 100 until moved.
    ScrollBar_Gain_In.unit_text = [this] { return gain_text(input_factor); };
    ScrollBar_Gain_Out.unit_text = [this] { return gain_text(output_factor); };
    ScrollBar_Porog_Max.unit_text = [this] { return dbfs_text(open_threshold); };
    ScrollBar_min_porog.unit_text = [this] { return dbfs_text(close_threshold); };
    ScrollBar_Supress.unit_text = [this] { return gain_text(suppressed_gain); };
    FormCreate();
}

void Tnoise_gate_form::FormCreate() {
    shown_once = 0;
    input_factor = 1.0f;
    output_factor = 1.0f;
    open_threshold = 1000.0f;
    close_threshold = 100.0f;
    open_counter = 10;
    close_counter = 100;
    gain = 1.0f;
    release_coefficient = 0.01f;
    attack_coefficient = 0.1f;
    envelope = 0.0f;
    open_hold = 10.0f;
    close_hold = 1000.0f;
    suppressed_gain = 0.1f;
}

float gate_threshold(int32_t position) {
    return static_cast<float>(std::exp(static_cast<long double>(position - 1) * 0.1050223L));
}

std::string open_threshold_caption(int32_t position) {
    return "Pass signals greater than " + std::to_string(position - 100) + " dB  ";
}

std::string close_threshold_caption(int32_t position) {
    return "Supress noise smaller than " + std::to_string(position - 100) + " dB  ";
}

namespace {
// A counter that has passed its hold stays past it, however long the signal lasts.
inline int32_t count_on(int32_t c) { return c + (c != std::numeric_limits<int32_t>::max()); }

// 0.1 |x| + 0.9 e in extended precision, rounded to float. The double sum is within 2^-51 of the
// exact value and the extended one within 2^-62; where every value within 2^-50 of the double
// sum rounds to the same float, that float is the extended result too. Only a sum within that
// reach of a halfway point between two floats (a few in 10^8) takes the extended arithmetic,
// whose stores and reloads would otherwise set the pace of the whole loop.
inline float next_envelope(float magnitude, float e) {
    constexpr double k_new = static_cast<double>(0.1L), k_old = static_cast<double>(0.9L);
    const double d = k_new * static_cast<double>(magnitude) + k_old * static_cast<double>(e);
    if (__builtin_expect(exact::certain_float(d, d * 0x1p-50), 1)) return static_cast<float>(d);
    return static_cast<float>(0.1L * magnitude + 0.9L * e);
}

// The largest count that does not pass a hold (a count is a whole number below 2^31).
inline int64_t hold_limit(float hold) {
    if (!(hold >= 0.0f)) return hold != hold ? std::numeric_limits<int64_t>::max() : -1;
    if (hold >= 2147483648.0f) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(std::floor(hold));
}
}  // namespace

void Tnoise_gate_form::noise_gate_0(int32_t count, float* x, float in_factor, float out_factor) {
    const float open_t = open_threshold, close_t = close_threshold, suppressed = suppressed_gain;
    const long double attack = attack_coefficient, release = release_coefficient;
    const long double keep_attack = 1.0L - attack, keep_release = 1.0L - release;
    // A whole-number count passes a hold exactly when it passes the hold's integer part.
    const int64_t open_limit = hold_limit(open_hold), close_limit = hold_limit(close_hold);
    int32_t oc = open_counter, cc = close_counter;
    float e = envelope, g = gain, target = target_gain;
    // The smoothing is a fixed function of (gain, target): once it maps a gain onto itself it
    // keeps doing so until the target changes, and the steps can be skipped.
    float settled_gain = std::numeric_limits<float>::quiet_NaN(), settled_target = settled_gain;
    for (int32_t i = 0; i < count; ++i) {
        const float s = x[i] * in_factor;
        e = next_envelope(std::fabs(s), e);
        oc = e > open_t ? count_on(oc) : 0;
        cc = e < close_t ? count_on(cc) : 0;
        if (oc > open_limit) target = 1.0f;
        if (cc > close_limit) target = suppressed;
        if (!(g == settled_gain && target == settled_target)) {
            const float before = g;
            if (target > g) g = static_cast<float>(keep_attack * g + attack * target);
            if (!(target > g)) g = static_cast<float>(keep_release * g + release * target);
            if (g == before) settled_gain = g, settled_target = target;
        }
        x[i] = (s * g) * out_factor;
    }
    open_counter = oc;
    close_counter = cc;
    // A NaN or an infinity that came in with the signal would hold the envelope (and so the gate)
    // for good: it starts again from silence. Finite values are kept as they are.
    envelope = std::isfinite(e) ? e : 0.0f;
    gain = std::isfinite(g) ? g : 1.0f;
    target_gain = target;
}

void Tnoise_gate_form::noise_gate(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    // Both channels of a stereo block are one stream of 2n samples to the gate.
    const int32_t samples = channelCount == 1 ? frameCount : 2 * frameCount;
    noise_gate_0(samples, buffer, input_factor, output_factor);
}

void Tnoise_gate_form::ScrollBar_Gain_InChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_In.position())) input_factor = *f;
}

void Tnoise_gate_form::ScrollBar_Porog_MaxChange() {
    open_threshold = gate_threshold(ScrollBar_Porog_Max.position());
    Label_Porog_Max.set_caption(open_threshold_caption(ScrollBar_Porog_Max.position()));
}

void Tnoise_gate_form::ScrollBar_min_porogChange() {
    close_threshold = gate_threshold(ScrollBar_min_porog.position());
    Label_porog_min.set_caption(close_threshold_caption(ScrollBar_min_porog.position()));
}

std::optional<float> gate_suppressed_gain(int32_t position) {
    if (!(position >= 0 && position < 101)) return std::nullopt;
    if (auto f = SliderFactor(100 - position)) return static_cast<float>(0.1L * *f);
    return std::nullopt;
}

void Tnoise_gate_form::ScrollBar_SupressChange() {
    if (auto g = gate_suppressed_gain(ScrollBar_Supress.position())) suppressed_gain = *g;
}

void Tnoise_gate_form::ScrollBar_Gain_OutChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_Out.position())) output_factor = *f;
}

void Tnoise_gate_form::get_parameters(int32_t* block) {
    block[0] = ScrollBar_Gain_In.position();
    block[1] = ScrollBar_Porog_Max.position();
    block[2] = ScrollBar_min_porog.position();
    block[3] = ScrollBar_Supress.position();
    block[4] = ScrollBar_Gain_Out.position();
}

void Tnoise_gate_form::put_parameters(const int32_t* block) {
    ScrollBar_Gain_In.set_position(block[0]);
    ScrollBar_Porog_Max.set_position(block[1]);
    ScrollBar_min_porog.set_position(block[2]);
    ScrollBar_Supress.set_position(block[3]);
    ScrollBar_Gain_Out.set_position(block[4]);
}

VX_REGISTER_KIND(1, Tnoise_gate_form, noise_gate)

}  // namespace vx
