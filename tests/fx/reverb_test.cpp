#include "reverb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cmath>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;

constexpr EffectKind kKind = 7;
using F = Treverb_form;

// Combs hold at most 100 x the input (decay 0.99), twelve of them scaled by 0.2, times a gain of 11,
// plus the dry signal.
constexpr float kBound = (11.0f * 0.2f * 12.0f * 100.0f + 1.0f) * 32768.0f;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// The whole effect written out sample by sample, one comb step at a time, reading the settings
// from the instance's fields as the processing would.
struct Reference {
    struct Comb {
        std::vector<float> line = std::vector<float>(2501, 0.0f);
        int pos = 0, len = 0;
        float filt = 0.0f;
        float step(float x, float fb, float damp1) {
            const float damp2 = static_cast<float>(1.0 - damp1);
            const float y = line[pos];
            filt = static_cast<float>(static_cast<double>(y) * damp2 + static_cast<double>(filt) * damp1);
            line[pos] = static_cast<float>(static_cast<double>(filt) * fb + x);
            if (++pos >= len) pos = 0;
            return y;
        }
    };
    struct Out {
        float tone = 0.0f;
        std::vector<float> line = std::vector<float>(5001, 0.0f);
        int pos = 0;
    };
    Comb L[12], R[8];
    Out ML, OR;
    Reference() {
        for (int k = 0; k < 12; ++k) L[k].len = F::kLengthsL[k];
        for (int k = 0; k < 8; ++k) R[k].len = F::kLengthsR[k];
    }

    static float side(Comb* combs, int count, Out& o, float x, float fb, float damp1, float c, int len, float g) {
        float sum = 0.0f;
        for (int k = 0; k < count; ++k) sum = static_cast<float>(static_cast<double>(combs[k].step(x, fb, damp1)) + sum);
        float w = static_cast<float>(0.2 * sum);
        o.tone = static_cast<float>(static_cast<double>(c) * o.tone + (1.0 - c) * w);
        w = o.tone;
        std::swap(w, o.line[static_cast<size_t>(o.pos)]);
        if (++o.pos >= len) o.pos = 0;
        return static_cast<float>(static_cast<double>(w) * g + x);
    }

    void run(const F& f, std::vector<float>& buf, int channels) {
        const float d1 = f.damp1;
        if (channels == 1) {
            for (float& x : buf)
                x = side(L, 12, ML, x, f.decay[1], d1, f.tone_coef[0], f.post_len[0], f.wet_gain[0]);
            return;
        }
        for (size_t i = 0; i < buf.size(); i += 2) {
            buf[i] = side(L, 8, ML, buf[i], f.decay[1], d1, f.tone_coef[1], f.post_len[1], f.wet_gain[1]);
            buf[i + 1] = side(R, 8, OR, buf[i + 1], f.decay[2], d1, f.tone_coef[2], f.post_len[2], f.wet_gain[2]);
        }
    }
};

void expect_same(const std::vector<float>& got, const std::vector<float>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(bits(got[i]), bits(want[i])) << what << " sample " << i << ": " << got[i] << " vs " << want[i];
}

TEST(Reverberator, NewInstanceStartsFromItsOwnValuesNotTheSliders) {
    Instance inst(kKind);
    auto& f = inst.as<F>();
    EXPECT_EQ(f.caption(), "Reverberator");
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(f.wet_gain[j].load(), 1.0f);
        EXPECT_EQ(f.decay[j].load(), 0.75f);
        EXPECT_EQ(f.post_len[j].load(), 10);
    }
    EXPECT_EQ(f.tone_coef[0].load(), 0.75f);
    EXPECT_EQ(f.tone_coef[1].load(), 0.75f);
    EXPECT_EQ(f.tone_coef[2].load(), 0.0f);
    EXPECT_EQ(f.damp1.load(), 0.05f);
    EXPECT_EQ(f.damp2.load(), 0.95f);
    EXPECT_EQ(f.ScrollBar_Mono_Brightness.position(), 75);
    EXPECT_EQ(f.ScrollBar_Left_Brightness.position(), 75);
    EXPECT_FALSE(f.ScrollBar_Right_Brightness.visible());
    EXPECT_EQ(f.ScrollBar_Gain_Mono.position(), 50);
    EXPECT_EQ(f.ScrollBar_Mono_Delay.position(), 10);
    EXPECT_EQ(f.ScrollBar_Mono_Decay.position(), 75);
}

TEST(Reverberator, HandlersStoreTheirLaws) {
    Instance inst(kKind);
    auto& f = inst.as<F>();
    f.ScrollBar_Mono_Brightness.set_position(1);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(f.tone_coef[j].load(), 0.1f);
    f.ScrollBar_Left_Brightness.set_position(30);
    EXPECT_EQ(f.damp1.load(), static_cast<float>(std::sqrt(0.3L)));
    EXPECT_EQ(f.damp2.load(), static_cast<float>(1.0L - f.damp1.load()));
    f.ScrollBar_Mono_Decay.set_position(99);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(f.decay[j].load(), 0.99f);
    f.ScrollBar_Gain_Mono.set_position(0);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(f.wet_gain[j].load(), static_cast<float>(1.0 / 11.0));
    f.ScrollBar_Mono_Delay.set_position(4999);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(f.post_len[j].load(), 4999);
    f.ScrollBar_Right_Brightness.set_position(0);  // does nothing
    EXPECT_EQ(f.damp1.load(), static_cast<float>(std::sqrt(0.3L)));
    EXPECT_EQ(f.tone_coef[2].load(), 0.1f);
}

// The first reflection is the shortest comb's (1116 samples) plus the post-delay of 10, scaled by 0.2
// and passed through the tone low-pass: 0.75 on the mono and left side, none on the right.
TEST(Reverberator, ImpulseComesBackAfterTheShortestCombAndThePostDelay) {
    for (int channels : {1, 2}) {
        Instance inst(kKind);
        std::vector<float> buf(2000 * static_cast<size_t>(channels), 0.0f);
        buf[0] = 1000.0f;
        if (channels == 2) buf[1] = 1000.0f;
        inst.process(buf, channels);
        const float w = static_cast<float>(0.2 * 1000.0f);
        const float lowpassed = static_cast<float>(0.25 * w);
        // The next comb to answer is the left's 1188 (+10) and the right's 1187 (+10).
        for (int i = 0; i < 1197; ++i) {
            if (i <= 1127) {
                const float want = i == 0 ? 1000.0f : i == 1126 ? lowpassed : i == 1127 ? 0.75f * lowpassed : 0.0f;
                ASSERT_EQ(buf[static_cast<size_t>(i * channels)], want) << channels << " channels, sample " << i;
            }
            if (channels == 2) {
                // Right comb 0 is 1117 long, and nothing smooths the right side: one sample, then 0.
                const float right = i == 0 ? 1000.0f : i == 1127 ? w : 0.0f;
                ASSERT_EQ(buf[static_cast<size_t>(i * 2 + 1)], right) << "right, sample " << i;
            }
        }
    }
}

struct Case {
    const char* name;
    int gain, delay, decay, bright, damp;  // Mono sliders and Left Brightness; -1 leaves one alone
    bool stereo;
};

void apply(F& f, const Case& c) {
    if (c.gain >= 0) f.ScrollBar_Gain_Mono.set_position(c.gain);
    if (c.delay >= 0) f.ScrollBar_Mono_Delay.set_position(c.delay);
    if (c.decay >= 0) f.ScrollBar_Mono_Decay.set_position(c.decay);
    if (c.bright >= 0) f.ScrollBar_Mono_Brightness.set_position(c.bright);
    if (c.damp >= 0) f.ScrollBar_Left_Brightness.set_position(c.damp);
}

// Bit for bit against the plain loop, for any block size, with settings changed between blocks:
// a post-delay that shrinks below its position, a mono stream that turns stereo.
TEST(Reverberator, MatchesThePlainLoopForEveryBlockSize) {
    const Case cases[] = {
        {"new instance", -1, -1, -1, -1, -1, true},
        {"new instance mono", -1, -1, -1, -1, -1, false},
        {"long and dark", 80, 4999, 99, 5, 90, true},
        {"short and bright", 20, 10, 5, 100, 0, true},
        {"frozen damping", 50, 1234, 60, 40, 100, false},
        {"plain comb", 100, 77, 99, 1, 0, true},
    };
    const auto input = noise(2 * 9000, 7, 20000.0f);
    for (const Case& c : cases) {
        for (int block : {1, 7, 480, 512, 1500}) {
            Instance inst(kKind);
            auto& f = inst.as<F>();
            Reference ref;
            apply(f, c);
            // Three stretches: mono, then the case's channel count, then a shorter post-delay.
            const int stretch_channels[3] = {1, c.stereo ? 2 : 1, c.stereo ? 2 : 1};
            size_t at = 0;
            for (int part = 0; part < 3; ++part) {
                const int ch = stretch_channels[part];
                std::vector<float> got(input.begin() + static_cast<long>(at), input.begin() + static_cast<long>(at) + 3000 * ch);
                at += got.size();
                auto want = got;
                ref.run(f, want, ch);
                inst.process(got, ch, block);
                SCOPED_TRACE(testing::Message() << c.name << ", blocks of " << block << ", part " << part);
                expect_same(got, want, c.name);
                if (part == 1) {  // shorter than the positions the lines stand at
                    f.ScrollBar_Mono_Delay.set_position(13);
                    f.ScrollBar_Left_Delay.set_position(11);
                    f.ScrollBar_Right_Delay.set_position(12);
                }
            }
        }
    }
}

// A short decay fades a tail below float32's normal range within a second: subnormal values must be
// rounded as the plain loop rounds them, never flushed to zero.
TEST(Reverberator, FadingTailMatchesThePlainLoopBelowTheNormalRange) {
    for (int channels : {1, 2}) {
        Instance inst(kKind);
        auto& f = inst.as<F>();
        f.ScrollBar_Mono_Decay.set_position(5);
        f.ScrollBar_Left_Brightness.set_position(20);
        Reference ref;
        auto got = noise(static_cast<size_t>(channels) * 2000, 8, 30000.0f);
        got.resize(static_cast<size_t>(channels) * 96000, 0.0f);
        auto want = got;
        ref.run(f, want, channels);
        inst.process(got, channels);
        expect_same(got, want, "fading tail");
        EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](float v) { return std::fpclassify(v) == FP_SUBNORMAL; }));
    }
}

TEST(Reverberator, ZeroFramesChangeNothing) {
    Instance a(kKind), b(kKind);
    auto sig = noise(2 * 3000, 3);
    auto sig_b = sig;
    a.process(sig, 2);
    b.process(sig_b, 2);
    float dummy[2] = {5.0f, 6.0f};
    get_registry().process[kKind](0, 48000, 2, dummy, a.cell());
    get_registry().process[kKind](0, 48000, 1, dummy, a.cell());
    EXPECT_EQ(dummy[0], 5.0f);
    EXPECT_EQ(dummy[1], 6.0f);
    auto more = noise(2 * 3000, 4), more_b = more;
    a.process(more, 2);
    b.process(more_b, 2);
    expect_same(more, more_b, "after frameCount 0");
}

// Mono Brightness 100: the wet low-pass stops following the combs; once the post-delay has passed
// its last values, a constant offset rides on the dry signal.
TEST(Reverberator, MonoBrightness100HoldsTheWetSignal) {
    Instance inst(kKind);
    auto& f = inst.as<F>();
    auto sig = noise(4000, 9);
    inst.process(sig, 1);
    const float held = f.postML.tone_state;
    ASSERT_NE(held, 0.0f);
    f.ScrollBar_Mono_Brightness.set_position(100);
    std::vector<float> silence(1000, 0.0f);
    inst.process(silence, 1);
    for (size_t i = 10; i < silence.size(); ++i) ASSERT_EQ(silence[i], held) << i;
    EXPECT_EQ(f.postML.tone_state, held);
}

// Left Brightness 0 makes a plain comb: its second pass is the first times the decay. At 100 every
// comb's filter memory freezes and each store is that memory times the decay plus the input.
TEST(Reverberator, LeftBrightnessExtremes) {
    {
        Instance inst(kKind);
        auto& f = inst.as<F>();
        f.ScrollBar_Left_Brightness.set_position(0);
        std::vector<float> buf(1117, 0.0f);
        buf[0] = 1000.0f;
        inst.process(buf, 1);
        EXPECT_EQ(f.bankL.comb_filt[0], 1000.0f);
        EXPECT_EQ(f.bankL.comb_line[0][0], 750.0f);
    }
    {
        Instance inst(kKind);
        auto& f = inst.as<F>();
        auto sig = noise(5000, 11);
        inst.process(sig, 2);
        f.ScrollBar_Left_Brightness.set_position(100);
        float frozen[8];
        for (int k = 0; k < 8; ++k) frozen[k] = f.bankR.comb_filt[k];
        auto more = noise(2 * 700, 12);
        const auto input = more;
        inst.process(more, 2, 100);
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(f.bankR.comb_filt[k], frozen[k]) << k;
            // The entry written last, for the last input sample.
            const int last = (f.bankR.comb_pos[k] + F::kLengthsR[k] - 1) % F::kLengthsR[k];
            EXPECT_EQ(f.bankR.comb_line[k][last], static_cast<float>(static_cast<double>(frozen[k]) * 0.75 + input.back())) << k;
        }
    }
}

// At the longest decay the tail still dies away: each second of it is quieter than the one before.
TEST(Reverberator, Decay99StillDecays) {
    for (int damp : {0, 75}) {
        Instance inst(kKind);
        auto& f = inst.as<F>();
        f.ScrollBar_Mono_Decay.set_position(99);
        f.ScrollBar_Left_Brightness.set_position(damp);
        auto sig = noise(2 * 4800, 5, 30000.0f);
        inst.process(sig, 2);
        double previous = std::numeric_limits<double>::infinity();
        for (int second = 0; second < 20; ++second) {
            std::vector<float> tail(2 * 48000, 0.0f);
            inst.process(tail, 2);
            double energy = 0;
            for (float v : tail) {
                ASSERT_TRUE(std::isfinite(v));
                energy += static_cast<double>(v) * v;
            }
            EXPECT_LT(energy, previous) << "damping " << damp << ", second " << second;
            previous = energy;
        }
    }
}

TEST(Reverberator, MonoSlidersMoveTheSideSlidersUnlessAlreadyThere) {
    Instance inst(kKind);
    auto& f = inst.as<F>();
    // Left Gain and Left Decay moved by hand, then a block that keeps their positions but holds values
    // of its own: the sliders stay, the values are the block's.
    f.ScrollBar_Gain_Left.set_position(70);
    f.ScrollBar_Left_Decay.set_position(20);
    ParameterBlock b = inst.get();
    b[1] = float_word(3.0f);
    b[7] = float_word(0.5f);
    inst.put(b);
    ASSERT_EQ(f.wet_gain[1].load(), 3.0f);
    ASSERT_EQ(f.decay[1].load(), 0.5f);

    f.ScrollBar_Gain_Mono.set_position(70);
    EXPECT_EQ(f.wet_gain[0].load(), *SliderFactor(70));
    EXPECT_EQ(f.wet_gain[1].load(), 3.0f);  // already at 70: untouched
    EXPECT_EQ(f.wet_gain[2].load(), *SliderFactor(70));
    f.ScrollBar_Mono_Decay.set_position(20);
    EXPECT_EQ(f.decay[0].load(), 0.2f);
    EXPECT_EQ(f.decay[1].load(), 0.5f);
    EXPECT_EQ(f.decay[2].load(), 0.2f);
    f.ScrollBar_Mono_Delay.set_position(300);
    EXPECT_EQ(f.ScrollBar_Left_Delay.position(), 300);
    EXPECT_EQ(f.ScrollBar_Right_Delay.position(), 300);
    EXPECT_EQ(f.post_len[1].load(), 300);
    EXPECT_EQ(f.post_len[2].load(), 300);
}

// Words are restored group by group; a float is replaced by its slider's value only when the stored
// position differs from the slider's own.
TEST(Reverberator, RestoreWorksInWordOrderByGroups) {
    Instance src(kKind);
    ParameterBlock b = src.get();
    EXPECT_EQ(word_float(b[13]), 0.75f);
    EXPECT_EQ(word_float(b[14]), 0.0f);
    EXPECT_EQ(b[15], 75);

    {  // same Mono Brightness position: words 12..14 stay as stored
        Instance dst(kKind);
        b[12] = float_word(0.3f);
        b[13] = float_word(0.4f);
        b[14] = float_word(0.5f);
        dst.put(b);
        auto& f = dst.as<F>();
        EXPECT_EQ(f.tone_coef[0].load(), 0.3f);
        EXPECT_EQ(f.tone_coef[1].load(), 0.4f);
        EXPECT_EQ(f.tone_coef[2].load(), 0.5f);
        EXPECT_EQ(dst.get(), b);
    }
    {  // a different position replaces words 12, 13 and 14
        Instance dst(kKind);
        b[15] = 36;
        dst.put(b);
        auto& f = dst.as<F>();
        for (int j = 0; j < 3; ++j) EXPECT_EQ(f.tone_coef[j].load(), 0.6f);
    }
    {  // Mono Gain moves Left to 60 before word 4 puts it to 40: Left ends from 40, Right from 60
        Instance dst(kKind);
        ParameterBlock g = src.get();
        g[3] = 60;
        g[4] = 40;
        g[5] = 60;
        dst.put(g);
        auto& f = dst.as<F>();
        EXPECT_EQ(f.wet_gain[0].load(), *SliderFactor(60));
        EXPECT_EQ(f.wet_gain[1].load(), *SliderFactor(40));
        EXPECT_EQ(f.wet_gain[2].load(), *SliderFactor(60));
        EXPECT_EQ(dst.get()[4], 40);
    }
    {  // lengths and their positions
        Instance dst(kKind);
        ParameterBlock g = src.get();
        g[18] = 100;
        g[19] = 200;
        g[20] = 300;
        dst.put(g);  // positions unchanged (10): stored lengths stay
        auto& f = dst.as<F>();
        EXPECT_EQ(f.post_len[0].load(), 100);
        EXPECT_EQ(f.post_len[1].load(), 200);
        EXPECT_EQ(f.post_len[2].load(), 300);
        // Mono Delay moves both sides to 400; words 22 and 23 (still 10) then move them back.
        g[21] = 400;
        dst.put(g);
        EXPECT_EQ(f.post_len[0].load(), 400);
        EXPECT_EQ(f.post_len[1].load(), 10);
        EXPECT_EQ(f.post_len[2].load(), 10);
    }
}

// Damaged words: floats stay within what the sliders give (a non-finite word leaves the field),
// lengths stay within the line, positions are clamped; the effect then runs finite.
TEST(Reverberator, DamagedWordsRestoreSafely) {
    const int32_t damaged[] = {INT_MIN, INT_MAX, -1, float_word(std::numeric_limits<float>::quiet_NaN()),
                               float_word(std::numeric_limits<float>::infinity()),
                               float_word(-std::numeric_limits<float>::infinity()), float_word(1e30f),
                               float_word(-1e30f)};
    for (int32_t d : damaged) {
        for (int word = 0; word < 24; ++word) {
            Instance inst(kKind);
            auto& f = inst.as<F>();
            ParameterBlock b = inst.get();
            b[word] = d;
            inst.put(b);
            for (int j = 0; j < 3; ++j) {
                EXPECT_TRUE(f.wet_gain[j] >= 1.0f / 11.0f * 0.999f && f.wet_gain[j] <= 11.0f) << word;
                EXPECT_TRUE(f.decay[j] >= 0.05f && f.decay[j] <= 0.99f) << word;
                EXPECT_TRUE(f.tone_coef[j] >= 0.0f && f.tone_coef[j] <= 1.0f) << word;
                EXPECT_TRUE(f.post_len[j] >= 10 && f.post_len[j] <= 4999) << word;
            }
            auto sig = noise(2 * 6000, 2, 32000.0f);
            inst.process(sig, 2);
            for (float v : sig) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < kBound) << word << " " << d;
        }
    }
    // A non-finite float word leaves the field as it was.
    Instance inst(kKind);
    ParameterBlock b = inst.get();
    b[1] = float_word(std::numeric_limits<float>::quiet_NaN());
    inst.put(b);
    EXPECT_EQ(inst.as<F>().wet_gain[1].load(), 1.0f);
}

// Every slider at its ends, mono and stereo, a loud phrase then silence: finite, bounded, and no
// memory left non-finite. A non-finite input sample is cleared from the memories within its block.
TEST(Reverberator, StableAtEveryExtreme) {
    const int ends[][5] = {{0, 10, 5, 1, 0}, {100, 4999, 99, 100, 100}, {100, 10, 99, 1, 0},
                           {0, 4999, 5, 100, 0}, {100, 4999, 99, 1, 100}, {50, 2500, 99, 100, 0}};
    for (const auto& e : ends) {
        for (int channels : {1, 2}) {
            Instance inst(kKind);
            auto& f = inst.as<F>();
            apply(f, {"", e[0], e[1], e[2], e[3], e[4], channels == 2});
            auto sig = noise(static_cast<size_t>(channels) * 48000, 21, 32767.0f);
            sig.resize(sig.size() * 3, 0.0f);
            inst.process(sig, channels);
            for (float v : sig) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < kBound) << e[0];
        }
    }
    Instance inst(kKind);
    auto& f = inst.as<F>();
    auto sig = noise(2 * 2000, 4);
    sig[1001] = std::numeric_limits<float>::quiet_NaN();
    sig[1500] = std::numeric_limits<float>::infinity();
    inst.process(sig, 2);
    auto is_finite = [](const float* v, size_t n) { return std::all_of(v, v + n, [](float x) { return std::isfinite(x); }); };
    EXPECT_TRUE(is_finite(&f.bankL.comb_line[0][0], sizeof f.bankL.comb_line / sizeof(float)));
    EXPECT_TRUE(is_finite(&f.bankR.comb_line[0][0], sizeof f.bankR.comb_line / sizeof(float)));
    EXPECT_TRUE(is_finite(f.bankL.comb_filt, 12) && is_finite(f.bankR.comb_filt, 8));
    EXPECT_TRUE(is_finite(f.postML.post_line, 5001) && is_finite(f.postR.post_line, 5001));
    EXPECT_TRUE(std::isfinite(f.postML.tone_state) && std::isfinite(f.postR.tone_state));
    auto after = noise(2 * 6000, 5);
    inst.process(after, 2);
    EXPECT_TRUE(is_finite(after.data(), after.size()));
}

// Blocks restored on the user-interface thread while the audio thread processes: every length,
// gain and coefficient may change between two blocks, and the output stays finite and bounded.
TEST(Reverberator, RestoringWhileProcessingStaysSafe) {
    Instance inst(kKind);
    ParameterBlock extremes[2] = {inst.get(), inst.get()};
    const int32_t low[] = {0, 0, 0, 5, 5, 5, 1, 0, 0, 10, 10, 10};
    const int32_t high[] = {100, 100, 100, 99, 99, 99, 100, 100, 100, 4999, 4999, 4999};
    const int positions[] = {3, 4, 5, 9, 10, 11, 15, 16, 17, 21, 22, 23};
    for (int j = 0; j < 12; ++j) {
        extremes[0][positions[j]] = low[j];
        extremes[1][positions[j]] = high[j];
    }
    extremes[1][18] = extremes[1][19] = extremes[1][20] = 4999;
    std::atomic<bool> done{false};
    std::atomic<bool> bad{false};
    std::atomic<int> blocks{0};
    std::thread audio([&] {
        auto sig = noise(2 * 480, 6, 32000.0f);
        while (!done.load()) {
            auto buf = sig;
            get_registry().process[kKind](480, 48000, 2, buf.data(), inst.cell());
            for (float v : buf)
                if (!std::isfinite(v) || std::fabs(v) >= kBound) bad = true;
            ++blocks;
        }
    });
    for (int i = 0; i < 400 || blocks.load() < 200; ++i) inst.put(extremes[i % 2]);
    done = true;
    audio.join();
    EXPECT_FALSE(bad.load());
}

}  // namespace
}  // namespace vx
