// In each shipped skin every control of an editor that takes the keyboard focus shows where it is,
// and every control looks different when it cannot be used.
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <memory>
#include <string>

#include "qt_services.h"
#include "ui_helpers.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

struct Focusable : Form {
    Focusable() : Form("Focus") {
        mode.add_item("clean");
        mode.add_item("lead");
        mode.set_index(0);
        log.add_line("a line");
        for (Control* c : std::initializer_list<Control*>{&volume, &band, &on, &mode, &tune, &rate, &freq, &log, &move})
            add(*c);
    }
    Slider volume{"volume", 0, 100, 30, 1, 10};
    Slider band{"band", 0, 100, 50, 1, 1, Slider::Orientation::Vertical};
    CheckBox on{"on", "On", true};
    Selector mode{"mode"};
    Button tune{"tune", "Tune"};
    RadioGroup rate{"rate", "Rate", {"22050", "48000"}, 1};
    TextBox freq{"freq", "100"};
    Memo log{"log"};
    UpDown move{"move"};
};

TEST(SkinLooks, EveryFocusableControlShowsFocusAndDisabledInEverySkin) {
    QTemporaryDir tmp;
    for (const char* skin : {"symbios", "atmosphere"}) {
        SCOPED_TRACE(skin);
        Focusable form;
        EditorWindow* window = EditorWindow::of(form);
        QtServices services;
        const fs::path unpacked = fs::path(tmp.path().toStdString()) / skin;
        ASSERT_TRUE(services.unpack_skin(std::string(VX_BIN_DIR "/SKINS/") + skin + ".zip", unpacked.string()));
        services.load_skin(form, (unpacked / "skin.ini").string());
        ASSERT_FALSE(window->styleSheet().isEmpty());
        form.show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        QWidget* elsewhere = test::widget_of<QWidget>(*window->view(), "tune");
        int checked = 0;
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (w->focusPolicy() == Qt::NoFocus || !w->isVisibleTo(window) || w == elsewhere) continue;
            SCOPED_TRACE(w->metaObject()->className() + std::string(" ") + w->objectName().toStdString());
            elsewhere->setFocus(Qt::TabFocusReason);
            const QImage without = w->grab().toImage();
            w->setFocus(Qt::TabFocusReason);
            if (!w->hasFocus()) continue;  // a part that hands its focus on
            EXPECT_NE(w->grab().toImage(), without);
            ++checked;
        }
        EXPECT_GE(checked, 10);
        for (Control* c : form.controls()) {
            SCOPED_TRACE(c->name());
            QWidget* w = window->view()->binding(c->name())->widget();
            elsewhere->setFocus(Qt::TabFocusReason);
            const QImage usable = w->grab().toImage();
            c->set_enabled(false);
            EXPECT_NE(w->grab().toImage(), usable);
            c->set_enabled(true);
        }
        test::widget_of<QWidget>(*window->view(), "volume")->setFocus(Qt::TabFocusReason);
        test::save_shot(*window, std::string("focus-on-a-slider-") + skin);
    }
}

}  // namespace
}  // namespace vx
