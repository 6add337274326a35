#include "engine/forms.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace vx {
namespace {

// Each case acts on fresh controls and counts the handler runs and the observer notices.
struct Counts {
    int handler = 0;
    int choose = 0;
    int notices = 0;
};

struct Case {
    const char* what;
    std::function<void(Counts&)> run;
    int handler, choose;
};

void watch(Control& c, Counts& n) { c.observe([&n](const Control&) { ++n.notices; }); }

TEST(Controls, NotificationRules) {
    const Case cases[] = {
        {"slider set to a new position runs on_change",
         [](Counts& n) { Slider s("s", 0, 100, 50); s.on_change = [&] { ++n.handler; }; s.set_position(60); }, 1, 0},
        {"slider set to its position runs nothing",
         [](Counts& n) { Slider s("s", 0, 100, 50); s.on_change = [&] { ++n.handler; }; s.set_position(50); }, 0, 0},
        {"slider beyond max clamps and runs once",
         [](Counts& n) { Slider s("s", 0, 100, 50); s.on_change = [&] { ++n.handler; }; s.set_position(500);
                         EXPECT_EQ(s.position(), 100); }, 1, 0},
        {"slider beyond max when at max runs nothing",
         [](Counts& n) { Slider s("s", 0, 100, 100); s.on_change = [&] { ++n.handler; }; s.set_position(101); }, 0, 0},
        {"slider below min clamps",
         [](Counts& n) { Slider s("s", 10, 20, 15); s.on_change = [&] { ++n.handler; }; s.set_position(-5);
                         EXPECT_EQ(s.position(), 10); }, 1, 0},
        {"skin check box runs on every set, same state too",
         [](Counts& n) { CheckBox c("c", "x", true); c.on_click = [&] { ++n.handler; }; c.set_checked(true);
                         c.set_checked(false); }, 2, 0},
        {"plain check box runs only on a change",
         [](Counts& n) { CheckBox c("c", "x", true, true); c.on_click = [&] { ++n.handler; }; c.set_checked(true);
                         c.set_checked(false); }, 1, 0},
        {"selector: a new entry runs change and choose",
         [](Counts& n) { Selector s("s"); s.add_item("a"); s.add_item("b"); s.set_index(0);
                         s.on_change = [&] { ++n.handler; }; s.on_select = [&] { ++n.choose; }; s.set_index(1); }, 1, 1},
        {"selector: the entry already shown runs choose only",
         [](Counts& n) { Selector s("s"); s.add_item("a"); s.add_item("b"); s.set_index(1);
                         s.on_change = [&] { ++n.handler; }; s.on_select = [&] { ++n.choose; }; s.set_index(1); }, 0, 1},
        {"selector: another entry with the same text runs choose only",
         [](Counts& n) { Selector s("s"); s.add_item("a"); s.add_item("a"); s.set_index(0);
                         s.on_change = [&] { ++n.handler; }; s.on_select = [&] { ++n.choose; }; s.set_index(1); }, 0, 1},
        {"selector: a shown text without an entry runs change",
         [](Counts& n) { Selector s("s"); s.on_change = [&] { ++n.handler; }; s.on_select = [&] { ++n.choose; };
                         s.set_text("There is no Effects"); EXPECT_EQ(s.index(), -1); }, 1, 0},
        {"selector: an index out of range selects nothing",
         [](Counts& n) { Selector s("s"); s.add_item("a"); s.set_index(0); s.on_change = [&] { ++n.handler; };
                         s.set_index(7); EXPECT_EQ(s.index(), -1); EXPECT_EQ(s.text(), ""); }, 1, 0},
        {"disabled button ignores clicks",
         [](Counts& n) { Button b("b", "Tune"); b.on_click = [&] { ++n.handler; }; b.set_enabled(false); b.click();
                         b.set_enabled(true); b.click(); }, 1, 0},
        {"text box filter drops a key",
         [](Counts& n) { TextBox t("t", "12"); t.on_change = [&] { ++n.handler; };
                         t.key_filter = [](char& k) { return k >= '0' && k <= '9'; }; t.key_press('x'); t.key_press('3');
                         EXPECT_EQ(t.text(), "123"); }, 1, 0},
        {"radio group runs on a change only",
         [](Counts& n) { RadioGroup r("r", "c", {"a", "b"}, 0); r.on_click = [&] { ++n.handler; }; r.set_index(0);
                         r.set_index(1); }, 1, 0},
    };
    for (const Case& c : cases) {
        Counts n;
        c.run(n);
        EXPECT_EQ(n.handler, c.handler) << c.what;
        EXPECT_EQ(n.choose, c.choose) << c.what;
    }
}

TEST(Controls, ObserversSeeChangesButNeverRunHandlers) {
    Slider s("s", 0, 100, 50);
    Counts n;
    int handler = 0;
    s.on_change = [&] { ++handler; };
    watch(s, n);
    s.set_position(50);
    EXPECT_EQ(n.notices, 0);
    s.set_position(70);
    EXPECT_EQ(n.notices, 1);
    EXPECT_EQ(handler, 1);
    Meter m("m", 0, 100);
    watch(m, n);
    m.set_value(300);
    EXPECT_EQ(m.value(), 100);
    EXPECT_EQ(n.notices, 2);
}

class Refusing : public Form {
public:
    Refusing() : Form("r") {}
    bool refuse = true;
    int shows = 0;

protected:
    bool FormClose() override { return !refuse; }
    void FormShow() override {
        ++shows;
        Form::FormShow();
    }
};

TEST(Forms, ShowOnceAndClose) {
    Form::skin_folder() = "/prog/temp";
    Refusing f;
    EXPECT_FALSE(f.visible());
    EXPECT_EQ(f.shown_once, 0);
    f.show();
    EXPECT_TRUE(f.visible());
    EXPECT_EQ(f.shown_once, 1);
    EXPECT_EQ(f.skin_path, "/prog/temp/skin.ini");
    Form::skin_folder() = "/other";
    f.hide();
    f.show();
    EXPECT_EQ(f.skin_path, "/prog/temp/skin.ini") << "the skin loads at the first show only";
    EXPECT_EQ(f.shows, 2);
    EXPECT_FALSE(f.close());
    EXPECT_TRUE(f.visible());
    f.refuse = false;
    EXPECT_TRUE(f.close());
    EXPECT_FALSE(f.visible());
    Form::skin_folder().clear();
}

}  // namespace
}  // namespace vx
