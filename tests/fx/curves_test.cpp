// The pictures in the editors show what the effect does: each is checked against the kind's own
// processing (sines through the EQ, a ramp through a distortion, an impulse through the Delay and the
// Reverberator), and drawing one leaves the instance the audio thread runs as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "CompTortions.h"
#include "MultiTortions.h"
#include "delays.h"
#include "distortion1.h"
#include "eq8.h"
#include "fx_helpers.h"
#include "limiter_form.h"
#include "reverb.h"
#include "wahs.h"

namespace vx {
namespace {

using test::Instance;

const Curve::Series& series_named(const Curve& c, const std::string& name) {
    for (const auto& s : c.series())
        if (s.name == name) return s;
    ADD_FAILURE() << c.name() << " has no series \"" << name << "\"";
    static const Curve::Series none;
    return none;
}

// Moves controls by name as a user would: a slider to a position, a check box to 0 or 1.
using Moves = std::vector<std::pair<std::string, int>>;
void move(Form& f, const Moves& moves) {
    for (const auto& [name, v] : moves) {
        if (auto* s = f.find_as<Slider>(name))
            s->set_position(v);
        else if (auto* b = f.find_as<CheckBox>(name))
            b->set_checked(v != 0);
        else
            ADD_FAILURE() << "no control " << name;
    }
}

// Steady-state gain in dB of `channel` for a sine at `hz` through a fresh instance: a second to
// settle, then the amplitude from one second of correlation with the sine.
double measured_db(EffectKind kind, const Moves& moves, int channels, int channel, double hz) {
    Instance inst(kind);
    move(*static_cast<Form*>(inst.cell()->form), moves);
    constexpr int kRate = 48000, kSettle = 48000, kMeasure = 48000;
    constexpr double kAmp = 1000.0;
    std::vector<float> buf(static_cast<size_t>(kSettle + kMeasure) * channels);
    const double w = 2.0 * std::numbers::pi * hz / kRate;
    for (int i = 0; i < kSettle + kMeasure; ++i)
        for (int c = 0; c < channels; ++c) buf[static_cast<size_t>(i * channels + c)] = static_cast<float>(kAmp * std::sin(w * i));
    inst.process(buf, channels, 480, kRate);
    double re = 0.0, im = 0.0;
    for (int i = kSettle; i < kSettle + kMeasure; ++i) {
        const double y = buf[static_cast<size_t>(i * channels + channel)];
        re += y * std::cos(w * i);
        im += y * std::sin(w * i);
    }
    return 20.0 * std::log10(2.0 * std::hypot(re, im) / kMeasure / kAmp);
}

// --- EQ ------------------------------------------------------------------------------------------

struct EqCase {
    const char* what;
    int channels, channel;
    const char* series;
    Moves moves;
};

TEST(Curves, EqResponseEqualsTheGainOfSinesThroughTheKind) {
    const std::vector<EqCase> cases = {
        {"new instance, mono", 1, 0, "left, mono", {}},
        {"bands and every filter, mono with the low cut", 1, 0, "mono",
         {{"ScrollBar_EQ8_125", 20}, {"ScrollBar_EQ8_850", 80}, {"ScrollBar_EQ8_34", 10}, {"ScrollBar_EQ8_FNC_LM", 30},
          {"CheckRadioBox_FVC_OnOff", 1}, {"ScrollBar_LPF_1", 150}, {"ScrollBar_Q", 3},
          {"CheckRadioBox_FNC_OnOff", 1}, {"ScrollBar_fnc_FC", 30}, {"ScrollBar_fnc_res", 15},
          {"CheckRadioBox_Shelf", 1}, {"ScrollBar_Shelf_fvc_F", 40}, {"ScrollBar_Shelf_fvc_G", 20},
          {"CheckRadioBox_fnc_2000_OnOff", 1}, {"ScrollBar_fnc_2000", 3}, {"CheckRadioBox_Filter_Notch", 1}}},
        {"right bank of its own, stereo", 2, 1, "right",
         {{"Gang", 0}, {"ScrollBar_EQ8_250s", 5}, {"ScrollBar_EQ8_50s", 90}, {"ScrollBar_EQ8GR", 40},
          {"ScrollBar_EQ8_FNC_R", 60}, {"CheckRadioBox_FVC_OnOff", 1}, {"ScrollBar_LPF_1", 400}}},
    };
    for (const EqCase& c : cases) {
        SCOPED_TRACE(c.what);
        TEQ8_form eq;
        eq.create_defaults();
        move(eq, c.moves);
        const Curve::Series& s = series_named(eq.Curve_Response, c.series);
        ASSERT_EQ(s.x.size(), s.y.size());
        ASSERT_GE(s.x.size(), 200u);
        // Ten points from 30 Hz to 15 kHz.
        for (int k = 0; k < 10; ++k) {
            const size_t i = static_cast<size_t>(std::lround((s.x.size() - 1) * (0.06 + 0.09 * k)));
            const double want = measured_db(2, c.moves, c.channels, c.channel, s.x[i]);
            if (want < -60.0) {
                EXPECT_LT(s.y[i], -55.0) << s.x[i] << " Hz";
                continue;
            }
            EXPECT_NEAR(s.y[i], want, 0.05) << s.x[i] << " Hz";
        }
    }
}

TEST(Curves, EqResponseFollowsTheControlsAndTheRate) {
    TEQ8_form eq;
    eq.create_defaults();
    const int before = eq.Curve_Response.computations();
    eq.Curve_Response.series();
    eq.Curve_Response.series();
    EXPECT_EQ(eq.Curve_Response.computations(), before + 1) << "computed again without a change";
    eq.ScrollBar_EQ8_850.set_position(0);  // +21 dB at 850 Hz
    EXPECT_TRUE(eq.Curve_Response.stale());
    const double at850 = eq.response_db(1, 850.0);
    EXPECT_GT(at850, 15.0);
    // The engine runs at 44100 now: the timer notices, and the bands (designed for 48000) move down.
    std::vector<float> block(2 * 64, 0.0f);
    eq.Curve_Response.series();
    eq.EQ8_dsp(64, 44100, 2, block.data());
    eq.Timer_Response.tick();
    EXPECT_TRUE(eq.Curve_Response.stale());
    EXPECT_NEAR(eq.response_db(1, 850.0 * 44100.0 / 48000.0), at850, 1e-9);
}

// --- transfer curves -------------------------------------------------------------------------------

struct RampCase {
    const char* what;
    EffectKind kind;
    int channels;
    const char* series;
    int channel;
    Moves moves;
    std::function<const Curve&(Form&)> curve;
};

TEST(Curves, TransferCurveEqualsTheKindsOutputOnASlowRamp) {
    auto limiter = [](Form& f) -> const Curve& { return static_cast<Tlimiter_form&>(f).Curve_Transfer; };
    auto soft_hard = [](Form& f) -> const Curve& { return static_cast<TDistortion1_form&>(f).Curve_Transfer; };
    const std::vector<RampCase> cases = {
        {"Simple, new, mono", 4, 1, "mono", 0, {}, limiter},
        {"Simple, slope and smoothing, mono", 4, 1, "mono", 0,
         {{"ScrollBar_Limiter_Porog", 3000}, {"ScrollBar_koeff_R", 60}, {"ScrollBar_FNC_1", 20}, {"ScrollBar_FNC_2", 90},
          {"Page_gain", 30}, {"ScrollBar_Koeff", 80}},
         limiter},
        {"Simple, power law, stereo", 4, 2, "stereo", 0,
         {{"CheckBox_soft_limiter", 1}, {"Page_gain", 70}, {"Page_colorl", 95}}, limiter},
        {"Simple, circuit, mono", 4, 1, "mono", 0, {{"CheckBox_soft_limiter", 1}}, limiter},
        {"Soft/Hard, new, left", 6, 2, "left, mono", 0, {}, soft_hard},
        {"Soft/Hard, set, right", 6, 2, "right", 1,
         {{"ScrollBar_Gain_In", 80}, {"ScrollBar_Gain_Out", 30}, {"ScrollBar_Tone1_k4", 25000},
          {"ScrollBar_Tone2_k3", 200}, {"ScrollBar_Smooth_k2", 35}, {"ScrollBar_Color_N", 100}},
         soft_hard},
    };
    for (const RampCase& c : cases) {
        SCOPED_TRACE(c.what);
        Instance shown(c.kind), reference(c.kind);
        Form& form = *static_cast<Form*>(shown.cell()->form);
        move(form, c.moves);
        move(*static_cast<Form*>(reference.cell()->form), c.moves);
        const Curve::Series& s = series_named(c.curve(form), c.series);
        ASSERT_EQ(s.x.size(), static_cast<size_t>(kRampPoints));
        // The same ramp through the registry's entry point, in blocks of another size.
        std::vector<float> ramp(static_cast<size_t>(kRampHold + kRampLength) * c.channels);
        for (int32_t i = 0; i < kRampHold + kRampLength; ++i)
            for (int ch = 0; ch < c.channels; ++ch)
                ramp[static_cast<size_t>(i * c.channels + ch)] = ramp_value(i - kRampHold);
        reference.process(ramp, c.channels, 480);
        double largest = 0.0;
        for (int k = 0; k < kRampPoints; ++k) {
            const size_t at = static_cast<size_t>(kRampHold + ramp_point(k)) * c.channels + c.channel;
            ASSERT_EQ(s.x[static_cast<size_t>(k)], ramp_value(ramp_point(k)));
            ASSERT_EQ(s.y[static_cast<size_t>(k)], ramp[at]) << "point " << k;
            largest = std::max(largest, std::fabs(s.y[static_cast<size_t>(k)]));
        }
        EXPECT_GT(largest, 0.0);
    }
}

// A held level with alternating sign passes the band split whole (Color at the top keeps 0.05 % of
// it in the low band), so the compressor's envelope fills with it: |output| is the static law.
TEST(Curves, CompressorLawEqualsTheOutputForAHeldLevel) {
    for (const Moves& moves : std::vector<Moves>{{{"ScrollBar_Color", 100}},
                                                 {{"ScrollBar_Color", 100}, {"ScrollBar_Drive", 80}, {"ScrollBar_Distortion", 30},
                                                  {"ScrollBar_Softness2", 20}, {"ScrollBar_Sharp", 10}, {"SkinScroll_Level", 60}},
                                                 {{"ScrollBar_Color", 100}, {"ScrollBar_Distortion", 0}, {"ScrollBar_Popravka", 80}}}) {
        Instance shown(3);
        auto& form = shown.as<TCompTortion_form>();
        move(form, moves);
        const Curve::Series& s = form.Curve_Law.series().at(0);
        for (int k : {140, 150, 170, 200, 230, 256}) {
            SCOPED_TRACE(k);
            Instance held(3);
            move(held.as<TCompTortion_form>(), moves);
            const double level = s.x[static_cast<size_t>(k)];
            std::vector<float> buf(8000);
            for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<float>(i % 2 ? -level : level);
            held.process(buf, 1);
            EXPECT_NEAR(std::fabs(buf.back()), std::fabs(s.y[static_cast<size_t>(k)]), 0.002 * std::fabs(s.y[static_cast<size_t>(k)]) + 0.01);
            // Odd: the law acts on the magnitude.
            EXPECT_EQ(s.y[static_cast<size_t>(kRampPoints - 1 - k)] < 0.0, s.y[static_cast<size_t>(k)] > 0.0);
        }
    }
}

TEST(Curves, PlusShapersFollowTheirSwitchesAndTheBandThreshold) {
    Instance inst(5);
    auto& plus = inst.as<TMultiTortion_form>();
    plus.CheckBox_True.set_checked(true);
    plus.spSkinScrollBar[17]->set_position(60);  // band 1's threshold
    const float T = plus_threshold(60);
    const auto& s = plus.Curve_Shapers.series();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1].name, "True");
    for (size_t k = 0; k < s[1].x.size(); ++k) {
        const double u = s[1].x[k];
        if (std::fabs(u) < T) EXPECT_EQ(s[1].y[k], u);
        // Above the threshold the slope is 0.01.
        else EXPECT_NEAR(s[1].y[k], (u > 0 ? 1 : -1) * (T + 0.01 * (std::fabs(u) - T)), 0.01);
        // Standard folds everything back below its level, 200.
        EXPECT_LE(std::fabs(s[0].y[k]), 200.0f);
    }
}

// --- Delay ------------------------------------------------------------------------------------------

TEST(Curves, DelayBarsEqualTheEchoesOfAnImpulse) {
    for (int channels : {1, 2})
        for (const Moves& moves : std::vector<Moves>{{},
                                                     {{"ScrollBar_Delay_Time", 10}, {"ScrollBar_Delay_Decay", 70},
                                                      {"ScrollBar_Delay_Gain", 90}, {"ScrollBar_Delay_I_Gain", 30}}}) {
            Instance inst(8);
            auto& delay = inst.as<TDelay_form>();
            move(delay, moves);
            const int D = delay.delay_samples;
            std::vector<float> buf(static_cast<size_t>(5 * D + 1000) * channels, 0.0f);
            for (int c = 0; c < channels; ++c) buf[static_cast<size_t>(c)] = 10000.0f;
            inst.process(buf, channels);
            for (int c = 0; c < channels; ++c) {
                SCOPED_TRACE(std::to_string(channels) + " channels, channel " + std::to_string(c));
                const auto& bars = delay.Curve_Taps.series().at(static_cast<size_t>(c));
                // Every sample that is not silence is a bar, and every bar is such a sample.
                std::vector<std::pair<int, double>> echoes;
                for (size_t i = 0; i * channels < buf.size(); ++i)
                    if (buf[i * channels + c] != 0.0f) echoes.emplace_back(static_cast<int>(i), buf[i * channels + c] / 10000.0);
                ASSERT_EQ(echoes.size(), bars.x.size());
                for (size_t k = 0; k < echoes.size(); ++k) {
                    EXPECT_NEAR(bars.x[k], echoes[k].first * 1000.0 / 48000.0, 1e-9);
                    EXPECT_NEAR(bars.y[k], echoes[k].second, 1e-5);
                }
            }
        }
}

// --- Reverberator ----------------------------------------------------------------------------------

TEST(Curves, ReverbDecayIsTheEnergyOfAnImpulseResponseAndWaitsForTheSlidersToRest) {
    Instance shown(7), reference(7);
    auto& rev = shown.as<Treverb_form>();
    const Moves moves = {{"ScrollBar_Mono_Decay", 90}, {"ScrollBar_Mono_Delay", 2000}, {"ScrollBar_Left_Brightness", 30},
                         {"ScrollBar_Right_Decay", 40}, {"ScrollBar_Gain_Mono", 70}};
    move(rev, moves);
    move(reference.as<Treverb_form>(), moves);
    // Drawn at the first look; while a slider moves the picture keeps what it showed, and kDecayRest
    // ticks of rest draw it once more.
    rev.Curve_Decay.series();
    const int before = rev.Curve_Decay.computations();
    for (int step = 0; step < 5; ++step) {
        rev.ScrollBar_Mono_Brightness.set_position(60 + step);
        rev.Timer_Decay.tick();
        EXPECT_FALSE(rev.Curve_Decay.stale());
        rev.Curve_Decay.series();
    }
    EXPECT_EQ(rev.Curve_Decay.computations(), before);
    for (int t = 0; t < Treverb_form::kDecayRest; ++t) rev.Timer_Decay.tick();
    EXPECT_TRUE(rev.Curve_Decay.stale());
    rev.Curve_Decay.series();
    rev.Timer_Decay.tick();
    rev.Curve_Decay.series();
    EXPECT_EQ(rev.Curve_Decay.computations(), before + 1);
    reference.as<Treverb_form>().ScrollBar_Mono_Brightness.set_position(64);

    for (int channels : {1, 2}) {
        std::vector<float> ir(48000 * channels, 0.0f);
        for (int c = 0; c < channels; ++c) ir[static_cast<size_t>(c)] = 32767.0f;
        Instance fresh(7);
        fresh.put(reference.get());
        fresh.as<Treverb_form>().damp1 = reference.as<Treverb_form>().damp1.load();
        fresh.as<Treverb_form>().damp2 = reference.as<Treverb_form>().damp2.load();
        fresh.process(ir, channels);
        for (int c = 0; c < channels; ++c) {
            const auto& s = series_named(rev.Curve_Decay, channels == 1 ? "mono" : c == 0 ? "left" : "right");
            ir[static_cast<size_t>(c)] -= 32767.0f;
            const int window = 48000 * Treverb_form::kDecayWindowMs / 1000;
            ASSERT_EQ(s.y.size(), static_cast<size_t>(48000 / window));
            for (size_t w = 0; w < s.y.size(); ++w) {
                double e = 0.0;
                for (int i = 0; i < window; ++i) {
                    const double v = ir[(w * window + i) * channels + c];
                    e += v * v;
                }
                const double db = e > 0 ? 10.0 * std::log10(e / (32767.0 * 32767.0)) : -240.0;
                EXPECT_NEAR(s.y[w], std::max(db, -240.0), 1e-6) << "window " << w;
            }
            // A tail that decays: the last window is far below the loudest.
            EXPECT_LT(s.y.back(), *std::max_element(s.y.begin(), s.y.end()) - 20.0);
        }
    }
}

// --- Wah ---------------------------------------------------------------------------------------------

TEST(Curves, WahCutOffMovesWithTheEngineInsideTheSweep) {
    Instance inst(10);
    auto& wah = inst.as<Twah_form>();
    wah.ScrollBar_Speed.set_position(199);
    const auto marker = [&] { return wah.Curve_Sweep.series().at(1).x.at(0); };
    const auto& span = wah.Curve_Sweep.series().at(0).x;
    const double lo = span.at(0), hi = span.at(1);
    std::vector<double> seen;
    for (int block = 0; block < 40; ++block) {
        std::vector<float> buf = test::noise(2 * 480, static_cast<uint32_t>(block + 1));
        inst.process(buf, 2);
        wah.Timer_Sweep.tick();
        seen.push_back(marker());
        EXPECT_GE(seen.back(), lo * 0.999);
        EXPECT_LE(seen.back(), hi * 1.01);
    }
    EXPECT_GT(*std::max_element(seen.begin(), seen.end()), *std::min_element(seen.begin(), seen.end()) * 1.5);
    // The marked cut-off lies at the filter's resonance peak, within 10 % (resonance 3).
    const auto& response = wah.Curve_Sweep.series().at(2);
    const size_t peak = static_cast<size_t>(std::max_element(response.y.begin(), response.y.end()) - response.y.begin());
    EXPECT_NEAR(response.x[peak] / marker(), 1.0, 0.1);
}

// --- the audio thread's instance -----------------------------------------------------------------

// Drawing from a private instance leaves the one that processes untouched: the same output as a
// twin that nobody draws.
TEST(Curves, DrawingLeavesTheProcessingInstanceAsItWas) {
    for (EffectKind k : {2, 3, 4, 5, 6, 7, 8, 10}) {
        SCOPED_TRACE(kind_name(k));
        Instance drawn(k), twin(k);
        Form& form = *static_cast<Form*>(drawn.cell()->form);
        for (int block = 0; block < 6; ++block) {
            std::vector<float> a = test::noise(2 * 512, static_cast<uint32_t>(block + 7)), b = a;
            drawn.process(a, 2, 512);
            twin.process(b, 2, 512);
            ASSERT_EQ(a, b) << "block " << block;
            for (Control* c : form.controls())
                if (c->type() == Control::Type::Curve) {
                    static_cast<Curve*>(c)->invalidate();
                    static_cast<Curve*>(c)->series();
                }
            if (k == 7) static_cast<Treverb_form&>(form).Timer_Decay.tick();
        }
    }
}

}  // namespace
}  // namespace vx
