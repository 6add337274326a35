// The picture control: points computed on demand, once per change, and told to its observers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/forms.h"

namespace vx {
namespace {

class Pictured : public Form {
public:
    Pictured() : Form("pictured") {
        add(level);
        add(on);
        add(reset);
        add(picture);
        level.on_change = [this] { log.push_back("level " + std::to_string(level.position())); };
        on.on_click = [this] { log.push_back("on"); };
        reset.on_click = [this] { log.push_back("reset"); };
        picture.set_source([this] {
            log.push_back("computed");
            return std::vector<Curve::Series>{{"level", Curve::Style::Line, {0.0, 1.0}, {0.0, double(level.position())}}};
        });
        after_each_change(*this, [this] {
            log.push_back("after");
            picture.invalidate();
        });
    }
    Slider level{"level", 0, 100, 50};
    CheckBox on{"on", "On", false};
    Button reset{"reset", "Reset"};
    Curve picture{"picture", "Picture", "what it shows", {"x", 0.0, 1.0}, {"y", 0.0, 100.0}};
    std::vector<std::string> log;
};

TEST(CurveControl, ComputedOnDemandOncePerChangeAfterTheHandler) {
    Pictured f;
    int told = 0;
    f.picture.observe([&](const Control&) { ++told; });
    EXPECT_TRUE(f.log.empty()) << "nothing is computed before it is asked for";
    EXPECT_EQ(f.picture.series().at(0).y.at(1), 50.0);
    f.picture.series();
    EXPECT_EQ(f.picture.computations(), 1);

    f.level.set_position(70);
    f.level.set_position(80);
    f.on.set_checked(true);
    f.reset.click();
    EXPECT_EQ((std::vector<std::string>{"computed", "level 70", "after", "level 80", "after", "on", "after", "reset", "after"}),
              f.log);
    EXPECT_EQ(told, 4);
    EXPECT_TRUE(f.picture.stale());
    EXPECT_EQ(f.picture.series().at(0).y.at(1), 80.0);
    EXPECT_EQ(f.picture.computations(), 2);

    // A position that does not change runs no handler, so nothing is stale.
    f.level.set_position(80);
    EXPECT_FALSE(f.picture.stale());

    // Points set directly are current at once and told.
    f.picture.set_series({});
    EXPECT_FALSE(f.picture.stale());
    EXPECT_EQ(told, 5);
    EXPECT_STREQ(Control::type_name(f.picture.type()), "curve");
}

}  // namespace
}  // namespace vx
