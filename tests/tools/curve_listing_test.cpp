// `varnomix-render --controls KIND` names each picture of an editor and what it shows; a picture is
// not a setting.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "chain_builder.h"
#include "engine/effects.h"

namespace vx {
namespace {

TEST(CurveListing, EveryPictureIsListedOnOneLineAndCannotBeSet) {
    const std::map<EffectKind, std::string> pictures = {
        {2, "Curve_Response"}, {3, "Curve_Law"}, {4, "Curve_Transfer"}, {5, "Curve_Shapers"},
        {6, "Curve_Transfer"}, {7, "Curve_Decay"}, {8, "Curve_Taps"},     {10, "Curve_Sweep"},
    };
    for (EffectKind k = 1; k < kKindCount; ++k) {
        if (!kind_available(k)) continue;
        EffectInstance inst = get_registry().create[k]();
        std::string found;
        for (Control* c : inst->form->controls()) {
            if (c->type() != Control::Type::Curve) continue;
            found = c->name();
            const std::string line = describe_control(*c);
            const auto& curve = static_cast<const Curve&>(*c);
            EXPECT_EQ(line, c->name() + "  curve  \"" + curve.caption() + "\"  " + curve.what());
            EXPECT_EQ(line.find('\n'), std::string::npos);
            EXPECT_FALSE(curve.what().empty());
            EXPECT_EQ(set_control_value(*c, "1"), "a curve cannot be set");
        }
        const auto want = pictures.find(k);
        EXPECT_EQ(found, want == pictures.end() ? "" : want->second) << kind_name(k);
        force_destroy_instance(inst);
    }
}

TEST(CurveListing, TheToolPrintsThem) {
    FILE* p = ::popen((std::string(VX_BIN_DIR) + "/varnomix-render --controls Delay").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char b[512];
    while (size_t n = std::fread(b, 1, sizeof b, p)) out.append(b, n);
    EXPECT_EQ(::pclose(p), 0);
    EXPECT_NE(out.find("  Curve_Taps  curve  \"Dry and taps\"  the dry signal and the five taps"), std::string::npos) << out;
}

}  // namespace
}  // namespace vx
