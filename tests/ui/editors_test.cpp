// Every effect kind in the registry gets a readable editor, and varnomix writes a screenshot of the
// main window or of an editor as a user asks for it. The screenshots stay in the build tree
// (screenshots/) to be looked at.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QImage>
#include <QPointer>
#include <QTest>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/skin_archive.h"
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

// Every editor in each shipped skin: its sliders' values in their units stand whole beside them,
// and the pictures stay in the build tree for people to look at.
TEST(Editors, EveryKindInEverySkinShowsItsUnits) {
    const fs::path dir = fs::temp_directory_path() / ("vx-editor-skins-" + std::to_string(::getpid()));
    for (const char* skin : {"symbios", "atmosphere"}) {
        SCOPED_TRACE(skin);
        ASSERT_EQ(unpack_zip((fs::path(VX_BIN_DIR) / "SKINS" / (std::string(skin) + ".zip")).string(), (dir / skin).string()), "");
        SkinDescription d;
        ASSERT_TRUE(read_skin((dir / skin / "skin.ini").string(), d));
        qApp->setStyleSheet(QString::fromStdString(d.style_sheet));
        for (EffectKind k = 1; k < kKindCount; ++k) {
            if (!kind_available(k)) continue;
            EffectInstance inst = get_registry().create[k]();
            EditorWindow* w = EditorWindow::of(*inst->form);
            inst->form->show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(w)) << kind_name(k);
            for (const auto& b : w->view()->bindings()) {
                const auto* s = dynamic_cast<const Slider*>(b->control());
                if (s == nullptr || !s->unit_text) continue;
                const std::string shown = b->unit() ? qobject_cast<QLabel*>(b->unit())->text().toStdString()
                                                    : b->widget()->toolTip().toStdString();
                EXPECT_NE(shown.find(s->unit_value()), std::string::npos) << kind_name(k) << " " << s->name();
            }
            test::expect_nothing_cut(*w, kind_name(k));
            test::save_shot(*w, "editor-" + std::to_string(k) + "-" + skin);
            force_destroy_instance(inst);
            test::settle();
        }
    }
    qApp->setStyleSheet(QString());
    fs::remove_all(dir);
}

class GuiTool : public ::testing::Test {
protected:
    int run(const std::string& args, const std::string& env = "QT_QPA_PLATFORM=offscreen") {
        err_path = fs::temp_directory_path() / ("vx-gui-" + std::to_string(::getpid()) + ".txt");
        const std::string cmd = env + " " + std::string(VX_BIN_DIR) + "/varnomix " + args + " 2>" + err_path.string();
        const int st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::string err() {
        std::ifstream f(err_path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    void TearDown() override {
        fs::remove(err_path);
        fs::remove_all(home());
    }
    // A program folder of the test's own.
    std::string home() const { return (fs::temp_directory_path() / ("vx-gui-home-" + std::to_string(::getpid()))).string(); }
    fs::path err_path;
};

// Drawn, not blank: more than a handful of colours.
int colours(const QImage& img) {
    QSet<QRgb> c;
    for (int y = 0; y < img.height(); y += 3)
        for (int x = 0; x < img.width(); x += 3) c.insert(img.pixel(x, y));
    return static_cast<int>(c.size());
}

TEST_F(GuiTool, ScreenshotOfTheMainWindow) {
    const std::string png = shots_dir() + "/main.png";
    fs::remove(png);
    // No display is needed: the screenshot draws offscreen by itself.
    ASSERT_EQ(run("--screenshot " + png + " --home " + home(), "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM"), 0)
        << err();
    QImage img(QString::fromStdString(png));
    ASSERT_FALSE(img.isNull());
    // The engine panel and sixteen rows of 24 pixels.
    EXPECT_GT(img.width(), 600);
    EXPECT_GT(img.height(), 16 * 24);
    EXPECT_GT(colours(img), 10);
}

TEST_F(GuiTool, ScreenshotOfTheGainEditor) {
    const std::string png = shots_dir() + "/gain.png";
    fs::remove(png);
    ASSERT_EQ(run("--screenshot-editor Gain " + png), 0) << err();
    QImage img(QString::fromStdString(png));
    ASSERT_FALSE(img.isNull());
    EXPECT_GT(img.width(), 250);
    EXPECT_GT(img.height(), 150);
    EXPECT_GT(colours(img), 10);
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
        {"--frobnicate", "unknown option \"--frobnicate\""},
        {"--screenshot /nonexistent-folder/x.png", "cannot write the screenshot"},
        {"--screenshot", "--screenshot needs a FILE.png"},
        {"--screenshot /tmp/vx-never.png --screenshot-editor Gain /tmp/vx-never.png", "one at a time"},
        {"--home", "--home needs a folder"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.args), 2) << c.args;
        EXPECT_NE(err().find(c.says), std::string::npos) << c.args << ": " << err();
    }
    EXPECT_FALSE(fs::exists("/tmp/vx-never.png"));
    // The desktop program itself needs a display, and says what to use without one.
    EXPECT_EQ(run("--home " + home(), "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM"), 2);
    EXPECT_NE(err().find("no display"), std::string::npos) << err();
    EXPECT_NE(err().find("--nogui"), std::string::npos) << err();
}

}  // namespace
}  // namespace vx
