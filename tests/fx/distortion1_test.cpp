#include "distortion1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;

constexpr EffectKind kKind = 6;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// The curve written out from its geometry in extended precision: the blend weight, the two lines
// and the scaling to 0 .. e x 32767, with pi taken exactly.
double reference_curve(double y, int A, int B, double d, double e) {
    const long double pi = 3.141592653589793238462643383279502884L;
    auto raw = [&](long double u, long double knee_distance) {
        const long double w = std::atan(knee_distance * d) / pi + 0.5L;
        const long double k_lo = static_cast<long double>(B) / A;
        const long double k_hi = (32767.0L - B) / (32767.0L - A);
        const long double c_hi = B - (32767.0L - B) * A / (32767.0L - A);
        return (k_lo - (k_lo - k_hi) * w) * u + c_hi * w;
    };
    const long double top = raw(32767.0L, 32768.0L - A), zero = raw(0.0L, -A);
    const long double u = std::fabs(static_cast<long double>(y));
    const long double r = (raw(u, u - A) - zero) * (e * 32767.0L / (top - zero));
    return static_cast<double>(y < 0 ? -r : r);
}

struct CurveParams { int A, B; float d, e; };
const CurveParams kCurves[] = {
    {1000, 10000, 0.1f, 0.49f},  // a new instance
    {50, 5000, 0.2f, 0.49f},     // hardest knee, lowest
    {1000, 30000, 0.005f, 0.49f},
    {500, 15000, 0.02f, 0.49f},  // what the sliders show at first
};

std::vector<float> curve_inputs() {
    std::vector<float> v = {0.0f, 1e-30f, 1e-6f, 0.5f, 1.0f, 49.0f, 50.0f, 999.0f, 1000.0f, 1001.0f,
                            5000.0f, 20000.0f, 32767.0f, 32768.0f, 1e6f, std::numeric_limits<float>::denorm_min()};
    const auto n = noise(2000, 11, 40000.0f);
    for (float x : n) v.push_back(std::fabs(x));
    return v;
}

TEST(DistortionSoftHard, CurveIsOddAndFollowsItsGeometry) {
    const auto inputs = curve_inputs();
    for (const CurveParams& p : kCurves) {
        std::vector<float> pos = inputs, neg = inputs;
        for (float& x : neg) x = -x;
        TDistortion1_form::distortion(pos.data(), static_cast<int32_t>(pos.size()), p.A, p.B, p.d, p.e);
        TDistortion1_form::distortion(neg.data(), static_cast<int32_t>(neg.size()), p.A, p.B, p.d, p.e);
        for (size_t i = 0; i < inputs.size(); ++i) {
            if (inputs[i] == 0.0f) continue;  // -0.0 takes the positive branch, as +0.0 does
            ASSERT_EQ(bits(neg[i]), bits(-pos[i])) << "A " << p.A << " input " << inputs[i];
        }
        for (size_t i = 0; i < inputs.size(); ++i) {
            const double ref = reference_curve(inputs[i], p.A, p.B, p.d, p.e);
            // float32 steps inside the curve and the rounded constants leave a few parts per million.
            EXPECT_NEAR(pos[i], ref, 1e-3 + 2e-5 * std::fabs(ref)) << "A " << p.A << " input " << inputs[i];
        }
    }
}

TEST(DistortionSoftHard, CurveTellingValues) {
    // Defaults: slope 10 below the knee, about 0.7167 above it, full scale to about 0.49 x 32767.
    std::vector<float> y = {0.0f, -0.0f, 1.0f, 101.0f, 20000.0f, 30000.0f, 32767.0f};
    TDistortion1_form::distortion(y.data(), static_cast<int32_t>(y.size()), 1000, 10000, 0.1f, 0.49f);
    // Zero stays far below one unit of the 16-bit scale (a rounding residue, not exactly 0), and a
    // negative zero is treated as zero.
    EXPECT_LT(std::fabs(y[0]), 1e-4f);
    EXPECT_EQ(bits(y[0]), bits(y[1]));
    const double S = 0.49 * 32767.0 / 32767.0;  // rough scale of the curve: the lines meet full scale
    EXPECT_NEAR((y[3] - y[2]) / 100.0, 10.0 * S, 0.2);
    const double upper = (22767.0 / 31767.0) * S;
    EXPECT_NEAR((y[5] - y[4]) / 10000.0, upper, 0.01);
    EXPECT_NEAR(y[6], 0.49f * 32767.0f, 0.01 * 0.49 * 32767.0);
}

TEST(DistortionSoftHard, NewInstanceProcessesWithCreationValuesNotSliders) {
    Instance inst(kKind);
    auto& f = inst.as<TDistortion1_form>();
    EXPECT_EQ(f.caption(), "Distortion");
    EXPECT_EQ(f.knee_in.load(), 1000);
    EXPECT_EQ(f.knee_out.load(), 10000);
    EXPECT_EQ(f.smooth.load(), 0.1f);
    EXPECT_EQ(f.color_L.load(), 0.98f);
    EXPECT_EQ(f.color_R.load(), 0.98f);
    EXPECT_EQ(f.out_scale.load(), 0.49f);
    EXPECT_EQ(f.gain_in.load(), 1.0f);
    EXPECT_EQ(f.gain_out.load(), 1.0f);

    // Control, caption, range, first position; moving it switches exactly its own field.
    struct Case {
        Slider* slider; const char* label; int min, max, first, moved;
        std::function<double()> field; double expected;
    };
    const Case cases[] = {
        {&f.ScrollBar_Gain_In, "Drive", 0, 100, 50, 100, [&] { return f.gain_in.load(); }, 11.0},
        {&f.ScrollBar_Gain_Out, "Level", 0, 100, 50, 0, [&] { return f.gain_out.load(); }, *SliderFactor(0)},
        {&f.ScrollBar_Tone1_k4, "Tone 1 ", 5000, 30000, 15000, 15001, [&] { return f.knee_out.load(); }, 15001},
        {&f.ScrollBar_Tone2_k3, "Tone 2 ", 50, 1000, 500, 501, [&] { return f.knee_in.load(); }, 501},
        {&f.ScrollBar_Smooth_k2, "Smooth ", 1, 40, 10, 11, [&] { return f.smooth.load(); },
         static_cast<float>((1.0 / 11.0) * 0.2)},
        {&f.ScrollBar_Color_M, "Color (L)  ", 1, 100, 70, 71, [&] { return f.color_L.load(); },
         static_cast<float>(std::sqrt(0.71))},
        {&f.ScrollBar_Color_N, "Color (R)  ", 1, 100, 70, 69, [&] { return f.color_R.load(); },
         static_cast<float>(std::sqrt(0.69))},
    };
    ASSERT_EQ(f.controls().size(), std::size(cases) + 1);  // the sliders, then the picture
    EXPECT_EQ(f.controls().back(), &f.Curve_Transfer);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(f.controls()[i], c.slider) << "control order";
        EXPECT_EQ(c.slider->label, c.label);
        EXPECT_EQ(c.slider->min(), c.min);
        EXPECT_EQ(c.slider->max(), c.max);
        EXPECT_EQ(c.slider->position(), c.first);
    }
    for (const Case& c : cases) {
        ParameterBlock before = inst.get();
        const float cl = f.color_L, cr = f.color_R;
        c.slider->set_position(c.moved);
        EXPECT_EQ(c.field(), c.expected) << c.slider->name();
        ParameterBlock after = inst.get();
        int changed_fields = 0;
        for (int w = 0; w < 6; ++w) changed_fields += before[w] != after[w];
        changed_fields += (cl != f.color_L.load()) + (cr != f.color_R.load());
        EXPECT_EQ(changed_fields, 1) << c.slider->name();
    }
}

TEST(DistortionSoftHard, SliderLaws) {
    struct Case { int position; float smooth; float color; };
    const Case cases[] = {
        {1, 0.2f, 0.1f},
        {10, 0.02f, static_cast<float>(std::sqrt(0.1))},
        {40, 0.005f, static_cast<float>(std::sqrt(0.4))},
        {100, 0.005f, 0.999f},  // Smooth stops at 40; Color at 100 is held below 1.0
    };
    Instance inst(kKind);
    auto& f = inst.as<TDistortion1_form>();
    for (const Case& c : cases) {
        f.ScrollBar_Smooth_k2.set_position(c.position);
        f.ScrollBar_Color_M.set_position(c.position);
        EXPECT_EQ(bits(f.smooth.load()), bits(c.smooth)) << c.position;
        EXPECT_EQ(bits(f.color_L.load()), bits(c.color)) << c.position;
    }
    EXPECT_EQ(bits(color_of_position(100)), bits(0.999f));
    EXPECT_LT(color_of_position(100), 1.0f);
    EXPECT_EQ(color_of_position(0), 0.001f);
}

// The block process against the channel procedure written as passes with the unit's own FNC and
// curve: gain, low-pass copy, split, the curve on each band, sum times the output gain.
std::vector<float> by_passes(std::vector<float> v, float gin, float gout, float c, float& m, const CurveParams& p) {
    const int32_t n = static_cast<int32_t>(v.size());
    for (float& x : v) x = x * gin;
    std::vector<float> lo = v, hi(v.size());
    TDistortion1_form::FNC(lo.data(), n, c, m);
    for (size_t i = 0; i < v.size(); ++i) hi[i] = v[i] - lo[i];
    TDistortion1_form::distortion(hi.data(), n, p.A, p.B, p.d, p.e);
    TDistortion1_form::distortion(lo.data(), n, p.A, p.B, p.d, p.e);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>((static_cast<double>(hi[i]) + lo[i]) * gout);
    return v;
}

// The block pass trusts its fast arctangent to within 2^-40 of std::atan; hold it to 2^-44 over the
// arguments a curve can see (|y| - A) x d, across each fold of the argument and beyond.
TEST(DistortionSoftHard, FastArctangentStaysWithinItsSlack) {
    std::vector<double> xs = {0.0, -0.0, 1e-300, 5e-324, 0.66, std::nextafter(0.66, 1.0), 2.41421356237309504880,
                              std::nextafter(2.41421356237309504880, 0.0), 1.0, 1e8, 1e300,
                              std::numeric_limits<double>::infinity(), std::numeric_limits<double>::max()};
    for (double x = 1e-12; x < 1e7; x *= 1.0001) xs.push_back(x);
    uint64_t seed = 7;
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        xs.push_back(static_cast<double>(seed >> 11) * 0x1p-53 * 4.0);  // the folds lie below 4
    }
    for (double x : xs) {
        for (double v : {x, -x}) {
            const double err = std::fabs(atan_for_curve(v) - std::atan(v));
            ASSERT_LE(err, 0x1p-44) << v;
        }
    }
    EXPECT_TRUE(std::isnan(atan_for_curve(std::numeric_limits<double>::quiet_NaN())));
}

// Stereo `in` through a new instance set by `setup`, in blocks of `block`, equals the plain passes of
// each channel, memories included; returns the instance's final low-pass memories.
template <class Setup>
std::pair<float, float> expect_passes(const std::vector<float>& in, int block, Setup setup) {
    const size_t frames = in.size() / 2;
    std::vector<float> left(frames), right(frames);
    for (size_t i = 0; i < frames; ++i) {
        left[i] = in[2 * i];
        right[i] = in[2 * i + 1];
    }
    Instance inst(kKind);
    auto& f = inst.as<TDistortion1_form>();
    setup(f);
    auto buf = in;
    inst.process(buf, 2, block);
    float ml = 0.0f, mr = 0.0f;
    const CurveParams p{1000, 10000, 0.1f, 0.49f};
    const auto el = by_passes(left, f.gain_in, f.gain_out, f.color_L, ml, p);
    const auto er = by_passes(right, f.gain_in, f.gain_out, f.color_R, mr, p);
    for (size_t i = 0; i < frames; ++i) {
        EXPECT_EQ(bits(buf[2 * i]), bits(el[i])) << "block " << block << " frame " << i;
        EXPECT_EQ(bits(buf[2 * i + 1]), bits(er[i])) << "block " << block << " frame " << i;
        if (bits(buf[2 * i]) != bits(el[i]) || bits(buf[2 * i + 1]) != bits(er[i])) break;
    }
    EXPECT_EQ(bits(f.lp_mem_L), bits(ml));
    EXPECT_EQ(bits(f.lp_mem_R), bits(mr));
    return {f.lp_mem_L, f.lp_mem_R};
}

TEST(DistortionSoftHard, BlockProcessEqualsThePassesForAnyBlockSize) {
    const auto in = noise(2 * 5000, 21, 20000.0f);  // more than one pass of scratch
    for (int block : {1, 7, 480, 512, 2049, 5000}) {
        expect_passes(in, block, [](TDistortion1_form& f) {
            f.ScrollBar_Gain_In.set_position(70);
            f.ScrollBar_Gain_Out.set_position(40);
            f.ScrollBar_Color_N.set_position(20);
        });
    }
}

// Long silence after a signal: the low-passes settle where their decay stops (left, 0.98) or at
// rest (right, 0.45), and the blocks from then on are one repeated frame; still the passes' bits.
TEST(DistortionSoftHard, LongSilenceAfterSignalEqualsThePasses) {
    auto in = noise(2 * 3000, 23, 20000.0f);
    in.resize(2 * 24000, 0.0f);
    for (int block : {480, 7}) {
        const auto [ml, mr] = expect_passes(in, block, [](TDistortion1_form& f) { f.ScrollBar_Color_N.set_position(20); });
        EXPECT_NE(ml, 0.0f);  // stuck short of rest: 0.98 x m rounds back to m
        EXPECT_EQ(bits(mr), 0u);
    }
    // A new instance on silence: one frame repeated from the first block on.
    Instance fresh(kKind);
    std::vector<float> quiet(2 * 480, 0.0f);
    fresh.process(quiet, 2);
    float ml = 0.0f;
    const auto e = by_passes(std::vector<float>(480, 0.0f), 1.0f, 1.0f, 0.98f, ml, {1000, 10000, 0.1f, 0.49f});
    for (size_t i = 0; i < 480; ++i) ASSERT_EQ(bits(quiet[2 * i]), bits(e[i])) << i;
}

TEST(DistortionSoftHard, SilenceAndFullScale) {
    Instance inst(kKind);
    auto& f = inst.as<TDistortion1_form>();
    // Silence into a new instance: a residue far below one unit.
    std::vector<float> quiet(2 * 480, 0.0f);
    inst.process(quiet, 2);
    for (float x : quiet) EXPECT_LT(std::fabs(x), 1e-4f);

    // A constant full-scale input settles at about out_scale x 32767 once the low band has it all.
    std::vector<float> loud(2 * 48000, 32767.0f);
    inst.process(loud, 2);
    EXPECT_NEAR(loud[loud.size() - 2], 0.49 * 32767.0, 0.005 * 0.49 * 32767.0);
    EXPECT_NEAR(loud.back(), 0.49 * 32767.0, 0.005 * 0.49 * 32767.0);

    // Then silence: the bands carry equal and opposite values while the memory decays, and the
    // curve maps them to exactly opposite outputs.
    EXPECT_GT(f.lp_mem_L, 1000.0f);
    std::vector<float> after(2 * 480, 0.0f);
    inst.process(after, 2);
    for (float x : after) EXPECT_EQ(x, 0.0f);
    EXPECT_GT(f.lp_mem_L, 0.0f);
}

TEST(DistortionSoftHard, ChannelsKeepTheirOwnMemory) {
    Instance inst(kKind);
    auto& f = inst.as<TDistortion1_form>();
    auto buf = noise(2 * 1000, 5);
    for (size_t i = 0; i < 1000; ++i) buf[2 * i + 1] = 0.0f;
    inst.process(buf, 2);
    EXPECT_EQ(f.lp_mem_R, 0.0f);
    for (size_t i = 0; i < 1000; ++i) EXPECT_LT(std::fabs(buf[2 * i + 1]), 1e-4f) << i;

    // From mono to stereo the left channel goes on with the mono memory.
    Instance a(kKind), b(kKind);
    const auto first = noise(700, 8), second = noise(2 * 300, 9);
    auto ma = first, mb = first;
    a.process(ma, 1);
    b.process(mb, 1);
    auto stereo = second;
    a.process(stereo, 2);
    std::vector<float> left(300);
    for (size_t i = 0; i < 300; ++i) left[i] = second[2 * i];
    b.process(left, 1);
    for (size_t i = 0; i < 300; ++i) ASSERT_EQ(bits(stereo[2 * i]), bits(left[i])) << i;
}

TEST(DistortionSoftHard, ZeroFramesChangeNothing) {
    Instance inst(kKind);
    auto& f = inst.as<TDistortion1_form>();
    f.lp_mem_L = 3.0f;
    std::vector<float> buf = {1000.0f, -1000.0f};
    get_registry().process[kKind](0, 48000, 2, buf.data(), inst.cell());
    get_registry().process[kKind](-5, 48000, 2, buf.data(), inst.cell());
    EXPECT_EQ(buf, (std::vector<float>{1000.0f, -1000.0f}));
    EXPECT_EQ(f.lp_mem_L, 3.0f);
}

void move_exchanged_sliders(TDistortion1_form& f) {
    f.ScrollBar_Smooth_k2.set_position(20);
    f.ScrollBar_Tone2_k3.set_position(300);
    f.ScrollBar_Tone1_k4.set_position(25000);
    f.ScrollBar_Gain_In.set_position(80);
    f.ScrollBar_Gain_Out.set_position(30);
}

TEST(DistortionSoftHard, ParameterBlockLayoutAndRestore) {
    Instance src(kKind);
    auto& s = src.as<TDistortion1_form>();
    move_exchanged_sliders(s);
    s.ScrollBar_Color_M.set_position(10);
    s.ScrollBar_Color_N.set_position(100);
    ParameterBlock b{};
    b[11] = 1234;
    get_registry().params[kKind](b.data(), src.cell(), 0);
    EXPECT_EQ(b[0], float_word(0.49f));
    EXPECT_EQ(b[1], float_word(static_cast<float>((1.0 / 20.0) * 0.2)));
    EXPECT_EQ(b[2], 300);
    EXPECT_EQ(b[3], 25000);
    EXPECT_EQ(b[4], float_word(*SliderFactor(80)));
    EXPECT_EQ(b[5], float_word(*SliderFactor(30)));
    EXPECT_EQ(b[6], 20);
    EXPECT_EQ(b[7], 300);
    EXPECT_EQ(b[8], 25000);
    EXPECT_EQ(b[9], 80);
    EXPECT_EQ(b[10], 30);
    EXPECT_EQ(b[11], 1234) << "nothing past word 10 is written";

    // A chain restores into a new instance: colors come back at 0.98, their sliders at 70.
    Instance dst(kKind);
    dst.put(b);
    auto& d = dst.as<TDistortion1_form>();
    EXPECT_EQ(dst.get(), src.get());
    EXPECT_EQ(d.color_L.load(), 0.98f);
    EXPECT_EQ(d.color_R.load(), 0.98f);
    EXPECT_EQ(d.ScrollBar_Color_M.position(), 70);
    // It processes as an instance with the same sliders moved by hand, colors left alone.
    Instance hand(kKind);
    move_exchanged_sliders(hand.as<TDistortion1_form>());
    const auto in = noise(2 * 2000, 3);
    auto x = in, y = in;
    dst.process(x, 2);
    hand.process(y, 2);
    EXPECT_EQ(x, y);
}

TEST(DistortionSoftHard, RestoreKeepsStoredFieldWhereSliderDoesNotMove) {
    Instance inst(kKind);
    auto& f = inst.as<TDistortion1_form>();
    ParameterBlock b = inst.get();
    b[1] = float_word(0.05f);
    b[2] = 777;
    b[4] = float_word(2.0f);
    // Smooth moves (10 -> 12) and recomputes; Tone 2 and Drive stay where they are.
    b[6] = 12;
    inst.put(b);
    EXPECT_EQ(f.smooth.load(), static_cast<float>((1.0 / 12.0) * 0.2));
    EXPECT_EQ(f.knee_in.load(), 777);
    EXPECT_EQ(f.gain_in.load(), 2.0f);
}

TEST(DistortionSoftHard, DamagedBlockCannotBreakTheCurve) {
    Instance inst(kKind);
    auto& f = inst.as<TDistortion1_form>();
    ParameterBlock b = inst.get();
    b[0] = float_word(std::numeric_limits<float>::infinity());
    b[1] = float_word(std::numeric_limits<float>::quiet_NaN());
    b[2] = 0;       // would divide by zero
    b[3] = 32767;
    b[4] = float_word(1e30f);
    b[5] = float_word(-3.0f);
    inst.put(b);
    EXPECT_EQ(f.out_scale.load(), 0.49f);
    EXPECT_EQ(f.smooth.load(), 0.1f);
    EXPECT_EQ(f.knee_in.load(), 50);
    EXPECT_EQ(f.knee_out.load(), 30000);
    EXPECT_EQ(f.gain_in.load(), 11.0f);
    EXPECT_EQ(f.gain_out.load(), *SliderFactor(0));
    auto buf = noise(2 * 480, 4, 32767.0f);
    inst.process(buf, 2);
    for (float x : buf) ASSERT_TRUE(std::isfinite(x) && std::fabs(x) <= 32768.0f) << x;
}

TEST(DistortionSoftHard, TwoInstancesAreIndependent) {
    Instance a(kKind), b(kKind);
    a.as<TDistortion1_form>().ScrollBar_Tone2_k3.set_position(60);
    EXPECT_EQ(b.as<TDistortion1_form>().knee_in.load(), 1000);
}

}  // namespace
}  // namespace vx
