#include "gain_form.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "fx_helpers.h"
#include "laws.h"

namespace vx {
namespace {

using test::Instance;
using test::noise;

TEST(SliderFactor, TellingValues) {
    struct Case { int position; float factor; };
    const Case cases[] = {
        {0, static_cast<float>(1.0 / 11.0)}, {25, static_cast<float>(1.0 / 6.0)}, {49, static_cast<float>(1.0 / 1.2)},
        {50, 1.0f}, {51, 1.2f}, {75, 6.0f}, {100, 11.0f},
    };
    for (const Case& c : cases) {
        auto f = SliderFactor(c.position);
        ASSERT_TRUE(f.has_value()) << c.position;
        EXPECT_EQ(std::bit_cast<uint32_t>(*f), std::bit_cast<uint32_t>(c.factor)) << "position " << c.position;
    }
    EXPECT_FLOAT_EQ(*SliderFactor(0), 0.09090909f);
    EXPECT_FLOAT_EQ(*SliderFactor(49), 0.8333333f);
    // Outside 0 <= x < 101 the law gives nothing; 100.x cannot arise from an integer, 101 is refused.
    for (int p : {-1, 101, 1000, -1000}) EXPECT_FALSE(SliderFactor(p).has_value()) << p;
    // Reciprocal mirror.
    for (int p = 0; p <= 100; ++p)
        EXPECT_NEAR(static_cast<double>(*SliderFactor(p)) * *SliderFactor(100 - p), 1.0, 1e-6) << p;
}

TEST(Gain, SimpleChorusLengths) {
    struct Case { int position; int length; };
    const Case cases[] = {{0, 164}, {25, 300}, {49, 1500}, {50, 1800}, {51, 2160},
                          {75, 10800}, {83, 13680}, {84, 14040}, {100, 19800}};
    for (const Case& c : cases) EXPECT_EQ(simple_chorus_length(c.position), c.length) << c.position;
    Instance g(13);
    auto& form = g.as<Tgain_form>();
    form.ScrollBar_SimpleChorus.set_position(75);
    EXPECT_EQ(form.lengths[0].load(), 10800);
    EXPECT_EQ(form.lengths[1].load(), 1800) << "only line 0 follows the slider";
}

TEST(Gain, NewInstanceKeepsLeftAndInvertsRight) {
    Instance g(13);
    const auto in = noise(2 * 1000);
    auto buf = in;
    g.process(buf, 2);
    for (size_t i = 0; i < 1000; ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(buf[2 * i]), std::bit_cast<uint32_t>(in[2 * i]));
        EXPECT_EQ(std::bit_cast<uint32_t>(buf[2 * i + 1]), std::bit_cast<uint32_t>(-in[2 * i + 1]));
    }
    auto mono = noise(1000, 7);
    auto m = mono;
    g.process(m, 1);
    EXPECT_EQ(m, mono);
}

TEST(Gain, FactorsAreSinglePrecisionProducts) {
    Instance g(13);
    auto& form = g.as<Tgain_form>();
    form.ScrollBar_Gain_Left.set_position(100);
    form.ScrollBar_Gain_Right.set_position(0);
    form.CheckRadioBox_Air.set_checked(false);
    const auto in = noise(2 * 512, 3);
    auto buf = in;
    g.process(buf, 2, 7);
    const float eleventh = static_cast<float>(1.0 / 11.0);
    for (size_t i = 0; i < 512; ++i) {
        EXPECT_EQ(buf[2 * i], in[2 * i] * 11.0f);
        EXPECT_EQ(buf[2 * i + 1], in[2 * i + 1] * eleventh);
    }
}

TEST(Gain, MonoUsesOnlyTheMonoSlider) {
    Instance g(13);
    auto& form = g.as<Tgain_form>();
    form.ScrollBar_Gain_Left.set_position(100);
    form.ScrollBar_Gain_Right.set_position(10);
    form.CheckRadioBox_Air.set_checked(false);
    form.RadioBox_SimpleChorus.set_checked(true);
    const auto in = noise(600, 5);
    auto buf = in;
    g.process(buf, 1);
    EXPECT_EQ(buf, in);

    form.ScrollBar_Gain_Mono.set_position(75);
    EXPECT_EQ(form.ScrollBar_Gain_Left.position(), 75);
    EXPECT_EQ(form.ScrollBar_Gain_Right.position(), 75);
    EXPECT_EQ(form.left_factor.load(), 6.0f);
    EXPECT_EQ(form.right_factor.load(), 6.0f);
    buf = in;
    g.process(buf, 1);
    for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(buf[i], in[i] * 6.0f);
}

TEST(Gain, ZeroFramesChangeNothing) {
    Instance g(13);
    std::vector<float> buf = {1.0f, 2.0f};
    get_registry().process[13](0, 48000, 2, buf.data(), g.cell());
    EXPECT_EQ(buf, (std::vector<float>{1.0f, 2.0f}));
}

// The right channel through the chorus, Air off and unity gain, against a plain delay model.
TEST(Gain, ChorusDelaysTheRightChannel) {
    struct Case { int position; int delay; };
    for (const Case c : {Case{50, 1800}, Case{0, 164}, Case{84, 14000}, Case{100, 14000}}) {
        Instance g(13);
        auto& form = g.as<Tgain_form>();
        form.CheckRadioBox_Air.set_checked(false);
        form.ScrollBar_SimpleChorus.set_position(c.position);
        form.RadioBox_SimpleChorus.set_checked(true);
        const size_t frames = 40000;
        std::vector<float> buf(2 * frames);
        for (size_t i = 0; i < frames; ++i) buf[2 * i + 1] = static_cast<float>(i + 2);
        g.process(buf, 2, 480);
        for (size_t i = 0; i < frames; ++i) {
            const float expected = i < static_cast<size_t>(c.delay) ? 1.0f : static_cast<float>(i - c.delay + 2);
            ASSERT_EQ(buf[2 * i + 1], expected) << "position " << c.position << " frame " << i;
        }
    }
}

TEST(Gain, ChorusOffAndOnReplaysTheLastStoredSamples) {
    Instance g(13);
    auto& form = g.as<Tgain_form>();
    form.CheckRadioBox_Air.set_checked(false);
    form.ScrollBar_SimpleChorus.set_position(0);  // 164 samples
    form.RadioBox_SimpleChorus.set_checked(true);
    std::vector<float> buf(2 * 1000);
    for (size_t i = 0; i < 1000; ++i) buf[2 * i + 1] = static_cast<float>(i);
    g.process(buf, 2);
    form.RadioBox_SimpleChorus.set_checked(false);
    std::vector<float> quiet(2 * 300, 0.0f);
    g.process(quiet, 2);
    form.RadioBox_SimpleChorus.set_checked(true);
    std::vector<float> again(2 * 164, 0.0f);
    g.process(again, 2);
    for (size_t i = 0; i < 164; ++i) EXPECT_EQ(again[2 * i + 1], static_cast<float>(1000 - 164 + i));
}

TEST(Gain, ShorterLengthWrapsAfterTheOldPosition) {
    Instance g(13);
    auto& form = g.as<Tgain_form>();
    form.RadioBox_SimpleChorus.set_checked(true);
    std::vector<float> buf(2 * 1000, 0.0f);
    g.process(buf, 2);  // position now 1001
    form.ScrollBar_SimpleChorus.set_position(0);  // length 164 < position
    EXPECT_EQ(form.positions[0], 1001);
    form.delay_d(0, 5.0f);
    EXPECT_EQ(form.positions[0], 0);
}

TEST(Gain, ParameterBlockLayout) {
    Instance g(13);
    auto& form = g.as<Tgain_form>();
    form.ScrollBar_Gain_Mono.set_position(60);
    form.ScrollBar_Gain_Right.set_position(40);
    form.ScrollBar_SimpleChorus.set_position(75);
    form.RadioBox_SimpleChorus.set_checked(true);
    form.CheckRadioBox_Air.set_checked(false);
    ParameterBlock b{};
    b[4] = static_cast<int32_t>(0xABCDEF00u);
    b[9] = static_cast<int32_t>(0x12345600u);
    b[10] = 77;
    get_registry().params[13](b.data(), g.cell(), 0);
    EXPECT_EQ(b[0], std::bit_cast<int32_t>(3.0f));
    EXPECT_EQ(b[1], std::bit_cast<int32_t>(3.0f));
    EXPECT_EQ(b[2], std::bit_cast<int32_t>(*SliderFactor(40)));
    EXPECT_EQ(b[3], 117117);
    EXPECT_EQ(static_cast<uint32_t>(b[4]), 0xABCDEF01u) << "only the lowest byte is written";
    EXPECT_EQ(b[5], 75);
    EXPECT_EQ(b[6], 60);
    EXPECT_EQ(b[7], 60);
    EXPECT_EQ(b[8], 40);
    EXPECT_EQ(static_cast<uint32_t>(b[9]), 0x12345600u);
    EXPECT_EQ(b[10], 77);

    Instance h(13);
    h.put(b);
    auto& other = h.as<Tgain_form>();
    EXPECT_EQ(other.ScrollBar_Gain_Mono.position(), 60);
    EXPECT_EQ(other.ScrollBar_Gain_Right.position(), 40);
    EXPECT_EQ(other.right_factor.load(), *SliderFactor(40));
    EXPECT_EQ(other.lengths[0].load(), 10800);
    EXPECT_TRUE(other.chorus_on.load());
    EXPECT_EQ(other.air.load(), 0.0f);
    EXPECT_EQ(h.get(), g.get());
}

TEST(Gain, RestoreKeepsStoredFactorWhereSliderDoesNotMove) {
    Instance g(13);
    ParameterBlock b{};
    b[0] = std::bit_cast<int32_t>(2.5f);
    b[1] = std::bit_cast<int32_t>(4.0f);
    b[2] = std::bit_cast<int32_t>(0.5f);
    b[6] = b[7] = b[8] = 50;  // the current positions: no handler runs
    b[3] = 0;                  // older layout
    b[9] = 0;
    b[4] = 1;
    b[5] = 0;
    g.put(b);
    auto& form = g.as<Tgain_form>();
    EXPECT_EQ(form.mono_factor.load(), 2.5f);
    EXPECT_EQ(form.left_factor.load(), 4.0f);
    EXPECT_EQ(form.right_factor.load(), 0.5f);
    // The older layout leaves Air, the chorus switch and the chorus slider alone.
    EXPECT_TRUE(form.CheckRadioBox_Air.checked());
    EXPECT_FALSE(form.RadioBox_SimpleChorus.checked());
    EXPECT_EQ(form.ScrollBar_SimpleChorus.position(), 50);

    // A moved mono slider drags both channel sliders along; words 7 and 8 then move them back,
    // and each recomputes its factor on the way.
    b[6] = 100;
    g.put(b);
    EXPECT_EQ(form.mono_factor.load(), 11.0f);
    EXPECT_EQ(form.ScrollBar_Gain_Left.position(), 50);
    EXPECT_EQ(form.left_factor.load(), 1.0f);
    EXPECT_EQ(form.right_factor.load(), 1.0f);
}

TEST(Gain, TwoInstancesAreIndependent) {
    Instance a(13), b(13);
    a.as<Tgain_form>().ScrollBar_Gain_Left.set_position(100);
    EXPECT_EQ(b.as<Tgain_form>().left_factor.load(), 1.0f);
    EXPECT_EQ(b.as<Tgain_form>().ScrollBar_Gain_Left.position(), 50);
}

}  // namespace
}  // namespace vx
