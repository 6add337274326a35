#include "eq8.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;
using cplx = std::complex<double>;
constexpr EffectKind kEq8 = 2;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// --- a plain scalar model of the whole kind, sample by sample, channel by channel -----------------

struct RefBank {
    float a0[9], a1[9], a2[9], w[9], gain;
    float x1 = 0, x2 = 0, y1[9] = {}, y2[9] = {};
    float run(float x, float& s, float d) {
        double acc = 0.0;
        for (int j = 0; j < 9; ++j) {
            const float y = static_cast<float>(((static_cast<double>(x) - x2) - static_cast<double>(a1[j]) * y1[j] -
                                                static_cast<double>(a2[j]) * y2[j]) / a0[j]);
            y2[j] = y1[j];
            y1[j] = y;
            acc += static_cast<double>(y) * w[j];
        }
        x2 = x1;
        x1 = x;
        s = static_cast<float>(static_cast<double>(s) * d + (1.0 - d) * acc);
        return s * gain;
    }
};

struct RefBiquad {
    float x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    float run(float x, float A0, float A1, float A2) {
        using L = long double;
        const float y = static_cast<float>((L(x) - (L(x1) + x1) + x2 - (L(A1) * y1 + L(A2) * y2)) / A0);
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// The equalizer's four-pole stage: the shared reference, rounded to float32 as the stage stores it.
struct RefFourPole : test::ReferenceFourPole {
    float run(float x, double f, double fb) { return static_cast<float>(step(x, f, fb)); }
};

struct RefFifth {
    double xv[6] = {}, yv[6] = {};
    void shift(double x0) {
        for (int k = 0; k < 5; ++k) xv[k] = xv[k + 1], yv[k] = yv[k + 1];
        xv[5] = x0;
    }
    float speaker(float x, const SpeakerRow& r) {
        using L = long double;
        shift(x / r.gain);
        yv[5] = static_cast<double>((L(xv[0]) + xv[5]) + 5.0L * (L(xv[1]) + xv[4]) + 10.0L * (L(xv[2]) + xv[3]) +
                                    L(r.c[0]) * yv[0] + L(r.c[1]) * yv[1] + L(r.c[2]) * yv[2] + L(r.c[3]) * yv[3] +
                                    L(r.c[4]) * yv[4]);
        return static_cast<float>(yv[5]);
    }
    float low_cut(float x) {
        using L = long double;
        shift(x / 1.019684607);
        yv[5] = static_cast<double>((L(xv[5]) - xv[0]) + 5.0L * (L(xv[1]) - xv[4]) + 10.0L * (L(xv[3]) - xv[2]) +
                                    0.961746123L * yv[0] - 4.8462783871L * yv[1] + 9.7683493471L * yv[2] -
                                    9.8448479614L * yv[3] + 4.961030878L * yv[4]);
        return static_cast<float>(yv[5]);
    }
};

// Settings are read from a form once; the memories then run on as in the instance.
struct Ref {
    RefBank left, right;
    float d_mono, d_left, d_right, s_mono = 0, s_left = 0, s_right = 0;
    bool eq, hp, lp, shelf, speaker, low_cut;
    float A[3], B[3], shelf_gain;
    double f, fb;
    SpeakerRow row;
    RefBiquad hp_M, hp_L, shelf_M, shelf_L;
    RefFourPole lp_A, lp_B;
    RefFifth sp_A, sp_B, lc;

    explicit Ref(TEQ8_form& form) {
        for (int side = 0; side < 2; ++side) {
            EqBank& b = side == 0 ? form.left_bank : form.right_bank;
            RefBank& r = side == 0 ? left : right;
            for (int j = 0; j < 9; ++j) {
                r.a0[j] = b.a0[j];
                r.a1[j] = b.a1[j];
                r.a2[j] = b.a2[j];
                r.w[j] = b.weights[j];
            }
            r.gain = b.output_gain;
        }
        d_mono = form.smooth_d_mono;
        d_left = form.smooth_d_left;
        d_right = form.smooth_d_right;
        eq = form.eq_on;
        hp = form.hp_on;
        lp = form.lp_on;
        shelf = form.shelf_on;
        speaker = form.speaker_on;
        low_cut = form.low_cut_on;
        const SecondOrderSet hs = form.hp_coefficients(), ss = form.shelf_coefficients();
        A[0] = hs.A0, A[1] = hs.A1, A[2] = hs.A2;
        B[0] = ss.A0, B[1] = ss.A1, B[2] = ss.A2;
        shelf_gain = form.shelf_gain;
        f = static_cast<double>(1.16L * static_cast<double>(form.lp_fc));
        fb = static_cast<double>((1.0L - 0.15L * f * f) * static_cast<double>(form.lp_res));
        row = kSpeakerRows[form.ScrollBar_fnc_2000.position()];
    }
    float shelf_run(RefBiquad& m, float x) {
        const float y = m.run(x, B[0], B[1], B[2]);
        return static_cast<float>(static_cast<long double>(y) * shelf_gain + x);
    }
    // One channel through the five stages in their order; `left` picks the stereo left sets.
    float filters(float v, bool mono, bool is_left) {
        if (hp) v = (mono || !is_left ? hp_M : hp_L).run(v, A[0], A[1], A[2]);
        if (lp) v = (mono || is_left ? lp_A : lp_B).run(v, f, fb);
        if (shelf) v = shelf_run(mono || !is_left ? shelf_M : shelf_L, v);
        if (speaker) v = (mono || is_left ? sp_A : sp_B).speaker(v, row);
        if (low_cut && mono) v = lc.low_cut(v);
        return v;
    }
    void process(std::vector<float>& buf, int channels) {
        if (channels == 1) {
            for (float& v : buf) v = filters(eq ? left.run(v, s_mono, d_mono) : v, true, true);
            return;
        }
        for (size_t i = 0; i < buf.size(); i += 2) {
            buf[i] = filters(eq ? left.run(buf[i], s_left, d_left) : buf[i], false, true);
            buf[i + 1] = filters(eq ? right.run(buf[i + 1], s_right, d_right) : buf[i + 1], false, false);
        }
    }
};

void expect_same(const std::vector<float>& got, const std::vector<float>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(bits(got[i]), bits(want[i])) << what << ": sample " << i << " got " << got[i] << " want " << want[i];
}

// Steady-state gain per channel for a sine of `hz` at `rate` (the same sine on both channels).
std::array<double, 2> sine_gain(Instance& eq, double hz, int rate, int channels) {
    const int frames = rate * 3 / 2, measured = rate / 2;
    std::vector<float> buf(static_cast<size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            buf[static_cast<size_t>(i) * channels + c] = static_cast<float>(1000.0 * std::sin(2 * std::numbers::pi * hz * i / rate));
    eq.process(buf, channels, 480, rate);
    std::array<double, 2> gains{};
    for (int c = 0; c < channels; ++c) {
        double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
        for (int i = frames - measured; i < frames; ++i) {
            const double s = std::sin(2 * std::numbers::pi * hz * i / rate), k = std::cos(2 * std::numbers::pi * hz * i / rate);
            const double y = buf[static_cast<size_t>(i) * channels + c];
            ss += s * s, cc += k * k, sc += s * k, ys += y * s, yc += y * k;
        }
        const double det = ss * cc - sc * sc;
        const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
        gains[static_cast<size_t>(c)] = std::hypot(a, b) / 1000.0;
    }
    return gains;
}

// |b(z) / a(z)| at z = e^{j w}, coefficients from z^0 up.
double response(const std::vector<double>& b, const std::vector<double>& a, double hz, double rate) {
    const cplx z1 = std::polar(1.0, -2 * std::numbers::pi * hz / rate);
    cplx nb = 0, na = 0, zk = 1;
    for (size_t k = 0; k < std::max(a.size(), b.size()); ++k, zk *= z1) {
        if (k < b.size()) nb += b[k] * zk;
        if (k < a.size()) na += a[k] * zk;
    }
    return std::abs(nb / na);
}

cplx band_response(const EqBank& bank, int j, double hz, double rate) {
    const cplx z1 = std::polar(1.0, -2 * std::numbers::pi * hz / rate);
    return (1.0 - z1 * z1) / (static_cast<double>(bank.a0[j]) + static_cast<double>(bank.a1[j]) * z1 +
                              static_cast<double>(bank.a2[j]) * z1 * z1);
}

// --- laws -----------------------------------------------------------------------------------------

TEST(Eq8Laws, BandCoefficientsAt48000) {
    const float table[9][3] = {
        {382.97098f, -763.91943f, 380.97098f}, {153.78656f, -305.53876f, 151.78656f}, {77.390007f, -152.71130f, 75.390007f},
        {39.188457f, -76.284897f, 37.188457f}, {20.081137f, -37.978344f, 18.081137f}, {13.706204f, -24.862440f, 11.706204f},
        {8.5957537f, -13.829948f, 6.5957541f}, {4.7320509f, -5.8097720f, 2.7320509f}, {5.2887659f, -4.4038067f, 3.2887661f},
    };
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    for (int j = 0; j < 9; ++j) {
        const BandPassCoefficients c = band_pass_design(kEqCentreHz[j], kEqBandwidthHz[j]);
        EXPECT_EQ(c.a0, table[j][0]) << "band " << j;
        EXPECT_EQ(c.a1, table[j][1]) << "band " << j;
        EXPECT_EQ(c.a2, table[j][2]) << "band " << j;
        for (const EqBank* b : {&form.left_bank, &form.right_bank}) {
            EXPECT_EQ(b->a0[j], c.a0);
            EXPECT_EQ(b->a1[j], c.a1);
            EXPECT_EQ(b->a2[j], c.a2);
            EXPECT_EQ(b->centre_hz[j], kEqCentreHz[j]);
            EXPECT_EQ(b->bandwidth_hz[j], kEqBandwidthHz[j]);
        }
        // Peak gain close to 1 at the centre.
        const double peak = std::abs(band_response(form.left_bank, j, kEqCentreHz[j], 48000));
        EXPECT_GT(peak, 0.965) << j;
        EXPECT_LT(peak, 1.0 + 1e-6) << j;
    }
}

TEST(Eq8Laws, WeightGainAndTrebleCutTables) {
    struct W { int position; float weight; };
    for (const W c : {W{51, 10.0f}, W{50, 12.0f}, W{0, 112.0f}, W{100, 0.9259259f}, W{45, 22.0f}, W{56, 10.0f / 2.0f}})
        EXPECT_EQ(bits(eq8_band_weight(101 - c.position)), bits(c.weight)) << "position " << c.position;
    struct G { int position; float gain; };
    for (const G c : {G{50, 0.1f}, G{0, static_cast<float>(0.1L * 11.0L)}, G{100, static_cast<float>(0.1L / 11.0L)},
                      G{45, static_cast<float>(0.1L * 2.0L)}, G{55, static_cast<float>(0.1L / 2.0L)}})
        EXPECT_EQ(bits(eq8_output_gain(c.position)), bits(c.gain)) << "position " << c.position;
    EXPECT_FLOAT_EQ(eq8_output_gain(0), 1.1f);
    EXPECT_NEAR(eq8_output_gain(100), 0.1 / 11, 1e-9);
    struct T { int position; float d; };
    for (const T c : {T{0, 0.001f}, T{1, 0.1f}, T{25, 0.5f}, T{64, 0.8f}, T{81, 0.9f}, T{100, 0.999f}})
        EXPECT_EQ(bits(eq8_treble_cut(c.position)), bits(c.d)) << "position " << c.position;
}

TEST(Eq8Laws, HighPassDesignAndDampings) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    auto expect_design = [&](SecondOrderSet set, double rate, double fc, float k, const char* what) {
        const float A0 = set.A0, A1 = set.A1, A2 = set.A2;
        const double c = static_cast<double>(std::tan(3.141592653589L * static_cast<float>(fc) / static_cast<float>(rate)));
        EXPECT_EQ(A0, static_cast<float>(c * c + k * c + 1.0)) << what;
        EXPECT_EQ(A1, static_cast<float>(c * c - 2.0)) << what;
        EXPECT_EQ(A2, static_cast<float>(c * c - k * c + 1.0)) << what;
    };
    expect_design(form.hp_coefficients(), 48000, 100, 1.41f, "high-pass at creation");
    expect_design(form.shelf_coefficients(), 48000, 2500, 1.41f, "shelf at creation");
    form.ScrollBar_Q.set_position(10);
    EXPECT_EQ(form.hp_k.load(), 0.141f);
    form.ScrollBar_Q.set_position(1);
    EXPECT_EQ(form.hp_k.load(), 1.41f);
    form.ScrollBar_Shelf_fvc_F.set_position(100);
    EXPECT_EQ(form.shelf_hz.load(), 5000.0f);
    expect_design(form.shelf_coefficients(), 48000, 5000, 1.41f, "shelf at 5000 Hz");
    form.ScrollBar_Shelf_fvc_G.set_position(10);
    EXPECT_EQ(form.shelf_gain.load(), 1.0f);
    form.ScrollBar_fnc_FC.set_position(99);
    form.ScrollBar_fnc_res.set_position(39);
    EXPECT_EQ(form.lp_fc.load(), 0.99);
    EXPECT_EQ(form.lp_res.load(), 3.9);
}

// The cut-off slider designs at 48000 Hz, the resonance slider at the last block's rate.
TEST(Eq8Filters, HighPassRedesignRates) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    form.CheckRadioBox_EQ8_OnOff.set_checked(false);
    form.CheckRadioBox_FVC_OnOff.set_checked(true);
    form.ScrollBar_Q.set_position(10);  // before any block: at 48000
    std::vector<float> one(2, 0.0f);
    eq.process(one, 2, 1, 44100);
    EXPECT_EQ(form.sample_rate.load(), 44100.0f);
    form.ScrollBar_LPF_1.set_position(200);
    auto coefficients = [&] {
        const SecondOrderSet a = form.hp_coefficients();
        return std::vector<double>{a.A0, a.A1, a.A2};
    };
    const std::vector<double> hp_num = {1, -2, 1};
    // Where the response of the design in use peaks on a 44100 Hz stream.
    auto peak_hz = [&](const std::vector<double>& a) {
        double best = 0, at = 0;
        for (double hz = 100; hz < 300; hz += 0.05)
            if (const double h = response(hp_num, a, hz, 44100); h > best) best = h, at = hz;
        EXPECT_GT(best, 5.5) << "strong resonance";
        EXPECT_NEAR(sine_gain(eq, at, 44100, 2)[0], best, 1e-3 * best);
        return at;
    };
    const auto at_48000 = coefficients();
    const double moved = peak_hz(at_48000);
    form.ScrollBar_Q.set_position(9);
    const auto at_44100 = coefficients();
    const double kept = peak_hz(at_44100);
    // Designed at 48000 and heard at 44100, the resonance sits 44100/48000 lower.
    EXPECT_NEAR(moved / kept, 44100.0 / 48000.0, 0.005);
    EXPECT_NEAR(kept, 0.87 * 200, 2.0) << "the resonance sits a little below the slider's cut-off";
    // A block at an impossible rate, then the resonance slider: the design in use is kept.
    std::vector<float> none;
    get_registry().process[kEq8](0, 0, 2, none.data(), eq.cell());
    EXPECT_EQ(form.sample_rate.load(), 0.0f);
    form.ScrollBar_Q.set_position(5);
    EXPECT_EQ(coefficients(), at_44100);
    auto buf = noise(2 * 480, 4);
    eq.process(buf, 2);
    for (float v : buf) ASSERT_TRUE(std::isfinite(v));
}

// --- equalizer --------------------------------------------------------------------------------------

TEST(Eq8, NewInstanceIsTheSumOfTheNineBands) {
    for (int channels : {1, 2}) {
        Instance eq(kEq8);
        auto& form = eq.as<TEQ8_form>();
        for (int j = 0; j < 9; ++j) EXPECT_EQ(form.left_bank.weights[j].load(), 10.0f);
        EXPECT_EQ(form.left_bank.output_gain.load(), 0.1f);
        EXPECT_EQ(form.smooth_d_left.load(), 0.0f);
        Ref ref(form);
        const auto in = noise(static_cast<size_t>(channels) * 3000, 11);
        auto got = in, want = in;
        eq.process(got, channels, 480);
        ref.process(want, channels);
        expect_same(got, want, channels == 1 ? "mono" : "stereo");
        EXPECT_NE(got, in);
    }
    for (double hz : {40.0, 300.0, 1000.0, 6000.0, 15000.0}) {
        for (int channels : {1, 2}) {
            Instance eq(kEq8);
            const auto& bank = eq.as<TEQ8_form>().left_bank;
            cplx h = 0;
            for (int j = 0; j < 9; ++j) h += band_response(bank, j, hz, 48000);
            const auto g = sine_gain(eq, hz, 48000, channels);
            for (int c = 0; c < channels; ++c) EXPECT_NEAR(g[static_cast<size_t>(c)], std::abs(h), 2e-4) << hz << " Hz";
        }
    }
}

TEST(Eq8, SettingsMatchThePlainModelInEveryBlockSize) {
    for (int channels : {1, 2}) {
        for (int rate : {48000, 44100}) {
            std::vector<float> first;
            for (int block : {1, 7, 480, 512}) {
                Instance eq(kEq8);
                auto& form = eq.as<TEQ8_form>();
                form.Gang.set_checked(false);
                const int left[10] = {20, 0, 100, 37, 64, 50, 51, 9, 88, 30};
                const int right[10] = {70, 45, 12, 100, 0, 77, 51, 50, 3, 95};
                for (int i = 0; i < 10; ++i) {
                    form.left_sliders[i]->set_position(left[i]);
                    form.right_sliders[i]->set_position(right[i]);
                }
                for (const char* c : {"CheckRadioBox_FVC_OnOff", "CheckRadioBox_FNC_OnOff", "CheckRadioBox_Shelf",
                                      "CheckRadioBox_fnc_2000_OnOff", "CheckRadioBox_Filter_Notch"})
                    form.find_as<CheckBox>(c)->set_checked(true);
                form.ScrollBar_LPF_1.set_position(180);
                form.ScrollBar_Q.set_position(3);
                form.ScrollBar_fnc_FC.set_position(35);
                form.ScrollBar_fnc_res.set_position(25);
                form.ScrollBar_Shelf_fvc_F.set_position(60);
                form.ScrollBar_Shelf_fvc_G.set_position(15);
                form.ScrollBar_fnc_2000.set_position(3);
                Ref ref(form);
                const auto in = noise(static_cast<size_t>(channels) * 6000, 5 + channels);
                auto got = in, want = in;
                eq.process(got, channels, block, rate);
                ref.process(want, channels);
                expect_same(got, want, "all filters on");
                if (first.empty()) first = got;
                expect_same(got, first, "block size");
            }
        }
    }
}

// After a signal the bands and the four-pole ring down below the normal range and settle into
// cycles of a few units of the last place, which the unit repeats rather than computes; a click in
// the silence and a run of negative zeros break such a cycle. All against the plain model.
TEST(Eq8, RingingDownIntoSilenceMatchesThePlainModel) {
    for (int channels : {1, 2}) {
        for (bool filters : {false, true}) {
            for (int block : {7, 480}) {
                Instance eq(kEq8);
                auto& form = eq.as<TEQ8_form>();
                if (filters) {
                    for (const char* c : {"CheckRadioBox_FVC_OnOff", "CheckRadioBox_FNC_OnOff", "CheckRadioBox_Shelf",
                                          "CheckRadioBox_fnc_2000_OnOff", "CheckRadioBox_Filter_Notch"})
                        form.find_as<CheckBox>(c)->set_checked(true);
                    form.ScrollBar_fnc_res.set_position(39);
                }
                Ref ref(form);
                const size_t ch = static_cast<size_t>(channels);
                auto in = noise(ch * 4000, 3 + channels);
                in.resize(ch * 120000, 0.0f);
                in[ch * 70000] = 1e-3f;
                for (size_t i = ch * 90000; i < ch * 90500; ++i) in[i] = -0.0f;
                auto got = in, want = in;
                eq.process(got, channels, block);
                ref.process(want, channels);
                expect_same(got, want, filters ? "filters on" : "bands");
            }
        }
    }
}

TEST(Eq8, ZeroFramesOnlyStoreTheRate) {
    Instance a(kEq8), b(kEq8);
    std::vector<float> untouched = {5.0f, 6.0f};
    get_registry().process[kEq8](0, 22050, 2, untouched.data(), a.cell());
    EXPECT_EQ(untouched, (std::vector<float>{5.0f, 6.0f}));
    EXPECT_EQ(a.as<TEQ8_form>().sample_rate.load(), 22050.0f);
    auto x = noise(2 * 500, 2), y = x;
    a.process(x, 2);
    b.process(y, 2);
    expect_same(x, y, "after an empty block");
}

TEST(Eq8, EqualizerOffPassesAndResumesFromItsMemories) {
    Instance a(kEq8), b(kEq8);
    auto& fa = a.as<TEQ8_form>();
    const auto one = noise(2 * 700, 3), two = noise(2 * 300, 4), three = noise(2 * 900, 5);
    auto x = one, y = one;
    a.process(x, 2);
    b.process(y, 2);
    fa.CheckRadioBox_EQ8_OnOff.set_checked(false);
    auto passed = two;
    a.process(passed, 2);
    expect_same(passed, two, "equalizer off");
    fa.CheckRadioBox_EQ8_OnOff.set_checked(true);
    x = three, y = three;
    a.process(x, 2);
    b.process(y, 2);
    expect_same(x, y, "resumed");
}

TEST(Eq8, BandAndTrebleSliders) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    form.ScrollBar_EQ8_450.set_position(51);  // from 50: the creation weight again
    EXPECT_EQ(form.left_bank.weights[3].load(), 10.0f);
    EXPECT_EQ(form.right_bank.weights[3].load(), 10.0f);
    form.ScrollBar_EQ8_450.set_position(0);
    EXPECT_EQ(form.left_bank.weights[3].load(), 112.0f);
    EXPECT_EQ(form.ScrollBar_EQ8_450s.position(), 0) << "Gang drags the right slider";
    form.ScrollBar_EQ8_80s.set_position(100);
    EXPECT_EQ(form.right_bank.weights[8].load(), 0.9259259f);
    EXPECT_EQ(form.ScrollBar_EQ8_80.position(), 50) << "right sliders never move left ones";
    EXPECT_EQ(form.left_bank.weights[8].load(), 10.0f);
    EXPECT_EQ(form.left_bank.weights[0].load(), 10.0f) << "62 Hz has no slider";
    form.ScrollBar_EQ8_FNC_LM.set_position(100);
    EXPECT_EQ(form.smooth_d_mono.load(), 0.999f);
    EXPECT_EQ(form.smooth_d_left.load(), 0.999f);
    EXPECT_EQ(form.smooth_d_right.load(), 0.999f);
    form.ScrollBar_EQ8G.set_position(0);
    EXPECT_FLOAT_EQ(form.right_bank.output_gain.load(), 1.1f);

    // Reset runs the handlers of the sliders it moves, and only those.
    form.ScrollBar_EQ8_125.set_position(50);
    form.ScrollBar_EQ8_17.set_position(30);
    form.Reset_Left.click();
    for (int b = 1; b <= 8; ++b) {
        const float want = b == 3 || b == 5 ? 12.0f : b == 8 ? 0.9259259f : 10.0f;
        EXPECT_EQ(form.left_bank.weights[b].load(), b == 8 ? 10.0f : want) << b;
        EXPECT_EQ(form.right_bank.weights[b].load(), want) << b;
    }
    EXPECT_EQ(form.left_bank.output_gain.load(), 0.1f);
    EXPECT_EQ(form.smooth_d_left.load(), 0.001f);
    EXPECT_EQ(form.smooth_d_right.load(), 0.001f);
    EXPECT_EQ(form.ScrollBar_EQ8_FNC_R.position(), 0);

    form.Gang.set_checked(false);
    form.ScrollBar_EQ8_17.set_position(20);
    EXPECT_EQ(form.ScrollBar_EQ8_17s.position(), 50);
    form.Copy_Left_to_Right.click();
    EXPECT_EQ(form.ScrollBar_EQ8_17s.position(), 20);
    EXPECT_EQ(form.right_bank.weights[5].load(), eq8_band_weight(81));
    form.ScrollBar_EQ8GR.set_position(90);
    form.ScrollBar_EQ8_FNC_R.set_position(49);
    form.Copy_Right_to_Left.click();
    EXPECT_EQ(form.ScrollBar_EQ8G.position(), 90);
    EXPECT_EQ(form.ScrollBar_EQ8_FNC_LM.position(), 49);
    EXPECT_EQ(form.smooth_d_left.load(), 0.7f);
    form.Reset_Right.click();
    EXPECT_EQ(form.ScrollBar_EQ8GR.position(), 50);
    EXPECT_EQ(form.ScrollBar_EQ8_17s.position(), 50);
    EXPECT_EQ(form.ScrollBar_EQ8_17.position(), 20);
}

// --- filters ----------------------------------------------------------------------------------------

TEST(Eq8Filters, NewInstanceFiltersAreOffAndLowCutIsMonoOnly) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    form.CheckRadioBox_EQ8_OnOff.set_checked(false);
    const auto in = noise(2 * 1000, 8);
    auto buf = in;
    eq.process(buf, 2);
    expect_same(buf, in, "nothing on");
    form.CheckRadioBox_Filter_Notch.set_checked(true);
    eq.process(buf, 2);
    expect_same(buf, in, "low cut on a stereo stream");
    auto mono = in;
    eq.process(mono, 1);
    EXPECT_NE(mono, in);
}

// Quiet, loud, denormal, signed-zero and silent stretches through the high-pass and the shelf: the
// output stays the extended-precision recurrence's, bit for bit, in mono and stereo.
TEST(Eq8Filters, HighPassAndShelfStayExactOnAwkwardSignals) {
    std::vector<float> mono;
    uint32_t seed = 77;
    auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
    };
    for (float scale : {12000.0f, 1.0f, 1e-30f, 1e-41f, 0.0f, 3e30f, 1e-3f})
        for (int i = 0; i < 3000; ++i) mono.push_back(next() * scale);
    for (int i = 0; i < 2000; ++i) mono.push_back(i % 3 == 0 ? -0.0f : 0.0f);
    for (int i = 0; i < 2000; ++i) mono.push_back(i < 1000 ? 5000.0f : -0.0f);
    // Long enough for the rare samples that the double estimate cannot settle.
    for (int i = 0; i < 500000; ++i) mono.push_back(next() * 12000.0f);
    for (int q : {1, 10}) {
        for (const char* which : {"CheckRadioBox_FVC_OnOff", "CheckRadioBox_Shelf"}) {
            for (int channels : {1, 2}) {
                Instance eq(kEq8);
                auto& form = eq.as<TEQ8_form>();
                form.CheckRadioBox_EQ8_OnOff.set_checked(false);
                form.find_as<CheckBox>(which)->set_checked(true);
                form.ScrollBar_Q.set_position(q);
                form.ScrollBar_Shelf_fvc_G.set_position(37);
                form.ScrollBar_Shelf_fvc_F.set_position(q);
                Ref ref(form);
                std::vector<float> in;
                for (size_t i = 0; i < mono.size(); ++i) {
                    in.push_back(mono[i]);
                    if (channels == 2) in.push_back(mono[mono.size() - 1 - i]);
                }
                auto got = in, want = in;
                eq.process(got, channels, 480);
                ref.process(want, channels);
                expect_same(got, want, which);
            }
        }
    }
}

// A mono stream continues the memories of the stereo right channel (high-pass, shelf) or of the
// left channel (equalizer bands, four-pole and speaker low-pass).
TEST(Eq8Filters, MonoSharesMemorySetsWithOneStereoChannel) {
    struct Case { const char* check_box; int shared_channel; };
    for (const Case c : {Case{"CheckRadioBox_FVC_OnOff", 1}, Case{"CheckRadioBox_Shelf", 1},
                         Case{"CheckRadioBox_FNC_OnOff", 0}, Case{"CheckRadioBox_fnc_2000_OnOff", 0},
                         Case{"CheckRadioBox_EQ8_OnOff", 0}}) {
        const auto stereo = noise(2 * 600, 21), mono = noise(300, 22);
        for (int channel : {0, 1}) {
            Instance a(kEq8), b(kEq8);
            for (Instance* i : {&a, &b}) {
                auto& form = i->as<TEQ8_form>();
                form.CheckRadioBox_EQ8_OnOff.set_checked(false);
                form.find_as<CheckBox>(c.check_box)->set_checked(true);
                form.ScrollBar_Q.set_position(4);
            }
            auto s = stereo;
            a.process(s, 2);
            std::vector<float> one(600);
            for (size_t i = 0; i < 600; ++i) one[i] = stereo[2 * i + static_cast<size_t>(channel)];
            b.process(one, 1);
            auto x = mono, y = mono;
            a.process(x, 1);
            b.process(y, 1);
            if (channel == c.shared_channel)
                expect_same(x, y, c.check_box);
            else
                EXPECT_NE(x, y) << c.check_box << " must not share the other channel's memories";
        }
    }
}

// f and fb are taken once per block: a new cut-off reaches the four-pole low-pass at the start of
// the next block, and nowhere else do block sizes matter.
TEST(Eq8Filters, FourPoleTakesANewCutOffAtTheNextBlock) {
    const auto in = noise(2 * 3000, 31);
    auto run = [&](int block, int change_requested_at, int& change_applied_at) {
        Instance eq(kEq8);
        auto& form = eq.as<TEQ8_form>();
        form.CheckRadioBox_EQ8_OnOff.set_checked(false);
        form.CheckRadioBox_FNC_OnOff.set_checked(true);
        std::vector<float> out = in;
        change_applied_at = -1;
        for (int at = 0; at < 3000; at += block) {
            if (change_applied_at < 0 && at >= change_requested_at) {
                form.ScrollBar_fnc_FC.set_position(60);
                form.ScrollBar_fnc_res.set_position(30);
                change_applied_at = at;
            }
            const int n = std::min(block, 3000 - at);
            get_registry().process[kEq8](n, 48000, 2, out.data() + 2 * at, eq.cell());
        }
        return out;
    };
    int applied = 0;
    for (int block : {1, 7, 480, 512}) {
        const auto got = run(block, 1000, applied);
        EXPECT_EQ(applied, (1000 + block - 1) / block * block);
        int same_as_block_1_at = 0;
        expect_same(got, run(1, applied, same_as_block_1_at), "change at the next block start");
        if (block > 1) {
            int at_1000 = 0;
            const auto prompt = run(1, 1000, at_1000);
            EXPECT_NE(got, prompt) << "block " << block;
            EXPECT_TRUE(std::equal(got.begin(), got.begin() + 2000, prompt.begin())) << "same until frame 1000";
        }
    }
}

TEST(Eq8Filters, FourPoleLowPassAtItsLimitsRingsButStaysFinite) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    form.CheckRadioBox_EQ8_OnOff.set_checked(false);
    form.ScrollBar_fnc_FC.set_position(99);
    form.ScrollBar_fnc_res.set_position(39);
    form.CheckRadioBox_FNC_OnOff.set_checked(true);
    auto buf = noise(2 * 48000, 41, 12000.0f);
    const auto in = buf;
    eq.process(buf, 2);
    float peak = 0;
    for (float v : buf) {
        ASSERT_TRUE(std::isfinite(v));
        peak = std::max(peak, std::fabs(v));
    }
    EXPECT_GT(peak, 32768.0f) << "not clipped";
    EXPECT_NEAR(eq.as<TEQ8_form>().lp_f, 1.1484, 1e-12);
    EXPECT_NEAR(eq.as<TEQ8_form>().lp_fb, 3.1285, 1e-3);
}

TEST(Eq8Filters, SpeakerRowsAndLowCutResponses) {
    const double corner[6] = {0.04720, 0.05895, 0.07066, 0.08233, 0.09395, 0.10552};
    for (int row = 0; row < 6; ++row) {
        Instance eq(kEq8);
        auto& form = eq.as<TEQ8_form>();
        form.CheckRadioBox_EQ8_OnOff.set_checked(false);
        form.CheckRadioBox_fnc_2000_OnOff.set_checked(true);
        form.ScrollBar_fnc_2000.set_position(row);
        EXPECT_EQ(form.speaker_row.load(), row);
        EXPECT_NEAR(sine_gain(eq, 30, 48000, 2)[1], 1.0, 2e-3) << "row " << row;
        EXPECT_NEAR(sine_gain(eq, 0.8 * corner[row] * 44100, 44100, 2)[0], 1.0, 0.015) << "row " << row;
        EXPECT_NEAR(sine_gain(eq, corner[row] * 44100, 44100, 2)[0], std::sqrt(0.5), 0.01) << "row " << row;
    }
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    form.CheckRadioBox_EQ8_OnOff.set_checked(false);
    form.CheckRadioBox_Filter_Notch.set_checked(true);
    EXPECT_NEAR(sine_gain(eq, 0.00158 * 44100, 44100, 1)[0], std::sqrt(0.5), 0.01);
    EXPECT_NEAR(sine_gain(eq, 15000, 44100, 1)[0], 1.0, 2e-3);
    EXPECT_EQ(form.low_cut_gain, 1.019684607);
}

TEST(Eq8Filters, ShelfAddsTheHighPassedSignal) {
    for (int position : {10, 100}) {
        Instance eq(kEq8);
        auto& form = eq.as<TEQ8_form>();
        form.CheckRadioBox_EQ8_OnOff.set_checked(false);
        form.CheckRadioBox_Shelf.set_checked(true);
        form.ScrollBar_Shelf_fvc_G.set_position(position);
        const double g = position / 10.0;
        EXPECT_NEAR(sine_gain(eq, 18000, 48000, 2)[0], 1.0 + g, 0.03 * g) << position;
        EXPECT_NEAR(sine_gain(eq, 40, 48000, 2)[1], 1.0, 5e-4 * g) << position;
    }
}

// --- parameter block ----------------------------------------------------------------------------

TEST(Eq8Block, LayoutBytesAndRoundTrip) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    form.Gang.set_checked(false);
    for (int i = 0; i < 10; ++i) {
        form.left_sliders[i]->set_position(10 + i);
        form.right_sliders[i]->set_position(60 + i);
    }
    form.CheckRadioBox_EQ8_OnOff.set_checked(false);
    form.ScrollBar_LPF_1.set_position(321);
    form.ScrollBar_Q.set_position(7);
    form.CheckRadioBox_FVC_OnOff.set_checked(true);
    form.ScrollBar_Shelf_fvc_F.set_position(33);
    form.ScrollBar_Shelf_fvc_G.set_position(44);
    form.ScrollBar_fnc_FC.set_position(55);
    form.ScrollBar_fnc_res.set_position(22);
    form.CheckRadioBox_FNC_OnOff.set_checked(true);
    form.ScrollBar_fnc_2000.set_position(4);
    form.CheckRadioBox_fnc_2000_OnOff.set_checked(true);
    form.CheckRadioBox_Filter_Notch.set_checked(true);
    ParameterBlock b{};
    for (int w : {20, 23, 26, 29}) b[static_cast<size_t>(w)] = static_cast<int32_t>(0xA5A5A500u);
    b[31] = static_cast<int32_t>(0x12340000u);
    for (size_t w = 32; w < b.size(); ++w) b[w] = 7;
    get_registry().params[kEq8](b.data(), eq.cell(), 0);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(b[static_cast<size_t>(i)], 10 + i);
        EXPECT_EQ(b[static_cast<size_t>(10 + i)], 60 + i);
    }
    EXPECT_EQ(static_cast<uint32_t>(b[20]), 0xA5A5A500u);
    EXPECT_EQ(b[21], 321);
    EXPECT_EQ(b[22], 7);
    EXPECT_EQ(static_cast<uint32_t>(b[23]), 0xA5A5A501u);
    EXPECT_EQ(b[24], 33);
    EXPECT_EQ(b[25], 44);
    EXPECT_EQ(static_cast<uint32_t>(b[26]), 0xA5A5A500u);
    EXPECT_EQ(b[27], 55);
    EXPECT_EQ(b[28], 22);
    EXPECT_EQ(static_cast<uint32_t>(b[29]), 0xA5A5A501u);
    EXPECT_EQ(b[30], 4);
    EXPECT_EQ(static_cast<uint32_t>(b[31]), 0x12340001u) << "speaker on, Gang off, upper bytes kept";
    for (size_t w = 32; w < b.size(); ++w) EXPECT_EQ(b[w], 7) << w;

    Instance copy(kEq8);
    auto& other = copy.as<TEQ8_form>();
    other.Gang.set_checked(false);  // else the left values would land on the right too
    copy.put(b);
    EXPECT_FALSE(other.Gang.checked());
    EXPECT_FALSE(other.CheckRadioBox_Filter_Notch.checked()) << "the low cut is not stored";
    EXPECT_EQ(copy.get(), eq.get());
    EXPECT_EQ(other.hp_coefficients().A0, form.hp_coefficients().A0);
    EXPECT_EQ(other.speaker_row.load(), 4);
    form.CheckRadioBox_Filter_Notch.set_checked(false);
    auto x = noise(2 * 2000, 9), y = x;
    eq.process(x, 2);
    copy.process(y, 2);
    expect_same(x, y, "restored instance");
    // Word 31's second byte alone turns Gang on.
    b[31] = 0x0100;
    copy.put(b);
    EXPECT_TRUE(other.Gang.checked());
    EXPECT_FALSE(other.CheckRadioBox_fnc_2000_OnOff.checked());
}

// With Gang checked at load time every left slider that moves overrides its right one; Gang itself
// is restored last.
TEST(Eq8Block, GangedLoadEndsWithTheLeftValuesOnTheRight) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    ASSERT_TRUE(form.Gang.checked());
    form.ScrollBar_EQ8_250.set_position(40);  // drags 250s to 40 too
    ParameterBlock b{};
    const int left[10] = {30, 10, 40, 50, 70, 80, 90, 100, 0, 60};  // 250 (40) and 450 (50) stay put
    const int right[10] = {65, 35, 95, 15, 25, 45, 55, 75, 85, 5};
    for (int i = 0; i < 10; ++i) {
        b[static_cast<size_t>(i)] = left[i];
        b[static_cast<size_t>(10 + i)] = right[i];
    }
    b[21] = 100, b[22] = 1, b[24] = 50, b[25] = 1, b[27] = 10, b[28] = 10;
    b[31] = 0;  // Gang off in the block
    eq.put(b);
    const int current[10] = {50, 50, 40, 50, 50, 50, 50, 50, 50, 0};
    for (int i = 0; i < 10; ++i) {
        const int want = left[i] != current[i] ? left[i] : right[i];
        EXPECT_EQ(form.right_sliders[i]->position(), want) << form.right_sliders[i]->name();
        EXPECT_EQ(form.left_sliders[i]->position(), left[i]);
    }
    for (int band = 1; band <= 8; ++band)
        EXPECT_EQ(form.right_bank.weights[band].load(), eq8_band_weight(101 - form.right_sliders[band]->position())) << band;
    EXPECT_EQ(form.right_bank.output_gain.load(), eq8_output_gain(30));
    EXPECT_EQ(form.smooth_d_right.load(), eq8_treble_cut(60));
    EXPECT_FALSE(form.Gang.checked());

    // Loaded again now that Gang is off, the right values stand.
    eq.put(b);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(form.right_sliders[i]->position(), right[i]);
}

TEST(Eq8Block, RestoringTheSamePositionsKeepsDerivedValues) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    ParameterBlock b = eq.get();
    eq.put(b);
    // Sliders that do not move run no handler: the creation values stay.
    EXPECT_EQ(form.left_bank.weights[4].load(), 10.0f);
    EXPECT_EQ(form.smooth_d_left.load(), 0.0f);
    EXPECT_EQ(form.shelf_gain.load(), 1.0f);
    EXPECT_EQ(form.lp_res.load(), 3.0);
    EXPECT_TRUE(form.eq_on.load());
}

// The handlers redesign the high-pass and the shelf and change the speaker row while blocks run on
// another thread. Each set crosses as one unit, so every block uses a whole set, old or new, and
// the output stays finite and bounded (a mixed set can put a pole outside the unit circle: a mixed
// speaker row has one near 3, infinity within a block). Whole sets switched every block still throw
// transients of their own, some tens of times full scale with these settings (far more with the
// most resonant ones), so the bound is wide; a runaway passes it within a few blocks.
TEST(Eq8Filters, CoefficientSetsChangeWhileBlocksRun) {
    Instance eq(kEq8);
    auto& form = eq.as<TEQ8_form>();
    form.CheckRadioBox_EQ8_OnOff.set_checked(false);
    form.CheckRadioBox_FVC_OnOff.set_checked(true);
    form.CheckRadioBox_Shelf.set_checked(true);
    form.ScrollBar_Shelf_fvc_G.set_position(10);
    form.CheckRadioBox_fnc_2000_OnOff.set_checked(true);
    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0};
    std::atomic<float> peak{0.0f};
    std::thread audio([&] {
        const auto phrase = noise(2 * 256, 17, 30000.0f);
        std::vector<float> buf;
        for (int n = 0; !stop.load() || n < 200; ++n) {
            const int channels = n % 8 == 7 ? 1 : 2;
            buf = phrase;
            get_registry().process[kEq8](static_cast<int32_t>(buf.size()) / 2, n % 3 ? 48000 : 22050, channels, buf.data(),
                                         eq.cell());
            float p = peak.load();
            for (float x : buf) p = std::isfinite(x) ? std::max(p, std::fabs(x)) : INFINITY;
            peak.store(p);
            blocks.fetch_add(1);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        form.ScrollBar_LPF_1.set_position(i % 2 ? 80 : 300);
        form.ScrollBar_Q.set_position(i % 3 ? 3 : 1);
        form.ScrollBar_Shelf_fvc_F.set_position(i % 2 ? 10 : 100);
        form.ScrollBar_fnc_2000.set_position(i % 6);
    }
    stop = true;
    audio.join();
    EXPECT_GE(blocks.load(), 200);
    EXPECT_TRUE(std::isfinite(peak.load()));
    EXPECT_LT(peak.load(), 1000.0f * 32768.0f);
}

}  // namespace
}  // namespace vx
