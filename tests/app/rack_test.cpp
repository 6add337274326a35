// The rack of 16 slots on the headless main window: kinds, on/off, Tune and moves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/Unit1.h"
#include "delays.h"
#include "engine/effects.h"
#include "fake_drivers.h"
#include "fake_services.h"
#include "gain_form.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

constexpr int kGain = 13, kDelay = 8;

class Rack : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        unit1_startup();
        dir = fs::temp_directory_path() / ("vx-rack-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        form = std::make_unique<TForm1>(services, drivers, dir);
        form->show();
        services.pointer_at = {500, 300};
    }
    void TearDown() override {
        form.reset();
        fs::remove_all(dir);
        effects_startup();
    }
    TForm1::EffectSlot& s(int n) { return form->slot(n); }
    EffectInstance inst(int n) { return form->rack_table().instance[n - 1]; }
    ChainTable runner() { return runner_table_snapshot(); }

    test::FakeServices services;
    test::RecordingDrivers drivers;
    fs::path dir;
    std::unique_ptr<TForm1> form;
};

TEST_F(Rack, FirstShowBuildsSixteenEmptySlots) {
    const ChainTable& t = form->rack_table();
    EXPECT_EQ(t.count, 16);
    EXPECT_EQ(runner().count, 16);
    for (int n = 1; n <= 16; ++n) {
        EXPECT_EQ(s(n).kind.items().size(), 14u);
        EXPECT_EQ(s(n).kind.text(), "--- select ---");
        EXPECT_EQ(s(n).onoff.caption(), "Off");
        EXPECT_EQ(s(n).tune.caption(), "Tune");
        EXPECT_EQ(t.kind[n - 1], 0);
        EXPECT_EQ(t.instance[n - 1], nullptr);
        EXPECT_STREQ(t.names[n - 1], "--- select ---");
    }
    EXPECT_EQ(s(16).onoff.name(), "spSkinCheckRadioBox16");
    EXPECT_EQ(s(16).kind.name(), "spSkinComboBox16");
    EXPECT_EQ(s(16).tune.name(), "spSkinButton16");
    EXPECT_EQ(s(16).arrows.name(), "spSkinUpDown16");
    EXPECT_EQ(s(2).tune.bounds.top - s(1).tune.bounds.top, 24);
    EXPECT_EQ(rack_gate.load(), 1);
}

TEST_F(Rack, ChoosingKinds) {
    s(3).kind.set_index(kGain);
    EffectInstance first = inst(3);
    ASSERT_NE(first, nullptr);
    static_cast<Tgain_form*>(first->form)->ScrollBar_Gain_Left.set_position(90);
    // The kind already shown keeps the instance and its settings.
    s(3).kind.set_index(kGain);
    EXPECT_EQ(inst(3), first);
    EXPECT_EQ(static_cast<Tgain_form*>(inst(3)->form)->ScrollBar_Gain_Left.position(), 90);
    // Another kind replaces it with a new one at its defaults.
    s(3).kind.set_index(kDelay);
    ASSERT_NE(inst(3), nullptr);
    EXPECT_NE(dynamic_cast<TDelay_form*>(inst(3)->form), nullptr);
    EXPECT_EQ(runner().instance[2], inst(3));
    EXPECT_EQ(runner().kind[2], kDelay);
    EXPECT_STREQ(form->rack_table().names[2], "Delay");
    // "--- select ---" empties the slot and keeps its on/off state.
    s(3).onoff.set_checked(true);
    s(3).kind.set_index(0);
    EXPECT_EQ(inst(3), nullptr);
    EXPECT_EQ(s(3).onoff.caption(), "On");
    EXPECT_EQ(form->rack_table().enabled[2], 1);
    EXPECT_EQ(runner().kind[2], 0);
    EXPECT_EQ(rack_gate.load(), 1);
    EXPECT_TRUE(s(3).kind.enabled());
}

TEST_F(Rack, OnOffWritesBothTables) {
    s(5).kind.set_index(kGain);
    s(5).onoff.set_checked(true);
    EXPECT_EQ(form->rack_table().enabled[4], 1);
    EXPECT_EQ(runner().enabled[4], 1);
    EXPECT_EQ(s(5).onoff.caption(), "On");
    s(5).onoff.set_checked(false);
    EXPECT_EQ(runner().enabled[4], 0);
    EXPECT_EQ(s(5).onoff.caption(), "Off");
}

TEST_F(Rack, TuneShowsTheEditorAndEmptySlotsOpenNothing) {
    s(1).tune.click();  // empty: nothing, no crash
    s(1).kind.set_index(kGain);
    Form* editor = inst(1)->form;
    EXPECT_FALSE(editor->visible());
    s(1).tune.click();
    EXPECT_TRUE(editor->visible());
    EXPECT_EQ(editor->shown_once, 1);
    EXPECT_EQ(s(1).tune.caption(), "Tune");
    EXPECT_TRUE(s(1).tune.enabled());
    // A right click never opens, a left click never moves.
    editor->hide();
    s(1).tune.mouse_up(Button::MouseButton::Right, 5, 2);
    EXPECT_FALSE(editor->visible());
    s(1).tune.mouse_up(Button::MouseButton::Left, 5, 15);
    EXPECT_EQ(inst(1)->form, editor);
    EXPECT_TRUE(services.pointer_moves.empty());
}

TEST_F(Rack, MovedOnDelayTravelsWithItsInstanceAndWindow) {
    s(3).kind.set_index(kDelay);
    s(3).onoff.set_checked(true);
    s(2).kind.set_index(kGain);  // slot 2: Gain, Off
    EffectInstance delay = inst(3), gain = inst(2);
    delay->form->show();
    s(3).arrows.click_up();
    EXPECT_EQ(s(2).kind.text(), "Delay");
    EXPECT_EQ(s(2).onoff.caption(), "On");
    EXPECT_EQ(inst(2), delay) << "the same instance, settings and window";
    EXPECT_TRUE(inst(2)->form->visible());
    EXPECT_EQ(s(3).kind.text(), "Gain");
    EXPECT_EQ(s(3).onoff.caption(), "Off");
    EXPECT_EQ(inst(3), gain);
    const ChainTable r = runner();
    EXPECT_EQ(r.instance[1], delay);
    EXPECT_EQ(r.enabled[1], 1);
    EXPECT_EQ(r.kind[1], kDelay);
    EXPECT_EQ(r.instance[2], gain);
    EXPECT_EQ(r.enabled[2], 0);
    EXPECT_EQ(form->focused(), &s(2).kind);
    ASSERT_EQ(services.pointer_moves.size(), 1u);
    EXPECT_EQ(services.pointer_moves[0].y, 300 - 24);
    EXPECT_EQ(form->moving(), 0);
    EXPECT_EQ(rack_gate.load(), 1);
    // Tune in the new row opens the same window.
    delay->form->hide();
    s(2).tune.click();
    EXPECT_TRUE(delay->form->visible());
}

TEST_F(Rack, RightClickMovesByHalfHeight) {
    s(4).kind.set_index(kGain);
    EffectInstance g = inst(4);
    const int h = s(4).tune.bounds.height;
    s(4).tune.mouse_up(Button::MouseButton::Right, 3, h / 2 - 1);  // upper half: up
    EXPECT_EQ(inst(3), g);
    s(3).tune.mouse_up(Button::MouseButton::Right, 3, h / 2);  // lower half: down
    EXPECT_EQ(inst(4), g);
    s(4).tune.mouse_up(Button::MouseButton::Middle, 3, 0);  // other buttons do nothing
    EXPECT_EQ(inst(4), g);
    EXPECT_EQ(services.pointer_moves.size(), 2u);
}

TEST_F(Rack, MovesAtTheEndsChangeNothing) {
    s(1).kind.set_index(kGain);
    s(16).kind.set_index(kDelay);
    EffectInstance a = inst(1), b = inst(16);
    s(1).arrows.click_up();
    s(16).arrows.click_down();
    s(1).tune.mouse_up(Button::MouseButton::Right, 0, 0);
    EXPECT_EQ(inst(1), a);
    EXPECT_EQ(inst(16), b);
    EXPECT_TRUE(services.pointer_moves.empty());
    EXPECT_EQ(rack_gate.load(), 1);
    EXPECT_EQ(form->moving(), 0);
}

TEST_F(Rack, OutOfRangeSelectionBuildsAnEmptySlot) {
    s(6).kind.set_index(kGain);
    form->rebuild_slot(s(6).kind, 5);  // same kind again: a new instance, as the chain loader asks
    ASSERT_NE(inst(6), nullptr);
    s(6).kind.set_index(-1);  // nothing selected
    EXPECT_EQ(inst(6), nullptr);
    EXPECT_EQ(form->rack_table().kind[5], 0);
    form->rebuild_slot(s(6).kind, 40);  // not a rack entry: ignored
    EXPECT_EQ(rack_gate.load(), 1);
}

// A refusing editor, as one that cannot write its own settings file when it closes.
class Stubborn : public Form {
public:
    Stubborn() : Form("stubborn") {}
    static inline int refusals = 0;

protected:
    bool FormClose() override {
        ++refusals;
        return false;
    }
};

TEST_F(Rack, RefusingEditorStillLeavesAConsistentSlot) {
    s(7).kind.set_index(kGain);
    // Put a refusing window into the slot's cell in place of the Gain.
    EffectInstance cell = inst(7);
    delete cell->form;
    cell->form = new Stubborn;
    s(7).kind.set_index(kDelay);
    EXPECT_EQ(Stubborn::refusals, 1);
    ASSERT_NE(inst(7), nullptr);
    EXPECT_NE(dynamic_cast<TDelay_form*>(inst(7)->form), nullptr);
    EXPECT_EQ(rack_gate.load(), 1);
}

}  // namespace
}  // namespace vx
