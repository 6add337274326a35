// Values in units: for every kind, a slider position gives the text the editor shows beside it, and
// that text is the value the handler stored, in the same unit. The telling values of each law are
// written out; the check against the stored field catches a display that drifts from its handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CompTortions.h"
#include "MultiTortions.h"
#include "delays.h"
#include "distortion1.h"
#include "engine/effects.h"
#include "engine/units.h"
#include "eq8.h"
#include "flangers.h"
#include "gain_form.h"
#include "limiter_form.h"
#include "noise_gates.h"
#include "read_wav.h"
#include "reverb.h"
#include "wahs.h"

namespace vx {
namespace {

constexpr int32_t kRate = 48000;  // what a stopped engine shows

template <class F>
struct Row {
    const char* slider;
    int position;
    const char* text;
    // The field the handler wrote, in the unit the editor shows it in.
    std::function<std::string(const F&)> stored;
};

template <class F>
class Kind {
public:
    Kind() : f(std::make_unique<F>()) {
        // No block has been processed: the editors speak of 48000 Hz.
        effects_startup();
        f->create_defaults();
    }

    void check(const std::vector<Row<F>>& rows) {
        for (const Row<F>& r : rows) {
            Slider* s = f->template find_as<Slider>(r.slider);
            ASSERT_NE(s, nullptr) << r.slider;
            // From elsewhere first, so that the handler runs whatever the position was.
            s->set_position(r.position == s->min() ? s->max() : s->min());
            s->set_position(r.position);
            ASSERT_EQ(s->position(), r.position) << r.slider;
            EXPECT_EQ(s->unit_value(), r.text) << r.slider << " at " << r.position;
            EXPECT_EQ(r.stored(*f), r.text) << r.slider << " at " << r.position << ": the handler stores something else";
        }
    }

    std::unique_ptr<F> f;
};

std::string gain(float g) { return gain_text(g); }
std::string corner(float c) { return one_pole_corner_text(c, kRate); }

TEST(UnitsText, Formats) {
    EXPECT_EQ(samples_text(39000, kRate), "812.5 ms (39000 samples)");
    EXPECT_EQ(samples_text(39000, 44100), "884.4 ms (39000 samples)");
    EXPECT_EQ(samples_text(1, kRate), "0.02 ms (1 sample)");
    EXPECT_EQ(period_text(3'000'000, kRate), "62.5 s");
    EXPECT_EQ(hz_text(62.5), "62.5 Hz");
    EXPECT_EQ(hz_text(440), "440 Hz");
    EXPECT_EQ(hz_text(1550), "1.55 kHz");
    EXPECT_EQ(hz_text(22800), "22.8 kHz");
    EXPECT_EQ(gain_text(1.0), "0.0 dB (x1)");
    EXPECT_EQ(gain_text(1.0f / 11.0f), "-20.8 dB (x0.0909)");
    EXPECT_EQ(gain_text(0.0), "-inf dB (x0)");
    EXPECT_EQ(dbfs_text(kFullScale), "0.0 dBFS");
    EXPECT_EQ(dbfs_text(0.0), "-inf dBFS");
    EXPECT_EQ(percent_text(0.405), "40.5 %");
    EXPECT_EQ(ratio_text(4.0), "4.0:1");
    // A one-pole low-pass with c = 0.5 is 3 dB down where cos w = 3/4.
    EXPECT_EQ(one_pole_corner_text(0.5, kRate), hz_text(std::acos(0.75) * kRate / (2 * 3.14159265358979)));
    EXPECT_EQ(one_pole_corner_text(1.0, kRate), "0 Hz");
    EXPECT_EQ(one_pole_corner_text(0.001, kRate), "above 24.0 kHz");
}

TEST(UnitsText, RateIsTheEnginesWhileBlocksComeElse48000) {
    constexpr int64_t s = 1'000'000'000;
    const struct {
        int32_t last_rate;
        int64_t last_walk, now;
        int32_t shown;
    } cases[] = {
        {0, 0, 5 * s, 48000},                // nothing processed yet
        {44100, 10 * s, 10 * s + s / 2, 44100},  // running
        {22050, 10 * s, 10 * s + s - 1, 22050},
        {44100, 10 * s, 11 * s, 48000},      // a second without a block: stopped
        {32075, 10 * s, 99 * s, 48000},
    };
    for (const auto& c : cases) EXPECT_EQ(display_rate_at(c.last_rate, c.last_walk, c.now), c.shown) << c.last_rate;
    effects_startup();
    EXPECT_EQ(display_rate(), 48000);
}

TEST(UnitsOfKind, Gain) {
    auto delay = [](const Tgain_form& f) { return samples_text(std::min(f.lengths[0].load(), Tgain_form::kLineWrap), kRate); };
    Kind<Tgain_form>().check({
        {"ScrollBar_Gain_Left", 50, "0.0 dB (x1)", [](const Tgain_form& f) { return gain(f.left_factor); }},
        {"ScrollBar_Gain_Left", 0, "-20.8 dB (x0.0909)", [](const Tgain_form& f) { return gain(f.left_factor); }},
        {"ScrollBar_Gain_Right", 100, "+20.8 dB (x11)", [](const Tgain_form& f) { return gain(f.right_factor); }},
        {"ScrollBar_Gain_Mono", 75, "+15.6 dB (x6)", [](const Tgain_form& f) { return gain(f.mono_factor); }},
        {"ScrollBar_SimpleChorus", 50, "37.5 ms (1800 samples)", delay},
        {"ScrollBar_SimpleChorus", 0, "3.42 ms (164 samples)", delay},
        // 19800 by the law, but the line serves 14000 at most: the editor shows what is heard.
        {"ScrollBar_SimpleChorus", 100, "291.7 ms (14000 samples)", delay},
    });
}

TEST(UnitsOfKind, NoiseGate) {
    auto open = [](const Tnoise_gate_form& f) { return dbfs_text(f.open_threshold); };
    auto close = [](const Tnoise_gate_form& f) { return dbfs_text(f.close_threshold); };
    auto closed_gain = [](const Tnoise_gate_form& f) { return gain(f.suppressed_gain); };
    Kind<Tnoise_gate_form>().check({
        {"ScrollBar_Gain_In", 100, "+20.8 dB (x11)", [](const Tnoise_gate_form& f) { return gain(f.input_factor); }},
        {"ScrollBar_Gain_Out", 0, "-20.8 dB (x0.0909)", [](const Tnoise_gate_form& f) { return gain(f.output_factor); }},
        {"ScrollBar_Porog_Max", 100, "0.0 dBFS", open},   // 32768: full scale
        {"ScrollBar_Porog_Max", 4, "-87.6 dBFS", open},   // 1.37
        {"ScrollBar_min_porog", 45, "-50.2 dBFS", close},
        {"ScrollBar_Supress", 0, "+0.8 dB (x1.1)", closed_gain},
        {"ScrollBar_Supress", 100, "-40.8 dB (x0.00909)", closed_gain},
    });
}

TEST(UnitsOfKind, Equalizer) {
    // The bank weighs a band x10 at position 51 and scales the sum by 0.1 at 50: x1 each.
    auto out_left = [](const TEQ8_form& f) { return gain(f.left_bank.output_gain * 10.0f); };
    auto band_left = [](const TEQ8_form& f) { return gain(f.left_bank.weights[1] / 10.0f); };
    auto band_right = [](const TEQ8_form& f) { return gain(f.right_bank.weights[8] / 10.0f); };
    auto speaker = [](const TEQ8_form& f) { return "-3 dB at " + hz_text(eq8_speaker_corner(f.speaker_row) * kRate); };
    Kind<TEQ8_form>().check({
        {"ScrollBar_EQ8G", 50, "0.0 dB (x1)", out_left},
        {"ScrollBar_EQ8G", 0, "+20.8 dB (x11)", out_left},
        {"ScrollBar_EQ8GR", 100, "-20.8 dB (x0.0909)", [](const TEQ8_form& f) { return gain(f.right_bank.output_gain * 10.0f); }},
        {"ScrollBar_EQ8_125", 51, "0.0 dB (x1)", band_left},
        {"ScrollBar_EQ8_125", 0, "+21.0 dB (x11.2)", band_left},
        {"ScrollBar_EQ8_80s", 100, "-20.7 dB (x0.0926)", band_right},
        {"ScrollBar_EQ8_FNC_LM", 100, "corner 7.64 Hz", [](const TEQ8_form& f) { return "corner " + corner(f.smooth_d_left); }},
        {"ScrollBar_EQ8_FNC_R", 0, "corner above 24.0 kHz", [](const TEQ8_form& f) { return "corner " + corner(f.smooth_d_right); }},
        {"ScrollBar_LPF_1", 500, "500 Hz", [](const TEQ8_form& f) { return hz_text(f.hp_cutoff_hz); }},
        {"ScrollBar_Q", 2, "Q 1.42", [](const TEQ8_form& f) { return "Q " + plain_number(1.0 / f.hp_k, 2); }},
        {"ScrollBar_fnc_FC", 10, "2.40 kHz", [](const TEQ8_form& f) { return hz_text(f.lp_fc * kRate / 2); }},
        {"ScrollBar_fnc_res", 39, "x3.9", [](const TEQ8_form& f) { return resonance_text(f.lp_res); }},
        {"ScrollBar_Shelf_fvc_F", 100, "5.00 kHz", [](const TEQ8_form& f) { return hz_text(f.shelf_hz); }},
        {"ScrollBar_Shelf_fvc_G", 100, "treble +20.8 dB (x11)", [](const TEQ8_form& f) { return "treble " + gain(1.0f + f.shelf_gain); }},
        // The speaker rows fall to -3 dB at 0.0472 .. 0.1055 of the rate.
        {"ScrollBar_fnc_2000", 0, "-3 dB at 2.27 kHz", speaker},
        {"ScrollBar_fnc_2000", 5, "-3 dB at 5.07 kHz", speaker},
    });
}

TEST(UnitsOfKind, DistortionCompressor) {
    using F = TCompTortion_form;
    auto knee = [](const F& f) { return "knee " + dbfs_text(std::sqrt(static_cast<double>(f.sharp_k))); };
    auto law = [](const F& f) {
        const double d = f.dist_exp;
        return ratio_text(d > 1.0 ? 1.0 / (d - 1.0) : 0.0) + " (d " + plain_number(d, 2) + ")";
    };
    auto window = [](const F& f) { return samples_text(f.window, kRate); };
    Kind<F>().check({
        {"ScrollBar_Drive", 100, "+20.8 dB (x11)", [](const F& f) { return gain(f.gain_in); }},
        {"SkinScroll_Level", 0, "-20.8 dB (x0.0909)", [](const F& f) { return gain(f.gain_out); }},
        {"ScrollBar_Popravka", 75, "+15.6 dB (x6)", [](const F& f) { return gain(f.crunch); }},
        {"ScrollBar_Sharp", 50, "knee -20.3 dBFS", knee},  // K = 1e7: the knee at 3162
        {"ScrollBar_Sharp", 1, "knee -3.3 dBFS", knee},    // K = 5e8
        {"ScrollBar_Distortion", 75, "4.0:1 (d 1.25)", law},
        {"ScrollBar_Distortion", 0, "1.0:1 (d 2)", law},
        {"ScrollBar_Distortion", 100, "limit (d 1)", law},
        {"ScrollBar_Softness2", 0, "2.10 ms (101 samples)", window},
        {"ScrollBar_Softness2", 50, "0.02 ms (1 sample)", window},
        {"ScrollBar_Color", 100, "cut below 7.64 Hz", [](const F& f) { return "cut below " + corner(f.color); }},
    });
}

TEST(UnitsOfKind, DistortionSimple) {
    using F = Tlimiter_form;
    Kind<F>().check({
        {"Page_porog", 100, "-30.3 dBFS", [](const F& f) { return dbfs_text(f.threshold); }},  // 1000
        {"Page_porog", 0, "-inf dBFS", [](const F& f) { return dbfs_text(f.threshold); }},
        {"Page_gain", 0, "+20.8 dB (x11)", [](const F& f) { return gain(f.out_gain); }},
        {"Page_gain", 100, "-20.8 dB (x0.0909)", [](const F& f) { return gain(f.out_gain); }},
        {"Page_color", 50, "corner 5.52 kHz", [](const F& f) { return "corner " + corner(f.split_coef); }},
        {"Page_colorl", 100, "corner 7.64 Hz", [](const F& f) { return "corner " + corner(f.split_coef_L); }},
        {"Page_colorr", 25, "corner 5.52 kHz", [](const F& f) { return "corner " + corner(f.split_coef_R); }},
        {"ScrollBar_Limiter_Porog", 5000, "-16.3 dBFS", [](const F& f) { return dbfs_text(f.threshold); }},
        {"ScrollBar_Koeff", 25, "corner 5.52 kHz", [](const F& f) { return "corner " + corner(f.split_coef_L); }},
        {"ScrollBar_koeff_R", 100, "corner 7.64 Hz, slope x0.1998",
         [](const F& f) { return "corner " + corner(f.split_coef_R) + ", slope " + factor_text(f.knee_slope); }},
        {"ScrollBar_FNC_1", 25, "corner 5.52 kHz", [](const F& f) { return "corner " + corner(f.low_smooth); }},
        {"ScrollBar_FNC_2", 100, "corner 7.64 Hz", [](const F& f) { return "corner " + corner(f.high_smooth); }},
    });
}

TEST(UnitsOfKind, DistortionSoftHard) {
    using F = TDistortion1_form;
    Kind<F>().check({
        {"ScrollBar_Gain_In", 0, "-20.8 dB (x0.0909)", [](const F& f) { return gain(f.gain_in); }},
        {"ScrollBar_Gain_Out", 100, "+20.8 dB (x11)", [](const F& f) { return gain(f.gain_out); }},
        {"ScrollBar_Tone1_k4", 30000, "-0.8 dBFS", [](const F& f) { return dbfs_text(f.knee_out); }},
        {"ScrollBar_Tone2_k3", 50, "-56.3 dBFS", [](const F& f) { return dbfs_text(f.knee_in); }},
        {"ScrollBar_Smooth_k2", 1, "x0.2", [](const F& f) { return factor_text(f.smooth); }},
        {"ScrollBar_Smooth_k2", 40, "x0.005", [](const F& f) { return factor_text(f.smooth); }},
        {"ScrollBar_Color_M", 100, "split 7.64 Hz", [](const F& f) { return "split " + corner(f.color_L); }},
        {"ScrollBar_Color_N", 25, "split 5.52 kHz", [](const F& f) { return "split " + corner(f.color_R); }},
    });
}

TEST(UnitsOfKind, DistortionPlus) {
    using F = TMultiTortion_form;
    Kind<F>().check({
        {"ScrollBar_gain_In", 100, "+20.8 dB (x11)", [](const F& f) { return gain(f.gain_in); }},
        {"ScrollBar_gain_Out", 0, "-20.8 dB (x0.0909)", [](const F& f) { return gain(f.gain_out); }},
        {"ScrollBar0", 0, "+20.8 dB (x11)", [](const F& f) { return gain(f.eq_gain0[0]); }},  // top loudest
        {"spSkinScrollBar16", 100, "-20.8 dB (x0.0909)", [](const F& f) { return gain(f.eq_gain1[15]); }},
        {"spSkinScrollBar17", 0, "0.0 dBFS", [](const F& f) { return dbfs_text(f.porog[0]); }},    // 32768
        {"spSkinScrollBar32", 99, "-90.3 dBFS", [](const F& f) { return dbfs_text(f.porog[15]); }},  // 1
    });
}

TEST(UnitsOfKind, Reverberator) {
    using F = Treverb_form;
    Kind<F>().check({
        {"ScrollBar_Gain_Left", 100, "+20.8 dB (x11)", [](const F& f) { return gain(f.wet_gain[1]); }},
        {"ScrollBar_Gain_Mono", 0, "-20.8 dB (x0.0909)", [](const F& f) { return gain(f.wet_gain[0]); }},
        {"ScrollBar_Left_Delay", 4999, "104.1 ms (4999 samples)", [](const F& f) { return samples_text(f.post_len[1], kRate); }},
        {"ScrollBar_Mono_Delay", 10, "0.21 ms (10 samples)", [](const F& f) { return samples_text(f.post_len[0], kRate); }},
        {"ScrollBar_Mono_Decay", 99, "99 %", [](const F& f) { return percent_text(f.decay[0]); }},
        {"ScrollBar_Right_Decay", 5, "5 %", [](const F& f) { return percent_text(f.decay[2]); }},
        // 100 holds the wet signal at its last value; 0 leaves the combs undamped.
        {"ScrollBar_Mono_Brightness", 100, "0 Hz", [](const F& f) { return corner(f.tone_coef[0]); }},
        {"ScrollBar_Mono_Brightness", 25, "5.52 kHz", [](const F& f) { return corner(f.tone_coef[0]); }},
        {"ScrollBar_Left_Brightness", 0, "above 24.0 kHz", [](const F& f) { return corner(f.damp1); }},
    });
}

TEST(UnitsOfKind, Delay) {
    using F = TDelay_form;
    auto time = [](const F& f) { return samples_text(f.delay_samples, kRate); };
    Kind<F>().check({
        {"ScrollBar_Delay_Time", 75, "812.5 ms (39000 samples)", time},
        {"ScrollBar_Delay_Time", 100, "1083.3 ms (52000 samples)", time},
        {"ScrollBar_Delay_Time", 0, "0.00 ms (0 samples)", time},
        {"ScrollBar_Delay_Decay", 40, "40 %", [](const F& f) { return percent_text(f.decay); }},
        {"ScrollBar_Delay_Gain", 100, "0.0 dB (x1)", [](const F& f) { return gain(f.out_gain); }},
        {"ScrollBar_Delay_I_Gain", 1, "-40.0 dB (x0.01)", [](const F& f) { return gain(f.echo_gain); }},
    });
}

TEST(UnitsOfKind, Flanger) {
    using F = Tflanger_form;
    auto sweep = [](float speed) { return period_text(600.0 / speed, kRate) + " a sweep"; };
    auto left = [sweep](const F& f) { return sweep(f.L.speed.load()); };
    auto right = [sweep](const F& f) { return sweep(f.R.speed.load()); };
    auto chorus = [](const F& f) { return samples_text(f.L.chorus_len, kRate); };
    Kind<F> k;
    k.f->CheckRadioBox_Gang.set_checked(false);
    k.check({
        {"ScrollBar_Flanger_Level", 100, "+6.0 dB (x2)", [](const F& f) { return gain(f.level); }},
        {"ScrollBar_Flanger_Level", 1, "-34.0 dB (x0.02)", [](const F& f) { return gain(f.level); }},
        {"ScrollBar_Flanger_Speed", 100, "625.0 ms a sweep", left},  // 0.02 a sample: 30000 samples
        {"ScrollBar_Flanger_Speed", 1, "62.5 s a sweep", left},
        {"ScrollBar_Flanger_Speed_R", 50, "1.25 s a sweep", right},
        {"ScrollBar_Flanger_Tone", 48, "96 %", [](const F& f) { return percent_text(f.L.feedback); }},
        {"ScrollBar_ChorusTone", 1, "3.48 ms (167 samples)", chorus},
        {"ScrollBar_ChorusTone", 100, "412.5 ms (19800 samples)", chorus},
    });
    // Ganged, the right sweep runs at the left one's speed whatever its own slider shows.
    k.f->CheckRadioBox_Gang.set_checked(true);
    k.f->ScrollBar_Flanger_Speed_R.set_position(100);
    EXPECT_EQ(k.f->ScrollBar_Flanger_Speed_R.unit_value(), "62.5 s a sweep");
    EXPECT_EQ(right(*k.f), "62.5 s a sweep");
}

TEST(UnitsOfKind, Wah) {
    using F = Twah_form;
    // Where the filter resonates at the stored turning point and resonance: what one hears.
    auto hz = [](const F& f, float fc) { return hz_text(wah_cutoff_hz(fc, f.res, kRate)); };
    Kind<F>().check({
        {"ScrollBar_Fc", 190, "18.7 kHz", [hz](const F& f) { return hz(f, f.start); }},
        {"ScrollBar_Fc", 10, "457 Hz", [hz](const F& f) { return hz(f, f.start); }},
        {"ScrollBar_deviation", 50, "2.60 kHz", [hz](const F& f) { return hz(f, f.stop); }},
        {"ScrollBar_res", 39, "x3.9", [](const F& f) { return resonance_text(f.res); }},
        // 0.05 to 0.25 at x1.0006 a step: about 2683 steps.
        {"ScrollBar_Speed", 100, "55.9 ms up, x1.0006 a step",
         [](const F& f) {
             const double up = f.up_factor;
             return period_text(std::log(f.stop / f.start) / std::log(up), kRate) + " up, " + factor_text(up) + " a step";
         }},
        {"ScrollBar_Level", 100, "+20.8 dB (x11)", [](const F& f) { return gain(f.level); }},
    });
}

TEST(UnitsOfKind, Playback) {
    // Its slider moves nothing: the track always plays at x1, and the editor says so.
    Kind<TReadWav>().check({
        {"spSkinScrollBar1", 0, "0.0 dB (x1)", [](const TReadWav& f) { return gain(f.play_gain); }},
        {"spSkinScrollBar1", 100, "0.0 dB (x1)", [](const TReadWav& f) { return gain(f.play_gain); }},
    });
}

// A new instance processes with values of its own until a slider moves; the editor shows those,
// not what the sliders' positions would give.
TEST(UnitsOfKind, NewInstanceShowsWhatItProcessesWith) {
    effects_startup();
    const struct {
        EffectKind kind;
        const char* slider;
        const char* text;
    } cases[] = {
        {4, "Page_porog", "-36.3 dBFS"},                 // threshold 500 while the page shows 0
        {3, "ScrollBar_Sharp", "knee -12.5 dBFS"},       // K = 6e7, not the 3e7 of position 48
        {6, "ScrollBar_Tone2_k3", "-30.3 dBFS"},         // knee input 1000, not 500
        {9, "ScrollBar_Flanger_Speed", "1.67 s a sweep"},  // 0.0075 a sample, not 0.002
        {10, "ScrollBar_Speed", "335.3 ms up, x1.0001 a step"},
        {1, "ScrollBar_Porog_Max", "-30.3 dBFS"},        // 1000
    };
    for (const auto& c : cases) {
        EffectInstance inst = get_registry().create[c.kind]();
        EXPECT_EQ(inst->form->find_as<Slider>(c.slider)->unit_value(), c.text) << kind_name(c.kind);
        force_destroy_instance(inst);
    }
}

// Every slider of every kind says something, except the one that is never shown.
TEST(UnitsOfKind, EverySliderHasAUnit) {
    for (EffectKind k = 1; k < kKindCount; ++k) {
        if (!kind_available(k)) continue;
        EffectInstance inst = get_registry().create[k]();
        for (Control* c : inst->form->controls())
            if (c->type() == Control::Type::Slider && c->visible())
                EXPECT_FALSE(static_cast<Slider*>(c)->unit_value().empty()) << kind_name(k) << " " << c->name();
        force_destroy_instance(inst);
    }
}

}  // namespace
}  // namespace vx
