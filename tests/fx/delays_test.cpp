#include "delays.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "engine/test_signal.h"
#include "fx_helpers.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;

constexpr EffectKind kKind = 8;
constexpr int64_t kStore = 268000;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// One channel of the echo computed from the whole input history instead of a circular line: a read
// at index q finds the latest sample written there, nothing if none was, and 0.0 past the store.
struct Reference {
    bool right;
    std::vector<float> history;
    int32_t offset = 0, dir = 1;
    uint32_t count = 0;
    int64_t reads_past_store = 0;

    float read(int64_t now, int64_t q) {
        if (q >= kStore) {
            ++reads_past_store;
            return 0.0f;
        }
        const int64_t wp = now % kStore;
        const int64_t written = now - ((wp - q) % kStore + kStore) % kStore;
        return written < 0 ? 0.0f : history[static_cast<size_t>(written)];
    }
    float step(float x, int64_t D, const float g[5], float og, bool sweep) {
        const int64_t now = static_cast<int64_t>(history.size());
        history.push_back(x);
        if (++count % 128 == 0) offset += dir;
        if (offset > 600) dir = -1;
        if (offset < 0) dir = 1;
        const int64_t wp = now % kStore;
        float acc = x;
        for (int j = 0; j < 5; ++j) {
            int64_t q = sweep ? wp - (j + 1) * D + offset : (right ? wp - j * D - D / 2 : wp - (j + 1) * D);
            if (q < 0) q += kStore;
            acc = static_cast<float>(static_cast<long double>(acc) + static_cast<long double>(read(now, q)) * g[j]);
        }
        return og * acc;
    }
};

struct Settings { int time, decay, gain, echo; bool sweep; };

void apply(TDelay_form& f, const Settings& s) {
    f.ScrollBar_Delay_Time.set_position(s.time);
    f.ScrollBar_Delay_Decay.set_position(s.decay);
    f.ScrollBar_Delay_Gain.set_position(s.gain);
    f.ScrollBar_Delay_I_Gain.set_position(s.echo);
    f.CheckRadioBox_Small_Flanger.set_checked(s.sweep);
}

TEST(Delay, NewInstanceEndsFormCreateWithItsSliderPositions) {
    Instance inst(kKind);
    auto& f = inst.as<TDelay_form>();
    EXPECT_EQ(f.caption(), "Delay");
    EXPECT_EQ(f.delay_samples.load(), 39000);
    EXPECT_EQ(f.decay.load(), 0.45f);
    EXPECT_EQ(f.echo_gain.load(), 0.85f);
    EXPECT_EQ(f.out_gain.load(), 0.65f);
    EXPECT_EQ(f.sweep_on.load(), 0);
    const float telling[5] = {0.85f, 0.3825f, 0.172125f, 0.0774562f, 0.0348553f};
    float chain = 1.0f;
    for (int j = 0; j < 6; ++j) {
        EXPECT_EQ(bits(f.tap_gain[j].load()), bits(chain * 0.85f)) << j;
        if (j < 5) {
            EXPECT_NEAR(f.tap_gain[j].load(), telling[j], 1e-6) << j;
        }
        chain = chain * 0.45f;
    }
    struct Control { const Slider* s; const char* label; int min, max, position; };
    const Control controls[] = {
        {&f.ScrollBar_Delay_Time, "Delay ", 0, 100, 75},
        {&f.ScrollBar_Delay_Decay, "Decay ", 0, 100, 45},
        {&f.ScrollBar_Delay_Gain, "Gain  ", 0, 100, 65},
        {&f.ScrollBar_Delay_I_Gain, "Echo Gain  ", 1, 100, 85},
    };
    ASSERT_EQ(f.controls().size(), 6u);  // the sliders, the check box, then the picture
    EXPECT_EQ(f.controls().back(), &f.Curve_Taps);
    for (size_t i = 0; i < 4; ++i) {
        const Control& c = controls[i];
        EXPECT_EQ(f.controls()[i], c.s);
        EXPECT_EQ(c.s->label, c.label);
        EXPECT_EQ(c.s->min(), c.min);
        EXPECT_EQ(c.s->max(), c.max);
        EXPECT_EQ(c.s->position(), c.position);
    }
    EXPECT_EQ(f.controls()[4], &f.CheckRadioBox_Small_Flanger);
    EXPECT_EQ(f.CheckRadioBox_Small_Flanger.caption(), "  Ping pong");
    EXPECT_FALSE(f.CheckRadioBox_Small_Flanger.checked());
    for (const auto* c : {&f.L, &f.R}) {
        EXPECT_EQ(c->sweep_dir, 1);
        EXPECT_EQ(c->write_pos, 0);
        EXPECT_TRUE(std::all_of(std::begin(c->line), std::end(c->line), [](float x) { return x == 0.0f; }));
    }
}

// An impulse comes back at D .. 5D on the left and D/2 .. 9D/2 on the right, each echo exactly its
// tap gain times the output gain, and nothing anywhere else.
TEST(Delay, ImpulseEchoesOnBothSides) {
    struct Case { int time, decay; };
    for (const Case c : {Case{1, 45}, Case{75, 45}, Case{100, 80}, Case{10, 0}}) {
        Instance inst(kKind);
        auto& f = inst.as<TDelay_form>();
        f.ScrollBar_Delay_Time.set_position(c.time);
        f.ScrollBar_Delay_Decay.set_position(c.decay);
        const int64_t D = c.time * 520;
        const size_t frames = static_cast<size_t>(5 * D + 10);
        std::vector<float> buf(2 * frames, 0.0f);
        buf[0] = buf[1] = 1.0f;
        inst.process(buf, 2);
        const float og = f.out_gain;
        std::vector<float> left(frames, 0.0f), right(frames, 0.0f);
        left[0] = right[0] = og;
        for (int j = 0; j < 5; ++j) {
            left[static_cast<size_t>((j + 1) * D)] += og * f.tap_gain[j];
            right[static_cast<size_t>(j * D + D / 2)] += og * f.tap_gain[j];
        }
        for (size_t i = 0; i < frames; ++i) {
            ASSERT_EQ(bits(buf[2 * i]), bits(left[i])) << "Delay " << c.time << " left frame " << i;
            ASSERT_EQ(bits(buf[2 * i + 1]), bits(right[i])) << "Delay " << c.time << " right frame " << i;
        }
        if (c.decay == 0) {
            // Only the first echo, at the echo gain.
            EXPECT_EQ(buf[2 * D], og * 0.85f);
            for (int j = 2; j <= 5; ++j) EXPECT_EQ(buf[2 * j * D], 0.0f) << j;
        }
    }
}

TEST(Delay, ZeroDelayAddsEveryTapToTheInput) {
    Instance inst(kKind);
    auto& f = inst.as<TDelay_form>();
    f.ScrollBar_Delay_Time.set_position(0);
    const auto in = noise(2 * 1000, 6);
    auto buf = in;
    inst.process(buf, 2);
    double sum = 1.0;
    for (int j = 0; j < 5; ++j) sum += f.tap_gain[j];
    for (size_t i = 0; i < in.size(); ++i)
        EXPECT_NEAR(buf[i], f.out_gain * in[i] * sum, 1e-3 + 1e-6 * std::fabs(in[i])) << i;
}

TEST(Delay, SilentOutputStillFillsTheLine) {
    Instance inst(kKind);
    auto& f = inst.as<TDelay_form>();
    f.ScrollBar_Delay_Time.set_position(1);
    f.ScrollBar_Delay_Gain.set_position(0);
    std::vector<float> buf(2 * 100, 0.0f);
    buf[0] = 1000.0f;
    inst.process(buf, 2);
    for (float x : buf) EXPECT_EQ(x, 0.0f);
    f.ScrollBar_Delay_Gain.set_position(100);
    std::vector<float> later(2 * 520, 0.0f);
    inst.process(later, 2);
    EXPECT_EQ(later[2 * 420], 1000.0f * f.tap_gain[0]) << "the first echo of what was played at gain 0";
}

// Exactly the history-based reference, through wraps of the store, swept reads ahead of the
// write position and past the end of the store, for any block size.
TEST(Delay, MatchesTheHistoryReference) {
    // The phrase: quiet passages of small whole numbers, whose sums with a tap often land on a
    // float halfway point in double.
    struct Case { Settings s; size_t frames; std::vector<int> blocks; bool expect_past_store; bool phrase = false; };
    const Case cases[] = {
        {{1, 45, 65, 85, false}, 3000, {1, 7, 480}, false},
        {{100, 90, 100, 100, false}, 280000, {480, 512, 3000}, false},
        {{0, 45, 65, 85, true}, 280000, {480, 3000}, true},
        {{3, 70, 80, 60, true}, 20000, {1, 7, 512}, false},
        {{100, 100, 100, 100, true}, 280000, {512}, false},
        {{2, 45, 65, 85, false}, 96000, {1, 7, 480, 512}, false, true},
        {{2, 45, 65, 85, true}, 96000, {480}, false, true},
    };
    for (const Case& c : cases) {
        std::vector<float> in;
        if (c.phrase) {
            const auto mono = make_test_phrase(48000, static_cast<double>(c.frames) / 48000.0);
            // and a quieter one, whose silence is -0.0 (its sign survives the sums)
            for (float x : mono) in.insert(in.end(), {x, std::floor(x / 16.0f) == 0.0f ? -0.0f : std::floor(x / 16.0f)});
        } else {
            in = noise(2 * c.frames, 17, 20000.0f);
        }
        // (each path: the plain loop, and the AVX2 one where the processor has it)
        for (int block : c.blocks) for (bool vector : {false, true}) {
            Instance inst(kKind);
            auto& f = inst.as<TDelay_form>();
            if (vector && !f.vector_path) continue;
            f.vector_path = vector;
            apply(f, c.s);
            auto buf = in;
            inst.process(buf, 2, block);
            Reference ref[2] = {{false, {}}, {true, {}}};
            float g[5];
            for (int j = 0; j < 5; ++j) g[j] = f.tap_gain[j];
            for (int ch = 0; ch < 2; ++ch) {
                ref[ch].history.reserve(c.frames);
                for (size_t i = 0; i < c.frames; ++i) {
                    const float want = ref[ch].step(in[2 * i + ch], f.delay_samples, g, f.out_gain, c.s.sweep);
                    ASSERT_EQ(bits(buf[2 * i + ch]), bits(want))
                        << "Delay " << c.s.time << " sweep " << c.s.sweep << " block " << block << " vector " << vector
                        << " channel " << ch
                        << " frame " << i;
                }
            }
            EXPECT_EQ(ref[0].reads_past_store > 0, c.expect_past_store);
            EXPECT_EQ(f.L.sweep_offset, ref[0].offset);
            EXPECT_EQ(f.R.sweep_dir, ref[1].dir);
        }
    }
}

TEST(Delay, SweepIsATriangleOf154112Samples) {
    Instance inst(kKind);
    auto& f = inst.as<TDelay_form>();
    const size_t period = 154112;
    std::vector<int32_t> offsets;
    std::vector<float> one(1);
    for (size_t t = 0; t < 2 * period; ++t) {
        get_registry().process[kKind](1, 48000, 1, one.data(), inst.cell());
        offsets.push_back(f.L.sweep_offset);
    }
    EXPECT_EQ(*std::min_element(offsets.begin(), offsets.end()), -1);
    EXPECT_EQ(*std::max_element(offsets.begin(), offsets.end()), 601);
    // One step every 128 samples: up from 0 to 601, down to -1, up again; 1204 steps a period.
    for (size_t t = 0; t < offsets.size(); ++t) {
        const int steps = static_cast<int>(((t + 1) / 128) % 1204);
        ASSERT_EQ(offsets[t], steps <= 601 ? steps : 1202 - steps) << "sample " << t;
    }
    EXPECT_EQ(f.L.sweep_dir, 1);
    EXPECT_EQ(f.R.sweep_count, 0) << "mono leaves the right channel standing";
    EXPECT_EQ(f.R.write_pos, 0);
}

TEST(Delay, SweepCounterWrapsWithoutOverflow) {
    Instance inst(kKind);
    auto& f = inst.as<TDelay_form>();
    for (int sweep : {0, 1}) {
        f.CheckRadioBox_Small_Flanger.set_checked(sweep == 1);
        f.L.sweep_count = 2147483647 - 10;
        f.L.sweep_offset = 5;
        f.L.sweep_dir = 1;
        std::vector<float> buf(480, 0.0f);
        inst.process(buf, 1);
        EXPECT_EQ(static_cast<uint32_t>(f.L.sweep_count), 2147483647u - 10u + 480u);
        EXPECT_EQ(f.L.sweep_offset, 5 + 4) << "four counts with the low seven bits clear";
    }
}

// A sum that lands exactly between two floats in double, but not in extended precision.
TEST(Delay, TapsAreSummedInExtendedPrecision) {
    const float acc = 1.0f + 0x1p-23f, sample = 0x1p-24f * (1.0f + 0x1p-19f), gain = 1.0f - 0x1p-19f;
    ASSERT_EQ(static_cast<float>(static_cast<double>(acc) + static_cast<double>(sample) * gain), 1.0f + 0x1p-22f);
    EXPECT_EQ(delay_tap_add(acc, sample, gain), acc);
    for (int path = 0; path < 4; ++path) {
        const int sweep = path % 2;
        Instance inst(kKind);
        auto& f = inst.as<TDelay_form>();
        if (path >= 2 && !f.vector_path) continue;
        f.vector_path = path >= 2;
        f.ScrollBar_Delay_Time.set_position(1);
        f.CheckRadioBox_Small_Flanger.set_checked(sweep == 1);
        for (auto& g : f.tap_gain) g = 0.0f;
        f.tap_gain[0] = gain;
        f.out_gain = 1.0f;
        std::vector<float> buf(521, 0.0f);
        // The sweep has moved the first tap 4 samples on by then.
        buf[sweep ? 4 : 0] = sample;
        buf[520] = acc;
        inst.process(buf, 1);
        EXPECT_EQ(bits(buf[520]), bits(acc)) << "sweep " << sweep << " vector " << f.vector_path;
    }
}

TEST(Delay, ParameterBlockLayout) {
    Instance a(kKind);
    auto& f = a.as<TDelay_form>();
    apply(f, {10, 20, 30, 40, true});
    ParameterBlock b{};
    b[4] = static_cast<int32_t>(0xABCDEF00u);
    b[5] = 99;
    get_registry().params[kKind](b.data(), a.cell(), 0);
    EXPECT_EQ(b[0], 10);
    EXPECT_EQ(b[1], 20);
    EXPECT_EQ(b[2], 30);
    EXPECT_EQ(b[3], 40);
    EXPECT_EQ(static_cast<uint32_t>(b[4]), 0xABCDEF01u) << "only the lowest byte is written";
    EXPECT_EQ(b[5], 99);

    Instance c(kKind);
    c.put(b);
    auto& g = c.as<TDelay_form>();
    EXPECT_EQ(g.delay_samples.load(), 5200);
    EXPECT_EQ(g.decay.load(), 0.2f);
    EXPECT_EQ(g.out_gain.load(), 0.3f);
    EXPECT_EQ(g.echo_gain.load(), 0.4f);
    EXPECT_EQ(g.sweep_on.load(), 1);
    for (int j = 0; j < 6; ++j) EXPECT_EQ(g.tap_gain[j].load(), f.tap_gain[j].load()) << j;

    // Positions are clamped into the sliders' ranges; the state byte counts only when it is 1.
    struct Case { ParameterBlock block; int time, echo; int32_t sweep; };
    ParameterBlock wild{};
    wild[0] = 1000;
    wild[3] = -7;
    wild[4] = 0x0102;  // lowest byte 2
    ParameterBlock low{};
    low[0] = -1;
    low[3] = 0;
    low[4] = static_cast<int32_t>(0xFFFFFF01u);
    for (const Case& k : {Case{wild, 100, 1, 0}, Case{low, 0, 1, 1}}) {
        c.put(k.block);
        EXPECT_EQ(g.delay_samples.load(), k.time * 520);
        EXPECT_EQ(g.ScrollBar_Delay_I_Gain.position(), k.echo);
        EXPECT_EQ(g.echo_gain.load(), 0.01f);
        EXPECT_EQ(g.sweep_on.load(), k.sweep);
        EXPECT_EQ(g.CheckRadioBox_Small_Flanger.checked(), k.sweep == 1);
    }
}

TEST(Delay, RestoreToTheSamePositionRunsNoHandler) {
    Instance inst(kKind);
    auto& f = inst.as<TDelay_form>();
    f.delay_samples = 1234;  // not what the slider says; no handler may touch it
    inst.put(inst.get());
    EXPECT_EQ(f.delay_samples.load(), 1234);
}

TEST(Delay, ZeroFramesChangeNothing) {
    Instance inst(kKind);
    auto& f = inst.as<TDelay_form>();
    std::vector<float> buf = {1.0f, 2.0f};
    get_registry().process[kKind](0, 48000, 2, buf.data(), inst.cell());
    get_registry().process[kKind](-3, 48000, 1, buf.data(), inst.cell());
    EXPECT_EQ(buf, (std::vector<float>{1.0f, 2.0f}));
    EXPECT_EQ(f.L.write_pos, 0);
    EXPECT_EQ(f.L.sweep_count, 0);
    EXPECT_EQ(f.L.line[0], 0.0f);
}

TEST(Delay, TwoInstancesAreIndependent) {
    Instance a(kKind), b(kKind);
    a.as<TDelay_form>().ScrollBar_Delay_Time.set_position(3);
    EXPECT_EQ(b.as<TDelay_form>().delay_samples.load(), 39000);
    std::vector<float> buf(2 * 100, 500.0f);
    a.process(buf, 2);
    EXPECT_EQ(b.as<TDelay_form>().L.line[0], 0.0f);
}

}  // namespace
}  // namespace vx
