#include "exact/tiny.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }
uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

struct Lcg {
    uint64_t s;
    uint64_t next() { return s = s * 6364136223846793005ull + 1442695040888963407ull; }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
};

// Values on both sides of the subnormal border and at its awkward points: halfway cases of the
// 2^-1074 grid, the border itself and its neighbours, zeros of both signs, huge and non-finite.
std::vector<long double> hard_long_doubles() {
    std::vector<long double> v;
    for (long double u : {0.0L, 0.25L, 0.5L, 0.75L, 1.0L, 1.5L, 2.5L, 3.5L, 1e6L + 0.5L, 0x1p51L + 0.5L, 0x1p52L - 0.5L,
                          0x1p52L - 0.25L, 0x1p52L, 0x1p52L + 0.5L, 0x1p52L + 1.0L, 0x1p53L + 1.0L, 0x1p53L + 3.0L})
        v.push_back(u * exact::kDown);
    // Just off the halfway points, by one unit of the extended format.
    for (long double u : {0.5L, 2.5L, 12345.5L}) {
        const long double h = u * exact::kDown;
        v.push_back(std::nextafter(h, 1.0L));
        v.push_back(std::nextafter(h, 0.0L));
    }
    for (long double u : {1e-300L, 0x1p-1022L, 1.0L, 1e300L, 0x1.fffffffffffffp1023L, 1e308L * 10.0L})
        v.push_back(u);
    v.push_back(std::numeric_limits<long double>::infinity());
    v.push_back(std::numeric_limits<long double>::quiet_NaN());
    Lcg r{7};
    for (int i = 0; i < 2000; ++i) v.push_back(std::ldexp(static_cast<long double>(r.unit()) + r.unit() * 0x1p-53L, -1000 - static_cast<int>(r.next() % 90)));
    const size_t n = v.size();
    for (size_t i = 0; i < n; ++i) v.push_back(-v[i]);
    return v;
}

TEST(ExactTiny, ScaledRoundingIsTheExtendedRoundingToDouble) {
    for (long double v : hard_long_doubles()) {
        const double want = static_cast<double>(v);
        const long double r = exact::round_scaled(v * exact::kUp);
        EXPECT_EQ(bits(exact::unscaled(r)), bits(want)) << static_cast<double>(v * exact::kUp);
        // And back: a double scales and unscales to itself.
        EXPECT_EQ(bits(exact::unscaled(exact::scaled(want))), bits(want));
        if (std::isfinite(want)) {
            EXPECT_EQ(exact::scaled(want), static_cast<long double>(want) * exact::kUp);
        }
    }
}

TEST(ExactTiny, FloatRoundingBelowTheNormalRange) {
    std::vector<double> v = {0.0, 0x1p-149, 0x1p-150, 0x1.8p-150, 0x3p-150, 0x5p-150, 0x1p-126, 0x1.fffffcp-127,
                             0x1.fffffep-127, 0x1.ffffffp-127, 1e-40, 1e-45, 1e-46, 0x1p-1074, 1e-310, 1.0, 3.4e38, 1e39,
                             std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    Lcg r{3};
    for (int i = 0; i < 3000; ++i) v.push_back(std::ldexp(r.unit(), -120 - static_cast<int>(r.next() % 40)));
    const size_t n = v.size();
    for (size_t i = 0; i < n; ++i) v.push_back(-v[i]);
    for (double d : v) {
        const float want = static_cast<float>(d);
        EXPECT_EQ(bits(exact::float_rounded(d)), bits(static_cast<double>(want))) << d;
        EXPECT_EQ(bits(exact::as_float(static_cast<double>(want))), bits(want)) << d;
        EXPECT_EQ(bits(exact::widened(want)), bits(static_cast<double>(want))) << d;
        EXPECT_EQ(bits(exact::to_float(d)), bits(want)) << d;
        for (double level : {1.0 / 10.8, 1.0, 11.0, -2.0})
            EXPECT_EQ(bits(exact::to_float_times(d, level)), bits(static_cast<float>(d * level))) << d;
    }
}

// A state of the given size class: subnormal whole units, the lowest normals, or a signal.
FourPoleLowpass random_state(Lcg& r, int kind) {
    auto value = [&]() -> double {
        const double sign = (r.next() & 1) ? -1.0 : 1.0;
        switch (kind) {
            case 0: return sign * static_cast<double>(r.next() % 64) * 0x1p-1074;         // a few units
            case 1: return sign * static_cast<double>(r.next() % (1u << 21)) * 0x1p-1074;  // up to 2^21 units
            case 2: return sign * std::ldexp(r.unit(), -1020 - static_cast<int>(r.next() % 30));
            case 3: return sign * std::ldexp(r.unit(), -900 - static_cast<int>(r.next() % 200));
            default: return sign * r.unit() * 1e4;
        }
    };
    FourPoleLowpass p;
    p.in = value(), p.out1 = value(), p.out2 = value(), p.out3 = value(), p.out4 = value();
    p.in1 = value(), p.in2 = value(), p.in3 = value(), p.in4 = value();
    return p;
}

void expect_same_state(const FourPoleLowpass& a, const FourPoleLowpass& b) {
    const double va[9] = {a.in, a.out1, a.out2, a.out3, a.out4, a.in1, a.in2, a.in3, a.in4};
    const double vb[9] = {b.in, b.out1, b.out2, b.out3, b.out4, b.in1, b.in2, b.in3, b.in4};
    for (int k = 0; k < 9; ++k) ASSERT_EQ(bits(va[k]), bits(vb[k])) << "memory " << k << ": " << va[k] << " vs " << vb[k];
}

// Each way of stepping the four-pole equals the plain extended step on every memory, for random
// states of every size class, inputs of silence (both zeros), tiny and loud, and the controls' f
// and resonance ranges (f also outside them).
TEST(ExactTiny, FourPoleStepsMatchThePlainStep) {
    Lcg r{11};
    const float inputs[] = {0.0f, -0.0f, 1e-45f, -3e-39f, 0.25f, -12000.0f};
    int deep_taken = 0;
    for (int i = 0; i < 40000; ++i) {
        const int kind = static_cast<int>(r.next() % 5);
        const FourPoleLowpass start = random_state(r, kind);
        const float x = inputs[r.next() % 6 < 4 ? 0 + (r.next() & 1) : 2 + r.next() % 4];
        const double f = (r.next() % 8 == 0) ? 0x1p-9 + r.unit() * 0x1p-9 : 0.02 + r.unit() * 2.2;
        const double fb = FourPoleLowpass::fb_of(f, 0.1 * static_cast<double>(1 + r.next() % 39));
        FourPoleLowpass want = start, scaled = start, deep = start, any = start;
        const double w = want.step(x, f, fb);
        EXPECT_EQ(bits(exact::four_pole_step_scaled(scaled, x, f, fb)), bits(w));
        EXPECT_EQ(bits(exact::four_pole_step_deep(deep, x, f, fb)), bits(w));
        EXPECT_EQ(bits(exact::four_pole_step(any, x, f, fb)), bits(w));
        expect_same_state(scaled, want);
        expect_same_state(deep, want);
        expect_same_state(any, want);
        if (exact::TinyFourPole::fits(start)) {
            exact::TinyFourPole t(start);
            deep_taken += t.step(x, f, fb) ? 1 : 0;
        }
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(deep_taken, 2000) << "the whole-unit step was hardly ever taken";
}

// A real ringing: loud, then a long silence down to the limit cycles of a few units, then a click
// and silence again; every step of every route against the plain one.
TEST(ExactTiny, FourPoleRingDownStepByStep) {
    for (double res : {0.1, 3.9}) {
        for (double f : {0.02, 0.116, 1.3}) {
            const double fb = FourPoleLowpass::fb_of(f, res);
            FourPoleLowpass want, got;
            const auto loud = test::noise(3000, 9, 20000.0f);
            for (int i = 0; i < 100000; ++i) {
                const float x = i < 3000 ? loud[static_cast<size_t>(i)] : (i == 60000 ? 1e-30f : 0.0f);
                const double w = want.step(x, f, fb);
                ASSERT_EQ(bits(exact::four_pole_step(got, x, f, fb)), bits(w)) << "step " << i;
            }
            expect_same_state(got, want);
        }
    }
}

}  // namespace
}  // namespace vx
