// The tuner window drawn offscreen: opened by the engine panel's button and by T, showing what the
// tap holds, its reference slider and mute box working on the form, and closing it unmuting.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "app/fake_drivers.h"
#include "app/fake_services.h"
#include "drivers/tuner_tap.h"
#include "engine/effects.h"
#include "main_window.h"
#include "tuner_window.h"
#include "ui_helpers.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

void feed_tone(double hz) {
    std::vector<float> s(9600);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<float>(8000.0 * std::sin(2.0 * M_PI * hz * i / 48000.0));
    for (size_t i = 0; i < s.size(); i += 480) input_tap().push(&s[i], 480, 1, 48000);
}

class TunerWin : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        unit1_startup();
        input_tap().reset();
        set_output_mute(false);
        dir = fs::temp_directory_path() / ("vx-tunerwin-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        form = std::make_unique<TForm1>(services, drivers, dir);
        window = std::make_unique<MainWindow>(*form);
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        window.reset();
        form.reset();
        test::settle();
        input_tap().reset();
        set_output_mute(false);
        fs::remove_all(dir);
        effects_startup();
    }
    test::FakeServices services;
    test::RecordingDrivers drivers;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<MainWindow> window;
    fs::path dir;
};

TEST_F(TunerWin, OpenedByTheButtonShowsTheNoteNeedleAndMutes) {
    TunerWindow* t = window->tuner_window();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->isHidden());
    auto* button = qobject_cast<QPushButton*>(window->widget("BitBtn_Tuner"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Tuner");
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(t));
    EXPECT_TRUE(output_muted());
    EXPECT_EQ(t->note_label()->text(), "--");

    feed_tone(82.4069 * std::pow(2.0, -12.0 / 1200));
    form->tuner().update();
    EXPECT_EQ(t->note_label()->text(), "E2");
    EXPECT_EQ(t->findChild<QLabel*>("Label_Cents")->text(), "-12.0 cents");
    EXPECT_EQ(t->findChild<QLabel*>("Label_Frequency")->text(), "81.84 Hz");
    test::save_shot(*t, "tuner-flat");
    feed_tone(440.3);
    form->tuner().update();
    EXPECT_EQ(t->note_label()->text(), "A4");
    EXPECT_TRUE(form->tuner().in_tune());
    test::save_shot(*t, "tuner-in-tune");
    test::expect_nothing_cut(*t, "tuner");

    // The reference slider and the mute box act on the form.
    auto* slider = qobject_cast<QSlider*>(t->binding("TrackBar_Reference")->widget());
    ASSERT_NE(slider, nullptr);
    slider->setValue(432);
    EXPECT_EQ(form->tuner().TrackBar_Reference.position(), 432);
    EXPECT_EQ(t->findChild<QLabel*>("Label_Reference")->text(), "A4 = 432 Hz");
    auto* mute = qobject_cast<QCheckBox*>(t->binding("CheckBox_Mute")->widget());
    ASSERT_NE(mute, nullptr);
    EXPECT_TRUE(mute->isChecked());
    mute->click();
    EXPECT_FALSE(output_muted());
    mute->click();
    EXPECT_TRUE(output_muted());

    // Closing the window gives the sound back.
    t->close();
    test::settle();
    EXPECT_FALSE(form->tuner().visible());
    EXPECT_FALSE(output_muted());
}

TEST_F(TunerWin, TheKeyTOpensItUnlessTextIsTyped) {
    TunerWindow* t = window->tuner_window();
    window->activateWindow();
    QTest::keyClick(window.get(), Qt::Key_T);
    EXPECT_TRUE(form->tuner().visible());
    EXPECT_FALSE(t->isHidden());
    QTest::keyClick(t, Qt::Key_Escape);
    EXPECT_FALSE(form->tuner().visible());
    EXPECT_TRUE(t->isHidden());
    // With Ctrl it is someone else's shortcut.
    QTest::keyClick(window.get(), Qt::Key_T, Qt::ControlModifier);
    EXPECT_FALSE(form->tuner().visible());
}

}  // namespace
}  // namespace vx
