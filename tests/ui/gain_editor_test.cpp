// The Gain editor through its widgets: a user's action runs each handler once, code moves the
// widgets without running a handler twice, and the window only ever hides.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QSlider>
#include <QTest>

#include "engine/effects.h"
#include "gain_form.h"
#include "laws.h"
#include "ui_helpers.h"

namespace vx {
namespace {

using test::count_runs;
using test::settle;
using test::widget_of;

class GainEditor : public ::testing::Test {
protected:
    void SetUp() override {
        inst = get_registry().create[13]();
        ASSERT_NE(inst, nullptr);
        gain = dynamic_cast<Tgain_form*>(inst->form);
        ASSERT_NE(gain, nullptr);
        count_runs(gain->ScrollBar_Gain_Left.on_change, left_runs);
        count_runs(gain->ScrollBar_Gain_Right.on_change, right_runs);
        count_runs(gain->ScrollBar_Gain_Mono.on_change, mono_runs);
        count_runs(gain->CheckRadioBox_Air.on_click, air_runs);
        window = EditorWindow::of(*gain);
        gain->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    }
    void TearDown() override {
        if (inst) force_destroy_instance(inst);
        settle();
    }
    QSlider* slider(const char* name) { return widget_of<QSlider>(*window->view(), name); }
    QString readout(const char* name) {
        return qobject_cast<QLabel*>(window->view()->binding(name)->readout())->text();
    }

    EffectInstance inst = nullptr;
    Tgain_form* gain = nullptr;
    QPointer<EditorWindow> window;
    int left_runs = 0, right_runs = 0, mono_runs = 0, air_runs = 0;
};

TEST_F(GainEditor, UserMovingASliderRunsItsHandlerOnce) {
    QSlider* left = slider("ScrollBar_Gain_Left");
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->value(), 50);
    EXPECT_EQ(readout("ScrollBar_Gain_Left"), "50");

    QTest::keyClick(left, Qt::Key_Right);  // one arrow step (5)
    EXPECT_EQ(gain->ScrollBar_Gain_Left.position(), 55);
    EXPECT_EQ(left_runs, 1);
    EXPECT_EQ(gain->left_factor.load(), *SliderFactor(55));
    EXPECT_EQ(readout("ScrollBar_Gain_Left"), "55");

    QTest::keyClick(left, Qt::Key_End);
    EXPECT_EQ(gain->ScrollBar_Gain_Left.position(), 100);
    EXPECT_EQ(left_runs, 2);
    QTest::keyClick(left, Qt::Key_End);  // already there: nothing runs
    EXPECT_EQ(left_runs, 2);
    EXPECT_EQ(right_runs, 0);
    EXPECT_EQ(mono_runs, 0);
}

TEST_F(GainEditor, CodeMovesTheWidgetAndRunsTheHandlerOnce) {
    gain->ScrollBar_Gain_Left.set_position(70);
    EXPECT_EQ(slider("ScrollBar_Gain_Left")->value(), 70);
    EXPECT_EQ(readout("ScrollBar_Gain_Left"), "70");
    EXPECT_EQ(left_runs, 1);
    EXPECT_EQ(gain->left_factor.load(), *SliderFactor(70));

    // A restore of the same position: no handler, widget unchanged.
    int32_t block[kParameterWords] = {};
    gain->get_parameters(block);
    gain->put_parameters(block);
    EXPECT_EQ(left_runs, 1);
    EXPECT_EQ(slider("ScrollBar_Gain_Left")->value(), 70);
}

TEST_F(GainEditor, MonoSliderCarriesLeftAndRightWithIt) {
    QTest::keyClick(slider("ScrollBar_Gain_Mono"), Qt::Key_Left);
    EXPECT_EQ(mono_runs, 1);
    EXPECT_EQ(left_runs, 1);
    EXPECT_EQ(right_runs, 1);
    for (const char* n : {"ScrollBar_Gain_Mono", "ScrollBar_Gain_Left", "ScrollBar_Gain_Right"}) {
        EXPECT_EQ(slider(n)->value(), 45) << n;
        EXPECT_EQ(readout(n), "45") << n;
    }
    EXPECT_EQ(gain->mono_factor.load(), *SliderFactor(45));
    EXPECT_EQ(gain->right_factor.load(), *SliderFactor(45));
}

TEST_F(GainEditor, CheckBoxClickRunsOnClickOnce) {
    QCheckBox* air = widget_of<QCheckBox>(*window->view(), "CheckRadioBox_Air");
    ASSERT_NE(air, nullptr);
    EXPECT_TRUE(air->isChecked());
    QTest::mouseClick(air, Qt::LeftButton);
    EXPECT_EQ(air_runs, 1);
    EXPECT_FALSE(gain->CheckRadioBox_Air.checked());
    EXPECT_EQ(gain->air.load(), 0.0f);

    // From code, to the state it has: the click handler runs (its rule), the box stays as it is.
    gain->CheckRadioBox_Air.set_checked(false);
    EXPECT_EQ(air_runs, 2);
    EXPECT_FALSE(air->isChecked());
    gain->CheckRadioBox_Air.set_checked(true);
    EXPECT_EQ(air_runs, 3);
    EXPECT_TRUE(air->isChecked());
    EXPECT_EQ(gain->air.load(), 1.0f);
}

TEST_F(GainEditor, WindowFollowsShowAndHide) {
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Gain");
    gain->hide();
    EXPECT_FALSE(window->isVisible());
    gain->show();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(gain->shown_once, 1);
}

TEST_F(GainEditor, CloseButtonHidesAndKeepsTheEffect) {
    gain->ScrollBar_Gain_Left.set_position(80);
    EXPECT_TRUE(window->close() == false);  // the close is refused: the window only hides
    settle();
    ASSERT_FALSE(window.isNull());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(gain->visible());
    EXPECT_EQ(EditorWindow::find(*gain), window.data());

    // The effect still processes with its settings, and Tune shows the same window again.
    float buffer[4] = {1000.0f, 1000.0f, 1000.0f, 1000.0f};
    get_registry().process[13](2, 48000, 2, buffer, inst);
    EXPECT_EQ(buffer[0], 1000.0f * *SliderFactor(80));
    gain->show();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(slider("ScrollBar_Gain_Left")->value(), 80);
}

TEST_F(GainEditor, DestroyingTheEffectTakesItsWindow) {
    ASSERT_TRUE(destroy_instance(inst));
    inst = nullptr;
    settle();
    EXPECT_TRUE(window.isNull());
}

TEST_F(GainEditor, EveryCaptionShowsWhole) {
    test::expect_nothing_cut(*window, "Gain");
    // Volume and Stereo are frames, in that order.
    QStringList titles;
    for (QGroupBox* g : window->view()->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly)) titles << g->title();
    EXPECT_EQ(titles, (QStringList{"Volume", "Stereo"}));
}

}  // namespace
}  // namespace vx
