#include "flangers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;

constexpr EffectKind kKind = 9;

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// One channel written out step by step as a plain loop, with its own circular line and chorus
// delay, turning the sweep by flipping the sign at each end.
struct Reference {
    float line[4096] = {};
    int wp = 301;
    float phase = 0.0f;
    int idx0 = 1, idx1 = 0;
    float sweep = 0.001f, speed = 0.0075f, fb = 0.5f, last = 0.0f;
    std::vector<float> chorus = std::vector<float>(20001, 0.0f);
    int cpos = 1, clen = 1800;

    Reference() { std::fill(chorus.begin(), chorus.begin() + 15000, 1.0f); }

    float step(float x, float level, bool chorus_on) {
        line[wp] = static_cast<float>(static_cast<double>(fb) * last + x);
        const float a = line[idx1], b = line[idx0];
        const float frac = static_cast<float>(static_cast<double>(phase) - idx0);
        float t = static_cast<float>((static_cast<double>(a) - b) * frac + b);
        if (chorus_on) {
            const float r = chorus[cpos];
            chorus[cpos] = t;
            if (++cpos >= clen) cpos = 0;
            t = r;
        }
        last = t;
        if (++wp >= 4096) wp -= 4096;
        sweep = sweep + speed;
        if (sweep > 300.0f) speed = -speed;
        if (sweep < 0.0f) speed = -speed;
        phase = static_cast<float>(static_cast<double>(phase) + 1.0 + speed);
        if (phase >= 4096.0f) phase -= 4096.0f;
        if (phase < 0.0f) phase += 4096.0f;
        idx0 = static_cast<int>(phase);
        if (idx0 >= 4096) idx0 -= 4096;
        if (idx0 < 0) idx0 += 4096;
        idx1 = idx0 + 1;
        if (idx1 >= 4096) idx1 -= 4096;
        return static_cast<float>(x + static_cast<double>(t) * level);
    }
};

float speed_of(int position) { return static_cast<float>(position * 0.0002L); }

struct Setting {
    const char* name;
    int speed_l, speed_r;  // 0: as created
    int tone;              // -1: as created
    int chorus_tone;       // 0: as created
    bool chorus;
};

void apply(Tflanger_form& f, const Setting& s) {
    f.CheckRadioBox_Gang.set_checked(false);
    if (s.speed_l) f.ScrollBar_Flanger_Speed.set_position(s.speed_l);
    if (s.speed_r) f.ScrollBar_Flanger_Speed_R.set_position(s.speed_r);
    if (s.tone >= 0) f.ScrollBar_Flanger_Tone.set_position(s.tone);
    if (s.chorus_tone) f.ScrollBar_ChorusTone.set_position(s.chorus_tone);
    f.RadioBox_Chorus.set_checked(s.chorus);
    f.ScrollBar_Flanger_Level.set_position(37);
}

void apply(Reference& r, const Setting& s, bool right) {
    if (s.speed_l && !right) r.speed = speed_of(s.speed_l);
    if (s.speed_r && right) r.speed = speed_of(s.speed_r);
    if (s.tone >= 0) r.fb = static_cast<float>(s.tone / 50.0L);
    if (s.chorus_tone) r.clen = static_cast<int>(std::nearbyint(static_cast<double>(*SliderFactor(s.chorus_tone)) * 1800.0));
}

// Long enough for several turns of the fast sweeps and many passes through the short chorus.
TEST(Flanger, MatchesThePlainLoopForEveryBlockSize) {
    const Setting settings[] = {
        {"as created", 0, 0, -1, 0, false},
        {"fast, full feedback", 100, 81, 48, 0, false},
        {"chorus, short", 37, 100, 30, 7, true},
        {"chorus, as created", 0, 0, -1, 0, true},
    };
    const int frames = 90000;
    const std::vector<float> left = noise(frames, 3, 20000.0f), right = noise(frames, 4, 20000.0f);
    for (const Setting& s : settings) {
        for (int channels : {1, 2}) {
            std::vector<float> expected(static_cast<size_t>(frames) * channels);
            Reference rl, rr;
            apply(rl, s, false);
            apply(rr, s, true);
            const float level = static_cast<float>(37 / 50.0L);
            for (int i = 0; i < frames; ++i) {
                if (channels == 1) {
                    expected[i] = rl.step(left[i], level, s.chorus);
                } else {
                    expected[2 * i] = rl.step(left[i], level, s.chorus);
                    expected[2 * i + 1] = rr.step(right[i], level, s.chorus);
                }
            }
            for (int run = 0; run < 5; ++run) {
                // Blocks of 1, 7, 480 and 512 frames, and stereo once more without vector registers.
                const int block = run == 4 ? 480 : std::array{1, 7, 480, 512}[run];
                Instance inst(kKind);
                apply(inst.as<Tflanger_form>(), s);
                if (run == 4) {
                    if (channels == 1) continue;
                    inst.as<Tflanger_form>().vector_path = false;
                }
                std::vector<float> buf(expected.size());
                for (int i = 0; i < frames; ++i) {
                    if (channels == 1) {
                        buf[i] = left[i];
                    } else {
                        buf[2 * i] = left[i];
                        buf[2 * i + 1] = right[i];
                    }
                }
                inst.process(buf, channels, block);
                size_t bad = 0;
                for (size_t i = 0; i < buf.size() && bad == 0; ++i)
                    if (bits(buf[i]) != bits(expected[i])) bad = i + 1;
                EXPECT_EQ(bad, 0u) << s.name << ", " << channels << " channel(s), blocks of " << block
                                   << ": first difference at sample " << (bad ? bad - 1 : 0);
                EXPECT_EQ(bits(inst.as<Tflanger_form>().L.sweep), bits(rl.sweep)) << s.name;
                EXPECT_EQ(bits(inst.as<Tflanger_form>().L.speed.load()), bits(rl.speed)) << s.name;
            }
        }
    }
}

// Without feedback the line holds the input itself, so the copy can be read from the input's
// history at the read position: the latest sample written to each index, nothing before the start.
TEST(Flanger, WithoutFeedbackTheCopyIsAnInterpolatedDelayOfTheInput) {
    Instance inst(kKind);
    auto& f = inst.as<Tflanger_form>();
    f.ScrollBar_Flanger_Tone.set_position(0);
    f.ScrollBar_Flanger_Level.set_position(50);  // x1
    const int frames = 100000;
    const std::vector<float> x = noise(frames, 11, 12000.0f);
    std::vector<float> y = x;
    inst.process(y, 1);

    auto history = [&](int n, int index) {
        const int wp = (301 + n) % 4096;
        const int written = n - (((wp - index) % 4096) + 4096) % 4096;
        return written < 0 ? 0.0f : x[written];
    };
    float phase = 0.0f, sweep = 0.001f, speed = 0.0075f;
    int idx0 = 1, idx1 = 0, bad = 0;
    for (int n = 0; n < frames && bad < 5; ++n) {
        const float a = history(n, idx1), b = history(n, idx0);
        const float t = static_cast<float>((static_cast<double>(a) - b) * (phase - idx0) + b);
        const float expected = static_cast<float>(x[n] + static_cast<double>(t));
        if (bits(y[n]) != bits(expected)) {
            ++bad;
            ADD_FAILURE() << "sample " << n;
        }
        sweep += speed;
        if (sweep > 300.0f || sweep < 0.0f) speed = -speed;
        phase = static_cast<float>(static_cast<double>(phase) + 1.0 + speed);
        phase = std::fmod(phase, 4096.0f);
        idx0 = static_cast<int>(phase);
        idx1 = (idx0 + 1) % 4096;
    }
}

// The delay of the swept copy, read from a ramp: with no feedback and the copy at x1, the output
// is x + t and x - t is the delay. Mono, from a new instance with the given speed position (0: as
// created).
std::vector<double> measured_delays(int speed_position, int frames) {
    Instance inst(kKind);
    auto& f = inst.as<Tflanger_form>();
    f.ScrollBar_Flanger_Tone.set_position(0);
    f.ScrollBar_Flanger_Level.set_position(50);
    if (speed_position) f.ScrollBar_Flanger_Speed.set_position(speed_position);
    std::vector<float> buf(frames);
    for (int n = 0; n < frames; ++n) buf[n] = static_cast<float>(n);
    inst.process(buf, 1);
    std::vector<double> d(frames);
    for (int n = 0; n < frames; ++n) d[n] = 2.0 * n - buf[n];  // x - (y - x)
    return d;
}

TEST(Flanger, DelaySweepsATriangleOf600OverSpeedSamples) {
    struct Case { int position; double period; };
    for (const Case c : {Case{0, 80000.0}, Case{100, 30000.0}}) {
        const std::vector<double> d = measured_delays(c.position, static_cast<int>(2.2 * c.period));
        const auto at = [&](double n) { return d[static_cast<size_t>(n)]; };
        const auto argmin = [&](double from, double to) {
            return static_cast<double>(std::min_element(d.begin() + static_cast<long>(from), d.begin() + static_cast<long>(to)) - d.begin());
        };
        const double first = argmin(400, c.period), second = argmin(c.period, 2 * c.period);
        EXPECT_NEAR(first, c.period / 2, c.period * 0.005) << c.position;
        EXPECT_NEAR(second - first, c.period, c.period * 0.005) << c.position;
        EXPECT_NEAR(at(first), 1.0, 1.5) << c.position;
        EXPECT_NEAR(at(c.period / 4), 151.0, 3.0) << c.position;
        EXPECT_NEAR(at(c.period), 301.0, 3.0) << c.position;
        EXPECT_NEAR(*std::max_element(d.begin() + 400, d.end()), 301.0, 3.0) << c.position;
    }
}

// The read position is integrated in float32; at the slowest speeds its steps round so coarsely
// that for part of each cycle it runs ahead of the write position and reads from about 4095 back.
TEST(Flanger, ReadPassesTheWritePositionOnlyAtTheSlowestSpeed) {
    for (int position : {1, 3, 4, 5}) {
        const int cycle = static_cast<int>(std::lround(600.0 / speed_of(position)));
        const std::vector<double> d = measured_delays(position, cycle + 1000);
        const long far = std::count_if(d.begin() + 400, d.end(), [](double v) { return v > 1000.0; });
        const double top = *std::max_element(d.begin() + 400, d.end());
        if (position == 1) {
            EXPECT_GT(far, cycle / 16) << "about an eighth of the cycle";
            EXPECT_LT(far, cycle / 4);
            EXPECT_NEAR(top, 4095.0, 2.0);
        } else {
            EXPECT_EQ(far, 0) << position;
            EXPECT_LT(top, 310.0) << position;
        }
    }
}

TEST(Flanger, ChorusLengthsFromTheChorusToneSlider) {
    const std::pair<int, int> cases[] = {{1, 167},   {7, 187},   {10, 200},  {25, 300},    {39, 562},   {40, 600},
                                         {49, 1500}, {50, 1800}, {51, 2160}, {75, 10800}, {100, 19800}};
    Instance inst(kKind);
    auto& f = inst.as<Tflanger_form>();
    for (auto [position, length] : cases) {
        f.ScrollBar_ChorusTone.set_position(position == 50 ? 51 : 50);
        f.ScrollBar_ChorusTone.set_position(position);
        EXPECT_EQ(f.L.chorus_len, length) << position;
        EXPECT_EQ(f.R.chorus_len, length) << position;
    }
}

// The chorus delay starts full of 1.0: the first pass returns that fill, then the swept copy.
TEST(Flanger, FirstPassThroughTheChorusReturnsItsFill) {
    Instance inst(kKind);
    auto& f = inst.as<Tflanger_form>();
    f.ScrollBar_Flanger_Tone.set_position(0);
    f.ScrollBar_Flanger_Level.set_position(50);
    f.ScrollBar_ChorusTone.set_position(7);  // 187 samples
    f.RadioBox_Chorus.set_checked(true);
    std::vector<float> buf(187 + 400, 0.0f);
    inst.process(buf, 1);
    for (int n = 0; n < 187; ++n) ASSERT_EQ(buf[n], 1.0f) << n;
    for (size_t n = 187; n < buf.size(); ++n) ASSERT_EQ(buf[n], 0.0f) << n;
    // A longer delay reaches entries nothing has written yet: the fill again.
    f.ScrollBar_ChorusTone.set_position(50);
    std::vector<float> more(1800, 0.0f);
    inst.process(more, 1);
    EXPECT_EQ(std::count(more.begin(), more.end(), 1.0f), 1800 - 187);
}

TEST(Flanger, FrameCountZeroChangesNothing) {
    Instance a(kKind), b(kKind);
    std::vector<float> warm = noise(3000, 5);
    std::vector<float> warm2 = warm;
    a.process(warm, 2);
    b.process(warm2, 2);
    float untouched[2] = {123.0f, -7.0f};
    get_registry().process[kKind](0, 48000, 2, untouched, a.cell());
    get_registry().process[kKind](0, 48000, 1, untouched, a.cell());
    EXPECT_EQ(untouched[0], 123.0f);
    EXPECT_EQ(untouched[1], -7.0f);
    std::vector<float> x = noise(4000, 6), y = x;
    a.process(x, 2);
    b.process(y, 2);
    EXPECT_EQ(x, y);
}

// --- Gang ---------------------------------------------------------------------------------------

TEST(Flanger, GangLocksTheRightSpeedToTheLeft) {
    Instance inst(kKind);
    auto& f = inst.as<Tflanger_form>();
    ASSERT_TRUE(f.CheckRadioBox_Gang.checked());
    // Ganged: the left slider moves the right one, and the right slider alone changes nothing.
    f.ScrollBar_Flanger_Speed.set_position(40);
    EXPECT_EQ(f.ScrollBar_Flanger_Speed_R.position(), 40);
    EXPECT_EQ(f.L.speed.load(), speed_of(40));
    EXPECT_EQ(f.R.speed.load(), speed_of(40));
    f.ScrollBar_Flanger_Speed_R.set_position(90);
    EXPECT_EQ(f.R.speed.load(), speed_of(40));
    // Unganged: each slider its own channel; unchecking changes nothing at once.
    f.CheckRadioBox_Gang.set_checked(false);
    EXPECT_EQ(f.R.speed.load(), speed_of(40));
    f.ScrollBar_Flanger_Speed_R.set_position(70);
    f.ScrollBar_Flanger_Speed.set_position(20);
    EXPECT_EQ(f.ScrollBar_Flanger_Speed_R.position(), 70);
    EXPECT_EQ(f.L.speed.load(), speed_of(20));
    EXPECT_EQ(f.R.speed.load(), speed_of(70));
    // Checking it copies the left speed as it is, direction included.
    f.L.speed.store(-speed_of(20));
    f.CheckRadioBox_Gang.set_checked(true);
    EXPECT_EQ(f.R.speed.load(), -speed_of(20));
    // A speed handler always stores an upward speed.
    f.ScrollBar_Flanger_Speed.set_position(21);
    EXPECT_EQ(f.L.speed.load(), speed_of(21));
    EXPECT_EQ(f.R.speed.load(), speed_of(21));
}

TEST(Flanger, GangedChannelsSweepInStepInStereoAndDriftAfterMono) {
    Instance inst(kKind);
    auto& f = inst.as<Tflanger_form>();
    auto in_step = [&] {
        return f.L.phase == f.R.phase && f.L.sweep == f.R.sweep && f.L.speed.load() == f.R.speed.load() &&
               f.L.write_pos == f.R.write_pos;
    };
    std::vector<float> stereo = noise(2 * 50000, 7);
    inst.process(stereo, 2);
    EXPECT_TRUE(in_step());
    EXPECT_LT(f.L.speed.load(), 0.0f) << "past the first turn";
    std::vector<float> mono = noise(1000, 8);
    inst.process(mono, 1);
    f.ScrollBar_Flanger_Speed.set_position(60);  // ganged again, the same speed
    std::vector<float> more = noise(2 * 50000, 9);
    inst.process(more, 2);
    EXPECT_FALSE(in_step());
    EXPECT_NE(f.L.write_pos, f.R.write_pos);
}

// A speed stored just after the sweep turned at its top (here by a handler, upward) must not hold
// the sweep there: it turns once and runs down.
TEST(Flanger, SpeedStoredJustAfterATurnDoesNotHoldTheSweepAtTheEnd) {
    for (bool top : {true, false}) {
        Instance inst(kKind);
        auto& f = inst.as<Tflanger_form>();
        f.CheckRadioBox_Gang.set_checked(false);
        f.L.sweep = top ? 300.0001f : -0.0001f;
        f.L.speed.store(top ? speed_of(100) : -speed_of(100));  // as a handler or a restore would
        std::vector<float> buf(200, 0.0f);
        inst.process(buf, 1);
        if (top) {
            EXPECT_LT(f.L.sweep, 297.0f);
            EXPECT_LT(f.L.speed.load(), 0.0f);
        } else {
            EXPECT_GT(f.L.sweep, 3.0f);
            EXPECT_GT(f.L.speed.load(), 0.0f);
        }
    }
}

// --- Parameter block ----------------------------------------------------------------------------

TEST(Flanger, BlockHoldsTheLayoutAndRestoresADownwardSweep) {
    Instance a(kKind);
    auto& f = a.as<Tflanger_form>();
    f.ScrollBar_Flanger_Level.set_position(80);
    f.ScrollBar_Flanger_Tone.set_position(12);
    f.ScrollBar_ChorusTone.set_position(39);
    f.RadioBox_Chorus.set_checked(true);
    std::vector<float> buf = noise(2 * 50000, 12);  // past the first turn at 40000
    a.process(buf, 2);
    ASSERT_LT(f.L.speed.load(), 0.0f);
    ParameterBlock block{};
    block[7] = 0x12345600;
    get_registry().params[kKind](block.data(), a.cell(), 0);
    EXPECT_EQ(word_float(block[0]), 1.6f);
    EXPECT_EQ(word_float(block[1]), -0.0075f);
    EXPECT_EQ(word_float(block[2]), -0.0075f);
    EXPECT_EQ(word_float(block[3]), static_cast<float>(12 / 50.0L));
    EXPECT_EQ(word_float(block[4]), static_cast<float>(12 / 50.0L));
    EXPECT_EQ(block[5], 117117);
    EXPECT_EQ(block[6], 39);
    EXPECT_EQ(block[7], 0x12345601) << "only the lowest byte is written";
    EXPECT_EQ(block[8], 80);
    EXPECT_EQ(block[9], 10);
    EXPECT_EQ(block[10], 10);
    EXPECT_EQ(block[11], 12);
    for (int w = 12; w < 101; ++w) EXPECT_EQ(block[w], 0) << w;

    Instance b(kKind);
    b.put(block);
    auto& g = b.as<Tflanger_form>();
    EXPECT_EQ(g.L.speed.load(), -0.0075f) << "the same direction";
    EXPECT_EQ(g.R.speed.load(), -0.0075f);
    EXPECT_EQ(g.level, 1.6f);
    EXPECT_EQ(g.L.feedback, static_cast<float>(12 / 50.0L));
    EXPECT_EQ(g.L.chorus_len, 562);
    EXPECT_TRUE(g.chorus_on);
    EXPECT_EQ(b.get(), a.get());
}

TEST(Flanger, RestoreRunsOnlyTheHandlersOfMovedControls) {
    Instance inst(kKind);
    auto& f = inst.as<Tflanger_form>();
    ParameterBlock block = inst.get();
    // Same positions: the stored values stand, even where they do not match a position.
    block[0] = float_word(0.7f);
    block[3] = float_word(0.3f);
    block[4] = float_word(0.1f);
    inst.put(block);
    EXPECT_EQ(f.level, 0.7f);
    EXPECT_EQ(f.L.feedback, 0.3f);
    EXPECT_EQ(f.R.feedback, 0.1f);
    EXPECT_EQ(f.L.speed.load(), 0.0075f) << "not the 0.002 of the sliders' position";
    // A moved position runs its handler over the stored value.
    block[8] = 100;
    block[11] = 0;
    inst.put(block);
    EXPECT_EQ(f.level, 2.0f);
    EXPECT_EQ(f.L.feedback, 0.0f);
    EXPECT_EQ(f.R.feedback, 0.0f);
    // Without 117117 the chorus slider and switch stay as they are.
    f.ScrollBar_ChorusTone.set_position(75);
    f.RadioBox_Chorus.set_checked(true);
    block[5] = 0;
    block[6] = 1;
    block[7] = 0;
    inst.put(block);
    EXPECT_EQ(f.ScrollBar_ChorusTone.position(), 75);
    EXPECT_EQ(f.L.chorus_len, 10800);
    EXPECT_TRUE(f.chorus_on);
    block[5] = 117117;
    inst.put(block);
    EXPECT_EQ(f.L.chorus_len, 167);
    EXPECT_FALSE(f.chorus_on);
}

// Damaged words: a word that is not a finite float leaves its field; any other is kept within what
// the controls give, so that the sweep never leaves the line and nothing grows without bound.
TEST(Flanger, DamagedWordsAreKeptWithinTheControlsRange) {
    const float inf = std::numeric_limits<float>::infinity();
    const int32_t nan_word = 0x7FC00000;
    struct Case { int32_t word; float level, speed, feedback; };
    const Case cases[] = {
        {nan_word, 0.5f, 0.0075f, 0.5f},
        {float_word(inf), 0.5f, 0.0075f, 0.5f},
        {float_word(-inf), 0.5f, 0.0075f, 0.5f},
        {float_word(1e30f), 2.0f, speed_of(100), static_cast<float>(48 / 50.0L)},
        {float_word(-1e30f), static_cast<float>(1 / 50.0L), -speed_of(100), 0.0f},
        {float_word(0.0f), static_cast<float>(1 / 50.0L), speed_of(1), 0.0f},
        {float_word(-1e-30f), static_cast<float>(1 / 50.0L), -speed_of(1), 0.0f},
        {std::numeric_limits<int32_t>::min(), static_cast<float>(1 / 50.0L), speed_of(1), 0.0f},  // -0.0
        {std::numeric_limits<int32_t>::max(), 0.5f, 0.0075f, 0.5f},                              // a NaN
    };
    for (const Case& c : cases) {
        Instance inst(kKind);
        ParameterBlock block = inst.get();
        for (int w = 0; w < 5; ++w) block[w] = c.word;
        inst.put(block);
        auto& f = inst.as<Tflanger_form>();
        EXPECT_EQ(f.level, c.level) << c.word;
        EXPECT_EQ(f.L.speed.load(), c.speed) << c.word;
        EXPECT_EQ(f.R.speed.load(), c.speed) << c.word;
        EXPECT_EQ(f.L.feedback, c.feedback) << c.word;
        std::vector<float> buf = noise(2 * 40000, 13, 32767.0f);
        inst.process(buf, 2);
        for (float y : buf) ASSERT_TRUE(std::isfinite(y) && std::fabs(y) < 60.0f * 32768.0f) << c.word;
        for (const auto* ch : {&f.L, &f.R}) {
            EXPECT_TRUE(ch->phase >= 0.0f && ch->phase < 4096.0f);
            EXPECT_TRUE(ch->sweep > -1.0f && ch->sweep < 301.0f);
        }
    }
}

// --- Stability ----------------------------------------------------------------------------------

bool memories_finite(const Tflanger_form& f) {
    for (const auto* c : {&f.L, &f.R}) {
        if (!std::isfinite(c->last_tap)) return false;
        for (float v : c->line)
            if (!std::isfinite(v)) return false;
        for (float v : c->chorus_line)
            if (!std::isfinite(v)) return false;
    }
    return true;
}

// Every control at its extremes, loud noise then silence: finite, and within the loop's bound
// (feedback at most 0.96 keeps the line below 25 times the input, the copy at most x2).
TEST(Flanger, StableAtEveryExtreme) {
    const std::vector<float> loud = noise(2 * 20000, 17, 32767.0f);
    for (int combo = 0; combo < 64; ++combo) {
        for (int channels : {1, 2}) {
            Instance inst(kKind);
            auto& f = inst.as<Tflanger_form>();
            f.CheckRadioBox_Gang.set_checked(false);
            f.ScrollBar_Flanger_Level.set_position(combo & 1 ? 100 : 1);
            f.ScrollBar_Flanger_Speed.set_position(combo & 2 ? 100 : 1);
            f.ScrollBar_Flanger_Speed_R.set_position(combo & 4 ? 100 : 1);
            f.ScrollBar_Flanger_Tone.set_position(combo & 8 ? 48 : 0);
            f.ScrollBar_ChorusTone.set_position(combo & 16 ? 100 : 1);
            f.RadioBox_Chorus.set_checked(combo & 32);
            std::vector<float> buf(loud.begin(), loud.begin() + 20000 * channels);
            buf.resize(buf.size() * 2, 0.0f);
            inst.process(buf, channels);
            float peak = 0.0f;
            for (float y : buf) {
                ASSERT_TRUE(std::isfinite(y)) << combo;
                peak = std::max(peak, std::fabs(y));
            }
            EXPECT_LT(peak, 51.0f * 32768.0f) << combo;
            EXPECT_TRUE(memories_finite(f)) << combo;
        }
    }
}

TEST(Flanger, NonFiniteInputIsClearedFromTheMemoriesWithinTheBlock) {
    for (bool chorus : {false, true}) {
        Instance inst(kKind);
        auto& f = inst.as<Tflanger_form>();
        f.RadioBox_Chorus.set_checked(chorus);
        std::vector<float> buf = noise(2 * 480, 19);
        buf[300] = std::numeric_limits<float>::quiet_NaN();
        buf[301] = std::numeric_limits<float>::infinity();
        inst.process(buf, 2);
        EXPECT_TRUE(memories_finite(f)) << chorus;
        std::vector<float> next = noise(2 * 30000, 20);
        inst.process(next, 2);
        for (float y : next) ASSERT_TRUE(std::isfinite(y)) << chorus;
    }
}

// A chain file applied while the audio thread runs blocks: the handlers and restores store speeds
// that the processing turns at the same time, and chorus lengths shorter than the delay's position.
// Whatever the interleaving, every sample stays finite and bounded and every speed one the controls
// give.
TEST(Flanger, ParametersRestoredWhileBlocksRun) {
    Instance inst(kKind);
    auto& f = inst.as<Tflanger_form>();
    ParameterBlock blocks[2] = {inst.get(), inst.get()};
    blocks[0][1] = float_word(-speed_of(100));
    blocks[0][2] = float_word(speed_of(1));
    blocks[0][6] = 100;
    put_bool_byte(blocks[0][7], true);
    blocks[0][8] = 100;
    blocks[0][9] = 100;
    blocks[0][11] = 48;
    blocks[1][1] = float_word(speed_of(100));
    blocks[1][2] = float_word(-speed_of(3));
    blocks[1][6] = 1;
    put_bool_byte(blocks[1][7], true);
    blocks[1][8] = 1;
    blocks[1][9] = 2;
    blocks[1][11] = 0;

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread audio([&] {
        std::vector<float> buf;
        uint32_t seed = 21;
        while (!stop.load()) {
            buf = noise(2 * 480, ++seed, 32767.0f);
            get_registry().process[kKind](480, 48000, seed % 3 ? 2 : 1, buf.data(), inst.cell());
            for (float y : buf)
                if (!(std::fabs(y) < 51.0f * 32768.0f)) bad.fetch_add(1);
        }
    });
    for (int i = 0; i < 3000; ++i) {
        inst.put(blocks[i & 1]);
        f.CheckRadioBox_Gang.set_checked(i % 3 == 0);
        f.ScrollBar_Flanger_Speed_R.set_position(1 + i % 100);
    }
    stop.store(true);
    audio.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_TRUE(memories_finite(f));
    for (const auto* c : {&f.L, &f.R}) {
        const float s = std::fabs(c->speed.load());
        EXPECT_TRUE(s >= speed_of(1) && s <= speed_of(100)) << s;
        EXPECT_TRUE(c->chorus_pos >= 0 && c->chorus_pos < Tflanger_form::kChorusWords);
    }
}

}  // namespace
}  // namespace vx
