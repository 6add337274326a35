#include "CompTortions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;

constexpr EffectKind kKind = 3;
using Form = TCompTortion_form;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// --- A plain reference, written out from the rules sample by sample -----------------------------

struct Settings {
    float gin = 1.0f, gout = 1.0f, K = 6e7f, d = 1.25f, crunch = 1.0f;
    int32_t h = 15;
    float c = 0.98f;
};

Settings settings_of(Form& f) {
    return {f.gain_in, f.gain_out, f.sharp_k, f.dist_exp, f.crunch, f.window, f.color};
}

// b to the power e: integral exponents by repeated multiplication, others through the logarithm.
double ref_power(double b, double e) {
    if (e == 0.0) return 1.0;
    if (b == 0.0 && e > 0.0) return 0.0;
    if (e == std::floor(e)) {
        double r = b;
        for (int i = 1; i < static_cast<int>(e); ++i) r = r * b;
        return r;
    }
    return std::exp(e * std::log(b));
}

struct RefChannel {
    float m = 0.0f, E = 0.0f;
    float R[501] = {};
    int wr = 398, mid = 391, old = 383;

    void restart(int h) {
        wr = 398;
        mid = 398 - (h - 1) / 2;
        old = 398 - h;
        E = 0.001f;
    }

    void run(std::vector<float>& v, const Settings& s) {
        const size_t n = v.size();
        std::vector<float> low = v, high(n);
        for (size_t i = 0; i < n; ++i) {
            m = static_cast<float>(static_cast<double>(s.c) * m + (1.0 - static_cast<double>(s.c)) * low[i]);
            low[i] = m;
        }
        for (size_t i = 0; i < n; ++i) high[i] = v[i] - low[i];
        if (E < 50.0f) E = 50.0f;
        for (size_t i = 0; i < n; ++i) {
            for (int* index : {&wr, &mid, &old})
                if (++*index > 500) *index = 0;
            R[wr] = high[i] * s.gin;
            E = static_cast<float>(static_cast<double>(std::fabs(R[wr])) + E - std::fabs(R[old]));
            if (E < 50.0f) E = 50.0f;
            const float g = static_cast<float>(static_cast<double>(E) / s.h * s.crunch);
            const float y = R[mid];
            float q;
            if (s.h > 1)
                q = static_cast<float>((ref_power(g, s.d) + s.K) / (static_cast<double>(g) * g + s.K));
            else
                q = static_cast<float>((ref_power(std::fabs(y), s.d) + s.K) / (static_cast<double>(y) * y + s.K));
            high[i] = static_cast<float>(static_cast<double>(s.gout) * y * q);
        }
        v = high;
    }
};

struct Reference {
    RefChannel L, R;
    void run(std::vector<float>& buf, int channels, const Settings& s) {
        if (channels == 1) {
            L.run(buf, s);
            return;
        }
        const size_t frames = buf.size() / 2;
        std::vector<float> l(frames), r(frames);
        for (size_t i = 0; i < frames; ++i) {
            l[i] = buf[2 * i];
            r[i] = buf[2 * i + 1];
        }
        L.run(l, s);
        R.run(r, s);
        for (size_t i = 0; i < frames; ++i) {
            buf[2 * i] = l[i];
            buf[2 * i + 1] = r[i];
        }
    }
};

// A guitar-like test input: loud noise, a held level, a DC step, and a long silence that takes the
// filter memory down to its smallest values.
std::vector<float> phrase(int channels, uint32_t seed) {
    std::vector<float> v = noise(static_cast<size_t>(channels) * 3000, seed, 20000.0f);
    for (int i = 0; i < 1000 * channels; ++i) v.push_back(i % 2 ? 8000.0f : -8000.0f);
    v.insert(v.end(), static_cast<size_t>(channels) * 700, 12000.0f);
    const auto quiet = noise(static_cast<size_t>(channels) * 500, seed + 1, 3.0f);
    v.insert(v.end(), quiet.begin(), quiet.end());
    v.insert(v.end(), static_cast<size_t>(channels) * 9000, 0.0f);
    return v;
}

// --- Controls, laws and creation values ----------------------------------------------------------

TEST(CompressorDistortion, NewInstanceProcessesWithCreationValuesNotSliders) {
    Instance inst(kKind);
    auto& f = inst.as<Form>();
    EXPECT_EQ(f.caption(), "Compressor-Distortion");
    EXPECT_EQ(f.gain_in.load(), 1.0f);
    EXPECT_EQ(f.gain_out.load(), 1.0f);
    EXPECT_EQ(f.sharp_k.load(), 6e7f);  // Sharp 45, while the slider shows 48
    EXPECT_EQ(f.dist_exp.load(), 1.25f);
    EXPECT_EQ(f.crunch.load(), 1.0f);
    EXPECT_EQ(f.window.load(), 15);
    EXPECT_EQ(f.color.load(), 0.98f);  // while the slider shows 70
    for (auto [wr, mid, old] : {std::tuple{f.wr_L, f.mid_L, f.old_L}, std::tuple{f.wr_R, f.mid_R, f.old_R}}) {
        EXPECT_EQ(wr, 398);
        EXPECT_EQ(mid, 391);
        EXPECT_EQ(old, 383);
    }
    EXPECT_EQ(f.env_L, 0.0f);
    EXPECT_EQ(f.env_R, 0.0f);

    struct Case {
        Slider* slider; const char* label; int min, max, first, moved;
        std::function<double()> field; double expected;
    };
    const Case cases[] = {
        {&f.ScrollBar_Drive, "Drive ", 0, 100, 50, 100, [&] { return f.gain_in.load(); }, 11.0},
        {&f.ScrollBar_Sharp, "Sharp ", 1, 50, 48, 1, [&] { return f.sharp_k.load(); }, 5e8},
        {&f.ScrollBar_Distortion, "Distortion ", 0, 100, 75, 0, [&] { return f.dist_exp.load(); }, 2.0},
        {&f.SkinScroll_Level, "Level ", 0, 100, 50, 0, [&] { return f.gain_out.load(); }, *SliderFactor(0)},
        {&f.ScrollBar_Popravka, "Crunch ", 0, 100, 50, 75, [&] { return f.crunch.load(); }, 6.0},
        {&f.ScrollBar_Softness2, "Softness ", 0, 50, 43, 0, [&] { return f.window.load(); }, 101},
        {&f.ScrollBar_Color, "Color  ", 1, 100, 70, 100, [&] { return f.color.load(); }, 0.999f},
    };
    ASSERT_EQ(f.controls().size(), std::size(cases) + 1);  // the sliders, then the picture
    EXPECT_EQ(f.controls().back(), &f.Curve_Law);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(f.controls()[i], c.slider) << "control order";
        EXPECT_EQ(c.slider->label, c.label);
        EXPECT_EQ(c.slider->min(), c.min);
        EXPECT_EQ(c.slider->max(), c.max);
        EXPECT_EQ(c.slider->position(), c.first);
    }
    // Moving a slider switches exactly its own field.
    for (const Case& c : cases) {
        const ParameterBlock before = inst.get();
        c.slider->set_position(c.moved);
        EXPECT_EQ(c.field(), c.expected) << c.slider->name();
        const ParameterBlock after = inst.get();
        int changed = 0;
        for (int w = 0; w < 7; ++w) changed += before[w] != after[w];
        EXPECT_EQ(changed, 1) << c.slider->name();
    }
}

TEST(CompressorDistortion, SliderLaws) {
    struct Case { int position; float value; };
    const Case sharp[] = {{1, 5e8f}, {45, 6e7f}, {48, 3e7f}, {50, 1e7f}};
    for (const Case& c : sharp) EXPECT_EQ(bits(Form::sharp_of_position(c.position)), bits(c.value)) << c.position;
    const Case exponent[] = {{0, 2.0f}, {25, 1.75f}, {75, 1.25f}, {100, 1.0f}, {33, static_cast<float>(0.67 + 1.0)}};
    for (const Case& c : exponent)
        EXPECT_EQ(bits(Form::exponent_of_position(c.position)), bits(c.value)) << c.position;
    const Case color[] = {{1, 0.1f}, {70, static_cast<float>(std::sqrt(0.7))}, {99, static_cast<float>(std::sqrt(0.99))},
                          {100, 0.999f}, {0, 0.001f}};
    for (const Case& c : color) EXPECT_EQ(bits(Form::color_of_position(c.position)), bits(c.value)) << c.position;

    Instance inst(kKind);
    auto& f = inst.as<Form>();
    for (auto [p, h] : {std::pair{0, 101}, {50, 1}, {42, 17}, {43, 15}}) {
        f.ScrollBar_Softness2.set_position(p);
        EXPECT_EQ(f.window.load(), h) << p;
    }
}

TEST(CompressorDistortion, PowerRules) {
    EXPECT_EQ(Form::Power(123.0, 0.0), 1.0);
    EXPECT_EQ(Form::Power(0.0, 1.25), 0.0);
    EXPECT_EQ(Form::Power(0.0, 2.0), 0.0);
    for (double b : {0.04, 1.0, 3.0, 57.123456789, 8.1e8}) {
        EXPECT_EQ(Form::Power(b, 1.0), b);
        EXPECT_EQ(Form::Power(b, 2.0), b * b);
        for (double e : {1.25, 1.5, 1.99, static_cast<double>(1.33f)})
            EXPECT_EQ(Form::Power(b, e), std::exp(e * std::log(b))) << b << "^" << e;
    }
}

// --- The signal path against the reference -------------------------------------------------------

struct Scene {
    const char* name;
    std::function<void(Form&)> apply;
};

const Scene kScenes[] = {
    {"new instance", [](Form&) {}},
    {"sliders as shown", [](Form& f) {
         f.ScrollBar_Sharp.set_position(47);
         f.ScrollBar_Sharp.set_position(48);
         f.ScrollBar_Color.set_position(71);
         f.ScrollBar_Color.set_position(70);
     }},
    {"pure waveshaper", [](Form& f) {
         f.ScrollBar_Softness2.set_position(50);
         f.ScrollBar_Drive.set_position(80);
     }},
    {"longest window, hardest", [](Form& f) {
         f.ScrollBar_Softness2.set_position(0);
         f.ScrollBar_Distortion.set_position(100);
         f.ScrollBar_Sharp.set_position(50);
         f.ScrollBar_Popravka.set_position(100);
     }},
    {"distortion 0", [](Form& f) {
         f.ScrollBar_Distortion.set_position(0);
         f.ScrollBar_Softness2.set_position(20);
         f.SkinScroll_Level.set_position(30);
     }},
    {"extremes low", [](Form& f) {
         f.ScrollBar_Drive.set_position(0);
         f.ScrollBar_Popravka.set_position(0);
         f.ScrollBar_Color.set_position(1);
         f.ScrollBar_Distortion.set_position(37);
         f.ScrollBar_Softness2.set_position(49);
     }},
};

// Every setup, mono and stereo, blocks of 1, 7, 480 and 512 frames (and one longer than the scratch):
// bit for bit what the rules give, including the long silence that ends in the smallest numbers.
TEST(CompressorDistortion, MatchesThePlainReferenceForAnyBlockSize) {
    for (const Scene& setup : kScenes) {
        for (int channels : {1, 2}) {
            const auto in = phrase(channels, 7);
            std::vector<float> expected = in;
            Reference ref;
            {
                Instance probe(kKind);
                setup.apply(probe.as<Form>());
                const Settings s = settings_of(probe.as<Form>());
                if (s.h != 15) {
                    ref.L.restart(s.h);
                    ref.R.restart(s.h);
                }
                ref.run(expected, channels, s);
            }
            for (int block : {1, 7, 480, 512, 3000}) {
                Instance inst(kKind);
                auto& f = inst.as<Form>();
                setup.apply(f);
                auto buf = in;
                inst.process(buf, channels, block);
                for (size_t i = 0; i < buf.size(); ++i)
                    ASSERT_EQ(bits(buf[i]), bits(expected[i]))
                        << setup.name << ", " << channels << " ch, block " << block << ", sample " << i;
                EXPECT_EQ(bits(f.env_L), bits(ref.L.E)) << setup.name;
                EXPECT_EQ(bits(f.lp_mem_L), bits(ref.L.m)) << setup.name;
                EXPECT_EQ(f.wr_L, ref.L.wr);
                EXPECT_EQ(f.mid_L, ref.L.mid);
                EXPECT_EQ(f.old_L, ref.L.old);
                if (channels == 2) {
                    EXPECT_EQ(bits(f.env_R), bits(ref.R.E)) << setup.name;
                }
            }
        }
    }
}

TEST(CompressorDistortion, DcDiesAwayAndSilenceStaysSilent) {
    Instance quiet(kKind);
    std::vector<float> zeros(2 * 4800, 0.0f);
    quiet.process(zeros, 2);
    for (float x : zeros) ASSERT_EQ(bits(x), 0u);

    Instance dc(kKind);
    std::vector<float> held(2 * 48000, 10000.0f);
    dc.process(held, 2);
    EXPECT_GT(std::fabs(held[2 * 30]), 1000.0f) << "the step itself passes";
    for (size_t i = held.size() - 2 * 480; i < held.size(); ++i) ASSERT_LT(std::fabs(held[i]), 0.05f) << i;
}

// With Distortion 0 the gain law is exactly 1, so the effect is the high-pass, Drive and Level, and
// the delay of the window's middle: (h - 1) div 2 samples.
TEST(CompressorDistortion, DistortionZeroIsTheDelayedHighPassTimesDriveAndLevel) {
    struct Case { int softness, delay; };
    for (const Case c : {Case{0, 50}, Case{43, 7}, Case{49, 1}, Case{50, 0}}) {
        Instance inst(kKind);
        auto& f = inst.as<Form>();
        f.ScrollBar_Distortion.set_position(0);
        f.ScrollBar_Softness2.set_position(c.softness);
        f.ScrollBar_Drive.set_position(70);
        f.SkinScroll_Level.set_position(35);
        const auto in = noise(2000, 3, 30000.0f);
        std::vector<float> high = in;
        float m = 0.0f;
        Form::FNC(high.data(), static_cast<int32_t>(high.size()), 0.98f, m);
        for (size_t i = 0; i < in.size(); ++i) high[i] = in[i] - high[i];
        auto out = in;
        inst.process(out, 1);
        for (int i = 0; i < static_cast<int>(out.size()); ++i) {
            const float t = i >= c.delay ? high[i - c.delay] * f.gain_in : 0.0f;
            ASSERT_EQ(bits(out[i]), bits(static_cast<float>(static_cast<double>(f.gain_out) * t)))
                << "softness " << c.softness << " sample " << i;
        }
    }
}

// One sample's window: no delay, and each sample's gain comes from its own magnitude.
TEST(CompressorDistortion, SoftnessFiftyShapesEachSampleByItself) {
    Instance inst(kKind);
    auto& f = inst.as<Form>();
    f.ScrollBar_Softness2.set_position(50);
    f.ScrollBar_Distortion.set_position(100);  // d = 1: the level held nearly flat
    f.ScrollBar_Sharp.set_position(50);
    std::vector<float> in(200, 0.0f);
    in[100] = 30000.0f;  // an impulse: the high-pass passes it almost whole
    auto out = in;
    inst.process(out, 1);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(out[i], 0.0f);
    const double y = 30000.0f - static_cast<float>(0.02 * 30000.0);
    const double q = (y + 1e7) / (y * y + 1e7);
    EXPECT_NEAR(out[100], y * q, 0.01);
    EXPECT_LT(out[100], 0.02 * y) << "compressed at once, no look-ahead";
}

TEST(CompressorDistortion, SoftnessRestartsBothEnvelopesWhichTheNextBlockRaises) {
    Instance inst(kKind);
    auto& f = inst.as<Form>();
    auto buf = noise(2 * 960, 4);
    inst.process(buf, 2);
    const float ring_before = f.ring_L[200];
    f.ScrollBar_Softness2.set_position(0);
    EXPECT_EQ(f.window.load(), 101);

    // A mono block of nothing takes the new window: the left envelope is raised from 0.001 to the
    // floor, the right one stays at 0.001 until a stereo block comes.
    std::vector<float> none;
    get_registry().process[kKind](0, 48000, 1, none.data(), inst.cell());
    EXPECT_EQ(f.env_L, 50.0f);
    EXPECT_EQ(f.env_R, 0.001f);
    for (auto [wr, mid, old] : {std::tuple{f.wr_L, f.mid_L, f.old_L}, std::tuple{f.wr_R, f.mid_R, f.old_R}}) {
        EXPECT_EQ(wr, 398);
        EXPECT_EQ(mid, 348);
        EXPECT_EQ(old, 297);
    }
    EXPECT_EQ(f.ring_L[200], ring_before) << "the rings keep their contents";
    get_registry().process[kKind](0, 48000, 2, none.data(), inst.cell());
    EXPECT_EQ(f.env_R, 50.0f);

    // Restoring the same Softness does not restart; another one does.
    auto more = noise(2 * 480, 5);
    inst.process(more, 2);
    const float env = f.env_L;
    ParameterBlock b = inst.get();
    inst.put(b);
    get_registry().process[kKind](0, 48000, 2, none.data(), inst.cell());
    EXPECT_EQ(f.env_L, env);
    b[12] = 10;
    inst.put(b);
    EXPECT_EQ(f.window.load(), 81);
    get_registry().process[kKind](0, 48000, 2, none.data(), inst.cell());
    EXPECT_EQ(f.env_L, 50.0f);
    EXPECT_EQ(f.old_L, 398 - 81);
}

TEST(CompressorDistortion, ZeroFramesChangeNothingButTheEnvelopeFloor) {
    Instance inst(kKind);
    auto& f = inst.as<Form>();
    std::vector<float> buf = {1000.0f, -1000.0f};
    get_registry().process[kKind](0, 48000, 2, buf.data(), inst.cell());
    get_registry().process[kKind](-5, 48000, 2, buf.data(), inst.cell());
    EXPECT_EQ(buf, (std::vector<float>{1000.0f, -1000.0f}));
    EXPECT_EQ(f.env_L, 50.0f);
    EXPECT_EQ(f.env_R, 50.0f);
    EXPECT_EQ(f.wr_L, 398);
    EXPECT_EQ(f.lp_mem_L, 0.0f);
}

TEST(CompressorDistortion, MonoLeavesTheRightChannelAloneAndStereoContinuesTheLeft) {
    Instance a(kKind), b(kKind);
    auto& fa = a.as<Form>();
    const auto first = noise(700, 8), second = noise(2 * 300, 9);
    auto ma = first, mb = first;
    a.process(ma, 1, 128);
    b.process(mb, 1, 128);
    EXPECT_EQ(fa.lp_mem_R, 0.0f);
    EXPECT_EQ(fa.env_R, 0.0f);
    EXPECT_EQ(fa.wr_R, 398);
    for (float x : fa.ring_R) ASSERT_EQ(x, 0.0f);

    auto stereo = second;
    a.process(stereo, 2);
    std::vector<float> left(300);
    for (size_t i = 0; i < 300; ++i) left[i] = second[2 * i];
    b.process(left, 1);
    for (size_t i = 0; i < 300; ++i) ASSERT_EQ(bits(stereo[2 * i]), bits(left[i])) << i;
}

// --- Parameter block -----------------------------------------------------------------------------

void move_sliders(Form& f) {
    f.ScrollBar_Drive.set_position(80);
    f.SkinScroll_Level.set_position(30);
    f.ScrollBar_Sharp.set_position(10);
    f.ScrollBar_Distortion.set_position(60);
    f.ScrollBar_Popravka.set_position(65);
    f.ScrollBar_Softness2.set_position(40);
}

TEST(CompressorDistortion, ParameterBlockLayoutAndRestore) {
    Instance src(kKind);
    auto& s = src.as<Form>();
    move_sliders(s);
    ParameterBlock b{};
    b[14] = 1234;
    get_registry().params[kKind](b.data(), src.cell(), 0);
    const int32_t expected[] = {float_word(*SliderFactor(80)), float_word(*SliderFactor(30)), float_word(4.1e8f),
                                float_word(1.4f), float_word(*SliderFactor(65)), 21, float_word(0.98f),
                                80, 30, 10, 60, 65, 40, 70};
    for (int w = 0; w < 14; ++w) EXPECT_EQ(b[w], expected[w]) << "word " << w;
    EXPECT_EQ(b[14], 1234) << "nothing past word 13 is written";

    // Into a new instance: the same settings, Color still at its creation value.
    Instance dst(kKind);
    dst.put(b);
    EXPECT_EQ(dst.get(), src.get());
    Instance hand(kKind);
    move_sliders(hand.as<Form>());
    const auto in = noise(2 * 2000, 3);
    auto x = in, y = in;
    dst.process(x, 2);
    hand.process(y, 2);
    EXPECT_EQ(x, y);
}

TEST(CompressorDistortion, RestoreKeepsStoredFieldsWhereSlidersDoNotMove) {
    Instance inst(kKind);
    auto& f = inst.as<Form>();
    ParameterBlock b = inst.get();
    b[2] = float_word(2e8f);
    b[5] = 101;  // the window without its indices: they keep their distances for 15
    b[6] = float_word(0.5f);
    b[10] = 0;   // Distortion moves and recomputes
    inst.put(b);
    EXPECT_EQ(f.sharp_k.load(), 2e8f);
    EXPECT_EQ(f.window.load(), 101);
    EXPECT_EQ(f.color.load(), 0.5f);
    EXPECT_EQ(f.dist_exp.load(), 2.0f);

    const auto in = noise(2 * 1500, 12);
    auto out = in;
    inst.process(out, 2, 7);
    auto expected = in;
    Reference ref;
    ref.run(expected, 2, settings_of(f));
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(bits(out[i]), bits(expected[i])) << i;
}

TEST(CompressorDistortion, DamagedWordsAreKeptWithinReach) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const int32_t damaged[] = {float_word(nan), float_word(inf), float_word(-inf), INT_MIN, INT_MAX,
                               float_word(1e30f), float_word(-1e30f), 0};
    for (int word = 0; word < 14; ++word) {
        for (int32_t value : damaged) {
            Instance inst(kKind);
            auto& f = inst.as<Form>();
            ParameterBlock b = inst.get();
            b[word] = value;
            inst.put(b);
            EXPECT_TRUE(f.gain_in >= *SliderFactor(0) && f.gain_in <= 11.0f) << word;
            EXPECT_TRUE(f.gain_out >= *SliderFactor(0) && f.gain_out <= 11.0f) << word;
            EXPECT_TRUE(f.crunch >= *SliderFactor(0) && f.crunch <= 11.0f) << word;
            EXPECT_TRUE(f.sharp_k >= 1e7f && f.sharp_k <= 5e8f) << word;
            EXPECT_TRUE(f.dist_exp >= 1.0f && f.dist_exp <= 2.0f) << word;
            EXPECT_TRUE(f.window >= 1 && f.window <= 101) << word;
            EXPECT_TRUE(f.color >= 0.001f && f.color <= 0.999f) << word;
            if (!std::isfinite(word_float(value)) && word <= 6 && word != 5) {
                EXPECT_EQ(inst.get()[word], Instance(kKind).get()[word]) << "a non-number leaves word " << word;
            }
            auto buf = noise(2 * 960, 4, 32767.0f);
            inst.process(buf, 2);
            for (float x : buf) ASSERT_TRUE(std::isfinite(x) && std::fabs(x) < 11.0f * 11.0f * 65536.0f) << word;
        }
    }
}

// --- Stability -----------------------------------------------------------------------------------

// Every slider at its ends, against the others at their low end, middle and top; mono and stereo; a
// loud phrase then silence. Finite everywhere, and bounded while Drive and Level stay in the middle.
TEST(CompressorDistortion, StableAtEveryControlExtreme) {
    auto sliders = [](Form& f) {
        return std::vector<Slider*>{&f.ScrollBar_Drive,    &f.ScrollBar_Sharp,     &f.ScrollBar_Distortion,
                                    &f.SkinScroll_Level,   &f.ScrollBar_Popravka,  &f.ScrollBar_Softness2,
                                    &f.ScrollBar_Color};
    };
    const auto loud = noise(2 * 4000, 17, 32767.0f);
    for (int channels : {1, 2}) {
        for (size_t s = 0; s < 7; ++s) {
            for (bool top : {false, true}) {
                for (int others : {0, 1, 2}) {
                    Instance inst(kKind);
                    auto& f = inst.as<Form>();
                    auto all = sliders(f);
                    for (Slider* o : all)
                        o->set_position(others == 0 ? o->min() : others == 2 ? o->max() : (o->min() + o->max()) / 2);
                    all[s]->set_position(top ? all[s]->max() : all[s]->min());
                    const bool levels_mid = f.ScrollBar_Drive.position() == 50 && f.SkinScroll_Level.position() == 50;
                    std::vector<float> buf(loud.begin(), loud.begin() + channels * 4000);
                    buf.resize(buf.size() + channels * 12000, 0.0f);
                    inst.process(buf, channels);
                    for (float x : buf) {
                        ASSERT_TRUE(std::isfinite(x)) << all[s]->name() << " " << top << " " << others;
                        if (levels_mid) {
                            ASSERT_LT(std::fabs(x), 10.0f * 32768.0f);
                        }
                    }
                    for (float x : {f.env_L, f.env_R, f.lp_mem_L, f.lp_mem_R}) ASSERT_TRUE(std::isfinite(x));
                    for (int i = 0; i < Form::kRing; ++i) ASSERT_TRUE(std::isfinite(f.ring_L[i]) && std::isfinite(f.ring_R[i]));
                }
            }
        }
    }
}

// A non-finite input never stays: the samples before it are untouched, the block comes out finite,
// and the channel starts again from rest.
TEST(CompressorDistortion, NonFiniteInputIsClearedWithinTheBlock) {
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 3e38f}) {
        Instance inst(kKind), clean(kKind);
        auto& f = inst.as<Form>();
        for (Form* g : {&f, &clean.as<Form>()}) {
            g->SkinScroll_Level.set_position(100);
            g->ScrollBar_Drive.set_position(100);  // 3e38 x 11 is no longer a number
        }
        auto buf = noise(480, 6, 20000.0f);
        buf[300] = bad;
        auto ref = buf;
        ref.resize(300);
        inst.process(buf, 1);
        clean.process(ref, 1);
        for (size_t i = 0; i < 300; ++i) ASSERT_EQ(bits(buf[i]), bits(ref[i])) << i;
        for (float x : buf) ASSERT_TRUE(std::isfinite(x)) << bad;
        for (float x : f.ring_L) ASSERT_TRUE(std::isfinite(x));
        ASSERT_TRUE(std::isfinite(f.env_L) && std::isfinite(f.lp_mem_L));
        std::vector<float> after(480, 0.0f);
        inst.process(after, 1);
        for (float x : after) ASSERT_EQ(x, 0.0f) << bad;
    }
}

// The editor moves Softness while the audio thread runs blocks. Every block sees indices that belong
// to one window, and the output stays finite.
TEST(CompressorDistortion, SoftnessMovesWhileBlocksRun) {
    Instance inst(kKind);
    auto& f = inst.as<Form>();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0}, not_finite{0}, blocks{0};
    std::thread audio([&] {
        auto in = noise(2 * 256, 31, 30000.0f);
        while (!stop.load()) {
            auto buf = in;
            get_registry().process[kKind](256, 48000, 2, buf.data(), inst.cell());
            for (float x : buf) not_finite += !std::isfinite(x);
            for (auto [wr, mid, old] :
                 {std::tuple{f.wr_L, f.mid_L, f.old_L}, std::tuple{f.wr_R, f.mid_R, f.old_R}}) {
                const int h = (wr - old + 501) % 501, half = (wr - mid + 501) % 501;
                torn += h < 1 || h > 101 || h % 2 == 0 || half != (h - 1) / 2 || f.wr_L != f.wr_R;
            }
            blocks.fetch_add(1);
        }
    });
    for (int i = 0; i < 5000 || blocks.load() < 50; ++i) {
        f.ScrollBar_Softness2.set_position(i % 51);
        if (i % 7 == 0) std::this_thread::yield();
    }
    stop = true;
    audio.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(not_finite.load(), 0);
    // The last change is in force once the next block has begun.
    std::vector<float> none;
    get_registry().process[kKind](0, 48000, 2, none.data(), inst.cell());
    const int h = f.window;
    EXPECT_EQ((f.wr_L - f.old_L + 501) % 501, h);
}

}  // namespace
}  // namespace vx
