#include "noise_gates.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;
constexpr EffectKind kGate = 1;

// The gate written out plainly, sample by sample, to check the unit against.
struct ReferenceGate {
    float in_factor = 1.0f, out_factor = 1.0f, open_t = 1000.0f, close_t = 100.0f, suppressed = 0.1f;
    int64_t open_c = 10, close_c = 100;
    float gain = 1.0f, envelope = 0.0f, target = 0.0f;
    int64_t subnormal_envelopes = 0;

    void run(std::vector<float>& buf) {
        for (float& x : buf) {
            x = x * in_factor;
            envelope = static_cast<float>(0.1L * std::fabs(x) + 0.9L * envelope);
            subnormal_envelopes += std::fpclassify(envelope) == FP_SUBNORMAL;
            open_c = envelope > open_t ? open_c + 1 : 0;
            close_c = envelope < close_t ? close_c + 1 : 0;
            if (static_cast<double>(open_c) > 10.0) target = 1.0f;
            if (static_cast<double>(close_c) > 1000.0) target = suppressed;
            if (target > gain) gain = static_cast<float>((1.0L - 0.1f) * gain + 0.1f * static_cast<long double>(target));
            if (!(target > gain)) gain = static_cast<float>((1.0L - 0.01f) * gain + 0.01f * static_cast<long double>(target));
            x = x * gain;
            x = x * out_factor;
        }
    }
};

// A signal that opens, holds between the thresholds, closes and reopens the gate.
std::vector<float> phrase(size_t samples) {
    auto v = noise(samples, 11, 8000.0f);
    for (size_t i = 0; i < samples; ++i) {
        const size_t part = (i / 3000) % 4;
        if (part == 1) v[i] *= 0.05f;   // envelope about 200: between the thresholds
        if (part == 2) v[i] *= 0.001f;  // below the closing threshold
        if (part == 3 && i % 3000 > 1500) v[i] = 0.0f;  // silence: the envelope sinks to subnormals
    }
    return v;
}

TEST(NoiseGate, ThresholdAndSuppressionTellingValues) {
    EXPECT_FLOAT_EQ(gate_threshold(4), 1.370351f);
    EXPECT_FLOAT_EQ(gate_threshold(45), 101.59367f);
    EXPECT_EQ(gate_threshold(67), 1024.0f);
    EXPECT_EQ(gate_threshold(100), 32768.0f);

    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    EXPECT_EQ(form.Label_Porog_Max.caption(), "Pass signals greater than -33 dB    ");
    EXPECT_EQ(form.Label_porog_min.caption(), "Supress noise smaller than -55 dB  ");
    form.ScrollBar_Porog_Max.set_position(100);
    form.ScrollBar_min_porog.set_position(4);
    EXPECT_EQ(form.open_threshold.load(), 32768.0f);
    EXPECT_EQ(form.close_threshold.load(), gate_threshold(4));
    EXPECT_EQ(form.Label_Porog_Max.caption(), "Pass signals greater than 0 dB  ");
    EXPECT_EQ(form.Label_porog_min.caption(), "Supress noise smaller than -96 dB  ");

    struct Case { int position; float suppressed; };
    for (const Case c : {Case{0, 1.1f}, Case{100, 0.009090909f}, Case{50, 0.1f}, Case{25, 0.6f}}) {
        form.ScrollBar_Supress.set_position(c.position == 50 ? 49 : 50);
        form.ScrollBar_Supress.set_position(c.position);
        EXPECT_FLOAT_EQ(form.suppressed_gain.load(), c.suppressed) << c.position;
        EXPECT_EQ(form.suppressed_gain.load(), static_cast<float>(0.1L * *SliderFactor(100 - c.position)));
    }
}

TEST(NoiseGate, NewInstanceStartsFromItsOwnDefaults) {
    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    EXPECT_EQ(form.open_threshold.load(), 1000.0f) << "not the 1024 of the slider's position";
    EXPECT_EQ(form.close_threshold.load(), 100.0f);
    EXPECT_EQ(form.target_gain, 0.0f);
    EXPECT_EQ(form.gain, 1.0f);
    // A block that holds the current positions runs no handler: the defaults stay.
    ParameterBlock b{};
    b[0] = 50, b[1] = 67, b[2] = 45, b[3] = 50, b[4] = 50;
    g.put(b);
    EXPECT_EQ(form.open_threshold.load(), 1000.0f);
    EXPECT_EQ(form.close_threshold.load(), 100.0f);
    EXPECT_EQ(g.get(), b);
}

// On a new instance the gain decays by 0.99 a sample towards the target 0, until the close counter
// (starting at 100) passes 1000 on the 901st sample and the target becomes the suppressed 0.1.
TEST(NoiseGate, NewInstanceOnSilence) {
    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    // A quiet constant 1.0 keeps the envelope below the closing threshold and shows the gain.
    std::vector<float> one(1, 1.0f);
    double expected = 1.0;
    for (int k = 1; k <= 900; ++k) {
        one[0] = 1.0f;
        g.process(one, 1, 1);
        expected *= 0.99;
        ASSERT_NEAR(one[0], expected, expected * 1e-5) << "sample " << k;
        ASSERT_EQ(form.target_gain, 0.0f) << "sample " << k;
    }
    const float before = one[0];
    one[0] = 1.0f;
    g.process(one, 1, 1);
    EXPECT_EQ(form.target_gain, 0.1f) << "the 901st sample";
    EXPECT_EQ(one[0], static_cast<float>((1.0L - 0.1f) * before + 0.1f * static_cast<long double>(0.1f))) << "then rising with weight 0.1";
    std::vector<float> more(2000, 1.0f);
    g.process(more, 1);
    EXPECT_NEAR(more.back(), 0.1f, 1e-6);
}

TEST(NoiseGate, OpensOnTheEleventhSampleAboveTheThreshold) {
    {
        Instance g(kGate);  // the open counter starts at 10: the first loud sample opens
        std::vector<float> loud(1, 20000.0f);
        g.process(loud, 1);
        EXPECT_EQ(g.as<Tnoise_gate_form>().target_gain, 1.0f);
    }
    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    std::vector<float> quiet(3000, 0.0f);
    g.process(quiet, 1);
    ASSERT_EQ(form.target_gain, 0.1f);
    // 20000 lifts the envelope above 1000 on its first sample (0.1 x 20000).
    for (int k = 1; k <= 11; ++k) {
        std::vector<float> loud(1, 20000.0f);
        g.process(loud, 1);
        EXPECT_EQ(form.target_gain, k < 11 ? 0.1f : 1.0f) << "loud sample " << k;
    }
    float gain = form.gain;
    for (int k = 0; k < 50; ++k) {
        std::vector<float> loud(1, 20000.0f);
        g.process(loud, 1);
        gain = static_cast<float>((1.0L - 0.1f) * gain + 0.1f * 1.0L);
        ASSERT_EQ(form.gain, gain);
        ASSERT_EQ(loud[0], 20000.0f * gain);
    }
    EXPECT_NEAR(form.gain, 1.0f, 1e-2);
}

// Between the thresholds both counters stay at 0 and the target keeps what it was.
TEST(NoiseGate, HysteresisBetweenTheThresholds) {
    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    std::vector<float> between(20000, 300.0f);  // envelope settles at 300
    for (float opened : {1.0f, 0.1f}) {
        std::vector<float> lead(3000, opened == 1.0f ? 20000.0f : 0.0f);
        g.process(lead, 1);
        ASSERT_EQ(form.target_gain, opened);
        auto buf = between;
        g.process(buf, 1);
        EXPECT_EQ(form.target_gain, opened);
        EXPECT_EQ(form.open_counter, 0);
        EXPECT_EQ(form.close_counter, 0);
        EXPECT_NEAR(buf.back() / 300.0f, opened, 1e-3);
    }
}

// Open threshold below the close threshold: an envelope between them runs both counters, and once
// the close counter passes 1000 the suppressed gain wins on every sample.
TEST(NoiseGate, CrossedThresholdsClose) {
    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    form.ScrollBar_Porog_Max.set_position(40);  // about 60
    form.ScrollBar_min_porog.set_position(60);  // about 490
    std::vector<float> buf(5000, 200.0f);
    g.process(buf, 1);
    EXPECT_EQ(form.target_gain, 0.1f);
    EXPECT_GT(form.open_counter, 1000);
    EXPECT_NEAR(buf.back(), 200.0f * 0.1f, 1e-3);

    // Counters that have run for hours stay past their holds instead of wrapping round: a wrapped
    // close counter would hand the target back to the open counter and open the gate.
    form.open_counter = form.close_counter = std::numeric_limits<int32_t>::max() - 3;
    std::vector<float> still(100, 200.0f);
    g.process(still, 1);
    EXPECT_EQ(form.close_counter, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(form.open_counter, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(form.target_gain, 0.1f);
    for (float x : still) EXPECT_NEAR(x, 20.0f, 1e-3);
}

TEST(NoiseGate, SuppressionSetsTheClosedGain) {
    struct Case { int position; float closed; };
    for (const Case c : {Case{0, 1.1f}, Case{100, 0.1f / 11.0f}}) {
        Instance g(kGate);
        g.as<Tnoise_gate_form>().ScrollBar_Supress.set_position(c.position);
        std::vector<float> buf(20000, 1.0f);
        g.process(buf, 1);
        EXPECT_NEAR(buf.back(), c.closed, c.closed * 1e-4) << c.position;
    }
}

TEST(NoiseGate, MatchesThePlainGateInEveryBlockSize) {
    const auto in = phrase(60000);
    for (int channels : {1, 2}) {
        ReferenceGate ref;
        ref.in_factor = *SliderFactor(60);
        ref.out_factor = *SliderFactor(45);
        ref.suppressed = static_cast<float>(0.1L * *SliderFactor(30));
        auto expected = in;
        ref.run(expected);  // stereo is one interleaved stream
        EXPECT_GT(ref.subnormal_envelopes, 1000) << "the silence should sink the envelope to subnormals";
        for (int block : {1, 7, 480, 512}) {
            Instance g(kGate);
            auto& form = g.as<Tnoise_gate_form>();
            form.ScrollBar_Gain_In.set_position(60);
            form.ScrollBar_Gain_Out.set_position(45);
            form.ScrollBar_Supress.set_position(70);
            auto buf = in;
            g.process(buf, channels, block);
            for (size_t i = 0; i < buf.size(); ++i)
                ASSERT_EQ(std::bit_cast<uint32_t>(buf[i]), std::bit_cast<uint32_t>(expected[i]))
                    << channels << " channels, blocks of " << block << ", sample " << i;
            EXPECT_EQ(form.gain, ref.gain);
            EXPECT_EQ(form.envelope, ref.envelope);
        }
    }
}

TEST(NoiseGate, FactorsAreSinglePrecisionProducts) {
    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    form.ScrollBar_Gain_In.set_position(100);
    form.ScrollBar_Gain_Out.set_position(0);
    const auto in = noise(2 * 480, 4, 5000.0f);
    auto buf = in;
    g.process(buf, 2);
    ASSERT_EQ(form.gain, 1.0f) << "an open gate with a loud signal holds exactly 1";
    const float eleventh = *SliderFactor(0);
    for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(buf[i], (in[i] * 11.0f) * eleventh);
}

TEST(NoiseGate, BlockOfZerosSetsTheSlidersToTheirMinimums) {
    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    ParameterBlock zeros{};
    zeros[5] = 123;  // beyond the layout: neither read nor written
    g.put(zeros);
    EXPECT_EQ(form.ScrollBar_Gain_In.position(), 0);
    EXPECT_EQ(form.ScrollBar_Porog_Max.position(), 4);
    EXPECT_EQ(form.ScrollBar_min_porog.position(), 4);
    EXPECT_EQ(form.ScrollBar_Supress.position(), 0);
    EXPECT_EQ(form.ScrollBar_Gain_Out.position(), 0);
    EXPECT_FLOAT_EQ(form.open_threshold.load(), 1.370351f);
    EXPECT_FLOAT_EQ(form.close_threshold.load(), 1.370351f);
    EXPECT_EQ(form.input_factor.load(), *SliderFactor(0));
    EXPECT_EQ(form.suppressed_gain.load(), 1.1f);
    EXPECT_EQ(form.Label_Porog_Max.caption(), "Pass signals greater than -96 dB  ");
    get_registry().params[kGate](zeros.data(), g.cell(), 0);
    EXPECT_EQ(zeros[1], 4);
    EXPECT_EQ(zeros[5], 123);

    std::vector<float> buf = {3.0f, 4.0f};
    get_registry().process[kGate](0, 48000, 2, buf.data(), g.cell());
    EXPECT_EQ(buf, (std::vector<float>{3.0f, 4.0f})) << "a block of 0 frames changes nothing";
    EXPECT_EQ(form.gain, 1.0f);
}

// A NaN arriving with the signal would hold the envelope for good, and the gate would never move
// again: the envelope starts again from silence at the end of that block.
TEST(NoiseGate, NonFiniteInputDoesNotFreezeTheGate) {
    Instance g(kGate);
    auto& form = g.as<Tnoise_gate_form>();
    std::vector<float> block(480, 0.0f);
    block[3] = NAN;
    g.process(block, 1);
    EXPECT_EQ(form.envelope, 0.0f);
    // A loud note still opens the gate.
    std::vector<float> loud(4800, 20000.0f);
    g.process(loud, 1);
    EXPECT_EQ(form.target_gain, 1.0f);
    EXPECT_EQ(loud.back(), 20000.0f * form.gain);
}

}  // namespace
}  // namespace vx
