#include "MultiTortions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <climits>
#include <cstdio>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "engine/program_folder.h"
#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

namespace fs = std::filesystem;
using test::Instance;
using test::noise;

constexpr EffectKind kKind = 5;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// --- a plain reference: one band at a time, written from the recurrences ------------------------

float ref_standard(float u, float L) {
    const float k = static_cast<float>(static_cast<double>(L) / 16000.0);
    const double kd = k, Ld = L;
    if (u >= 180000.0f)
        u = L;
    else if (u >= 48000.0f)
        u = static_cast<float>(0.125 * kd * (u - 48000.0) + Ld);
    else if (u >= 16000.0f)
        u = static_cast<float>(0.5 * kd * (u - 16000.0));
    else if (u >= L)
        u = static_cast<float>(Ld - kd * u);
    if (u < -180000.0f)
        u = -L;
    else if (u < -48000.0f)
        u = static_cast<float>(0.125 * kd * (u + 48000.0) - Ld);
    else if (u < -16000.0f)
        u = static_cast<float>(0.5 * kd * (u + 16000.0));
    else if (u < -L)
        u = static_cast<float>(-Ld - kd * u);
    return u;
}

float ref_true(float u, float T, float s) {
    const double sd = s;
    if (u >= 0.0f && u >= T) {
        u = static_cast<float>(sd * u + (1.0 - sd) * T);
    } else if (u < 0.0f) {
        u = -u;
        if (u > T) u = static_cast<float>(sd * u + (1.0 - sd) * T);
        u = -u;
    }
    return u;
}

float ref_band_pass(float x, float& x1, float& x2, float& y1, float& y2, float a0, float a1, float a2) {
    const float y = static_cast<float>(((static_cast<double>(x) - x2) - static_cast<double>(a1) * y1 -
                                        static_cast<double>(a2) * y2) / a0);
    y2 = y1;
    y1 = y;
    x2 = x1;
    x1 = x;
    return y;
}

struct RefBank {
    bool second = false;  // bank 1: Filter 2 with the next band's coefficients, bands 14 and 15 unwritten
    float a0[16], a1[16], a2[16], ea0[16], ea1[16], ea2[16];
    float x1[16] = {}, x2[16] = {}, y1[16] = {}, y2[16] = {};
    float ex1[16] = {}, ex2[16] = {}, ey1[16] = {}, ey2[16] = {}, eout[16] = {}, band[16] = {};
    int case_hits[10] = {};  // which shaper cases the signal reached

    RefBank(const MultiBank& b, bool bank1) : second(bank1) {
        for (int j = 0; j < 16; ++j) {
            a0[j] = b.bp_a0[j], a1[j] = b.bp_a1[j], a2[j] = b.bp_a2[j];
            ea0[j] = b.eq_a0[j], ea1[j] = b.eq_a1[j], ea2[j] = b.eq_a2[j];
        }
    }

    float step(float v, const TMultiTortion_form& f) {
        const float* gains = nullptr;
        float g[16];
        for (int j = 0; j < 16; ++j) g[j] = second ? f.eq_gain1[j].load() : f.eq_gain0[j].load();
        gains = g;
        for (int j = 0; j < 16; ++j) {
            float u = ref_band_pass(v, x1[j], x2[j], y1[j], y2[j], a0[j], a1[j], a2[j]);
            if (f.use_standard) {
                const float a = std::fabs(u);
                case_hits[a >= 180000 ? 0 : a >= 48000 ? 1 : a >= 16000 ? 2 : a >= 200 ? 3 : 4]++;
                u = ref_standard(u, 200.0f);
            }
            if (f.use_true) {
                case_hits[std::fabs(u) > f.porog[j] ? 5 : 6]++;
                u = ref_true(u, f.porog[j], f.true_slope);
            }
            band[j] = u;
        }
        if (f.use_filter2 == 1) {
            for (int j = 0; j < 16; ++j) {
                if (second) {
                    if (j < 14)
                        eout[j] = ref_band_pass(band[j], ex1[j], ex2[j], ey1[j], ey2[j], a0[j + 1], a1[j + 1], a2[j + 1]);
                } else if (f.eq_on[j]) {
                    eout[j] = ref_band_pass(band[j], ex1[j], ex2[j], ey1[j], ey2[j], ea0[j], ea1[j], ea2[j]);
                } else {
                    eout[j] = band[j];
                }
            }
        }
        double mix = 0.0;
        for (int j = 0; j < 16; ++j)
            mix = mix + static_cast<double>(f.use_filter2 == 1 ? eout[j] : band[j]) * static_cast<double>(gains[j]);
        return static_cast<float>(mix);
    }
};

// The whole block as described: Drive, left through bank 1 and right through bank 0, Level.
void ref_block(RefBank& b0, RefBank& b1, const TMultiTortion_form& f, float* x, int n, int ch) {
    const int count = ch == 1 ? n : 2 * n;
    for (int i = 0; i < count; ++i) x[i] = x[i] * f.gain_in.load();
    if (ch == 1) {
        for (int i = 0; i < n; ++i) x[i] = b0.step(x[i], f);
    } else {
        for (int i = 0; i < n; ++i) x[2 * i] = b1.step(x[2 * i], f);
        for (int i = 0; i < n; ++i) x[2 * i + 1] = b0.step(x[2 * i + 1], f);
    }
    for (int i = 0; i < count; ++i) x[i] = x[i] * f.gain_out.load();
}

// Each test on a program folder of its own, so that no "MTEQ.ini" of another run leaks in.
class Plus : public ::testing::Test {
protected:
    void SetUp() override {
        home = fs::temp_directory_path() / ("vx-plus-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home);
        fs::create_directories(home);
        saved_home = program_home();
        set_program_home(home);
        set_settings_read_only(false);
    }
    void TearDown() override {
        set_program_home(saved_home);
        set_settings_reporter(nullptr);
        fs::remove_all(home);
    }
    std::string ini_text() {
        std::ifstream in(home / "MTEQ.ini");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path home, saved_home;
};

TMultiTortion_form& plus(Instance& i) { return i.as<TMultiTortion_form>(); }

std::string key(int k) {
    char b[8];
    std::snprintf(b, sizeof b, "s%d", k);
    return b;
}

// Every switch and slider away from its default, so that the reference comparison covers them.
void everything_on(TMultiTortion_form& f) {
    f.Gang.set_checked(false);
    f.CheckBox_Standard.set_checked(true);
    f.CheckBox_True.set_checked(true);
    f.CheckBox_Filter2.set_checked(true);
    f.ScrollBar_gain_In.set_position(90);
    f.ScrollBar_gain_Out.set_position(30);
    for (int k = 0; k < 16; ++k) {
        f.ScrollBar[k]->set_position(7 * k % 101);
        f.spSkinScrollBar[k + 1]->set_position(100 - 6 * k);
        f.spSkinScrollBar[k + 17]->set_position(20 + 3 * k);
    }
    for (int c = 1; c <= 16; c += 2) f.spSkinCheckRadioBox[c]->set_checked(true);
}

// --- band design ----------------------------------------------------------------------------

TEST_F(Plus, BandDesignMatchesTheBandPassOfItsEdges) {
    Instance inst(kKind);
    const TMultiTortion_form& f = plus(inst);
    // From the edges directly: a = cot(pi bw / fs), b = cos(2 pi fc / fs) / cos(pi bw / fs).
    auto expect_design = [](double fc, double bw, float a0, float a1, float a2, const char* what) {
        const long double pi = std::numbers::pi_v<long double>;
        const long double a = 1.0L / std::tan(pi * bw / 48000.0L);
        const long double b = std::cos(2.0L * pi * fc / 48000.0L) / std::cos(pi * bw / 48000.0L);
        EXPECT_NEAR(a0, a + 1.0L, 2e-7 * (a + 1.0L)) << what;
        EXPECT_NEAR(a1, -2.0L * b * a, 2e-7 * std::fabs(2.0L * b * a)) << what;
        EXPECT_NEAR(a2, a - 1.0L, 2e-7 * (a - 1.0L)) << what;
    };
    for (const MultiBank* b : {&f.bank0, &f.bank1}) {
        expect_design(50, 50, b->bp_a0[0], b->bp_a1[0], b->bp_a2[0], "band 0");
        expect_design(150, 180, b->bp_a0[1], b->bp_a1[1], b->bp_a2[1], "band 1");
        expect_design(1550, 180, b->bp_a0[15], b->bp_a1[15], b->bp_a2[15], "band 15");
    }
    expect_design(100, 100, f.bank0.eq_a0[0], f.bank0.eq_a1[0], f.bank0.eq_a2[0], "Filter 2 band 0");
    for (int j = 0; j < 16; ++j) {
        EXPECT_EQ(f.bank0.bp_fc[j], 100.0f * j + 50.0f);
        EXPECT_EQ(f.bank0.bp_bw[j], j == 0 ? 50.0f : 180.0f);
        EXPECT_EQ(f.bank0.eq_fc[j], 2.0f * f.bank0.bp_fc[j]);
        EXPECT_EQ(f.bank0.eq_bw[j], 2.0f * f.bank0.bp_bw[j]);
        EXPECT_EQ(bits(f.bank0.bp_a1[j]), bits(f.bank1.bp_a1[j]));
    }
}

TEST_F(Plus, PlainBandSumGainsOnSines) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    f.CheckBox_Standard.set_checked(false);
    // The sum of the 16 responses, from the coefficients.
    auto response = [&](double hz) {
        const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * hz / 48000.0);
        std::complex<double> h = 0;
        for (int j = 0; j < 16; ++j)
            h += (1.0 - z1 * z1) / (static_cast<double>(f.bank0.bp_a0[j]) + static_cast<double>(f.bank0.bp_a1[j]) * z1 +
                                    static_cast<double>(f.bank0.bp_a2[j]) * z1 * z1);
        return std::abs(h);
    };
    const struct { double hz, about; } cases[] = {{1000, 2.85}, {3000, 1.0}, {10000, 0.24}, {0, 0.0}};
    for (const auto& c : cases) {
        Instance fresh(kKind);
        plus(fresh).CheckBox_Standard.set_checked(false);
        std::vector<float> x(96000);
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(c.hz == 0 ? 1000.0 : 1000.0 * std::sin(2.0 * std::numbers::pi * c.hz * i / 48000.0));
        fresh.process(x, 1);
        float peak = 0;
        for (size_t i = x.size() - 4800; i < x.size(); ++i) peak = std::max(peak, std::fabs(x[i]));
        EXPECT_NEAR(peak / 1000.0, c.about, 0.03 + 0.02 * c.about) << c.hz << " Hz";
        EXPECT_NEAR(peak / 1000.0, response(c.hz), 0.002 + 0.002 * c.about) << c.hz << " Hz";
    }
}

// --- shapers ----------------------------------------------------------------------------------

TEST(PlusShapers, StandardAndTrueTables) {
    const struct { float in, out; } standard[] = {
        {100, 100},       {200, 197.5f},     {-200, -200},   {8000, 100},       {16000, 0},
        {48000, 200},     {180000, 200},     {-180000, -406.25f}, {-8000, -100}, {-48000, -200},
        {179999, 406.248f}, {-190000, -200},  {0, 0},
    };
    for (const auto& c : standard) EXPECT_NEAR(ref_standard(c.in, 200.0f), c.out, 1e-3) << c.in;
    const struct { float in, out; } limiter[] = {{1200, 210}, {-1200, -210}, {200, 200}, {-200, -200}, {100, 100}};
    for (const auto& c : limiter) EXPECT_NEAR(ref_true(c.in, 200.0f, 0.01f), c.out, 1e-4) << c.in;
    EXPECT_EQ(ref_true(200.0f, 200.0f, 0.01f), 200.0f);
    EXPECT_EQ(ref_true(-200.0f, 200.0f, 0.01f), -200.0f);
}

// --- the kernel against the reference -------------------------------------------------------------

// Loud enough that bands reach every case of both shapers, then quiet, in mono and stereo, with the
// switches and sliders changed between rounds.
// Both kernels, the plain one and the AVX2 one, wherever the processor has it.
TEST_F(Plus, BlocksMatchThePlainBandLoopBitForBit) {
    for (int ch : {1, 2}) {
        for (int setting = 0; setting < 8; ++setting) {
            Instance inst(kKind);
            TMultiTortion_form& f = plus(inst);
            f.vector_path = setting < 4 && plus_vector_available();
            if (setting % 4 >= 1) everything_on(f);
            if (setting % 4 == 2) f.CheckBox_Standard.set_checked(false);
            if (setting % 4 == 3) f.CheckBox_True.set_checked(false);
            RefBank b0(f.bank0, false), b1(f.bank1, true);
            std::vector<float> x = noise(static_cast<size_t>(ch) * 6000, 3 + setting % 4, 30000.0f);
            for (size_t i = 0; i < x.size(); ++i) {
                const double t = static_cast<double>(i / ch) / 48000.0;
                x[i] += static_cast<float>(30000.0 * std::sin(2 * std::numbers::pi * 450.0 * t));
            }
            x.resize(x.size() + static_cast<size_t>(ch) * 3000, 0.0f);  // and the tail into silence
            std::vector<float> expect = x;
            inst.process(x, ch, 480);
            for (size_t at = 0; at < expect.size(); at += static_cast<size_t>(480 * ch)) {
                const int n = static_cast<int>(std::min<size_t>(480, (expect.size() - at) / ch));
                ref_block(b0, b1, f, expect.data() + at, n, ch);
            }
            for (size_t i = 0; i < x.size(); ++i)
                ASSERT_EQ(bits(x[i]), bits(expect[i])) << "channels " << ch << " setting " << setting << " sample " << i;
            if (setting == 1 && ch == 2) {
                for (int c : {0, 1, 2, 3, 4, 5, 6}) EXPECT_GT(b0.case_hits[c] + b1.case_hits[c], 0) << "shaper case " << c;
            }
        }
    }
}

// Long silence after a signal leaves the band filters cycling far below the normal range, which the
// kernel takes a short cut through: still the same bits, whatever the block size.
TEST_F(Plus, LongSilenceAfterSignalMatchesThePlainBandLoop) {
    for (int ch : {1, 2}) {
        for (int setting = 0; setting < 2; ++setting) {
            for (int block : {480, 37}) {
                Instance inst(kKind);
                TMultiTortion_form& f = plus(inst);
                f.vector_path = block == 480 && plus_vector_available();
                if (setting == 1) everything_on(f);
                RefBank b0(f.bank0, false), b1(f.bank1, true);
                std::vector<float> x = noise(static_cast<size_t>(ch) * 2000, 9 + setting, 20000.0f);
                x.resize(static_cast<size_t>(ch) * 40000, 0.0f);
                std::vector<float> expect = x;
                inst.process(x, ch, block);
                for (size_t at = 0; at < expect.size(); at += static_cast<size_t>(480 * ch)) {
                    const int n = static_cast<int>(std::min<size_t>(480, (expect.size() - at) / ch));
                    ref_block(b0, b1, f, expect.data() + at, n, ch);
                }
                for (size_t i = 0; i < x.size(); ++i)
                    ASSERT_EQ(bits(x[i]), bits(expect[i]))
                        << "channels " << ch << " setting " << setting << " block " << block << " sample " << i;
                EXPECT_NE(f.bank0.bp_y1[0], 0.0f);  // still cycling, not at rest
                EXPECT_LT(std::fabs(f.bank0.bp_y1[0]), 1e-30f);
            }
        }
    }
}

TEST_F(Plus, BlockSizesAndEmptyBlocksChangeNothing) {
    std::vector<float> first;
    for (int block : {480, 1, 7, 512}) {
        Instance inst(kKind);
        everything_on(plus(inst));
        std::vector<float> x = noise(2 * 3000, 8, 20000.0f);
        std::vector<float> y(x.begin(), x.begin() + 2 * 1000), z(x.begin() + 2 * 1000, x.end());
        inst.process(y, 2, block);
        // A block of 0 frames leaves buffer and state alone.
        float guard = 12345.0f;
        get_registry().process[kKind](0, 48000, 2, &guard, inst.cell());
        EXPECT_EQ(guard, 12345.0f);
        inst.process(z, 2, block);
        y.insert(y.end(), z.begin(), z.end());
        if (first.empty()) {
            first = y;
            continue;
        }
        for (size_t i = 0; i < y.size(); ++i) ASSERT_EQ(bits(y[i]), bits(first[i])) << "block " << block << " sample " << i;
    }
}

TEST_F(Plus, MonoToStereoCarriesBankZeroIntoTheRightChannel) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    everything_on(f);
    RefBank b0(f.bank0, false), b1(f.bank1, true);
    std::vector<float> mono = noise(960, 4, 8000.0f), stereo = noise(2 * 960, 5, 8000.0f);
    std::vector<float> em = mono, es = stereo;
    inst.process(mono, 1);
    inst.process(stereo, 2);
    ref_block(b0, b1, f, em.data(), 480, 1);
    ref_block(b0, b1, f, em.data() + 480, 480, 1);
    ref_block(b0, b1, f, es.data(), 480, 2);
    ref_block(b0, b1, f, es.data() + 960, 480, 2);
    for (size_t i = 0; i < es.size(); ++i) ASSERT_EQ(bits(stereo[i]), bits(es[i])) << i;
    // Left starts from bank 1's untouched memories: its first sample is the plain first band sum.
    EXPECT_NE(f.bank0.bp_y1[3], f.bank1.bp_y1[3]);
}

TEST_F(Plus, SingleChannelMethodsRunTheirBanks) {
    Instance a(kKind), b(kKind);
    everything_on(plus(a));
    everything_on(plus(b));
    plus(a).ScrollBar_gain_In.set_position(50);
    plus(a).ScrollBar_gain_Out.set_position(50);
    std::vector<float> stereo = noise(2 * 700, 13, 9000.0f), left(700), right(700);
    for (int i = 0; i < 700; ++i) left[i] = stereo[2 * i], right[i] = stereo[2 * i + 1];
    a.process(stereo, 2);
    plus(b).mb_dsp_1(left.data(), 700);
    plus(b).mb_dsp(right.data(), 700);
    for (int i = 0; i < 700; ++i) {
        ASSERT_EQ(bits(left[i]), bits(stereo[2 * i])) << i;
        ASSERT_EQ(bits(right[i]), bits(stereo[2 * i + 1])) << i;
    }
}

TEST_F(Plus, UpperRowIsTheRightChannelMiddleRowTheLeft) {
    const std::vector<float> in = noise(2 * 2000, 6, 5000.0f);
    auto run = [&](auto&& setup) {
        Instance inst(kKind);
        TMultiTortion_form& f = plus(inst);
        f.Gang.set_checked(false);
        setup(f);
        std::vector<float> x = in;
        inst.process(x, 2);
        return x;
    };
    const auto plain = run([](TMultiTortion_form&) {});
    const auto upper = run([](TMultiTortion_form& f) { f.ScrollBar[4]->set_position(0); });
    const auto middle = run([](TMultiTortion_form& f) { f.spSkinScrollBar[5]->set_position(0); });
    bool right_changed = false, left_changed = false;
    for (size_t i = 0; i < in.size(); i += 2) {
        EXPECT_EQ(bits(upper[i]), bits(plain[i]));           // left untouched by the upper row
        EXPECT_EQ(bits(middle[i + 1]), bits(plain[i + 1]));  // right untouched by the middle row
        right_changed = right_changed || upper[i + 1] != plain[i + 1];
        left_changed = left_changed || middle[i] != plain[i];
    }
    EXPECT_TRUE(right_changed);
    EXPECT_TRUE(left_changed);
}

TEST_F(Plus, FilterTwoSilencesTheLeftChannelsTopTwoBands) {
    const std::vector<float> in = noise(2 * 3000, 7, 5000.0f);
    auto left = [&](bool filter2, int gain_position) {
        Instance inst(kKind);
        TMultiTortion_form& f = plus(inst);
        f.CheckBox_Filter2.set_checked(filter2);
        f.Gang.set_checked(false);
        f.spSkinScrollBar[15]->set_position(gain_position);
        f.spSkinScrollBar[16]->set_position(gain_position);
        std::vector<float> x = in;
        inst.process(x, 2);
        std::vector<float> l;
        for (size_t i = 0; i < x.size(); i += 2) l.push_back(x[i]);
        return l;
    };
    EXPECT_EQ(left(true, 0), left(true, 100));
    EXPECT_NE(left(false, 0), left(false, 100));
}

TEST_F(Plus, DriveAndLevelTouchOnlyTheBlock) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    f.ScrollBar_gain_In.set_position(100);
    f.ScrollBar_gain_Out.set_position(0);
    EXPECT_EQ(f.gain_in, 11.0f);
    EXPECT_EQ(f.gain_out, *SliderFactor(0));
    for (int ch : {2, 1}) {
        std::vector<float> buf(2 * 64 + 8, 777.0f);
        get_registry().process[kKind](64, 48000, ch, buf.data(), inst.cell());
        for (size_t i = 0; i < buf.size(); ++i) {
            if (i < static_cast<size_t>(64 * ch))
                EXPECT_NE(buf[i], 777.0f) << i;
            else
                EXPECT_EQ(buf[i], 777.0f) << i;
        }
    }
}

// --- stays finite ----------------------------------------------------------------------------

TEST_F(Plus, FiniteAtEveryExtremeAndAfterNonFiniteInput) {
    for (int pos : {0, 100}) {
        for (int flags = 0; flags < 8; ++flags) {
            Instance inst(kKind);
            TMultiTortion_form& f = plus(inst);
            f.CheckBox_Standard.set_checked(flags & 1);
            f.CheckBox_True.set_checked(flags & 2);
            f.CheckBox_Filter2.set_checked(flags & 4);
            f.ScrollBar_gain_In.set_position(pos);
            f.ScrollBar_gain_Out.set_position(pos);
            for (int k = 0; k < 16; ++k) {
                f.ScrollBar[k]->set_position(100 - pos);
                f.spSkinScrollBar[k + 17]->set_position(pos);
                f.spSkinCheckRadioBox[k + 1]->set_checked(true);
            }
            for (int ch : {1, 2}) {
                std::vector<float> x = noise(static_cast<size_t>(ch) * 4800, 9, 32767.0f);
                x.resize(x.size() * 3, 0.0f);
                inst.process(x, ch);
                for (float v : x) ASSERT_TRUE(std::isfinite(v));
            }
            // A damaged upstream: non-finite input gives silence, and the next block is clean.
            std::vector<float> bad(2 * 480, 100.0f);
            bad[10] = std::numeric_limits<float>::quiet_NaN();
            bad[11] = std::numeric_limits<float>::infinity();
            bad[12] = 3e38f;
            inst.process(bad, 2);
            for (float v : bad) ASSERT_TRUE(std::isfinite(v));
            EXPECT_TRUE(f.bank0.memories_finite());
            EXPECT_TRUE(f.bank1.memories_finite());
            std::vector<float> after = noise(2 * 480, 10, 1000.0f);
            inst.process(after, 2);
            for (float v : after) ASSERT_TRUE(std::isfinite(v));
        }
    }
}

// --- editor --------------------------------------------------------------------------------------

TEST_F(Plus, NewInstanceWithoutSettingsFile) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    EXPECT_EQ(f.caption(), "Distortion Plus");
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(f.ScrollBar[k]->position(), 50);
        EXPECT_EQ(f.spSkinScrollBar[k + 1]->position(), 50);
        EXPECT_EQ(f.spSkinScrollBar[k + 17]->position(), 50);
        EXPECT_EQ(f.porog[k], 200.0f);  // not what the slider at 50 would give
        EXPECT_EQ(f.ScrollBar[k]->hint, "  " + std::to_string(100 * k + 50) + " Hz  ");
        EXPECT_EQ(f.spSkinScrollBar[k + 1]->hint, f.ScrollBar[k]->hint);
        EXPECT_EQ(f.spSkinEdit[k + 1]->text(), std::to_string(k));
        EXPECT_EQ(f.spSkinCheckRadioBox[k + 1]->caption(), " Off");
    }
    EXPECT_EQ(f.ScrollBar_gain_In.position(), 50);
    EXPECT_EQ(f.ScrollBar_gain_Out.position(), 50);
    EXPECT_TRUE(f.Gang.checked());
    EXPECT_TRUE(f.CheckBox_Standard.checked());
    EXPECT_TRUE(f.use_standard);
    EXPECT_FALSE(f.CheckBox_True.checked());
    EXPECT_FALSE(f.CheckBox_Filter2.checked());
    EXPECT_EQ(f.spSkinHeaderControl1.sections(), (std::vector<std::string>{"0", "0 ", "0 dB", "0 Hz"}));
    EXPECT_FALSE(fs::exists(home / "MTEQ.ini"));  // reading never creates it
}

TEST_F(Plus, ClosingWritesTheFileAndTheNextInstanceStartsFromIt) {
    {
        Instance a(kKind);
        TMultiTortion_form& f = plus(a);
        f.ScrollBar[3]->set_position(10);  // ganged: the middle row's band 3 follows
        f.Gang.set_checked(false);
        f.ScrollBar[4]->set_position(90);
        f.spSkinScrollBar[16]->set_position(0);
        f.ScrollBar_gain_In.set_position(70);
        f.ScrollBar_gain_Out.set_position(20);
        f.CheckBox_Standard.set_checked(false);
        f.CheckBox_True.set_checked(true);
        f.CheckBox_Filter2.set_checked(true);
        f.spSkinScrollBar[20]->set_position(0);
        ASSERT_TRUE(f.close());
    }
    std::string expect = "[EQL]\n";
    for (int k = 0; k < 16; ++k) expect += key(k) + "=" + (k == 3 ? "10" : k == 4 ? "90" : "50") + "\n";
    expect += "[EQR]\n";
    for (int k = 0; k < 16; ++k) expect += key(k) + "=" + (k == 3 ? "10" : k == 15 ? "0" : "50") + "\n";
    expect += "[Other]\nDrive=70\nLevel=20\nStandard=0\nTrue=1\nFilter2=1\n";
    std::string lines;  // the keys in the order written, blank lines aside
    std::istringstream in(ini_text());
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) lines += l + "\n";
    EXPECT_EQ(lines, expect);

    Instance b(kKind);
    TMultiTortion_form& g = plus(b);
    EXPECT_EQ(g.ScrollBar[3]->position(), 10);
    EXPECT_EQ(g.ScrollBar[4]->position(), 90);
    EXPECT_EQ(g.spSkinScrollBar[4]->position(), 10);
    EXPECT_EQ(g.spSkinScrollBar[5]->position(), 50);  // the file's EQR wins over the gang
    EXPECT_EQ(g.spSkinScrollBar[16]->position(), 0);
    EXPECT_EQ(g.eq_gain0[4], *SliderFactor(10));
    EXPECT_EQ(g.eq_gain1[15], 11.0f);
    EXPECT_EQ(g.gain_in, *SliderFactor(70));
    EXPECT_FALSE(g.use_standard);
    EXPECT_TRUE(g.use_true);
    EXPECT_EQ(g.use_filter2, 1);
    EXPECT_TRUE(g.Gang.checked());  // never written
    EXPECT_EQ(g.spSkinScrollBar[20]->position(), 50);
    EXPECT_EQ(g.porog[3], 200.0f);
}

TEST_F(Plus, SettingsFileReadingRules) {
    std::ofstream(home / "MTEQ.ini") << "; kept\n[eql]\nS2=0x10\ns3=abc\ns4=250\n[Other]\nGang=0\nStandard=0\nTrue=7\n"
                                        "Drive=-5\n[Mine]\nx=1\n";
    {
        Instance inst(kKind);
        TMultiTortion_form& f = plus(inst);
        EXPECT_EQ(f.ScrollBar[2]->position(), 16);
        EXPECT_EQ(f.ScrollBar[3]->position(), 50);
        EXPECT_EQ(f.ScrollBar[4]->position(), 100);
        EXPECT_EQ(f.spSkinScrollBar[3]->position(), 50);  // dragged to 16, then EQR's default
        EXPECT_FALSE(f.Gang.checked());
        EXPECT_FALSE(f.CheckBox_Standard.checked());
        EXPECT_TRUE(f.CheckBox_True.checked());
        EXPECT_EQ(f.ScrollBar_gain_In.position(), 0);
        ASSERT_TRUE(f.close());
    }
    const std::string t = ini_text();
    EXPECT_NE(t.find("; kept"), std::string::npos);
    EXPECT_NE(t.find("[Mine]\nx=1"), std::string::npos);
    EXPECT_NE(t.find("Gang=0"), std::string::npos);
    EXPECT_NE(t.find("True=1"), std::string::npos);
}

TEST_F(Plus, AFileThatCannotBeWrittenIsReportedAndTheWindowStays) {
    std::vector<std::string> said;
    set_settings_reporter([&](const std::string& s) { said.push_back(s); });
    fs::create_directories(home / "MTEQ.ini" / "sub");  // a folder in the file's place
    Instance inst(kKind);
    EXPECT_FALSE(plus(inst).close());
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "Unable to write to " + (home / "MTEQ.ini").string());
    EXPECT_TRUE(fs::is_directory(home / "MTEQ.ini" / "sub"));
    for (const auto& e : fs::directory_iterator(home)) EXPECT_EQ(e.path().filename(), "MTEQ.ini");  // no leftovers
}

TEST_F(Plus, ReadOnlySettingsAreNeverWritten) {
    set_settings_read_only(true);
    Instance inst(kKind);
    plus(inst).ScrollBar[0]->set_position(0);
    EXPECT_TRUE(plus(inst).close());
    set_settings_read_only(false);
    EXPECT_FALSE(fs::exists(home / "MTEQ.ini"));
}

TEST_F(Plus, GangAndResets) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    f.ScrollBar[2]->set_position(0);
    EXPECT_EQ(f.spSkinScrollBar[3]->position(), 0);
    EXPECT_EQ(f.eq_gain0[2], 11.0f);
    EXPECT_EQ(f.eq_gain1[2], 11.0f);
    f.spSkinScrollBar[3]->set_position(100);  // the middle row drags nothing
    EXPECT_EQ(f.ScrollBar[2]->position(), 0);
    EXPECT_EQ(f.eq_gain1[2], *SliderFactor(0));
    f.spSkinScrollBar[3]->set_position(20);
    f.spSkinButton[2]->click();  // reset left, ganged: both rows
    EXPECT_EQ(f.ScrollBar[2]->position(), 50);
    EXPECT_EQ(f.spSkinScrollBar[3]->position(), 50);
    f.Gang.set_checked(false);
    f.ScrollBar[2]->set_position(0);
    f.spSkinScrollBar[3]->set_position(0);
    f.spSkinButton[1]->click();  // reset right
    EXPECT_EQ(f.spSkinScrollBar[3]->position(), 50);
    EXPECT_EQ(f.ScrollBar[2]->position(), 0);
}

TEST_F(Plus, ThresholdButtonsAndStatusLine) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    const struct { int button; const char* caption; int position; } cases[] = {
        {3, "- 30 dB", 30}, {4, "-40 dB", 35}, {5, "-50 dB", 40}, {6, "-60 dB", 50}, {7, "-70 dB", 70}};
    for (const auto& c : cases) {
        EXPECT_EQ(f.spSkinButton[c.button]->caption(), c.caption);
        f.spSkinButton[c.button]->click();
        for (int n = 17; n <= 32; ++n) EXPECT_EQ(f.spSkinScrollBar[n]->position(), c.position) << c.caption;
    }
    f.spSkinButton[4]->click();
    EXPECT_EQ(f.spSkinHeaderControl1.sections(),
              (std::vector<std::string>{"Slider 15", "porog 830", "-35 dB  ", "1550 Hz  "}));
    const struct { int p; float porog; } laws[] = {{0, 32768}, {30, 1403.4f}, {50, 171.8f}, {99, 1}, {100, 0.9003f}};
    for (const auto& l : laws) {
        f.spSkinScrollBar[19]->set_position(l.p);
        EXPECT_NEAR(f.porog[2], l.porog, 1e-3 * l.porog + 0.5) << l.p;
    }
    EXPECT_EQ(f.spSkinHeaderControl1.sections()[0], "Slider 2");
    EXPECT_EQ(f.spSkinHeaderControl1.sections()[3], "250 Hz  ");
}

TEST_F(Plus, FrequencyBoxes) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    TextBox& box = *f.spSkinEdit[5];
    box.key_press('x');
    EXPECT_EQ(box.text(), "4");
    box.key_press('2');
    EXPECT_EQ(box.text(), "42");
    box.key_press(8);
    box.key_press(8);
    EXPECT_EQ(box.text(), "0");  // clearing shows 0
    for (char c : std::string("2205")) box.key_press(c);
    EXPECT_EQ(box.text(), "2205");
    box.key_press('0');  // 22050: too high, the text before it comes back
    EXPECT_EQ(box.text(), "2205");
    TextBox& other = *f.spSkinEdit[40];
    other.set_text("0099");
    EXPECT_EQ(other.text(), "99");
    other.set_text("99999");  // the last accepted text is shared by every box
    EXPECT_EQ(other.text(), "99");
    EXPECT_EQ(f.last_accepted_text(), "99");

    f.spSkinButton[8]->click();
    f.spSkinButton[10]->click();
    EXPECT_EQ(f.spSkinEdit[1]->text(), "50");
    EXPECT_EQ(f.spSkinEdit[16]->text(), "1550");
    EXPECT_EQ(f.spSkinEdit[17]->text(), "50");
    EXPECT_EQ(f.spSkinEdit[18]->text(), "180");
    EXPECT_EQ(f.spSkinEdit[33]->text(), "100");
    EXPECT_EQ(f.spSkinEdit[64]->text(), "360");

    // Saving keeps the numbers, not the filters.
    const float a1 = f.bank0.bp_a1[1];
    f.spSkinEdit[2]->set_text("777");
    f.spSkinEdit[34]->set_text("5");
    f.spSkinButton[11]->click();  // "Save freq EQ" saves what "Save freq dsp" saves
    EXPECT_EQ(f.bank0.bp_fc[1], 777.0f);
    EXPECT_EQ(f.bank0.eq_fc[1], 300.0f);
    EXPECT_EQ(f.bank0.bp_a1[1], a1);
    f.spSkinScrollBar[18]->set_position(0);
    EXPECT_EQ(f.spSkinHeaderControl1.sections()[3], "777 Hz  ");
    f.spSkinButton[8]->click();
    EXPECT_EQ(f.spSkinEdit[2]->text(), "777");
}

TEST_F(Plus, FilterTwoBandBoxes) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    f.spSkinCheckRadioBox[3]->set_checked(true);
    for (int c = 1; c <= 16; ++c) {
        EXPECT_EQ(f.eq_on[c - 1], c == 3);
        EXPECT_EQ(f.spSkinCheckRadioBox[c]->caption(), c == 3 ? "On" : "Off");
    }
}

// --- parameters -----------------------------------------------------------------------------------

TEST_F(Plus, ParametersRoundTripAndLeaveByte28) {
    Instance a(kKind);
    TMultiTortion_form& f = plus(a);
    everything_on(f);
    f.Gang.set_checked(true);
    ParameterBlock block{};
    for (auto& w : block) w = static_cast<int32_t>(0xA5A5A5A5u);
    get_registry().params[kKind](block.data(), a.cell(), 0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
    EXPECT_EQ(block[0], 90);
    EXPECT_EQ(block[1], 30);
    EXPECT_EQ(bytes[8], 1);
    EXPECT_EQ(bytes[9], 1);
    EXPECT_EQ(bytes[10], 1);
    EXPECT_EQ(bytes[11], 1);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(bytes[12 + k], 7 * k % 101);
    EXPECT_EQ(bytes[28], 0xA5);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(bytes[29 + k], 100 - 6 * k);
    EXPECT_EQ(bytes[45], 0xA5);

    Instance b(kKind);
    TMultiTortion_form& g = plus(b);
    g.Gang.set_checked(false);
    get_registry().params[kKind](block.data(), b.cell(), 1);
    EXPECT_TRUE(g.Gang.checked());
    EXPECT_EQ(g.ScrollBar_gain_In.position(), 90);
    EXPECT_TRUE(g.use_true);
    EXPECT_EQ(g.use_filter2, 1);
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(g.ScrollBar[k]->position(), 7 * k % 101);
        EXPECT_EQ(g.spSkinScrollBar[k + 1]->position(), 100 - 6 * k);
        EXPECT_EQ(g.eq_gain1[k], *SliderFactor(6 * k));
        EXPECT_EQ(g.porog[k], 200.0f);  // not exchanged
        EXPECT_FALSE(g.eq_on[k]);
    }
}

TEST_F(Plus, OnlyAOneChecksABox) {
    Instance inst(kKind);
    TMultiTortion_form& f = plus(inst);
    ParameterBlock block{};
    auto* bytes = reinterpret_cast<uint8_t*>(block.data());
    block[0] = block[1] = 50;
    bytes[8] = 1;
    bytes[9] = 2;
    bytes[10] = 1;
    bytes[11] = 0xFF;
    for (int k = 0; k < 16; ++k) bytes[12 + k] = 20, bytes[29 + k] = 20;
    inst.put(block);
    EXPECT_TRUE(f.Gang.checked());
    EXPECT_FALSE(f.CheckBox_Standard.checked());
    EXPECT_FALSE(f.use_standard);
    EXPECT_TRUE(f.use_true);
    EXPECT_EQ(f.use_filter2, 0);
    EXPECT_EQ(f.eq_gain1[7], *SliderFactor(80));
}

TEST_F(Plus, DamagedBlocksAreClampedAndSafe) {
    for (int32_t w : {INT_MIN, INT_MAX, -1, 1000, std::bit_cast<int32_t>(std::numeric_limits<float>::quiet_NaN())}) {
        Instance inst(kKind);
        TMultiTortion_form& f = plus(inst);
        ParameterBlock block;
        block.fill(w);
        inst.put(block);
        for (int k = 0; k < 16; ++k) {
            EXPECT_GE(f.ScrollBar[k]->position(), 0);
            EXPECT_LE(f.ScrollBar[k]->position(), 100);
            EXPECT_TRUE(std::isfinite(f.eq_gain0[k].load()));
        }
        EXPECT_TRUE(std::isfinite(f.gain_in.load()));
        std::vector<float> x = noise(2 * 960, 12, 30000.0f);
        inst.process(x, 2);
        for (float v : x) ASSERT_TRUE(std::isfinite(v));
    }
}

}  // namespace
}  // namespace vx
