#include "limiter_form.h"

#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;

constexpr EffectKind kKind = 4;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// The effect written out sample by sample, as plainly as it reads: no passes over the block, the
// powers taken by the extended power function itself, and the circuit exactly as its formula goes
// (without the guard against overshooting, which changes nothing while it does not overshoot).
struct Reference {
    float T = 500.0f, gain = 1.0f, c = 0.98f, cl = 0.98f, cr = 0.98f, s = 0.0f, c1 = 0.1f, c2 = 0.71f;
    int mode = 0;
    float split = 0, low = 0, high = 0, split_l = 0, split_r = 0;
    double y = 0;

    static float lowpass(float& st, float k, float x) {
        st = static_cast<float>(static_cast<long double>(st) * k + (1.0L - k) * static_cast<long double>(x));
        return st;
    }
    static float power(float v, long double e) {
        if (v >= 0.0f) return static_cast<float>(std::pow(static_cast<long double>(v), e));
        return -static_cast<float>(std::pow(static_cast<long double>(-v), e));
    }
    float circuit(float x) {
        if (y > 50000) y = 50000;
        if (y < -50000) y = -50000;
        double e = x - y;
        if (e > 50000) e = 50000;
        if (e < -50000) e = -50000;
        const float out = static_cast<float>(e);
        float i;
        if (std::fabs(e) < 500)
            i = static_cast<float>(e / 100000);
        else if (e >= 500)
            i = static_cast<float>(static_cast<double>(std::pow(static_cast<long double>(e - 500), 1.85L)) / 100000 +
                                   static_cast<double>(0.005f));
        else
            i = static_cast<float>(-(static_cast<double>(std::pow(static_cast<long double>(-e - 500), 1.85L)) / 100000 +
                                     static_cast<double>(0.005f)));
        y = y + static_cast<double>(i) * (1.0 / 44100) / 1e-7;
        if (y > 50000) y = 50000;
        if (y < -50000) y = -50000;
        return out;
    }
    float limit(float v) const {
        if (v >= T) v = static_cast<float>((static_cast<double>(v) - T) * s + T);
        if (v <= -T) v = static_cast<float>((static_cast<double>(v) + T) * s - T);
        return v;
    }
    float mono(float x) {
        if (mode == 1) return circuit(x);
        float lo = lowpass(split, c, x);
        float hi = x - lo;
        if (mode == 2) {
            lo = power(lo, 0.85L);
            hi = power(hi, 0.85L);
        } else {
            lo = limit(lo);
            hi = limit(hi);
        }
        return lowpass(low, c1, lo) + lowpass(high, c2, hi);
    }
    float stereo(float x, float& st, float k) {
        float lo = lowpass(st, k, x);
        float hi = x - lo;
        for (float* v : {&lo, &hi}) {
            if (mode == 1) {
                *v = power(*v, 0.707L);
            } else {
                if (*v >= T) *v = T;
                if (*v <= -T) *v = -T;
            }
        }
        return lo + hi;
    }
    void process(std::vector<float>& buf, int channels) {
        if (channels == 1) {
            for (float& x : buf) x = mono(x);
        } else {
            for (size_t i = 0; i + 1 < buf.size(); i += 2) {
                buf[i] = stereo(buf[i], split_l, cl);
                buf[i + 1] = stereo(buf[i + 1], split_r, cr);
            }
        }
        for (float& x : buf) x *= gain;
    }
};

// A guitar-like test signal: a decaying plucked tone, loud noise, a quiet passage and silence.
std::vector<float> phrase(size_t frames, int channels, float amplitude = 20000.0f, uint32_t seed = 5) {
    std::vector<float> v(frames * channels);
    const auto n = noise(v.size(), seed, amplitude);
    for (size_t f = 0; f < frames; ++f)
        for (int ch = 0; ch < channels; ++ch) {
            const double t = static_cast<double>(f) / 48000.0;
            float x;
            if (f < frames / 3)
                x = static_cast<float>(amplitude * std::exp(-4.0 * t) * std::sin(2 * std::numbers::pi * (110.0 + 55 * ch) * t));
            else if (f < 2 * frames / 3)
                x = n[f * channels + ch];
            else if (f < 5 * frames / 6)
                x = n[f * channels + ch] * 0.001f;
            else
                x = 0.0f;
            v[f * channels + ch] = x;
        }
    return v;
}

struct Setting {
    const char* what;
    int channels, mode;
    float T, gain, c, s, cl, cr;
    int fnc1, fnc2;  // smoothing slider positions; -1: as created
    float amplitude;
};
const Setting kSettings[] = {
    {"mono limiter, new instance", 1, 0, 500, 1, 0.98f, 0, 0.98f, 0.98f, -1, -1, 20000},
    {"mono limiter with slope", 1, 0, 1200, 2.2f, 0.5f, 0.1998f, 0.9f, 0.7f, 30, 100, 30000},
    {"mono limiter, threshold 0", 1, 0, 0, 11, 0.001f, 0.05f, 0.98f, 0.98f, 0, 1, 20000},
    {"mono power law", 1, 2, 500, 1, 0.98f, 0, 0.98f, 0.98f, 70, 20, 30000},
    {"mono circuit within +-1000", 1, 1, 500, 1.5f, 0.98f, 0, 0.98f, 0.98f, -1, -1, 1000},
    {"stereo clip", 2, 0, 500, 1, 0.98f, 0, 0.98f, 0.6f, -1, -1, 20000},
    {"stereo clip, mode 2 from a block", 2, 2, 3000, 0.5f, 0.98f, 0.1f, 0.999f, 0.001f, -1, -1, 30000},
    {"stereo power law", 2, 1, 500, 1, 0.98f, 0, 0.9f, 0.3f, -1, -1, 30000},
};

// Sets an instance through its block (and the smoothing sliders), and a reference alike.
Reference configure(Tlimiter_form& f, const Setting& st) {
    ParameterBlock b{};
    b[0] = float_word(st.T), b[1] = float_word(st.gain), b[2] = float_word(st.c), b[3] = float_word(st.s);
    b[4] = float_word(st.cl), b[5] = float_word(st.cr), b[6] = st.mode;
    f.put_parameters(b.data());
    if (st.fnc1 >= 0) f.ScrollBar_FNC_1.set_position(st.fnc1);
    if (st.fnc2 >= 0) f.ScrollBar_FNC_2.set_position(st.fnc2);
    Reference r;
    r.T = st.T, r.gain = st.gain, r.c = st.c, r.s = st.s, r.cl = st.cl, r.cr = st.cr, r.mode = st.mode;
    r.c1 = f.low_smooth, r.c2 = f.high_smooth;
    return r;
}

TEST(DistortionSimple, MatchesPlainReferenceForEveryBlockSize) {
    for (const Setting& st : kSettings) {
        const auto in = phrase(3000, st.channels, st.amplitude);
        for (int block : {1, 7, 480, 512}) {
            Instance inst(kKind);
            Reference ref = configure(inst.as<Tlimiter_form>(), st);
            auto expected = in;
            ref.process(expected, st.channels);
            auto out = in;
            inst.process(out, st.channels, block);
            for (size_t i = 0; i < out.size(); ++i)
                ASSERT_EQ(bits(out[i]), bits(expected[i]))
                    << st.what << ", blocks of " << block << ", sample " << i << ": " << out[i] << " vs " << expected[i];
        }
    }
}

TEST(DistortionSimple, NewInstanceProcessesWithCreationValuesNotControls) {
    Instance inst(kKind);
    auto& f = inst.as<Tlimiter_form>();
    EXPECT_EQ(f.caption(), " Distortion ");
    EXPECT_EQ(f.threshold.load(), 500.0f);
    EXPECT_EQ(f.out_gain.load(), 1.0f);
    EXPECT_EQ(f.split_coef.load(), 0.98f);
    EXPECT_EQ(f.split_coef_L.load(), 0.98f);
    EXPECT_EQ(f.split_coef_R.load(), 0.98f);
    EXPECT_EQ(f.knee_slope.load(), 0.0f);
    EXPECT_EQ(f.low_smooth.load(), 0.1f);
    EXPECT_EQ(f.high_smooth.load(), 0.71f);
    EXPECT_EQ(f.shape_mode.load(), 0);
    for (int v : f.editor_values) EXPECT_EQ(v, 0);
    EXPECT_FALSE(f.CheckBox_soft_limiter.checked());
    EXPECT_TRUE(f.CheckBox_soft_limiter.plain());

    const float q0 = 0.001f, q1 = static_cast<float>(std::sqrt(0.01)), q64 = 0.8f, q100 = 0.999f;
    EXPECT_EQ(limiter_coef_of_position(0), q0);
    EXPECT_EQ(limiter_coef_of_position(1), q1);
    EXPECT_EQ(limiter_coef_of_position(64), q64);
    EXPECT_EQ(limiter_coef_of_position(100), q100);

    // Control, range, first position; moving it sets exactly its own fields (words of the block
    // that change; the smoothing coefficients are not in the block).
    struct Case {
        Slider* slider; int min, max, first, moved;
        std::function<std::vector<float>()> fields; std::vector<float> expected; int words;
    };
    const Case cases[] = {
        {&f.ScrollBar_Limiter_Porog, 1, 5000, 500, 5000, [&] { return std::vector<float>{f.threshold}; }, {5000}, 1},
        {&f.ScrollBar_Koeff, 0, 100, 0, 64, [&] { return std::vector<float>{f.split_coef, f.split_coef_L}; }, {q64, q64}, 2},
        {&f.ScrollBar_koeff_R, 0, 100, 0, 100, [&] { return std::vector<float>{f.split_coef_R, f.knee_slope}; },
         {q100, static_cast<float>(0.2 * q100)}, 2},
        {&f.ScrollBar_FNC_1, 0, 100, 0, 1, [&] { return std::vector<float>{f.low_smooth}; }, {q1}, 0},
        {&f.ScrollBar_FNC_2, 1, 100, 1, 100, [&] { return std::vector<float>{f.high_smooth}; }, {q100}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.slider->min(), c.min) << c.slider->name();
        EXPECT_EQ(c.slider->max(), c.max) << c.slider->name();
        EXPECT_EQ(c.slider->position(), c.first) << c.slider->name();
        const ParameterBlock before = inst.get();
        c.slider->set_position(c.moved);
        EXPECT_EQ(c.fields(), c.expected) << c.slider->name();
        const ParameterBlock after = inst.get();
        int changed = 0;
        for (int w = 0; w < 12; ++w) changed += before[w] != after[w];
        EXPECT_EQ(changed, c.words) << c.slider->name();
    }
    f.CheckBox_soft_limiter.set_checked(true);
    EXPECT_EQ(f.shape_mode.load(), 1);
    f.CheckBox_soft_limiter.set_checked(false);
    EXPECT_EQ(f.shape_mode.load(), 0);
}

TEST(DistortionSimple, PageTitles) {
    struct Case { const char* title; int index, stored; std::function<float(Tlimiter_form&)> field; float expected; };
    auto thr = [](Tlimiter_form& f) { return f.threshold.load(); };
    auto gain = [](Tlimiter_form& f) { return f.out_gain.load(); };
    auto col = [](Tlimiter_form& f) { return f.split_coef.load(); };
    auto coll = [](Tlimiter_form& f) { return f.split_coef_L.load(); };
    auto colr = [](Tlimiter_form& f) { return f.split_coef_R.load(); };
    const Case cases[] = {
        {"porog =100", 0, 100, thr, 1000.0f},
        {"porog =2", 0, 2, thr, 3.0f},  // 2.83 rounds up
        {"porog =0", 0, 0, thr, 0.0f},
        {"porog =101", -1, 0, thr, 500.0f},
        {"porog =-1", -1, 0, thr, 500.0f},
        {"porog =", -1, 0, thr, 500.0f},
        {"porog =5x", -1, 0, thr, 500.0f},
        {"porog =99999999999", -1, 0, thr, 500.0f},
        {"gain =0", 1, 0, gain, 11.0f},
        {"gain =50", 1, 50, gain, 1.0f},
        {"gain =100", 1, 100, gain, *SliderFactor(0)},
        {"color =50", 2, 50, col, 0.5f},
        {"color =0", 2, 0, col, 0.001f},
        {"color =100", 2, 100, col, 0.999f},
        {"colorl =0", 3, 0, coll, 0.001f},
        {"colorl =64", 3, 64, coll, 0.8f},
        {"colorr =100", 4, 100, colr, 0.999f},
        {"colorr =25", 4, 25, colr, 0.5f},
        {"Distortion", -1, 0, thr, 500.0f},
        {"", -1, 0, thr, 500.0f},
    };
    for (const Case& c : cases) {
        Instance inst(kKind);
        auto& f = inst.as<Tlimiter_form>();
        f.editor_values[0] = 7;  // a value no case stores
        const ParameterBlock before = inst.get();
        f.Page_TitleChange(c.title);
        EXPECT_EQ(bits(c.field(f)), bits(c.expected)) << c.title;
        const ParameterBlock after = inst.get();
        if (c.index < 0) {
            EXPECT_EQ(before, after) << c.title << " changes nothing";
        } else {
            EXPECT_EQ(after[7 + c.index], c.stored) << c.title;
            int changed = 0;
            for (int w = 0; w < 12; ++w) changed += before[w] != after[w];
            EXPECT_LE(changed, 2) << c.title << ": its field and its stored value only";
        }
    }
    // Every prefix is looked for, in order, in what the earlier ones left.
    Instance inst(kKind);
    auto& f = inst.as<Tlimiter_form>();
    f.Page_TitleChange("porog =gain =0");
    EXPECT_EQ(f.threshold.load(), 500.0f);
    EXPECT_EQ(f.out_gain.load(), 11.0f);
}

TEST(DistortionSimple, PageSlidersSendTitlesAndOpenAtStoredValues) {
    Instance inst(kKind);
    auto& f = inst.as<Tlimiter_form>();
    Instance by_title(kKind);
    auto& g = by_title.as<Tlimiter_form>();
    const std::pair<Slider*, const char*> page[] = {{&f.Page_porog, "porog ="}, {&f.Page_gain, "gain ="},
                                                    {&f.Page_color, "color ="}, {&f.Page_colorl, "colorl ="},
                                                    {&f.Page_colorr, "colorr ="}};
    int n = 13;
    for (auto [slider, prefix] : page) {
        EXPECT_EQ(slider->min(), 0);
        EXPECT_EQ(slider->max(), 100);
        slider->set_position(n);
        g.Page_TitleChange(prefix + std::to_string(n));
        n += 17;
    }
    EXPECT_EQ(inst.get(), by_title.get());
    EXPECT_EQ(f.Page_porog.label, "Threshold");
    EXPECT_EQ(f.Page_colorr.label, "Color right");

    // A window first shown after a restore stands at the stored values and changes no setting.
    Instance shown(kKind);
    auto& h = shown.as<Tlimiter_form>();
    ParameterBlock b = inst.get();
    b[0] = float_word(777.0f);  // not what "porog =13" gives
    shown.put(b);
    h.show();
    EXPECT_EQ(h.Page_porog.position(), 13);
    EXPECT_EQ(h.Page_gain.position(), 30);
    EXPECT_EQ(h.Page_colorr.position(), 81);
    EXPECT_EQ(shown.get(), b);
    // Later shows leave the page as the user left it.
    h.hide();
    b[7] = 90;
    shown.put(b);
    h.show();
    EXPECT_EQ(h.Page_porog.position(), 13);
    h.Page_porog.set_position(100);
    EXPECT_EQ(h.threshold.load(), 1000.0f);
}

TEST(DistortionSimple, BlockLayoutAndRestoreLeavesControlsAlone) {
    Instance inst(kKind);
    auto& f = inst.as<Tlimiter_form>();
    ParameterBlock b{};
    b[0] = float_word(1234.0f);
    b[1] = float_word(2.5f);
    b[2] = float_word(0.3f);
    b[3] = float_word(0.15f);
    b[4] = float_word(0.4f);
    b[5] = float_word(0.6f);
    b[6] = 2;
    for (int i = 0; i < 5; ++i) b[7 + i] = 10 * i + 1;
    b[12] = 99;  // not part of the layout
    inst.put(b);
    EXPECT_EQ(f.threshold.load(), 1234.0f);
    EXPECT_EQ(f.out_gain.load(), 2.5f);
    EXPECT_EQ(f.split_coef.load(), 0.3f);
    EXPECT_EQ(f.knee_slope.load(), 0.15f);
    EXPECT_EQ(f.split_coef_L.load(), 0.4f);
    EXPECT_EQ(f.split_coef_R.load(), 0.6f);
    EXPECT_EQ(f.shape_mode.load(), 2);
    EXPECT_EQ(f.editor_values[4], 41);
    EXPECT_EQ(f.low_smooth.load(), 0.1f) << "not in the block";
    EXPECT_EQ(f.high_smooth.load(), 0.71f) << "not in the block";
    for (Control* c : f.controls()) {
        if (auto* s = dynamic_cast<Slider*>(c)) {
            const int first = s->name() == "ScrollBar_Limiter_Porog" ? 500 : s->name() == "ScrollBar_FNC_2" ? 1 : 0;
            EXPECT_EQ(s->position(), first) << s->name();
        }
    }
    EXPECT_FALSE(f.CheckBox_soft_limiter.checked());
    ParameterBlock got{};
    got[12] = 5;
    f.get_parameters(got.data());
    b[12] = 5;
    EXPECT_EQ(got, b);
}

TEST(DistortionSimple, DamagedWordsStayWithinWhatTheControlsCanSet) {
    const int32_t damaged[] = {float_word(std::numeric_limits<float>::quiet_NaN()),
                               float_word(std::numeric_limits<float>::infinity()),
                               float_word(-std::numeric_limits<float>::infinity()), INT_MIN, INT_MAX,
                               float_word(1e30f), float_word(-1e30f)};
    for (int32_t w : damaged) {
        for (int word = 0; word < 12; ++word) {
            Instance inst(kKind);
            auto& f = inst.as<Tlimiter_form>();
            ParameterBlock b = inst.get();
            const ParameterBlock created = b;
            b[word] = w;
            inst.put(b);
            const float fields[] = {f.threshold, f.out_gain, f.split_coef, f.knee_slope, f.split_coef_L, f.split_coef_R};
            const float lo[] = {0, *SliderFactor(0), 0.001f, 0, 0.001f, 0.001f};
            const float hi[] = {5000, 11, 0.999f, static_cast<float>(0.2 * 0.999f), 0.999f, 0.999f};
            for (int i = 0; i < 6; ++i) {
                EXPECT_GE(fields[i], lo[i]) << "word " << word << " = " << w;
                EXPECT_LE(fields[i], hi[i]) << "word " << word << " = " << w;
                if (!std::isfinite(word_float(w)) && i == word) {
                    EXPECT_EQ(float_word(fields[i]), created[i]);
                }
            }
            for (int v : f.editor_values) {
                EXPECT_GE(v, 0);
                EXPECT_LE(v, 100);
            }
            for (int channels : {1, 2}) {
                for (int mode : {0, 1, 2}) {
                    f.shape_mode = word == 6 ? w : mode;
                    auto buf = phrase(1500, channels, 32000.0f);
                    inst.process(buf, channels);
                    for (float x : buf) ASSERT_TRUE(std::isfinite(x)) << "word " << word << " = " << w;
                }
            }
        }
    }
}

TEST(DistortionSimple, LimiterKeepsThresholdAndSlopesAboveIt) {
    const float T = 500.0f, s = 0.1998f;
    std::vector<float> v = {T, -T, 0.0f, 499.9f, -499.9f, 600.0f, -600.0f, 32768.0f, -1e30f};
    for (float& x : v) x = limiter_limit(x, T, s);
    EXPECT_EQ(v[0], T);
    EXPECT_EQ(v[1], -T);
    EXPECT_EQ(v[2], 0.0f);
    EXPECT_EQ(v[3], 499.9f);
    EXPECT_EQ(v[4], -499.9f);
    EXPECT_EQ(v[5], static_cast<float>(100.0 * s + 500.0));
    EXPECT_EQ(v[6], static_cast<float>(-100.0 * s - 500.0));
    EXPECT_EQ(v[7], static_cast<float>((32768.0 - 500.0) * s + 500.0));
    std::vector<float> hard = {1e9f, -1e9f, 700.0f};
    for (float& x : hard) x = limiter_limit(x, T, 0.0f);
    EXPECT_EQ(hard, (std::vector<float>{T, -T, T}));

    // A full-scale sine through the new instance's mono limiter: each band within +-500 before its
    // smoothing, so the sum stays within +-1000.
    Instance inst(kKind);
    std::vector<float> sine(48000);
    for (size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<float>(32767.0 * std::sin(2 * std::numbers::pi * 440.0 * static_cast<double>(i) / 48000.0));
    inst.process(sine, 1);
    float peak = 0;
    for (float x : sine) peak = std::max(peak, std::fabs(x));
    EXPECT_LE(peak, 1000.0f);
    EXPECT_GT(peak, 500.0f);
}

TEST(DistortionSimple, PowersMatchTheExtendedPowerFunction) {
    EXPECT_EQ(limiter_power(1.0f, 0.707L), 1.0f);
    EXPECT_NEAR(limiter_power(32768.0f, 0.707L), 1557.0f, 0.5f);
    EXPECT_EQ(limiter_power(-32768.0f, 0.707L), -limiter_power(32768.0f, 0.707L));
    EXPECT_EQ(bits(limiter_power(-0.0f, 0.85L)), bits(0.0f));

    // Every kind of float32: zero, subnormal, normal, huge, not a number; and a random spread.
    std::vector<float> in = {0.0f, -0.0f, 1.0f, -1.0f, 32768.0f, std::numeric_limits<float>::denorm_min(),
                             -std::numeric_limits<float>::denorm_min(), 2 * std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                             -std::numeric_limits<float>::max(), std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity()};
    uint32_t seed = 77;
    while (in.size() < 200000) {
        seed = seed * 1664525u + 1013904223u;
        const float f = std::bit_cast<float>(seed);
        if (!std::isnan(f)) in.push_back(f);
        in.push_back(static_cast<float>(static_cast<int32_t>(seed >> 15) - 65536) * 0.5f);  // the sample scale
    }
    std::vector<float> out(in.size());
    std::vector<int32_t> unsure(in.size());
    for (long double e : {0.707L, 0.85L}) {
        const int32_t exact = limiter_powers(in.data(), out.data(), unsure.data(), static_cast<int32_t>(in.size()), e);
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(bits(out[i]), bits(limiter_power(in[i], e))) << in[i] << " ^ " << static_cast<double>(e);
        // The fast way answers nearly everything by itself.
        EXPECT_LT(exact, static_cast<int32_t>(in.size() / 500)) << static_cast<double>(e);
    }
    const float nan = std::numeric_limits<float>::quiet_NaN();
    float r;
    int32_t u;
    limiter_powers(&nan, &r, &u, 1, 0.707L);
    EXPECT_TRUE(std::isnan(r));
}

TEST(DistortionSimple, StereoPowerLawAndModeTwo) {
    // Stereo soft mode shapes each band by x^0.707; mode 2, from a block, is the hard clip in stereo
    // and the 0.85 power law in mono.
    auto run = [](int channels, int mode, const std::vector<float>& in) {
        Instance inst(kKind);
        auto& f = inst.as<Tlimiter_form>();
        if (mode == 1) f.CheckBox_soft_limiter.set_checked(true);
        if (mode == 2) {
            ParameterBlock b = inst.get();
            b[6] = 2;
            inst.put(b);
        }
        auto out = in;
        inst.process(out, channels);
        return out;
    };
    const auto st = phrase(2000, 2, 25000.0f);
    EXPECT_EQ(run(2, 2, st), run(2, 0, st));
    const auto soft = run(2, 1, st);
    float peak = 0;
    for (float x : soft) peak = std::max(peak, std::fabs(x));
    EXPECT_LT(peak, 4000.0f);  // about 2000 for the loudest high band
    EXPECT_GT(peak, 500.0f);
    const auto mono = phrase(2000, 1, 25000.0f);
    EXPECT_NE(run(1, 2, mono), run(1, 0, mono));
}

TEST(DistortionSimple, CircuitActsAsHighPassAndNeverRunsAway) {
    // Within +-1000 the guard never acts: the formula as written, bit for bit (also in the
    // reference test above); here a held small step decays as a high-pass.
    Instance inst(kKind);
    auto& f = inst.as<Tlimiter_form>();
    f.CheckBox_soft_limiter.set_checked(true);
    std::vector<float> step(20000, 300.0f);
    inst.process(step, 1);
    EXPECT_EQ(step[0], 300.0f);
    for (size_t i = 1; i < step.size(); ++i) ASSERT_LE(step[i], step[i - 1]) << i;
    EXPECT_LT(step.back(), 3.0f);

    // A held loud step: the formula as written swings between the rails for ever; the effect
    // jumps to the step and decays below 1 % within a few thousand samples, and stays there.
    Reference raw;
    raw.mode = 1;
    std::vector<float> held(48000, 20000.0f);
    auto as_written = held;
    raw.process(as_written, 1);
    float late_swing = 0;
    for (size_t i = 40000; i < held.size(); ++i) late_swing = std::max(late_swing, std::fabs(as_written[i]));
    EXPECT_GT(late_swing, 10000.0f) << "the fault this guards against";

    Instance fresh(kKind);
    fresh.as<Tlimiter_form>().CheckBox_soft_limiter.set_checked(true);
    fresh.process(held, 1, 7);
    EXPECT_EQ(held[0], 20000.0f);
    for (size_t i = 4000; i < held.size(); ++i) ASSERT_LT(std::fabs(held[i]), 200.0f) << i;
    EXPECT_TRUE(std::isfinite(fresh.as<Tlimiter_form>().cap_voltage));
    EXPECT_LE(std::fabs(fresh.as<Tlimiter_form>().cap_voltage), 50000.0);

    // And from the other side.
    std::vector<float> neg(8000, -20000.0f);
    fresh.process(neg, 1);
    for (size_t i = 4000; i < neg.size(); ++i) ASSERT_LT(std::fabs(neg[i]), 200.0f) << i;
}

TEST(DistortionSimple, CircuitCurrentFollowsItsFormula) {
    auto as_written = [](double e) {
        if (std::fabs(e) < 500) return static_cast<float>(e / 100000);
        const long double p = std::pow(static_cast<long double>(std::fabs(e) - 500), 1.85L);
        const float i = static_cast<float>(static_cast<double>(p) / 100000 + static_cast<double>(0.005f));
        return e < 0 ? -i : i;
    };
    std::vector<double> es = {0.0, 499.99999999999994, 500.0, 500.0000000000001, 501.0, -500.0, -501.0, 50000.0, -50000.0};
    uint32_t seed = 21;
    for (int k = 0; k < 200000; ++k) {
        seed = seed * 1664525u + 1013904223u;
        const double u = static_cast<double>(seed) / 4294967296.0;
        es.push_back((k % 2 ? -1 : 1) * (k % 3 ? 500.0 + u * 49500.0 : 500.0 + u * 2.0));
    }
    for (double e : es) ASSERT_EQ(bits(circuit_current(e)), bits(as_written(e))) << e;
    EXPECT_EQ(circuit_current(std::numeric_limits<double>::quiet_NaN()), 0.0f);
}

TEST(DistortionSimple, ZeroFramesChangeNothing) {
    for (int channels : {1, 2}) {
        for (int mode : {0, 1, 2}) {
            Instance a(kKind), b(kKind);
            for (Instance* inst : {&a, &b}) inst->as<Tlimiter_form>().shape_mode = mode;
            auto warm = phrase(500, channels);
            auto warm2 = warm;
            a.process(warm, channels);
            b.process(warm2, channels);
            std::vector<float> buf = {123.0f, -456.0f};
            get_registry().process[kKind](0, 48000, channels, buf.data(), a.cell());
            EXPECT_EQ(buf, (std::vector<float>{123.0f, -456.0f}));
            auto x = phrase(700, channels, 9000.0f, 9), y = x;
            a.process(x, channels);
            b.process(y, channels);
            EXPECT_EQ(x, y) << channels << " channels, mode " << mode;
        }
    }
}

TEST(DistortionSimple, StableAtEveryExtremeAndAfterBadInput) {
    Instance probe(kKind);
    std::vector<std::string> sliders;
    for (Control* c : probe.as<Tlimiter_form>().controls())
        if (c->type() == Control::Type::Slider && c->name() != "Page_gain") sliders.push_back(c->name());
    for (int channels : {1, 2}) {
        for (int mode : {0, 1, 2}) {
            for (bool at_max : {false, true}) {
                Instance inst(kKind);
                auto& f = inst.as<Tlimiter_form>();
                for (const std::string& name : sliders) {
                    Slider* s = f.find_as<Slider>(name);
                    s->set_position(at_max ? s->max() : s->min() + 1);
                    s->set_position(at_max ? s->max() : s->min());
                }
                f.Page_gain.set_position(50);
                f.shape_mode = mode;
                auto buf = phrase(6000, channels, 32767.0f);
                inst.process(buf, channels);
                for (float x : buf) {
                    ASSERT_TRUE(std::isfinite(x));
                    ASSERT_LT(std::fabs(x), 10 * 32768.0f) << channels << " channels, mode " << mode;
                }
                // Input that is not a number or infinite must not stay in a memory.
                std::vector<float> bad(64 * channels, std::numeric_limits<float>::quiet_NaN());
                bad[1] = std::numeric_limits<float>::infinity();
                bad[2] = -std::numeric_limits<float>::max();
                bad[3] = std::numeric_limits<float>::max();
                inst.process(bad, channels);
                for (float m : {f.split_state, f.low_state, f.high_state, f.split_state_L, f.split_state_R})
                    EXPECT_TRUE(std::isfinite(m));
                EXPECT_TRUE(std::isfinite(f.cap_voltage));
                auto after = phrase(600, channels, 5000.0f);
                inst.process(after, channels);
                for (float x : after) ASSERT_TRUE(std::isfinite(x));
            }
        }
    }
}

}  // namespace
}  // namespace vx
