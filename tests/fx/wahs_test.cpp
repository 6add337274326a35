#include "wahs.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "engine/test_signal.h"
#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;
constexpr EffectKind kWah = 10;

using ReferencePoles = test::ReferenceFourPole;

// The wah written out plainly from its recurrences, sample by sample, to check the unit against.
struct ReferenceWah {
    float level = 1.0f, start = 0.05f, stop = 0.25f, up = 1.0001f, down = static_cast<float>(1.0 / 1.0001f);
    double res = 3.0;
    bool sweep = true;
    bool copy_right = true;  // the unit's per-block copy; off only to show what it changes
    double cut[2] = {0.1, 0.1};
    float step_factor[2] = {1.0001f, 1.0001f};
    ReferencePoles poles[2];

    void advance(int ch) {
        if (!sweep) return;
        cut[ch] = static_cast<double>(cut[ch] * static_cast<long double>(step_factor[ch]));
        if (cut[ch] < start) step_factor[ch] = up;
        if (cut[ch] > stop) step_factor[ch] = down;
    }
    float sample(int ch, float x) {
        advance(ch);
        const double f = ch == 0 ? static_cast<double>(1.16L * cut[ch]) : static_cast<double>((1.16L * cut[ch]) * 1.1L);
        const double fb = static_cast<double>((1.0L - 0.15L * f * f) * res);
        return static_cast<float>(poles[ch].step(x, f, fb) * level);
    }
    void block(float* x, int frames, int channels) {
        if (channels == 1) {
            for (int i = 0; i < frames; ++i) x[i] = sample(0, x[i]);
            return;
        }
        if (copy_right) cut[1] = cut[0], step_factor[1] = step_factor[0];
        for (int i = 0; i < frames; ++i) x[2 * i] = sample(0, x[2 * i]);
        for (int i = 0; i < frames; ++i) x[2 * i + 1] = sample(1, x[2 * i + 1]);
    }
};

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint32_t>(a[i]), std::bit_cast<uint32_t>(b[i])) << what << ", sample " << i;
}

// The cut-off after each of `count` mono samples of silence.
std::vector<double> sweep_path(Instance& w, int count) {
    std::vector<double> path;
    std::vector<float> one(1);
    for (int i = 0; i < count; ++i) {
        one[0] = 0.0f;
        w.process(one, 1, 1);
        path.push_back(w.as<Twah_form>().cutoff_left);
    }
    return path;
}

struct Turn { size_t at; double cutoff; };
// Where the sweep turns: the highest and lowest points of a path.
std::vector<Turn> turning_points(const std::vector<double>& path) {
    std::vector<Turn> turns;
    for (size_t i = 1; i + 1 < path.size(); ++i)
        if ((path[i] > path[i - 1]) != (path[i + 1] > path[i])) turns.push_back({i, path[i]});
    return turns;
}

TEST(Wah, SpeedSliderLaw) {
    struct Case { int position; float up; };
    for (const Case c : {Case{1, 1.000006f}, Case{100, 1.0006f}, Case{199, 1.001194f}}) {
        EXPECT_EQ(wah_up_factor(c.position), c.up) << c.position;
        EXPECT_EQ(wah_down_factor(c.up), static_cast<float>(1.0 / c.up));
    }
    Instance w(kWah);
    auto& form = w.as<Twah_form>();
    EXPECT_EQ(form.up_factor.load(), 1.0001f) << "a new instance sweeps slower than the slider says";
    EXPECT_EQ(form.down_factor.load(), static_cast<float>(1.0 / 1.0001f));
    form.ScrollBar_Speed.set_position(199);
    EXPECT_EQ(form.up_factor.load(), 1.001194f);
    EXPECT_EQ(form.down_factor.load(), static_cast<float>(1.0 / 1.001194f));
}

// A new instance climbs from 0.1 by 1.0001 a sample to just above 0.25, falls by 1/1.0001 to just
// below 0.05 and climbs again: ln(stop/start) / ln(u) samples a leg. The slider law (1.0006 at
// position 100) gives legs of about 2683 samples from the first turn on (the step in force when
// the slider moves finishes its leg).
TEST(Wah, SweepTurningPointsAndPeriod) {
    struct Case { int speed; int samples; };
    for (const Case c : {Case{0, 70000}, Case{100, 20000}}) {
        Instance w(kWah);
        auto& form = w.as<Twah_form>();
        if (c.speed != 0) {
            form.ScrollBar_Speed.set_position(c.speed - 1);
            form.ScrollBar_Speed.set_position(c.speed);
        }
        const double u = form.up_factor.load(), d = form.down_factor.load();
        const auto path = sweep_path(w, c.samples);
        const auto turns = turning_points(path);
        ASSERT_GE(turns.size(), 3u) << c.speed;
        EXPECT_NEAR(static_cast<double>(turns[0].at), std::log(0.25 / 0.1) / std::log(static_cast<double>(1.0001f)), 1.5);
        for (size_t t = 0; t < turns.size(); ++t) {
            const bool top = t % 2 == 0;
            if (top) {
                EXPECT_GT(turns[t].cutoff, 0.25);
                EXPECT_LE(turns[t].cutoff, 0.25 * u * (1 + 1e-12));
            } else {
                EXPECT_LT(turns[t].cutoff, static_cast<double>(0.05f));
                EXPECT_GE(turns[t].cutoff, 0.05f * d * (1 - 1e-12));
            }
            if (t >= 1) {
                const double leg = std::log(0.25 / 0.05) / std::log(top ? u : 1.0 / d);
                EXPECT_NEAR(static_cast<double>(turns[t].at - turns[t - 1].at), leg, 2.0) << c.speed << " leg " << t;
            }
        }
        EXPECT_NEAR(static_cast<double>(turns[2].at - turns[1].at), c.speed == 100 ? 2683.0 : 16095.0, 2.0);
    }
}

// The sweep is extended-precision arithmetic: the whole path equals the extended reference, which a
// plain double sweep leaves after a few thousand samples.
TEST(Wah, SweepIsExtendedPrecision) {
    Instance w(kWah);
    const auto path = sweep_path(w, 40000);
    ReferenceWah ref;
    double plain = 0.1;
    float plain_step = 1.0001f;
    size_t plain_left = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        ref.advance(0);
        ASSERT_EQ(path[i], ref.cut[0]) << "sample " << i;
        plain = plain * plain_step;
        if (plain < 0.05f) plain_step = ref.up;
        if (plain > 0.25f) plain_step = ref.down;
        if (plain_left == 0 && plain != path[i]) plain_left = i;
    }
    EXPECT_GT(plain_left, 0u) << "a double sweep would have done as well; the test proves nothing";
}

TEST(Wah, StartAboveStopSettlesAtStop) {
    Instance w(kWah);
    auto& form = w.as<Twah_form>();
    form.ScrollBar_Fc.set_position(100);        // start 0.5
    form.ScrollBar_deviation.set_position(20);  // stop 0.1
    const auto path = sweep_path(w, 200);
    const double stop = 0.1f, u = form.up_factor.load();
    for (size_t i = 10; i < path.size(); ++i) {
        EXPECT_NE(path[i] > stop, path[i - 1] > stop) << "one step above, one below: " << i;
        EXPECT_NEAR(path[i] / stop, 1.0, 2 * (u - 1)) << i;
    }
}

TEST(Wah, SweepOffFreezesTheCutoff) {
    Instance a(kWah), b(kWah);
    sweep_path(a, 5000);
    sweep_path(b, 5000);
    auto& fa = a.as<Twah_form>();
    auto& fb = b.as<Twah_form>();
    const double frozen = fa.cutoff_left;
    const float step = fa.step_left;
    fa.CheckRadioBox_Sweep_OnOff.set_checked(false);
    fb.CheckRadioBox_Sweep_OnOff.set_checked(false);
    // With the sweep off the turning points do nothing audible.
    fb.ScrollBar_Fc.set_position(150);
    fb.ScrollBar_deviation.set_position(3);
    const auto in = noise(2 * 3000, 8);
    auto out_a = in, out_b = in;
    a.process(out_a, 2);
    b.process(out_b, 2);
    expect_same_bits(out_a, out_b, "sweep off");
    EXPECT_EQ(fa.cutoff_left, frozen);
    EXPECT_EQ(fa.cutoff_right, frozen);
    // On again: it goes on from there in the direction it had.
    fa.CheckRadioBox_Sweep_OnOff.set_checked(true);
    sweep_path(a, 1);
    EXPECT_EQ(fa.cutoff_left, static_cast<double>(frozen * static_cast<long double>(step)));
}

// Every channel against the plain reference: mono, then stereo with the right channel at 1.1
// times the left's f, in every block size (135: a whole chunk and an odd rest). Where the sweep has
// one position per block for both channels, the output does not depend on the block size.
TEST(Wah, MatchesThePlainWahInEveryBlockSize) {
    const auto in = noise(2 * 20000, 5, 12000.0f);
    for (int channels : {1, 2}) {
        ReferenceWah ref;
        ref.res = 2.5;
        ref.level = *SliderFactor(70);
        auto expected = in;
        ref.block(expected.data(), static_cast<int>(in.size()) / channels, channels);
        for (int block : {1, 7, 135, 480, 512}) {
            Instance w(kWah);
            auto& form = w.as<Twah_form>();
            form.ScrollBar_res.set_position(25);
            form.ScrollBar_Level.set_position(70);
            auto buf = in;
            w.process(buf, channels, block);
            expect_same_bits(buf, expected, channels == 1 ? "mono" : "stereo");
            EXPECT_EQ(form.cutoff_left, ref.cut[0]);
        }
    }
}

// The block path (plain steps, whole units deep down) gives the step-by-step path's results bit for
// bit (each sample through FourPoleLowpass, the subnormal checks at every step: what filter_fnc_2
// and filter_fnc_3 do), over the controls' ranges and loud, quiet and decaying signals.
TEST(Wah, BlockPathMatchesTheStepByStepPath) {
    struct Case { int fc, dev, res, speed, level; float amplitude; };
    const Case cases[] = {
        {10, 50, 30, 100, 50, 12000.0f}, {1, 190, 39, 199, 100, 30000.0f}, {190, 1, 1, 1, 1, 0.5f},
        {100, 20, 39, 150, 80, 3e6f}, {5, 120, 15, 60, 30, 1e-3f}, {60, 61, 39, 199, 100, 20000.0f},
        {30, 90, 20, 120, 60, 1e-40f},  // subnormal input
    };
    int deep = 0;
    for (const Case& c : cases) {
        for (int channels : {1, 2}) {
            Instance block(kWah), steps(kWah);
            for (Instance* w : {&block, &steps}) {
                auto& form = w->as<Twah_form>();
                form.ScrollBar_Fc.set_position(c.fc);
                form.ScrollBar_deviation.set_position(c.dev);
                form.ScrollBar_res.set_position(c.res);
                form.ScrollBar_Speed.set_position(c.speed);
                form.ScrollBar_Level.set_position(c.level);
            }
            // A signal, then silence while the filter rings down into the subnormal range.
            auto in = noise(static_cast<size_t>(channels) * 30000, static_cast<uint32_t>(c.fc + channels), c.amplitude);
            in.resize(static_cast<size_t>(channels) * 60000, 0.0f);
            auto a = in;
            block.process(a, channels, 480);
            // The step-by-step path on stereo frames; a mono signal rides in the left channel.
            std::vector<float> b(in.size() / static_cast<size_t>(channels) * 2, 0.0f);
            for (size_t i = 0; i < in.size(); ++i) b[channels == 1 ? 2 * i : i] = in[i];
            auto& sf = steps.as<Twah_form>();
            for (size_t at = 0; at < b.size() / 2; at += 480) {
                const int32_t n = static_cast<int32_t>(std::min<size_t>(480, b.size() / 2 - at));
                // (stereo: the right channel starts each block where the left does)
                sf.cutoff_right = sf.cutoff_left, sf.step_right = sf.step_left;
                sf.filter_fnc_2(n, b.data() + 2 * at);
                if (channels == 2) sf.filter_fnc_3(n, b.data() + 2 * at);
            }
            std::vector<float> expected = b;
            if (channels == 1)
                for (size_t i = 0; i < in.size(); ++i) expected[i] = b[2 * i];
            expected.resize(in.size());
            expect_same_bits(a, expected, channels == 1 ? "mono" : "stereo");
            const auto& bf = block.as<Twah_form>();
            EXPECT_EQ(bf.cutoff_left, sf.cutoff_left);
            EXPECT_EQ(std::bit_cast<uint64_t>(bf.state_left.out4), std::bit_cast<uint64_t>(sf.state_left.out4));
            if (channels == 2) EXPECT_EQ(std::bit_cast<uint64_t>(bf.state_right.out4), std::bit_cast<uint64_t>(sf.state_right.out4));
            deep += std::fabs(bf.state_left.out4) < 1e-300;
        }
    }
    EXPECT_GE(deep, 4) << "too few ringings got down to the subnormal range";
}

// After a signal the filter rings down far into the subnormal range and keeps circling a few units
// of the last place there; a click and a run of negative zeros in the silence. Every path against
// the plain reference.
TEST(Wah, RingingDownIntoSilenceMatchesThePlainWah) {
    for (int channels : {1, 2}) {
        const size_t ch = static_cast<size_t>(channels);
        auto in = noise(ch * 5000, 21, 20000.0f);
        in.resize(ch * 90000, 0.0f);
        in[ch * 60000] = 1e-20f;
        for (size_t i = ch * 75000; i < ch * 75300; ++i) in[i] = -0.0f;
        ReferenceWah ref;
        ref.res = 1.0;
        auto expected = in;
        ref.block(expected.data(), static_cast<int>(in.size() / ch), channels);
        for (int block : {7, 480}) {
            Instance w(kWah);
            auto& form = w.as<Twah_form>();
            form.ScrollBar_res.set_position(10);
            auto buf = in;
            w.process(buf, channels, block);
            expect_same_bits(buf, expected, "ring-down");
            // (it did get down there)
            EXPECT_LT(std::fabs(form.state_left.out4), 1e-300);
        }
    }
}

// The stereo pass runs both channels side by side; the one-channel methods give the same.
TEST(Wah, StereoPassEqualsOneChannelAtATime) {
    Instance a(kWah), b(kWah);
    const auto in = noise(2 * 1500, 6, 9000.0f);
    auto fused = in, apart = in;
    a.process(fused, 2, 500);
    auto& form = b.as<Twah_form>();
    for (int at = 0; at < 1500; at += 500) {
        form.cutoff_right = form.cutoff_left;
        form.step_right = form.step_left;
        form.filter_fnc_2(500, apart.data() + 2 * at);
        form.filter_fnc_3(500, apart.data() + 2 * at);
    }
    expect_same_bits(fused, apart, "fused");
}

// Mono blocks move only the left sweep. The next stereo block starts the right channel from the
// left's position and step again (its filter memories go on), so both channels share one phase.
TEST(Wah, StereoRestartsTheRightSweepFromTheLeft) {
    const auto a = noise(2 * 480, 1, 8000.0f), m = noise(3 * 480, 2, 8000.0f), b = noise(2 * 480, 3, 8000.0f);
    Instance w(kWah);
    ReferenceWah ref, stale;
    stale.copy_right = false;
    std::vector<float> bufs[3] = {a, m, b}, ref_bufs[3] = {a, m, b}, stale_bufs[3] = {a, m, b};
    const int channels[3] = {2, 1, 2};
    for (int k = 0; k < 3; ++k) {
        w.process(bufs[k], channels[k]);
        const int frames = static_cast<int>(bufs[k].size()) / channels[k];
        ref.block(ref_bufs[k].data(), frames, channels[k]);
        stale.block(stale_bufs[k].data(), frames, channels[k]);
    }
    for (int k = 0; k < 3; ++k) expect_same_bits(bufs[k], ref_bufs[k], "with the copy");
    EXPECT_EQ(w.as<Twah_form>().cutoff_right, w.as<Twah_form>().cutoff_left);
    // Without the copy only the right channel of the last block would differ.
    expect_same_bits(stale_bufs[1], ref_bufs[1], "mono");
    size_t differing = 0;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i % 2 == 0) {
            EXPECT_EQ(stale_bufs[2][i], ref_bufs[2][i]);
        }
        differing += i % 2 == 1 && stale_bufs[2][i] != ref_bufs[2][i];
    }
    EXPECT_GT(differing, 400u);
}

// The four-pole core passes a constant at G / (1 + G fb), with G = 1.3^4 x 0.35013 from its
// coefficients (each pole gives 1.3 / f, the input scale 0.35013 f^4).
TEST(Wah, ConstantInputSettlesAtTheFilterGain) {
    for (int res : {1, 10, 30}) {
        Instance w(kWah);
        auto& form = w.as<Twah_form>();
        form.CheckRadioBox_Sweep_OnOff.set_checked(false);
        form.ScrollBar_res.set_position(res == 30 ? 29 : 30);
        form.ScrollBar_res.set_position(res);
        form.ScrollBar_Level.set_position(100);
        std::vector<float> buf(2 * 40000, 1000.0f);
        w.process(buf, 2);
        const double G = std::pow(1.3, 4) * 0.35013;
        const double f = 1.16 * 0.1, fb = (1 - 0.15 * f * f) * res / 10.0;
        EXPECT_NEAR(buf[buf.size() - 2], 11.0 * 1000.0 * G / (1 + G * fb), 1e-2) << res;
        const double fr = f * 1.1, fbr = (1 - 0.15 * fr * fr) * res / 10.0;
        EXPECT_NEAR(buf.back(), 11.0 * 1000.0 * G / (1 + G * fbr), 1e-2) << res;
    }
}

TEST(Wah, LevelLawAndControls) {
    Instance w(kWah);
    auto& form = w.as<Twah_form>();
    EXPECT_EQ(form.caption(), "wah");
    form.ScrollBar_Level.set_position(1);
    EXPECT_FLOAT_EQ(form.level.load(), 0.09259259f);
    form.ScrollBar_Level.set_position(100);
    EXPECT_EQ(form.level.load(), 11.0f);
    form.ScrollBar_Fc.set_position(190);
    EXPECT_EQ(form.start.load(), 0.95f);
    form.ScrollBar_deviation.set_position(1);
    EXPECT_EQ(form.stop.load(), 0.005f);
    form.ScrollBar_res.set_position(39);
    EXPECT_EQ(form.res.load(), 3.9);
    EXPECT_EQ(form.cutoff_left, 0.1) << "the turning points do not move the cut-off";
}

TEST(Wah, ParameterBlockLayout) {
    Instance w(kWah);
    auto& form = w.as<Twah_form>();
    form.ScrollBar_Fc.set_position(20);
    form.ScrollBar_deviation.set_position(120);
    form.ScrollBar_Speed.set_position(150);
    form.ScrollBar_Level.set_position(80);
    ParameterBlock b{};
    b[4] = 4444;
    get_registry().params[kWah](b.data(), w.cell(), 0);
    EXPECT_EQ(b[0], 20);
    EXPECT_EQ(b[1], 120);
    EXPECT_EQ(b[2], 150);
    EXPECT_EQ(b[3], 80);
    EXPECT_EQ(b[4], 4444);

    Instance v(kWah);
    auto& other = v.as<Twah_form>();
    other.ScrollBar_res.set_position(5);
    other.CheckRadioBox_Sweep_OnOff.set_checked(false);
    v.put(b);
    EXPECT_EQ(other.start.load(), 0.1f);
    EXPECT_EQ(other.stop.load(), 0.6f);
    EXPECT_EQ(other.up_factor.load(), wah_up_factor(150));
    EXPECT_EQ(other.level.load(), *SliderFactor(80));
    EXPECT_EQ(other.res.load(), 0.5) << "resonance is not stored";
    EXPECT_FALSE(other.sweep_on.load()) << "nor the sweep switch";
    EXPECT_EQ(v.get(), w.get());

    std::vector<float> buf = {1.0f, 2.0f};
    get_registry().process[kWah](0, 48000, 2, buf.data(), v.cell());
    EXPECT_EQ(buf, (std::vector<float>{1.0f, 2.0f}));
    EXPECT_EQ(other.cutoff_left, 0.1);
}

// The clamp of f sits where the plain recurrence, held at one f, still settles, just below where it
// grows without bound; checked on the recurrence itself, for every resonance position.
TEST(Wah, FourPoleLimitIsWhereTheRecurrenceStillSettles) {
    auto impulse_tail = [](double f, double res) {
        ReferencePoles p;
        const double fb = FourPoleLowpass::fb_of(f, res);
        double early = 0.0, tail = 0.0;
        for (int i = 0; i < 6000; ++i) {
            const double y = std::fabs(p.step(i == 0 ? 1e4f : 0.0f, f, fb));
            if (!std::isfinite(y)) return HUGE_VAL;  // grew past every bound
            if (i < 1000) early = std::max(early, y);
            if (i >= 5000) tail = std::max(tail, y);
        }
        return tail / early;
    };
    for (int pos = 1; pos <= 39; ++pos) {
        const double res = pos / 10.0;
        const double at = four_pole_f_limit(res, 0.99);
        EXPECT_LT(impulse_tail(at, res), 1e-6) << "position " << pos;
        EXPECT_GT(impulse_tail(four_pole_f_limit(res, 1.0) + 0.01, res), 1e3) << "position " << pos;
        // Never below what the left channel's sweep reaches, so the left channel is never clamped.
        EXPECT_GT(at, 1.16 * 0.95 * 1.0012) << "position " << pos;
    }
}

// The right channel's 1.1 x f went past the stable range at high stop settings: a blast, then NaN
// for good. Now every such setting stays finite and bounded, and a high setting that was stable
// (low resonance) is still the plain wah bit for bit.
TEST(Wah, RightChannelStaysStableAtHighCutOffs) {
    // A loud guitar phrase on both sides (white noise at full scale would feed the ringing near half
    // the sample rate far more than a guitar does).
    std::vector<float> in;
    for (float x : make_test_phrase(48000, 1.0)) in.insert(in.end(), {4.0f * x, 4.0f * x});
    struct Case { int fc, dev, res; float bound; };
    const Case cases[] = {{10, 190, 30, 10.0f}, {190, 190, 30, 10.0f}, {190, 190, 39, 40.0f}, {150, 190, 35, 40.0f}};
    for (const Case& c : cases) {
        Instance w(kWah);
        auto& form = w.as<Twah_form>();
        form.ScrollBar_Fc.set_position(c.fc);
        form.ScrollBar_deviation.set_position(c.dev);
        form.ScrollBar_res.set_position(c.res);
        form.ScrollBar_Speed.set_position(199);
        auto buf = in;
        buf.resize(buf.size() * 2, 0.0f);  // and the ringing after it
        w.process(buf, 2);
        float peak = 0.0f;
        for (float x : buf) {
            ASSERT_TRUE(std::isfinite(x)) << c.fc << " " << c.dev << " " << c.res;
            peak = std::max(peak, std::fabs(x));
        }
        EXPECT_LT(peak, c.bound * 32768.0f) << c.fc << " " << c.dev << " " << c.res;
    }
    // Resonance 1 keeps the right channel's f = 1.21 stable: no clamp, the plain wah.
    ReferenceWah ref;
    ref.res = 1.0 / 10.0 * 10.0;
    ref.start = 190 / 200.0f, ref.stop = 190 / 200.0f;
    ref.up = wah_up_factor(100), ref.down = wah_down_factor(ref.up);
    auto expected = in;
    ref.block(expected.data(), static_cast<int>(in.size()) / 2, 2);
    Instance w(kWah);
    auto& form = w.as<Twah_form>();
    form.ScrollBar_Fc.set_position(190);
    form.ScrollBar_deviation.set_position(190);
    form.ScrollBar_res.set_position(10);
    form.ScrollBar_Speed.set_position(99);
    form.ScrollBar_Speed.set_position(100);
    auto buf = in;
    w.process(buf, 2);
    expect_same_bits(buf, expected, "resonance 1 at the top");
}

}  // namespace
}  // namespace vx
