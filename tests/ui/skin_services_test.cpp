// The Qt skin engine: an editor wears the style sheet of the skin loaded into it, the main window's
// skin becomes the whole program's, and a shipped skin unpacks.
#include <QApplication>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>

#include "qt_services.h"
#include "ui_helpers.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

TEST(QtSkins, EditorsKeepTheirOwnSheetAndTheMainWindowsBecomesTheProgramsOne) {
    QTemporaryDir tmp;
    const fs::path dir = tmp.path().toStdString();
    auto skin = [&](const std::string& name, const std::string& sheet) {
        fs::create_directories(dir / name);
        std::ofstream(dir / name / "skin.ini") << "[Skin]\nName=" << name << "\nStyleSheet=s.qss\n";
        std::ofstream(dir / name / "s.qss") << sheet;
        return (dir / name / "skin.ini").string();
    };
    const std::string first = skin("first", "QWidget { color: #010203; }");
    const std::string second = skin("second", "QWidget { color: #040506; }");

    QtServices s;
    Form editor("editor"), main_window("main");
    EditorWindow* window = EditorWindow::of(editor);
    s.load_skin(editor, first);
    // The skin's own rules come last, so that they win over the common ones for focus and disabled.
    EXPECT_TRUE(window->styleSheet().endsWith("\nQWidget { color: #010203; }")) << window->styleSheet().toStdString();
    EXPECT_TRUE(window->styleSheet().contains(":focus"));
    EXPECT_EQ(s.skin_name(), "first");
    s.load_skin(main_window, second);
    EXPECT_TRUE(qApp->styleSheet().endsWith("\nQWidget { color: #040506; }"));
    EXPECT_TRUE(window->styleSheet().endsWith("\nQWidget { color: #010203; }")) << "the editor keeps its skin";
    EXPECT_EQ(s.skin_name(), "second");
    s.load_skin(main_window, (dir / "none" / "skin.ini").string());  // nothing there: nothing changes
    EXPECT_EQ(s.skin_name(), "second");
    qApp->setStyleSheet(QString());
}

TEST(QtSkins, TheDefaultSkinUnpacks) {
    QTemporaryDir tmp;
    QtServices s;
    ASSERT_TRUE(s.unpack_skin(VX_BIN_DIR "/SKINS/symbios.zip", tmp.path().toStdString()));
    EXPECT_TRUE(fs::exists(fs::path(tmp.path().toStdString()) / "skin.ini"));
    EXPECT_TRUE(fs::exists(fs::path(tmp.path().toStdString()) / "style.qss"));
}

}  // namespace
}  // namespace vx
