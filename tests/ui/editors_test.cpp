// Every effect kind in the registry gets a readable editor, and varnomix-gui writes an editor's
// screenshot as a user asks for it. The screenshots stay in the build tree (screenshots/) to be
// looked at.
#include <QDir>
#include <QImage>
#include <QPointer>
#include <QTest>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/effects.h"
#include "ui_helpers.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

std::string shots_dir() {
    const std::string d = std::string(VX_BIN_DIR) + "/screenshots";
    fs::create_directories(d);
    return d;
}

TEST(Editors, EveryKindShowsWholeAndGoesWithItsInstance) {
    int built = 0;
    for (EffectKind k = 1; k < kKindCount; ++k) {
        if (!kind_available(k)) continue;
        ++built;
        EffectInstance inst = get_registry().create[k]();
        ASSERT_NE(inst, nullptr) << kind_name(k);
        QPointer<EditorWindow> w = EditorWindow::of(*inst->form);
        EXPECT_EQ(w->view()->bindings().size(), inst->form->controls().size());
        inst->form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w)) << kind_name(k);
        test::expect_nothing_cut(*w, kind_name(k));
        EXPECT_EQ(w->windowTitle().toStdString(), inst->form->caption());
        test::save_shot(*w, "editor-" + std::to_string(k));
        force_destroy_instance(inst);
        test::settle();
        EXPECT_TRUE(w.isNull()) << kind_name(k);
    }
    EXPECT_GE(built, 1);
}

class GuiTool : public ::testing::Test {
protected:
    int run(const std::string& args) {
        err_path = fs::temp_directory_path() / ("vx-gui-" + std::to_string(::getpid()) + ".txt");
        const std::string cmd = "QT_QPA_PLATFORM=offscreen " + std::string(VX_BIN_DIR) + "/varnomix-gui " + args +
                                " 2>" + err_path.string();
        const int st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::string err() {
        std::ifstream f(err_path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void TearDown() override { fs::remove(err_path); }
    fs::path err_path;
};

TEST_F(GuiTool, ScreenshotOfTheGainEditor) {
    const std::string png = shots_dir() + "/gain.png";
    fs::remove(png);
    ASSERT_EQ(run("--screenshot-editor Gain " + png), 0) << err();
    QImage img(QString::fromStdString(png));
    ASSERT_FALSE(img.isNull());
    EXPECT_GT(img.width(), 250);
    EXPECT_GT(img.height(), 150);
    // Drawn, not blank: more than a handful of colours.
    QSet<QRgb> colours;
    for (int y = 0; y < img.height(); y += 3)
        for (int x = 0; x < img.width(); x += 3) colours.insert(img.pixel(x, y));
    EXPECT_GT(colours.size(), 10);
    // The kind's number names it too.
    EXPECT_EQ(run("--screenshot-editor 13 " + shots_dir() + "/gain-13.png"), 0) << err();
}

TEST_F(GuiTool, BadRequestsSayWhyAndExitTwo) {
    struct Case {
        const char* args;
        const char* says;
    };
    const Case cases[] = {
        {"--screenshot-editor Fuzz /tmp/vx-never.png", "unknown effect kind \"Fuzz\""},
        {"--screenshot-editor 14 /tmp/vx-never.png", "unknown effect kind \"14\""},
        {"--screenshot-editor -1 /tmp/vx-never.png", "unknown effect kind"},
        {"--screenshot-editor 0 /tmp/vx-never.png", "empty slot"},
        {"--screenshot-editor Gain /nonexistent-folder/x.png", "cannot write the screenshot"},
        {"--screenshot-editor Gain", "needs a KIND and a FILE.png"},
        {"--frobnicate", "usage:"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.args), 2) << c.args;
        EXPECT_NE(err().find(c.says), std::string::npos) << c.args << ": " << err();
    }
    EXPECT_FALSE(fs::exists("/tmp/vx-never.png"));
}

}  // namespace
}  // namespace vx
