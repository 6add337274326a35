#include "eq8.h"

#include <complex>

#include "engine/effects.h"
#include "engine/units.h"
#include "exact/four_pole.h"
#include "exact/second_order.h"
#include "exact/tiny.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vx {

const SpeakerRow kSpeakerRows[6] = {
    {79249.31199, {0.6336952704, -3.3995811835, 7.3674538128, -8.0661749703, 4.4642032817}},
    {27378.15898, {0.5655430721, -3.0679824667, 6.7591833652, -7.5659363135, 4.308023528}},
    {11588.52026, {0.5048078043, -2.7620823998, 6.1768464404, -7.0664866071, 4.1441534087}},
    {5641.398882, {0.4506870507, -2.4807459866, 5.6224108613, -6.5712003287, 3.9731760513}},
    {3041.405688, {0.4024625183, -2.2227455784, 5.097326135, -6.0832227372, 3.7956582115}},
    {1772.16991, {0.3594917375, -1.9867946045, 4.60256738, -5.6054686491, 3.6121471769}},
};

float eq8_band_weight(int32_t a) {
    const double d = static_cast<double>(a) - 50.0;
    return static_cast<float>(a >= 50 ? 10.0 * (d / 5.0 + 1.0) : 10.0 / (std::fabs(d) / 5.0 + 1.0));
}

float eq8_output_gain(int32_t position) {
    const int32_t y = 100 - position;
    const long double d = static_cast<long double>(y) - 50.0L;
    return static_cast<float>(y >= 50 ? 0.1L * (d / 5.0L + 1.0L) : 0.1L / (std::fabs(d) / 5.0L + 1.0L));
}

float eq8_treble_cut(int32_t position) {
    float d = static_cast<float>(std::sqrt(static_cast<double>(position) / 100.0));
    if (d > 0.999) d = 0.999f;
    if (d < 0.001) d = 0.001f;
    return d;
}

namespace {

// A boolean in byte `index` (0 = lowest) of a word; the other bytes stay as they are.
void put_byte_flag(int32_t& word, int index, bool b) {
    const uint32_t mask = 0xFFu << (8 * index);
    word = static_cast<int32_t>((static_cast<uint32_t>(word) & ~mask) | ((b ? 1u : 0u) << (8 * index)));
}
bool byte_flag(int32_t word, int index) { return ((static_cast<uint32_t>(word) >> (8 * index)) & 0xFFu) != 0; }

}  // namespace

TEQ8_form::TEQ8_form() : Form("8 bands Equalizer and Filters", 760, 470) {
    static const char* const kBandLabels[8] = {"0.1", "0.2", "0.4", "0.8", "1.7", "3.4", "5.0", "8.0"};
    // On screen: the two banks one above the other, band under band; beside them the equalizer's
    // switches and buttons, then each filter in a frame of its own, in processing order.
    for (int side = 0; side < 2; ++side) {
        Slider* const* row = side == 0 ? left_sliders : right_sliders;
        for (int i = 0; i < 10; ++i) {
            Slider& s = *row[i];
            s.label = i == 0 ? "G" : i == 9 ? "H" : kBandLabels[i - 1];
            s.group = side == 0 ? "Left (mono)" : "Right";
            s.bounds = {16 + i * 26, 24 + side * 236, 17, 160};
        }
    }
    ScrollBar_EQ8G.hint = ScrollBar_EQ8GR.hint = "Output gain";
    ScrollBar_EQ8_FNC_LM.hint = ScrollBar_EQ8_FNC_R.hint = "Treble cut";
    CheckRadioBox_EQ8_OnOff.bounds = {300, 24, 120, 20};
    Gang.bounds = {430, 24, 120, 20};
    Reset_Left.bounds = {300, 54, 120, 25};
    Copy_Left_to_Right.bounds = {430, 54, 140, 25};
    Reset_Right.bounds = {300, 84, 120, 25};
    Copy_Right_to_Left.bounds = {430, 84, 140, 25};
    Reset_Left.group = Copy_Left_to_Right.group = CheckRadioBox_EQ8_OnOff.group = Gang.group = "Equalizer";
    Reset_Right.group = Copy_Right_to_Left.group = "Equalizer";

    ScrollBar_LPF_1.label = "Hi Pass Filter  Cut off Frequency  ";
    ScrollBar_Q.label = "Resonance for Hi Pass Filter  ";
    ScrollBar_fnc_FC.label = "Low Pass Filter  Cut Off Frequency   ";
    ScrollBar_fnc_res.label = "Resonance for Low Pass Filter     ";
    ScrollBar_Shelf_fvc_F.label = "Hi Pass (shelf) Filter Cut Off Frequency  ";
    ScrollBar_Shelf_fvc_G.label = "Shelf Gain  ";
    ScrollBar_fnc_2000.label = "Low Pass Filter (guitar speaker simulator)    ";
    const struct {
        Control* control;
        const char* group;
    } filter_rows[] = {
        {&CheckRadioBox_FVC_OnOff, "High-pass"},          {&ScrollBar_LPF_1, "High-pass"},
        {&ScrollBar_Q, "High-pass"},                      {&CheckRadioBox_FNC_OnOff, "Low-pass"},
        {&ScrollBar_fnc_FC, "Low-pass"},                  {&ScrollBar_fnc_res, "Low-pass"},
        {&CheckRadioBox_Shelf, "High shelf"},             {&ScrollBar_Shelf_fvc_F, "High shelf"},
        {&ScrollBar_Shelf_fvc_G, "High shelf"},           {&CheckRadioBox_fnc_2000_OnOff, "Speaker simulator"},
        {&ScrollBar_fnc_2000, "Speaker simulator"},       {&CheckRadioBox_Filter_Notch, "Low cut (mono only)"},
    };
    int top = 124;
    for (const auto& r : filter_rows) {
        r.control->group = r.group;
        r.control->bounds = {300, top, 260, 20};
        top += 30;
    }

    for (Slider* s : left_sliders) add(*s);
    for (Slider* s : right_sliders) add(*s);
    add(Reset_Left);
    add(Reset_Right);
    add(Copy_Left_to_Right);
    add(Copy_Right_to_Left);
    add(CheckRadioBox_EQ8_OnOff);
    add(Gang);
    for (const auto& r : filter_rows) add(*r.control);

    ScrollBar_EQ8G.on_change = [this] { ScrollBar_EQ8GChange(); };
    ScrollBar_EQ8GR.on_change = [this] { ScrollBar_EQ8GRChange(); };
    ScrollBar_EQ8_FNC_LM.on_change = [this] { ScrollBar_EQ8_FNC_LMChange(); };
    ScrollBar_EQ8_FNC_R.on_change = [this] { ScrollBar_EQ8_FNC_RChange(); };
    for (int band = 1; band <= 8; ++band) {
        left_sliders[band]->on_change = [this, band] { ScrollBar_EQ8_bandChange(false, band); };
        right_sliders[band]->on_change = [this, band] { ScrollBar_EQ8_bandChange(true, band); };
    }
    Reset_Left.on_click = [this] { Reset_LeftClick(); };
    Reset_Right.on_click = [this] { Reset_RightClick(); };
    Copy_Left_to_Right.on_click = [this] { Copy_Left_to_RightClick(); };
    Copy_Right_to_Left.on_click = [this] { Copy_Right_to_LeftClick(); };
    CheckRadioBox_EQ8_OnOff.on_click = [this] { CheckRadioBox_EQ8_OnOffClick(); };
    CheckRadioBox_FVC_OnOff.on_click = [this] { CheckRadioBox_FVC_OnOffClick(); };
    ScrollBar_LPF_1.on_change = [this] { ScrollBar_LPF_1Change(); };
    ScrollBar_Q.on_change = [this] { ScrollBar_QChange(); };
    CheckRadioBox_FNC_OnOff.on_click = [this] { CheckRadioBox_FNC_OnOffClick(); };
    ScrollBar_fnc_FC.on_change = [this] { ScrollBar_fnc_FCChange(); };
    ScrollBar_fnc_res.on_change = [this] { ScrollBar_fnc_resChange(); };
    CheckRadioBox_Shelf.on_click = [this] { CheckRadioBox_ShelfClick(); };
    ScrollBar_Shelf_fvc_F.on_change = [this] { ScrollBar_Shelf_fvc_FChange(); };
    ScrollBar_Shelf_fvc_G.on_change = [this] { ScrollBar_Shelf_fvc_GChange(); };
    CheckRadioBox_fnc_2000_OnOff.on_click = [this] { CheckRadioBox_fnc_2000_OnOffClick(); };
    ScrollBar_fnc_2000.on_change = [this] { ScrollBar_fnc_2000Change(); };
    CheckRadioBox_Filter_Notch.on_click = [this] { CheckRadioBox_Filter_NotchClick(); };
    // Under the two banks.
    Curve_Response.bounds = {16, 440, 250, 200};
    add(Curve_Response);
    Curve_Response.set_source([this] { return response_series(); });
    after_each_change(*this, [this] { Curve_Response.invalidate(); });
    Timer_Response.on_timer = [this] {
        if (sample_rate != response_rate_ && !Curve_Response.stale()) Curve_Response.invalidate();
    };
    set_unit_texts();
    FormCreate();
}

void TEQ8_form::FormCreate() {
    hp_cutoff_hz = 100.0f;
    hp_q = 1;
    hp_k = 1.41f;
    recalc_a_fvc_1(48000.0f, 100.0f);
    hp_M = BiquadMemory{};
    hp_L = BiquadMemory{};
    shelf_hz = 2500.0f;
    recalc_a_fvcs_1(48000.0f);
    shelf_M = BiquadMemory{};
    shelf_L = BiquadMemory{};
    shelf_gain = 1.0f;
    lp_fc = 0.1;
    lp_res = 3.0;
    lp_A = FourPoleLowpass{};
    lp_B = FourPoleLowpass{};
    load_speaker_row(0);
    take_designs();
    speaker_A = FifthOrderMemory{};
    speaker_B = FifthOrderMemory{};
    low_cut = FifthOrderMemory{};
    hp_on = false;
    lp_on = false;
    shelf_on = false;
    speaker_on = false;
    low_cut_on = false;
    sample_rate = 48000.0f;
    eq_on = true;
    shown_once = 0;
}

void TEQ8_form::create_defaults() {
    left_bank.band_count = kEqBands;
    right_bank.band_count = kEqBands;
    smooth_d_mono = 0.0f;
    smooth_s_mono = 0.0f;
    smooth_d_left = 0.0f;
    smooth_s_left = 0.0f;
    smooth_d_right = 0.0f;
    smooth_s_right = 0.0f;
    init_pre_EQ_dsp(48000.0f);
    init_post_EQ_dsp(48000.0f);
    Curve_Response.invalidate();
}

// --- equalizer ----------------------------------------------------------------------------------

void TEQ8_form::init_bank(EqBank& bank, float rate) {
    for (auto& w : bank.weights) w = 10.0f;
    bank.output_gain = 0.1f;
    sample_rate = rate;
    for (int j = 0; j < kEqBands; ++j) {
        bank.centre_hz[j] = kEqCentreHz[j];
        bank.bandwidth_hz[j] = kEqBandwidthHz[j];
        const BandPassCoefficients c = band_pass_design(bank.centre_hz[j], bank.bandwidth_hz[j], rate);
        bank.a0[j] = c.a0;
        bank.a1[j] = c.a1;
        bank.a2[j] = c.a2;
    }
}

void TEQ8_form::init_pre_EQ_dsp(float rate) { init_bank(left_bank, rate); }
void TEQ8_form::init_post_EQ_dsp(float rate) { init_bank(right_bank, rate); }

void TEQ8_form::pre_EQ_setup(int32_t band, int32_t a) {
    if (band >= 0 && band < kEqBands) left_bank.weights[band] = eq8_band_weight(a);
}
void TEQ8_form::post_EQ_setup(int32_t band, int32_t a) {
    if (band >= 0 && band < kEqBands) right_bank.weights[band] = eq8_band_weight(a);
}

namespace {

// Two lanes of double: the same band of two banks (stereo) or two bands of one bank (mono).
typedef double v2d __attribute__((vector_size(16)));
typedef float v2f __attribute__((vector_size(8)));

// Rounds both lanes to float32 and widens them again.
inline v2d to_float_and_back(v2d v) {
#if defined(__SSE2__)
    return reinterpret_cast<v2d>(_mm_cvtps_pd(_mm_cvtpd_ps(reinterpret_cast<__m128d>(v))));
#else
    return __builtin_convertvector(__builtin_convertvector(v, v2f), v2d);
#endif
}
inline v2d pair(float a, float b) { return v2d{a, b}; }

typedef long long v2i __attribute__((vector_size(16)));

// As to_float_and_back, for any value (exact::float_rounded).
inline v2d float_rounded(v2d v) { return exact::float_rounded(v); }

// The stereo bank's memories after a frame, and that frame's output.
struct Memories {
    v2d y1[kEqBands], y2[kEqBands], s, x1, x2, acc;
    uint64_t out;
};
inline bool same_memories(const Memories& a, const Memories& b) {
    v2i diff = v2i{0, 0};
    auto cmp = [&diff](v2d u, v2d v) { diff |= reinterpret_cast<v2i>(u) ^ reinterpret_cast<v2i>(v); };
    for (int j = 0; j < kEqBands; ++j) cmp(a.y1[j], b.y1[j]), cmp(a.y2[j], b.y2[j]);
    cmp(a.s, b.s), cmp(a.x1, b.x1), cmp(a.x2, b.x2), cmp(a.acc, b.acc);
    return (diff[0] | diff[1]) == 0;
}

template <bool Tiny> inline v2d rounded(v2d v) {
    if constexpr (Tiny) return float_rounded(v);
    return to_float_and_back(v);
}

}  // namespace

// A memory near float32's subnormal range (below 2^-116, not zero): the block takes the tiny path,
// which forms no subnormal in a register. Both paths give the same bits; the plain one is the faster
// while the values stay normal (2^-116 leaves a block room to ring down; 2^-100 cost a decaying
// signal a tenth more).
bool TEQ8_form::bank_rings_tiny(const EqBank& b, float smooth) const {
    auto tiny = [](float v) {
        const uint32_t m = std::bit_cast<uint32_t>(v) & 0x7FFFFFFFu;
        return m != 0 && m < (11u << 23);  // below 2^-116
    };
    bool any = tiny(smooth);
    for (int j = 0; j < kEqBands; ++j) any |= tiny(b.y1[j]) | tiny(b.y2[j]);
    return any;
}

void TEQ8_form::eq_stereo(float* buffer, int32_t frames) {
    if (bank_rings_tiny(left_bank, smooth_s_left) || bank_rings_tiny(right_bank, smooth_s_right))
        eq_stereo_run<true>(buffer, frames);
    else
        eq_stereo_run<false>(buffer, frames);
}

void TEQ8_form::eq_mono(float* buffer, int32_t frames) {
    if (bank_rings_tiny(left_bank, smooth_s_mono))
        eq_mono_run<true>(buffer, frames);
    else
        eq_mono_run<false>(buffer, frames);
}

// Both channels at once, left in lane 0 and right in lane 1: the banks share nothing, so this is the
// left pass followed by the right pass, sample for sample.
template <bool Tiny>
void TEQ8_form::eq_stereo_run(float* buffer, int32_t frames) {
    EqBank& L = left_bank;
    EqBank& R = right_bank;
    // (in the tiny path every float that may be subnormal crosses without a conversion instruction)
    auto pair = [](float a, float b) {
        if constexpr (Tiny) return v2d{exact::widened(a), exact::widened(b)};
        return v2d{a, b};
    };
    auto narrow = [](double v) {
        if constexpr (Tiny) return exact::as_float(v);
        return static_cast<float>(v);
    };
    v2d a0[kEqBands], a1[kEqBands], a2[kEqBands], w[kEqBands], y1[kEqBands], y2[kEqBands];
    for (int j = 0; j < kEqBands; ++j) {
        a0[j] = pair(L.a0[j], R.a0[j]);
        a1[j] = pair(L.a1[j], R.a1[j]);
        a2[j] = pair(L.a2[j], R.a2[j]);
        w[j] = pair(L.weights[j], R.weights[j]);
        y1[j] = pair(L.y1[j], R.y1[j]);
        y2[j] = pair(L.y2[j], R.y2[j]);
    }
    v2d x1 = pair(L.x1[0], R.x1[0]);
    v2d x2 = pair(L.x2[0], R.x2[0]);
    v2d s = pair(smooth_s_left, smooth_s_right);
    const v2d d = pair(smooth_d_left, smooth_d_right);
    const v2d one_minus_d = 1.0 - d;
    const v2f gain = {L.output_gain.load(), R.output_gain.load()};
    v2d acc = {L.sum, R.sum};
    constexpr int kMaxPeriod = 16;
    Memories seen[Tiny ? kMaxPeriod : 1];
    int seen_count = 0;
    uint64_t run_input = 0;
    for (int32_t i = 0; i < frames; ++i) {
        v2f in;
        std::memcpy(&in, buffer + 2 * i, sizeof in);
        const v2d x = Tiny ? pair(in[0], in[1]) : __builtin_convertvector(in, v2d);
        const v2d t = x - x2;
        acc = v2d{0.0, 0.0};
        for (int j = 0; j < kEqBands; ++j) {
            const v2d y = rounded<Tiny>(((t - a1[j] * y1[j]) - a2[j] * y2[j]) / a0[j]);
            y2[j] = y1[j];
            y1[j] = y;
            acc = acc + y * w[j];
        }
        if constexpr (Tiny) {
            // A float product is exact in double: rounded once, it is the float product.
            s = float_rounded(s * d + one_minus_d * acc);
            const v2d out = float_rounded(s * __builtin_convertvector(gain, v2d));
            const v2f out_f = {exact::as_float(out[0]), exact::as_float(out[1])};
            std::memcpy(buffer + 2 * i, &out_f, sizeof out_f);
            x2 = x1;
            x1 = x;
            // A ringing stuck at a few units of the last place repeats itself: once the memories
            // after a frame are those of p frames before, under the same input all along, every
            // further frame with that input repeats the cycle, memories and output alike.
            const uint64_t in_bits = std::bit_cast<uint64_t>(in);
            if (in_bits != run_input) {
                run_input = in_bits;
                seen_count = 0;
                continue;
            }
            Memories now;
            for (int j = 0; j < kEqBands; ++j) now.y1[j] = y1[j], now.y2[j] = y2[j];
            now.s = s, now.x1 = x1, now.x2 = x2, now.acc = acc;
            now.out = std::bit_cast<uint64_t>(out_f);
            if (seen_count > 0 && same_memories(now, seen[0])) {
                const int period = seen_count;  // seen[q]: after frame i - period + q
                int phase = 0;
                int32_t k = i + 1;
                for (; k < frames; ++k) {
                    uint64_t b;
                    std::memcpy(&b, buffer + 2 * k, sizeof b);
                    if (b != run_input) break;
                    phase = phase + 1 == period ? 0 : phase + 1;
                    std::memcpy(buffer + 2 * k, &seen[phase].out, sizeof b);
                }
                const Memories& m = seen[phase];
                for (int j = 0; j < kEqBands; ++j) y1[j] = m.y1[j], y2[j] = m.y2[j];
                s = m.s, x1 = m.x1, x2 = m.x2, acc = m.acc;
                seen_count = 0;
                i = k - 1;
                continue;
            }
            if (seen_count == kMaxPeriod) seen_count = 0;
            seen[seen_count++] = now;
            continue;
        } else {
            const v2f sf = __builtin_convertvector(s * d + one_minus_d * acc, v2f);
            s = __builtin_convertvector(sf, v2d);
            const v2f out = sf * gain;
            std::memcpy(buffer + 2 * i, &out, sizeof out);
        }
        x2 = x1;
        x1 = x;
    }
    for (int j = 0; j < kEqBands; ++j) {
        L.x0[j] = L.x1[j] = narrow(x1[0]);
        L.x2[j] = narrow(x2[0]);
        R.x0[j] = R.x1[j] = narrow(x1[1]);
        R.x2[j] = narrow(x2[1]);
        L.y0[j] = L.y1[j] = narrow(y1[j][0]);
        L.y2[j] = narrow(y2[j][0]);
        R.y0[j] = R.y1[j] = narrow(y1[j][1]);
        R.y2[j] = narrow(y2[j][1]);
    }
    smooth_s_left = narrow(s[0]);
    smooth_s_right = narrow(s[1]);
    L.sum = acc[0];
    R.sum = acc[1];
}

// One channel: bands 0..7 in pairs (2k, 2k + 1), band 8 alone; the sum still runs band 0 first.
template <bool Tiny>
void TEQ8_form::eq_mono_run(float* buffer, int32_t frames) {
    EqBank& B = left_bank;
    auto wide = [](float a) {
        if constexpr (Tiny) return exact::widened(a);
        return static_cast<double>(a);
    };
    auto pair = [&](float a, float b) { return v2d{wide(a), wide(b)}; };
    auto narrow = [](double v) {
        if constexpr (Tiny) return exact::as_float(v);
        return static_cast<float>(v);
    };
    constexpr int kPairs = 4;
    v2d a0[kPairs], a1[kPairs], a2[kPairs], w[kPairs], y1[kPairs], y2[kPairs];
    for (int k = 0; k < kPairs; ++k) {
        a0[k] = pair(B.a0[2 * k], B.a0[2 * k + 1]);
        a1[k] = pair(B.a1[2 * k], B.a1[2 * k + 1]);
        a2[k] = pair(B.a2[2 * k], B.a2[2 * k + 1]);
        w[k] = pair(B.weights[2 * k], B.weights[2 * k + 1]);
        y1[k] = pair(B.y1[2 * k], B.y1[2 * k + 1]);
        y2[k] = pair(B.y2[2 * k], B.y2[2 * k + 1]);
    }
    const BandPassCoefficients c8{B.a0[8], B.a1[8], B.a2[8]};
    const double w8 = B.weights[8];
    // Band 8, the smoothing and the inputs as doubles holding float32 values.
    double y1_8 = wide(B.y1[8]), y2_8 = wide(B.y2[8]);
    double x1 = wide(B.x1[0]), x2 = wide(B.x2[0]);
    double s = wide(smooth_s_mono);
    const double d = smooth_d_mono;
    const double one_minus_d = 1.0 - d;
    const float gain = B.output_gain;
    double acc = B.sum;
    constexpr int kMaxPeriod = 16;
    Memories seen[Tiny ? kMaxPeriod : 1];
    int seen_count = 0;
    uint32_t run_input = 0;
    for (int32_t i = 0; i < frames; ++i) {
        const uint32_t in_bits = std::bit_cast<uint32_t>(buffer[i]);
        const double x = wide(buffer[i]);
        const double t = x - x2;
        const v2d tt = {t, t};
        acc = 0.0;
        for (int k = 0; k < kPairs; ++k) {
            const v2d y = rounded<Tiny>(((tt - a1[k] * y1[k]) - a2[k] * y2[k]) / a0[k]);
            y2[k] = y1[k];
            y1[k] = y;
            const v2d p = y * w[k];
            acc = acc + p[0];
            acc = acc + p[1];
        }
        // band_pass_step, with its float32 operands already widened
        const double y8_exact = ((x - x2) - static_cast<double>(c8.a1) * y1_8 - static_cast<double>(c8.a2) * y2_8) / c8.a0;
        const double y8 = Tiny ? exact::float_rounded(y8_exact) : static_cast<double>(static_cast<float>(y8_exact));
        y2_8 = y1_8;
        y1_8 = y8;
        acc = acc + y8 * w8;
        const double sm = s * d + one_minus_d * acc;
        s = Tiny ? exact::float_rounded(sm) : static_cast<double>(static_cast<float>(sm));
        // A float product is exact in double: rounded once, it is the float product.
        if constexpr (Tiny)
            buffer[i] = exact::as_float(exact::float_rounded(s * static_cast<double>(gain)));
        else
            buffer[i] = static_cast<float>(s) * gain;
        x2 = x1;
        x1 = x;
        if constexpr (Tiny) {
            // A ringing stuck at a few units of the last place repeats itself, as in the stereo
            // pass: the memories (packed into a Memories, the rest left zero) after a frame equal
            // to those p frames before, under the same input all along, repeat the cycle.
            if (in_bits != run_input) {
                run_input = in_bits;
                seen_count = 0;
                continue;
            }
            Memories now{};
            for (int k = 0; k < kPairs; ++k) now.y1[k] = y1[k], now.y2[k] = y2[k];
            now.y1[kPairs] = v2d{y1_8, y2_8};
            now.s = v2d{s, acc};
            now.x1 = v2d{x1, x2};
            now.out = std::bit_cast<uint32_t>(buffer[i]);
            if (seen_count > 0 && same_memories(now, seen[0])) {
                const int period = seen_count;  // seen[q]: after frame i - period + q
                int phase = 0;
                int32_t k = i + 1;
                for (; k < frames; ++k) {
                    if (std::bit_cast<uint32_t>(buffer[k]) != run_input) break;
                    phase = phase + 1 == period ? 0 : phase + 1;
                    buffer[k] = std::bit_cast<float>(static_cast<uint32_t>(seen[phase].out));
                }
                const Memories& m = seen[phase];
                for (int q = 0; q < kPairs; ++q) y1[q] = m.y1[q], y2[q] = m.y2[q];
                y1_8 = m.y1[kPairs][0], y2_8 = m.y1[kPairs][1];
                s = m.s[0], acc = m.s[1];
                x1 = m.x1[0], x2 = m.x1[1];
                seen_count = 0;
                i = k - 1;
                continue;
            }
            if (seen_count == kMaxPeriod) seen_count = 0;
            seen[seen_count++] = now;
        }
    }
    for (int j = 0; j < kEqBands; ++j) {
        B.x0[j] = B.x1[j] = narrow(x1);
        B.x2[j] = narrow(x2);
    }
    for (int k = 0; k < kPairs; ++k) {
        for (int lane = 0; lane < 2; ++lane) {
            B.y0[2 * k + lane] = B.y1[2 * k + lane] = narrow(y1[k][lane]);
            B.y2[2 * k + lane] = narrow(y2[k][lane]);
        }
    }
    B.y0[8] = B.y1[8] = narrow(y1_8);
    B.y2[8] = narrow(y2_8);
    smooth_s_mono = narrow(s);
    B.sum = acc;
}

// --- filters ------------------------------------------------------------------------------------

namespace {

// The second-order design shared by the high-pass and the shelf: c = tan(pi x fc / rate) in
// extended precision, stored float64; A1 is c x c - 2 as the filter has always had it. A rate at
// or below twice the cut-off has no design (the tangent passes its pole).
bool has_design(float rate, float cutoff_hz) { return static_cast<double>(rate) > 2.0 * static_cast<double>(cutoff_hz); }

SecondOrderSet design_second_order(float rate, float cutoff_hz, float k_field) {
    const double c = static_cast<double>(std::tan(3.141592653589L * cutoff_hz / rate));
    const double k = k_field;
    return {static_cast<float>(c * c + k * c + 1.0), static_cast<float>(c * c - 2.0), static_cast<float>(c * c - k * c + 1.0)};
}

// The high-pass damping for a ScrollBar_Q position: 1.41 / position, extended, as float32.
float hp_damping(int32_t q) { return static_cast<float>(1.41L / q); }

// A design word: the rate's float bits above, the cut-off in whole Hz and (high-pass) the resonance
// position below. Cut-offs come from sliders in whole Hz.
uint64_t design_word(float rate, float cutoff_hz, int32_t q) {
    const auto hz = static_cast<uint64_t>(static_cast<uint32_t>(std::lround(std::clamp(cutoff_hz, 0.0f, 65535.0f))));
    return (static_cast<uint64_t>(std::bit_cast<uint32_t>(rate)) << 32) | (hz << 16) | static_cast<uint64_t>(q & 0xFFFF);
}
float word_rate(uint64_t w) { return std::bit_cast<float>(static_cast<uint32_t>(w >> 32)); }
float word_cutoff(uint64_t w) { return static_cast<float>((w >> 16) & 0xFFFF); }
int32_t word_q(uint64_t w) { return static_cast<int32_t>(w & 0xFFFF); }

SecondOrderSet hp_of(uint64_t w) { return design_second_order(word_rate(w), word_cutoff(w), hp_damping(word_q(w))); }
SecondOrderSet shelf_of(uint64_t w) { return design_second_order(word_rate(w), word_cutoff(w), 1.41f); }

}  // namespace

// Only a rate that has a design is published: otherwise the coefficients in use are kept rather
// than fill the memories with infinities.
void TEQ8_form::recalc_a_fvc_1(float rate, float cutoff_hz) {
    if (has_design(rate, cutoff_hz)) hp_design = design_word(rate, cutoff_hz, hp_q);
}

void TEQ8_form::recalc_a_fvcs_1(float rate) {
    shelf_k = 1.41f;
    if (has_design(rate, shelf_hz)) shelf_design = design_word(rate, shelf_hz, 0);
}

SecondOrderSet TEQ8_form::hp_coefficients() const { return hp_of(hp_design); }
SecondOrderSet TEQ8_form::shelf_coefficients() const { return shelf_of(shelf_design); }

void TEQ8_form::take_designs() {
    const uint64_t h = hp_design, s = shelf_design;
    if (h != hp_set_design) hp_set = hp_of(h), hp_set_design = h;
    if (s != shelf_set_design) shelf_set = shelf_of(s), shelf_set_design = s;
}

namespace {

using exact::biquad_step;

// Runs `step` over one channel (stride 1 for mono, 2 for one side of a stereo block).
template <class Step>
void run_channel(float* buffer, int32_t count, int32_t stride, Step step) {
    for (int32_t i = 0; i < count; ++i) {
        float& v = buffer[static_cast<size_t>(i) * stride];
        v = step(v);
    }
}

// Both channels of a stereo block in one pass. Each channel has its own memory set, so this equals
// the left pass followed by the right one, and the two recurrences overlap in the processor.
template <class Left, class Right>
void run_both(float* buffer, int32_t frames, Left left, Right right) {
    for (int32_t i = 0; i < frames; ++i) {
        buffer[2 * i] = left(buffer[2 * i]);
        buffer[2 * i + 1] = right(buffer[2 * i + 1]);
    }
}

// Speaker low-pass: xv[5] = x / GAIN, then the fifth-order sum in extended precision, stored float64.
struct SpeakerStep {
    FifthOrderMemory& m;
    double gain;
    long double c0, c1, c2, c3, c4;
    [[gnu::always_inline]] float operator()(float x) const {
        double* xv = m.xv;
        double* yv = m.yv;
        for (int k = 0; k < 5; ++k) xv[k] = xv[k + 1];
        xv[5] = static_cast<double>(x) / gain;
        for (int k = 0; k < 5; ++k) yv[k] = yv[k + 1];
        const long double sum = ((static_cast<long double>(xv[0]) + xv[5]) + 5.0L * (static_cast<long double>(xv[1]) + xv[4]) +
                                 10.0L * (static_cast<long double>(xv[2]) + xv[3])) +
                                c0 * yv[0] + c1 * yv[1] + c2 * yv[2] + c3 * yv[3] + c4 * yv[4];
        yv[5] = static_cast<double>(sum);
        return static_cast<float>(yv[5]);
    }
};


#if defined(__SSE2__)
using exact::biquad_block;
#endif
}  // namespace

// Each of these reads its settings once per block.
auto TEQ8_form::high_pass_step(BiquadMemory& m) {
    take_designs();
    const float A0 = hp_set.A0, A1 = hp_set.A1, A2 = hp_set.A2;
    return [&m, A0, A1, A2](float x) { return biquad_step(m, x, A0, A1, A2); };
}

auto TEQ8_form::shelf_step(BiquadMemory& m) {
    take_designs();
    const float B0 = shelf_set.A0, B1 = shelf_set.A1, B2 = shelf_set.A2;
    const float g = shelf_gain;
    return [&m, B0, B1, B2, g](float x) {
        const float y0 = biquad_step(m, x, B0, B1, B2);
        return static_cast<float>(static_cast<long double>(y0) * g + m.x0);
    };
}

auto TEQ8_form::four_pole_step(FourPoleLowpass& p) {
    lp_f = FourPoleLowpass::f_of(lp_fc);
    lp_fb = FourPoleLowpass::fb_of(lp_f, lp_res);
    const double f = lp_f, fb = lp_fb;
    // Neither a ringing that reaches the subnormal range mid-block nor the equalizer's quietest
    // output (floats below the normal range) puts a subnormal into a register; the tests sit beside
    // the recurrence, off its path.
    return [&p, f, fb](float x) { return exact::to_float(exact::four_pole_step(p, exact::widened(x), f, fb)); };
}

auto TEQ8_form::speaker_step(FifthOrderMemory& m) {
    int32_t row = speaker_row;
    if (row < 0 || row > 5) row = 0;
    const SpeakerRow& r = kSpeakerRows[row];
    return SpeakerStep{m, r.gain, r.c[0], r.c[1], r.c[2], r.c[3], r.c[4]};
}

void TEQ8_form::filter_fvc_1(float* buffer, int32_t count) { run_channel(buffer, count, 1, high_pass_step(hp_M)); }
void TEQ8_form::filter_fvc_2(float* buffer, int32_t count) { run_channel(buffer, count, 2, high_pass_step(hp_L)); }
void TEQ8_form::filter_fvc_3(float* buffer, int32_t count) { run_channel(buffer + 1, count, 2, high_pass_step(hp_M)); }
void TEQ8_form::filter_fnc_1(float* buffer, int32_t count) { four_pole_block(buffer, count, true); }
void TEQ8_form::filter_fnc_2(float* buffer, int32_t count) { run_channel(buffer, count, 2, four_pole_step(lp_A)); }
void TEQ8_form::filter_fnc_3(float* buffer, int32_t count) { run_channel(buffer + 1, count, 2, four_pole_step(lp_B)); }
void TEQ8_form::filter_fvcs_1(float* buffer, int32_t count) { run_channel(buffer, count, 1, shelf_step(shelf_M)); }
void TEQ8_form::filter_fvcs_2(float* buffer, int32_t count) { run_channel(buffer, count, 2, shelf_step(shelf_L)); }
void TEQ8_form::filter_fvcs_3(float* buffer, int32_t count) { run_channel(buffer + 1, count, 2, shelf_step(shelf_M)); }
void TEQ8_form::filter_fnc_2000(float* buffer, int32_t count) { run_channel(buffer, count, 1, speaker_step(speaker_A)); }
void TEQ8_form::filter_fnc_2000_L(float* buffer, int32_t count) { run_channel(buffer, count, 2, speaker_step(speaker_A)); }
void TEQ8_form::filter_fnc_2000_R(float* buffer, int32_t count) { run_channel(buffer + 1, count, 2, speaker_step(speaker_B)); }

void TEQ8_form::filter_notch(float* buffer, int32_t count) {
    low_cut_gain = 1.019684607;
    double* xv = low_cut.xv;
    double* yv = low_cut.yv;
    for (int32_t i = 0; i < count; ++i) {
        for (int k = 0; k < 5; ++k) xv[k] = xv[k + 1];
        xv[5] = static_cast<double>(buffer[i]) / low_cut_gain;
        for (int k = 0; k < 5; ++k) yv[k] = yv[k + 1];
        const long double sum = ((static_cast<long double>(xv[5]) - xv[0]) + 5.0L * (static_cast<long double>(xv[1]) - xv[4]) +
                                 10.0L * (static_cast<long double>(xv[3]) - xv[2])) +
                                0.961746123L * yv[0] - 4.8462783871L * yv[1] + 9.7683493471L * yv[2] -
                                9.8448479614L * yv[3] + 4.961030878L * yv[4];
        yv[5] = static_cast<double>(sum);
        buffer[i] = static_cast<float>(yv[5]);
    }
}

void TEQ8_form::high_pass_block(float* buffer, int32_t frames, bool mono) {
#if defined(__SSE2__)
    take_designs();
    biquad_block(mono ? hp_M : hp_L, mono ? nullptr : &hp_M, buffer, frames, hp_set.A0, hp_set.A1, hp_set.A2, nullptr);
#else
    if (mono) return filter_fvc_1(buffer, frames);
    run_both(buffer, frames, high_pass_step(hp_L), high_pass_step(hp_M));
#endif
}

void TEQ8_form::shelf_block(float* buffer, int32_t frames, bool mono) {
#if defined(__SSE2__)
    take_designs();
    const float g = shelf_gain;
    biquad_block(mono ? shelf_M : shelf_L, mono ? nullptr : &shelf_M, buffer, frames, shelf_set.A0, shelf_set.A1, shelf_set.A2, &g);
#else
    if (mono) return filter_fvcs_1(buffer, frames);
    run_both(buffer, frames, shelf_step(shelf_L), shelf_step(shelf_M));
#endif
}

void TEQ8_form::four_pole_block(float* buffer, int32_t frames, bool mono) {
    lp_f = FourPoleLowpass::f_of(lp_fc);
    lp_fb = FourPoleLowpass::fb_of(lp_f, lp_res);
    FourPoleLowpass poles[2] = {lp_A, lp_B};
    const exact::SteadyCoefficients c{lp_f, lp_fb};
    if (mono)
        exact::four_pole_block<false>(frames, buffer, poles, c, 1.0f);
    else
        exact::four_pole_block<true>(frames, buffer, poles, c, 1.0f);
    lp_A = poles[0];
    if (!mono) lp_B = poles[1];
}

void TEQ8_form::EQ8_dsp(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer) {
    sample_rate = static_cast<float>(sampleRate);
    if (frameCount <= 0 || buffer == nullptr) return;
    const bool mono = channelCount == 1;
    if (eq_on) {
        if (mono)
            eq_mono(buffer, frameCount);
        else
            eq_stereo(buffer, frameCount);
    }
    if (mono) {
        if (hp_on) high_pass_block(buffer, frameCount, true);
        if (lp_on) filter_fnc_1(buffer, frameCount);
        if (shelf_on) shelf_block(buffer, frameCount, true);
        if (speaker_on) filter_fnc_2000(buffer, frameCount);
        if (low_cut_on) filter_notch(buffer, frameCount);
        settle_memories();
        return;
    } else {
        // Left then right of each stage (filter_fvc_2 then filter_fvc_3, ...), run side by side.
        if (hp_on) high_pass_block(buffer, frameCount, false);
        if (lp_on) four_pole_block(buffer, frameCount, false);
        if (shelf_on) shelf_block(buffer, frameCount, false);
        if (speaker_on) {
            // Both channels take the row read once. The memories are worked on as locals, which the
            // compiler keeps out of the object for the block.
            FifthOrderMemory a = speaker_A, b = speaker_B;
            const auto left = speaker_step(a);
            run_both(buffer, frameCount, left, SpeakerStep{b, left.gain, left.c0, left.c1, left.c2, left.c3, left.c4});
            speaker_A = a;
            speaker_B = b;
        }
    }
    settle_memories();
}

void TEQ8_form::load_speaker_row(int32_t row) {
    if (row < 0 || row > 5) return;
    speaker_row = row;
}

namespace {
bool finite_all(const float* v, int n) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) sum += v[i] * 0.0f;  // 0 for finite values, NaN for any other
    return sum == 0.0f;
}
bool finite_all(const double* v, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += v[i] * 0.0;
    return sum == 0.0;
}
template <class M> void settle(M& m) {
    static_assert(sizeof(M) % sizeof(float) == 0);
    bool ok;
    if constexpr (std::is_same_v<M, FifthOrderMemory> || std::is_same_v<M, FourPoleLowpass>)
        ok = finite_all(reinterpret_cast<const double*>(&m), sizeof(M) / sizeof(double));
    else
        ok = finite_all(reinterpret_cast<const float*>(&m), sizeof(M) / sizeof(float));
    if (!ok) m = M{};
}
void settle_bank(EqBank& b) {
    const bool ok = finite_all(b.x0, kEqBands) && finite_all(b.x1, kEqBands) && finite_all(b.x2, kEqBands) &&
                    finite_all(b.y0, kEqBands) && finite_all(b.y1, kEqBands) && finite_all(b.y2, kEqBands) &&
                    std::isfinite(b.sum);
    if (ok) return;
    for (float* v : {b.x0, b.x1, b.x2, b.y0, b.y1, b.y2}) std::fill(v, v + kEqBands, 0.0f);
    b.sum = 0.0;
}
void settle(float& v) {
    if (!std::isfinite(v)) v = 0.0f;
}
}  // namespace

// A NaN or an infinity that came in with the signal would stay in a recurrence for good; each
// memory that holds one starts again from rest. Finite memories are never touched.
void TEQ8_form::settle_memories() {
    settle_bank(left_bank);
    settle_bank(right_bank);
    settle(smooth_s_mono), settle(smooth_s_left), settle(smooth_s_right);
    settle(hp_M), settle(hp_L), settle(shelf_M), settle(shelf_L);
    settle(lp_A), settle(lp_B);
    settle(speaker_A), settle(speaker_B), settle(low_cut);
}

// --- handlers -----------------------------------------------------------------------------------

void TEQ8_form::ScrollBar_EQ8GChange() {
    left_bank.output_gain = eq8_output_gain(ScrollBar_EQ8G.position());
    if (Gang.checked()) ScrollBar_EQ8GR.set_position(ScrollBar_EQ8G.position());
}

void TEQ8_form::ScrollBar_EQ8GRChange() { right_bank.output_gain = eq8_output_gain(ScrollBar_EQ8GR.position()); }

void TEQ8_form::ScrollBar_EQ8_FNC_LMChange() {
    const float d = eq8_treble_cut(ScrollBar_EQ8_FNC_LM.position());
    smooth_d_mono = d;
    smooth_d_left = d;
    if (Gang.checked()) ScrollBar_EQ8_FNC_R.set_position(ScrollBar_EQ8_FNC_LM.position());
}

void TEQ8_form::ScrollBar_EQ8_FNC_RChange() { smooth_d_right = eq8_treble_cut(ScrollBar_EQ8_FNC_R.position()); }

void TEQ8_form::ScrollBar_EQ8_bandChange(bool right, int32_t band) {
    if (band < 1 || band > 8) return;
    if (right) {
        post_EQ_setup(band, 101 - right_sliders[band]->position());
        return;
    }
    const int position = left_sliders[band]->position();
    pre_EQ_setup(band, 101 - position);
    if (Gang.checked()) right_sliders[band]->set_position(position);
}

void TEQ8_form::Reset_LeftClick() {
    for (int i = 0; i < 9; ++i) left_sliders[i]->set_position(50);
    ScrollBar_EQ8_FNC_LM.set_position(0);
}

void TEQ8_form::Reset_RightClick() {
    for (int i = 0; i < 9; ++i) right_sliders[i]->set_position(50);
    ScrollBar_EQ8_FNC_R.set_position(0);
}

void TEQ8_form::Copy_Left_to_RightClick() {
    for (int i = 0; i < 10; ++i) right_sliders[i]->set_position(left_sliders[i]->position());
}

void TEQ8_form::Copy_Right_to_LeftClick() {
    for (int i = 0; i < 10; ++i) left_sliders[i]->set_position(right_sliders[i]->position());
}

void TEQ8_form::CheckRadioBox_EQ8_OnOffClick() { eq_on = CheckRadioBox_EQ8_OnOff.checked(); }
void TEQ8_form::CheckRadioBox_FVC_OnOffClick() { hp_on = CheckRadioBox_FVC_OnOff.checked(); }

float eq8_high_pass_hz(int32_t position) { return static_cast<float>(position); }
double eq8_low_pass_fc(int32_t position) { return position / 100.0; }
double eq8_low_pass_res(int32_t position) { return position / 10.0; }
float eq8_shelf_hz(int32_t position) { return static_cast<float>(position * 50); }
float eq8_shelf_gain(int32_t position) { return static_cast<float>(position / 10.0); }

void TEQ8_form::ScrollBar_LPF_1Change() {
    hp_cutoff_hz = eq8_high_pass_hz(ScrollBar_LPF_1.position());
    recalc_a_fvc_1(48000.0f, hp_cutoff_hz);
}

void TEQ8_form::ScrollBar_QChange() {
    hp_q = ScrollBar_Q.position();
    hp_k = hp_damping(hp_q);
    recalc_a_fvc_1(sample_rate, hp_cutoff_hz);
}

void TEQ8_form::CheckRadioBox_FNC_OnOffClick() { lp_on = CheckRadioBox_FNC_OnOff.checked(); }
void TEQ8_form::ScrollBar_fnc_FCChange() { lp_fc = eq8_low_pass_fc(ScrollBar_fnc_FC.position()); }
void TEQ8_form::ScrollBar_fnc_resChange() { lp_res = eq8_low_pass_res(ScrollBar_fnc_res.position()); }
void TEQ8_form::CheckRadioBox_ShelfClick() { shelf_on = CheckRadioBox_Shelf.checked(); }

void TEQ8_form::ScrollBar_Shelf_fvc_FChange() {
    shelf_hz = eq8_shelf_hz(ScrollBar_Shelf_fvc_F.position());
    recalc_a_fvcs_1(48000.0f);
}

void TEQ8_form::ScrollBar_Shelf_fvc_GChange() { shelf_gain = eq8_shelf_gain(ScrollBar_Shelf_fvc_G.position()); }
void TEQ8_form::CheckRadioBox_fnc_2000_OnOffClick() { speaker_on = CheckRadioBox_fnc_2000_OnOff.checked(); }
void TEQ8_form::ScrollBar_fnc_2000Change() { load_speaker_row(ScrollBar_fnc_2000.position()); }
void TEQ8_form::CheckRadioBox_Filter_NotchClick() { low_cut_on = CheckRadioBox_Filter_Notch.checked(); }

// --- values in units ---------------------------------------------------------------------------

double eq8_speaker_corner(int32_t row) {
    if (row < 0 || row > 5) row = 0;
    const SpeakerRow& r = kSpeakerRows[row];
    // H(z) = (1 + 5 z^-1 + 10 z^-2 + 10 z^-3 + 5 z^-4 + z^-5) / GAIN / (1 - c4 z^-1 - .. - c0 z^-5).
    const double num[6] = {1, 5, 10, 10, 5, 1};
    const double den[6] = {1, -r.c[4], -r.c[3], -r.c[2], -r.c[1], -r.c[0]};
    auto magnitude = [&](double w) {
        std::complex<double> n = 0, d = 0;
        for (int k = 0; k < 6; ++k) {
            const std::complex<double> z = std::polar(1.0, -w * k);
            n += num[k] * z;
            d += den[k] * z;
        }
        return std::abs(n / d);
    };
    const double dc = magnitude(0.0), half = dc / std::sqrt(2.0);
    double lo = 0.0, hi = std::numbers::pi;
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        (magnitude(mid) > half ? lo : hi) = mid;
    }
    return lo / (2.0 * std::numbers::pi);
}

void TEQ8_form::set_unit_texts() {
    // Each bank weighs its bands x10 (at position 51) and scales the sum by 0.1 (at 50), so that the
    // middle passes the guitar at x1: both read against that.
    // Each shows the value its handler stored, which is what the processing uses.
    ScrollBar_EQ8G.unit_text = [this] { return gain_text(left_bank.output_gain * 10.0); };
    ScrollBar_EQ8GR.unit_text = [this] { return gain_text(right_bank.output_gain * 10.0); };
    for (int band = 1; band <= 8; ++band) {
        left_sliders[band]->unit_text = [this, band] { return gain_text(left_bank.weights[band] / 10.0); };
        right_sliders[band]->unit_text = [this, band] { return gain_text(right_bank.weights[band] / 10.0); };
    }
    ScrollBar_EQ8_FNC_LM.unit_text = [this] { return "corner " + one_pole_corner_text(smooth_d_left, display_rate()); };
    ScrollBar_EQ8_FNC_R.unit_text = [this] { return "corner " + one_pole_corner_text(smooth_d_right, display_rate()); };
    // A second-order set is designed for a rate; at another one its corner moves with the rate.
    ScrollBar_LPF_1.unit_text = [this] {
        const uint64_t w = hp_design;
        return hz_text(static_cast<double>(word_cutoff(w)) * display_rate() / word_rate(w));
    };
    ScrollBar_Q.unit_text = [this] { return "Q " + plain_number(1.0 / hp_damping(word_q(hp_design)), 2); };
    ScrollBar_fnc_FC.unit_text = [this] { return hz_text(four_pole_cutoff_hz(lp_fc, display_rate())); };
    ScrollBar_fnc_res.unit_text = [this] { return resonance_text(lp_res); };
    ScrollBar_Shelf_fvc_F.unit_text = [this] {
        const uint64_t w = shelf_design;
        return hz_text(static_cast<double>(word_cutoff(w)) * display_rate() / word_rate(w));
    };
    // The shelf adds its high-passed copy x g to the signal: the treble rises to x(1 + g).
    ScrollBar_Shelf_fvc_G.unit_text = [this] { return "treble " + gain_text(1.0 + shelf_gain); };
    ScrollBar_fnc_2000.unit_text = [this] { return "-3 dB at " + hz_text(eq8_speaker_corner(speaker_row) * display_rate()); };
}

// --- parameter block ----------------------------------------------------------------------------

void TEQ8_form::get_parameters(int32_t* block) {
    for (int i = 0; i < 10; ++i) {
        block[i] = left_sliders[i]->position();
        block[10 + i] = right_sliders[i]->position();
    }
    put_bool_byte(block[20], CheckRadioBox_EQ8_OnOff.checked());
    block[21] = ScrollBar_LPF_1.position();
    block[22] = ScrollBar_Q.position();
    put_bool_byte(block[23], CheckRadioBox_FVC_OnOff.checked());
    block[24] = ScrollBar_Shelf_fvc_F.position();
    block[25] = ScrollBar_Shelf_fvc_G.position();
    put_bool_byte(block[26], CheckRadioBox_Shelf.checked());
    block[27] = ScrollBar_fnc_FC.position();
    block[28] = ScrollBar_fnc_res.position();
    put_bool_byte(block[29], CheckRadioBox_FNC_OnOff.checked());
    block[30] = ScrollBar_fnc_2000.position();
    put_byte_flag(block[31], 0, CheckRadioBox_fnc_2000_OnOff.checked());
    put_byte_flag(block[31], 1, Gang.checked());
}

void TEQ8_form::put_parameters(const int32_t* block) {
    for (int i = 0; i < 10; ++i) right_sliders[i]->set_position(block[10 + i]);
    // Gang still holds its old state here, so a left slider that moves drags its right one along.
    for (int i = 0; i < 10; ++i) left_sliders[i]->set_position(block[i]);
    CheckRadioBox_EQ8_OnOff.set_checked(bool_byte(block[20]));
    ScrollBar_LPF_1.set_position(block[21]);
    ScrollBar_Q.set_position(block[22]);
    CheckRadioBox_FVC_OnOff.set_checked(bool_byte(block[23]));
    ScrollBar_Shelf_fvc_F.set_position(block[24]);
    ScrollBar_Shelf_fvc_G.set_position(block[25]);
    CheckRadioBox_Shelf.set_checked(bool_byte(block[26]));
    ScrollBar_fnc_FC.set_position(block[27]);
    ScrollBar_fnc_res.set_position(block[28]);
    CheckRadioBox_FNC_OnOff.set_checked(bool_byte(block[29]));
    ScrollBar_fnc_2000.set_position(block[30]);
    CheckRadioBox_fnc_2000_OnOff.set_checked(byte_flag(block[31], 0));
    Gang.set_checked(byte_flag(block[31], 1));
    Curve_Response.invalidate();
}

// --- the response curve ---------------------------------------------------------------------------

namespace {

using cplx = std::complex<double>;

// a[0] + a[1] z^-1 + ... at z^-1 = w.
cplx polynomial(std::initializer_list<double> a, cplx w) {
    cplx sum = 0.0, power = 1.0;
    for (double c : a) {
        sum += c * power;
        power *= w;
    }
    return sum;
}

}  // namespace

// Each stage's transfer function, read off its recurrence above.
double TEQ8_form::response_db(int channel, double hz) const {
    const cplx w = unit_delay(hz, sample_rate);
    cplx h = 1.0;
    if (eq_on) {
        const EqBank& b = channel == 2 ? right_bank : left_bank;
        const double d = channel == 0 ? smooth_d_mono : channel == 1 ? smooth_d_left : smooth_d_right;
        cplx sum = 0.0;
        for (int j = 0; j < kEqBands; ++j)
            sum += static_cast<double>(b.weights[j]) * polynomial({1.0, 0.0, -1.0}, w) / polynomial({b.a0[j], b.a1[j], b.a2[j]}, w);
        h = sum * (1.0 - d) / polynomial({1.0, -d}, w) * static_cast<double>(b.output_gain);
    }
    const cplx second_difference = polynomial({1.0, -2.0, 1.0}, w);
    if (hp_on) {
        const SecondOrderSet c = hp_coefficients();
        h *= second_difference / polynomial({c.A0, c.A1, c.A2}, w);
    }
    if (lp_on) {
        const double f = FourPoleLowpass::f_of(lp_fc), fb = FourPoleLowpass::fb_of(f, lp_res);
        h *= four_pole_response(f, fb, w);
    }
    if (shelf_on) {
        const SecondOrderSet c = shelf_coefficients();
        h *= static_cast<double>(shelf_gain) * second_difference / polynomial({c.A0, c.A1, c.A2}, w) + 1.0;
    }
    if (speaker_on) {
        const int32_t row = speaker_row;
        const SpeakerRow& r = kSpeakerRows[row < 0 || row > 5 ? 0 : row];
        h *= polynomial({1.0, 5.0, 10.0, 10.0, 5.0, 1.0}, w) / r.gain /
             polynomial({1.0, -r.c[4], -r.c[3], -r.c[2], -r.c[1], -r.c[0]}, w);
    }
    if (channel == 0 && low_cut_on)
        h *= polynomial({1.0, -5.0, 10.0, -10.0, 5.0, -1.0}, w) / 1.019684607 /
             polynomial({1.0, -4.961030878, 9.8448479614, -9.7683493471, 4.8462783871, -0.961746123}, w);
    return decibels(h);
}

std::vector<Curve::Series> TEQ8_form::response_series() {
    response_rate_ = sample_rate;
    const std::vector<double> f = log_frequencies(241);
    auto of = [&](int channel) {
        std::vector<double> db;
        for (double hz : f) db.push_back(response_db(channel, hz));
        return db;
    };
    std::vector<Curve::Series> out;
    // Mono runs the left bank; it differs only by its treble cut and the low cut.
    const bool mono_as_left = !low_cut_on && smooth_d_mono == smooth_d_left;
    if (!mono_as_left) out.push_back({"mono", Curve::Style::Line, f, of(0)});
    out.push_back({mono_as_left ? "left, mono" : "left", Curve::Style::Line, f, of(1)});
    out.push_back({"right", Curve::Style::Line, f, of(2)});
    return out;
}

VX_REGISTER_KIND(2, TEQ8_form, EQ8_dsp)

}  // namespace vx
