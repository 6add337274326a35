// The right-click menu of slot controls: "MIDI learn" binds the next control change, "MIDI forget"
// drops it; controls a binding cannot name get no menu.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>

#include "app/Unit1.h"
#include "app/fake_drivers.h"
#include "app/fake_services.h"
#include "app/midi_control.h"
#include "editor_window.h"
#include "engine/effects.h"
#include "engine/program_folder.h"
#include "form_view.h"
#include "gui_main.h"
#include "main_window.h"
#include "ui/ui_helpers.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

class MidiMenu : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        unit1_startup();
        set_settings_read_only(false);
        dir = fs::temp_directory_path() / ("vx-midimenu-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "PRESETS");
        form = std::make_unique<TForm1>(services, drivers, dir);
        window = std::make_unique<MainWindow>(*form);
        form->show();
        offer_midi_menu(form->midi());
    }
    void TearDown() override {
        set_control_menu(nullptr);
        window.reset();
        form.reset();
        test::settle();
        fs::remove_all(dir);
        effects_startup();
    }
    // Right-clicks `w` and returns the menu's entries with their enabled state; `choose` (if not
    // empty) is triggered.
    std::vector<std::pair<std::string, bool>> menu_of(QWidget* w, const QString& choose = {}) {
        std::vector<std::pair<std::string, bool>> seen;
        QObject scope;  // a menu that never opened leaves no check pending past this call
        QTimer::singleShot(0, &scope, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr) return;
            for (QAction* a : menu->actions()) {
                seen.emplace_back(a->text().toStdString(), a->isEnabled());
                if (a->text() == choose) a->trigger();
            }
            menu->close();
        });
        emit w->customContextMenuRequested(QPoint(2, 2));
        return seen;
    }
    void send_cc(int controller, int value) {
        const unsigned char m[3] = {0xB0, static_cast<unsigned char>(controller), static_cast<unsigned char>(value)};
        form->midi().receive(m, 3);
        form->midi().drain();
    }

    test::FakeServices services;
    test::RecordingDrivers drivers;
    fs::path dir;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MidiMenu, LearnAndForgetFromTheRackAndAnEditor) {
    using Entries = std::vector<std::pair<std::string, bool>>;
    form->slot(1).kind.set_index(13);  // Gain
    QWidget* onoff = window->widget("spSkinCheckRadioBox1");
    ASSERT_NE(onoff, nullptr);
    EXPECT_EQ(menu_of(onoff, "MIDI learn"), (Entries{{"MIDI learn", true}, {"MIDI forget", false}}));
    send_cc(64, 127);
    EXPECT_TRUE(form->slot(1).onoff.checked());
    send_cc(64, 0);
    EXPECT_FALSE(form->slot(1).onoff.checked());
    EXPECT_EQ(menu_of(onoff, "MIDI forget"), (Entries{{"MIDI learn", true}, {"MIDI forget", true}}));
    send_cc(64, 127);
    EXPECT_FALSE(form->slot(1).onoff.checked());

    // A slider in the slot's editor.
    Form& gain = *form->rack_table().instance[0]->form;
    QTest::mouseClick(qobject_cast<QPushButton*>(window->widget("spSkinButton1")), Qt::LeftButton);
    EditorWindow* editor = EditorWindow::find(gain);
    ASSERT_NE(editor, nullptr);
    QSlider* mono = editor->findChild<QSlider*>("ScrollBar_Gain_Mono");
    ASSERT_NE(mono, nullptr);
    menu_of(mono, "MIDI learn");
    send_cc(11, 127);
    EXPECT_EQ(gain.find_as<Slider>("ScrollBar_Gain_Mono")->position(), 100);
    EXPECT_EQ(mono->value(), 100);

    // The engine panel's controls are not a slot's: no menu.
    EXPECT_TRUE(menu_of(window->widget("ScrollBar_waveOutGain")).empty());
}

}  // namespace
}  // namespace vx
