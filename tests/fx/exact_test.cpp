#include "exact/certify.h"
#include "exact/four_pole.h"
#include "exact/second_order.h"
#include "exact/tiny.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "eq8.h"
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

// --- the kernels against the plain extended path --------------------------------------------------

// The float certification: where it vouches for a value, every value within reach of it has the same
// float32; a table of halfway points, their neighbours and the ends of the range.
TEST(ExactCertify, FloatCertificationIsSoundAtHalfwayPoints) {
    const double ulp_at_one = 0x1p-23;
    struct Case { double v, reach; bool certain; };
    const Case cases[] = {
        {1.0 + ulp_at_one / 2, 0x1p-52, false},           // a halfway point itself
        {1.0 + ulp_at_one / 2 + 0x1p-52, 0x1p-60, true},  // just off it, beyond the reach
        {1.0 + ulp_at_one / 2 + 0x1p-52, 0x1p-50, false}, // just off it, within the reach
        {0x1.fffffep127 + 0x1p103, 0x1p80, false},        // the largest float and infinity
        {0x1p-149, 0x1p-200, true},                       // the smallest subnormal float
        {0x1p-150, 0x1p-200, false},                      // halfway to it from zero
        {0.0, 0.0, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(exact::certain_float(c.v, c.reach), c.certain) << c.v;
        EXPECT_EQ(exact::certain_float(-c.v, c.reach), c.certain) << -c.v;
    }
    // The Delay's sums: a float plus an exact float product, in double; where the test lets the
    // double through, its float32 is the extended sum's.
    Lcg r{5};
    int flagged = 0;
    for (int i = 0; i < 200000; ++i) {
        const float acc = static_cast<float>(std::ldexp(r.unit() - 0.5, static_cast<int>(r.next() % 40) - 20));
        float sample = static_cast<float>(std::ldexp(r.unit() - 0.5, static_cast<int>(r.next() % 40) - 20));
        const float gain = static_cast<float>(r.unit());
        if (i % 4 == 0) {
            // aim the product at a halfway point of acc's float grid
            const double half = std::ldexp(1.0, std::ilogb(acc) - 24);
            sample = static_cast<float>(half / gain);
        }
        if (i % 1000 == 0) sample = 1e-41f;  // a subnormal sample
        const double s = static_cast<double>(acc) + static_cast<double>(sample) * gain;
        const float want = static_cast<float>(static_cast<long double>(acc) + static_cast<long double>(sample) * gain);
        if (exact::float_sum_uncertain(s)) {
            ++flagged;
            continue;
        }
        ASSERT_EQ(bits(static_cast<float>(s)), bits(want)) << acc << " + " << sample << " x " << gain;
    }
    EXPECT_GT(flagged, 0);
}

#if VX_EXACT_AVX2
// The four-lane settled sum of a + p in every lane: true if uncertain; `lane` gets the first lane
// (another double than the one-lane sum may give, with the same float32).
__attribute__((target("avx2"))) bool settled_in_lanes(double a, double p, double& lane) {
    __m256i uncertain = _mm256_setzero_si256();
    const __m256d s = exact::float_sum_settled(_mm256_set1_pd(a), _mm256_set1_pd(p), uncertain);
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, s);
    lane = lanes[0];
    return _mm256_testz_si256(uncertain, uncertain) == 0;
}
#endif

// The settled sums and the one-at-a-time resolution against the extended sum, where the plain
// double sum is not enough: whole numbers times a gain (quiet passages, halfway points galore),
// sums aimed at halfway points with an error just either side of the extended format's last place,
// results below the normal float range, exact cancellation to zero.
TEST(ExactCertify, HalfwaySumsSettleAsTheExtendedSum) {
    Lcg r{11};
    struct Sum { float acc, sample, gain; };
    std::vector<Sum> sums;
    for (int i = 0; i < 200000; ++i) {
        float gain = static_cast<float>(r.unit());
        float acc = static_cast<float>(static_cast<int>(r.next() % 64) - 32);
        float sample = static_cast<float>(static_cast<int>(r.next() % 64) - 32);
        switch (i % 6) {
        case 1:  // a product below the sum's last place: the extended rounding decides
            acc = std::ldexp(1.0f + static_cast<float>(r.next() % 4096) * 0x1p-12f, 20) + 0.5f;
            sample = std::ldexp(static_cast<float>(r.unit()) - 0.5f, -44 - static_cast<int>(r.next() % 8));
            break;
        case 2:  // below the normal float range
            acc = std::ldexp(static_cast<float>(r.unit()) - 0.5f, -128 - static_cast<int>(r.next() % 20));
            sample = std::ldexp(static_cast<float>(r.unit()) - 0.5f, -126 - static_cast<int>(r.next() % 20));
            break;
        case 3:  // cancelling exactly
            acc = -static_cast<float>(static_cast<double>(sample) * gain);
            if (static_cast<double>(acc) != -static_cast<double>(sample) * gain) acc = 0.0f;
            break;
        case 4: {  // the product half a float step, off by x^3 (x = 2^-10 or 2^-11) of it, either way
            // (1 + x)(1 - x + x^2) = 1 + x^3: in double the sum is the halfway point, the error
            // says which side the extended sum is on
            // (the generator's high bits: its low ones repeat in short cycles)
            auto coin = [&r] { return r.unit() < 0.5; };
            const float x = coin() ? 0x1p-10f : 0x1p-11f, side = coin() ? 1.0f : -1.0f;
            acc = std::ldexp(1.0f + static_cast<float>(r.next() >> 41) * 0x1p-23f, static_cast<int>(r.next() >> 58) - 30);
            if (coin()) acc = -acc;
            const float half = std::ldexp(1.0f, std::ilogb(acc) - 24);
            sample = std::copysign(half * (1.0f + side * x), coin() ? acc : -acc);
            gain = 1.0f - side * x + x * x;
            break;
        }
        default: break;
        }
        sums.push_back({acc, sample, gain});
    }
    // The case the Delay's test meets: a halfway point in double, not in extended precision.
    sums.push_back({1.0f + 0x1p-23f, 0x1p-24f * (1.0f + 0x1p-19f), 1.0f - 0x1p-19f});
    int uncertain_count = 0;
    for (const Sum& c : sums) {
        const double a = c.acc, p = static_cast<double>(c.sample) * c.gain;
        const float want = static_cast<float>(static_cast<long double>(c.acc) + static_cast<long double>(c.sample) * c.gain);
        float got;
        ASSERT_TRUE(exact::resolved_float_sum(a, p, got));
        ASSERT_EQ(bits(got), bits(want)) << c.acc << " + " << c.sample << " x " << c.gain;
        uint64_t uncertain = 0;
        const double settled = exact::float_sum_settled(a, p, uncertain);
        uncertain_count += uncertain != 0;
        if (uncertain == 0) {
            ASSERT_EQ(bits(static_cast<float>(settled)), bits(want)) << c.acc << " + " << c.sample;
        }
#if VX_EXACT_AVX2
        if (exact::has_avx2()) {
            double lane;
            ASSERT_EQ(settled_in_lanes(a, p, lane), uncertain != 0);
            if (uncertain == 0) {
                ASSERT_EQ(bits(static_cast<float>(lane)), bits(want)) << c.acc << " + " << c.sample;
            }
        }
#endif
    }
    EXPECT_GT(uncertain_count, 0);
    EXPECT_LT(uncertain_count, static_cast<int>(sums.size()) / 4);
}

#if VX_EXACT_AVX2
// A chunk of input for the kernels: loud noise, digital silence of both signs, subnormal and huge
// floats, and a tail of silence so that the filters ring down far below the normal range.
std::vector<float> hard_input(Lcg& r, size_t samples) {
    std::vector<float> v(samples);
    for (size_t i = 0; i < samples; ++i) {
        const uint64_t kind = r.next() % 16;
        const double u = r.unit() - 0.5;
        v[i] = kind < 9    ? static_cast<float>(u * 40000.0)
               : kind < 11 ? ((r.next() & 1) ? 0.0f : -0.0f)
               : kind < 13 ? static_cast<float>(u * 1e-39)
               : kind < 14 ? static_cast<float>(u * 1e30)
                           : static_cast<float>(u * 1e-3);
    }
    for (size_t i = samples * 3 / 4; i < samples; ++i) v[i] = 0.0f;
    return v;
}

// The four-pole block against FourPoleLowpass::step, bit for bit, stereo and mono, with the same
// coefficients all along (as the sweep off gives) and new ones every frame: f across and beyond the
// controls' range (f below 2^-8, where 1 - f is rounded, and above 1), every resonance, levels of
// every size, states that start loud, tiny or deep in the subnormal range, and inputs that are.
TEST(ExactKernels, FourPoleBlockMatchesThePlainStep) {
    Lcg r{23};
    constexpr int kFrames = 600;
    for (int round = 0; round < 240; ++round) {
        const bool stereo = round % 2 == 0, constant = round % 4 < 2;
        const int channels = stereo ? 2 : 1;
        alignas(16) double f[kFrames][2], fb[kFrames][2];
        const double res = 0.1 * static_cast<double>(1 + r.next() % 39);
        for (int i = 0; i < kFrames; ++i) {
            for (int l = 0; l < 2; ++l) {
                const uint64_t pick = r.next() % 8;
                const double fv = pick == 0 ? 0x1p-9 + r.unit() * 0x1p-9 : pick == 1 ? 1.0 + r.unit() * 0.2 : 0.01 + r.unit() * 0.5;
                f[i][l] = constant ? f[0][l] : fv;
                if (constant && i == 0) f[0][l] = fv;
                fb[i][l] = FourPoleLowpass::fb_of(f[i][l], res);
            }
            if (!stereo) f[i][1] = f[i][0], fb[i][1] = fb[i][0];
        }
        const float levels[] = {1.0f, 1.0f / 11.0f, 11.0f, -2.0f};
        const float level = levels[r.next() % 4];
        FourPoleLowpass start[2] = {random_state(r, static_cast<int>(r.next() % 5)),
                                    random_state(r, static_cast<int>(r.next() % 5))};
        if (!stereo) start[1] = start[0];
        const std::vector<float> in = hard_input(r, static_cast<size_t>(channels) * kFrames);

        std::vector<float> want = in;
        FourPoleLowpass plain[2] = {start[0], start[1]};
        for (int i = 0; i < kFrames; ++i)
            for (int c = 0; c < channels; ++c) {
                float& x = want[static_cast<size_t>(i * channels + c)];
                x = static_cast<float>(plain[c].step(x, f[i][c], fb[i][c]) * static_cast<double>(level));
            }

        std::vector<float> got = in;
        FourPoleLowpass poles[2] = {start[0], start[1]};
        if (stereo)
            exact::four_pole_block<true>(kFrames, got.data(), poles, exact::PoleCoefficients{f, fb}, level);
        else
            exact::four_pole_block<false>(kFrames, got.data(), poles, exact::PoleCoefficients{f, fb}, level);
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(bits(got[i]), bits(want[i])) << "round " << round << " sample " << i << ": " << got[i] << " vs " << want[i];
        for (int c = 0; c < channels; ++c) {
            expect_same_state(poles[c], plain[c]);
            if (HasFatalFailure()) return;
        }
    }
}

// The second-order block against the plain extended step, bit for bit: mono and stereo, plain and
// with the shelf's gain, designs from very low to near-Nyquist cut-offs, silence (where the sign of
// an all-zero sum decides), subnormal, huge and loud inputs.
TEST(ExactKernels, SecondOrderBlockMatchesThePlainStep) {
    Lcg r{31};
    for (int round = 0; round < 400; ++round) {
        const bool stereo = round % 2 == 0;
        const int channels = stereo ? 2 : 1;
        const double c = std::tan(3.141592653589 * (1.0 + r.unit() * 23000.0) / 48000.0);
        const double k = 1.41 / static_cast<double>(1 + r.next() % 20);
        const float A0 = static_cast<float>(c * c + k * c + 1.0), A1 = static_cast<float>(c * c - 2.0),
                    A2 = static_cast<float>(c * c - k * c + 1.0);
        const float gain_value = static_cast<float>(r.unit() * 2.0);
        const float* gain = round % 4 < 2 ? nullptr : &gain_value;
        const int frames = 1 + static_cast<int>(r.next() % 500);
        const std::vector<float> in = hard_input(r, static_cast<size_t>(channels * frames));
        BiquadMemory start[2];
        for (BiquadMemory& m : start) {
            m.x1 = in[r.next() % in.size()], m.x2 = in[r.next() % in.size()];
            m.y1 = in[r.next() % in.size()] * 0.5f, m.y2 = in[r.next() % in.size()] * 0.25f;
        }

        std::vector<float> want = in;
        BiquadMemory plain[2] = {start[0], start[1]};
        for (int i = 0; i < frames; ++i)
            for (int ch = 0; ch < channels; ++ch) {
                float& x = want[static_cast<size_t>(i * channels + ch)];
                const float y = exact::biquad_step(plain[ch], x, A0, A1, A2);
                x = gain ? static_cast<float>(static_cast<long double>(y) * *gain + plain[ch].x1) : y;
            }
        std::vector<float> got = in;
        BiquadMemory fast[2] = {start[0], start[1]};
        exact::biquad_block(fast[0], stereo ? &fast[1] : nullptr, got.data(), frames, A0, A1, A2, gain);
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(bits(got[i]), bits(want[i])) << "round " << round << " sample " << i;
        for (int ch = 0; ch < channels; ++ch) {
            EXPECT_EQ(bits(fast[ch].y1), bits(plain[ch].y1));
            EXPECT_EQ(bits(fast[ch].y2), bits(plain[ch].y2));
            EXPECT_EQ(bits(fast[ch].x1), bits(plain[ch].x1));
            EXPECT_EQ(bits(fast[ch].x2), bits(plain[ch].x2));
        }
    }
}
#endif

}  // namespace
}  // namespace vx
