// The main window through its widgets: the engine panel and the rack drawn from TForm1, a rack built
// by a user's clicks, editors opened and closed, moves by the mouse and the arrows, the timer, the
// function keys, closing, and the engine started and stopped on the built-in devices.
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QEnterEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "app/fake_drivers.h"
#include "app/fake_services.h"
#include "delays.h"
#include "drivers/builtin_devices.h"
#include "drivers/dsound.h"
#include "drivers/waves.h"
#include "engine/effects.h"
#include "app/chain_file.h"
#include "app/skin_archive.h"
#include "gain_form.h"
#include "gui_main.h"
#include "main_window.h"
#include "qt_services.h"
#include "ui_helpers.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

using test::settle;

constexpr int kGain = 13;

// The main window's form, with the function keys and the close decision recorded.
class RecordingForm : public TForm1 {
public:
    using TForm1::TForm1;
    std::vector<int32_t> keys;
    bool refuse_close = false;
    int close_asks = 0;
    void FormKeyUp(int32_t fkey) override { keys.push_back(fkey); }

protected:
    bool FormClose() override {
        ++close_asks;
        return refuse_close ? false : TForm1::FormClose();
    }
};

fs::path test_folder(const char* what) {
    const fs::path d = fs::temp_directory_path() /
                       (std::string(what) + "-" + std::to_string(::getpid()) + "-" +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(d);
    return d;
}

// Picks an entry of a selector as a user does: opens its list, moves to the entry, presses Return.
bool pick(QComboBox* box, const QString& text) {
    const int i = box->findText(text);
    if (i < 0) return false;
    box->showPopup();
    QAbstractItemView* list = box->view();
    list->setCurrentIndex(box->model()->index(i, 0));
    QTest::keyClick(list, Qt::Key_Return);
    return true;
}

// A shipped skin as the program applies it: unpacked from its archive in the build tree, its sheet
// the whole program's. Off again with qApp->setStyleSheet({}).
void wear_skin(Form& main_form, const char* skin, const fs::path& scratch) {
    const fs::path unpacked = scratch / skin;
    QtServices services;
    ASSERT_TRUE(services.unpack_skin((fs::path(VX_BIN_DIR) / "SKINS" / (std::string(skin) + ".zip")).string(),
                                     unpacked.string()));
    services.load_skin(main_form, (unpacked / "skin.ini").string());
    ASSERT_FALSE(qApp->styleSheet().isEmpty());
    settle();
}

class MainWin : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        unit1_startup();
        dir = test_folder("vx-mainwin");
        form = std::make_unique<RecordingForm>(services, drivers, dir);
        window = std::make_unique<MainWindow>(*form);
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        services.pointer_at = {400, 300};
    }
    void TearDown() override {
        window.reset();
        form.reset();
        settle();
        fs::remove_all(dir);
        effects_startup();
    }
    template <class W> W* w(const std::string& name) { return qobject_cast<W*>(window->widget(name)); }
    QComboBox* kind(int n) { return w<QComboBox>("spSkinComboBox" + std::to_string(n)); }
    QCheckBox* onoff(int n) { return w<QCheckBox>("spSkinCheckRadioBox" + std::to_string(n)); }
    QPushButton* tune(int n) { return w<QPushButton>("spSkinButton" + std::to_string(n)); }
    QToolButton* arrow(int n, const char* which) {
        return window->widget("spSkinUpDown" + std::to_string(n))->findChild<QToolButton*>(QLatin1String(which));
    }
    EffectInstance inst(int n) { return form->rack_table().instance[n - 1]; }
    int count_calls(const std::string& name) {
        return static_cast<int>(std::count(drivers.calls.begin(), drivers.calls.end(), name));
    }

    test::FakeServices services;
    test::RecordingDrivers drivers;
    fs::path dir;
    std::unique_ptr<RecordingForm> form;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWin, DrawsTheEnginePanelTheRackAndRoomForChainsAndSkins) {
    for (Control* c : form->controls()) EXPECT_NE(window->binding(c->name()), nullptr) << c->name();
    EXPECT_EQ(window->windowTitle(), "Varnomix");
    // The next task's controls have their places already.
    for (const char* name : {"ComboBox_PRESETS", "ComboBox_SKINS", "spSkinButton17", "spSkinButton18"})
        EXPECT_NE(window->widget(name), nullptr) << name;
    EXPECT_EQ(w<QPushButton>("spSkinButton17")->text(), "Save FX chain");
    EXPECT_EQ(w<QPushButton>("spSkinButton18")->text(), "Load FX chain");

    // Sixteen rows, as far apart as the pointer moves after a move.
    for (int n = 1; n <= 16; ++n) {
        ASSERT_TRUE(tune(n) && tune(n)->isVisible()) << n;
        EXPECT_EQ(kind(n)->count(), 14);
        EXPECT_EQ(onoff(n)->text(), "Off");
        if (n > 1) {
            EXPECT_EQ(tune(n)->mapTo(window.get(), QPoint()).y() - tune(n - 1)->mapTo(window.get(), QPoint()).y(), 24);
        }
    }
    for (const char* name : {"ScrollBar_waveInGain", "ScrollBar_waveOutGain"})
        EXPECT_EQ(w<QSlider>(name)->orientation(), Qt::Vertical) << name;
    for (const char* name : {"ProgressBar_inlevel", "ProgressBar_outlevel"})
        EXPECT_EQ(w<QProgressBar>(name)->orientation(), Qt::Vertical) << name;
    EXPECT_FALSE(window->widget("EditBufferSize")->isVisible());
    test::expect_nothing_cut(*window, "main window");
    test::save_shot(*window, "main-window");
}

TEST_F(MainWin, RackBuiltThroughTheWidgets) {
    QTest::keyClick(kind(1), Qt::Key_End);  // the last entry: Gain
    ASSERT_NE(inst(1), nullptr);
    EXPECT_EQ(form->rack_table().kind[0], kGain);
    EXPECT_EQ(kind(1)->currentText(), "Gain");
    Form* gain = inst(1)->form;

    QTest::mouseClick(onoff(1), Qt::LeftButton);
    EXPECT_EQ(onoff(1)->text(), "On");
    EXPECT_TRUE(onoff(1)->isChecked());
    EXPECT_EQ(form->rack_table().enabled[0], 1);

    QTest::mouseClick(tune(1), Qt::LeftButton);
    QPointer<EditorWindow> editor = EditorWindow::find(*gain);
    ASSERT_FALSE(editor.isNull());
    EXPECT_TRUE(QTest::qWaitForWindowExposed(editor));
    EXPECT_EQ(editor->windowTitle().toStdString(), gain->caption());
    EXPECT_EQ(tune(1)->text(), "Tune");
    EXPECT_TRUE(tune(1)->isEnabled());

    // Its close button only hides it; Tune shows the same window again.
    editor->close();
    EXPECT_FALSE(editor->isVisible());
    EXPECT_FALSE(gain->visible());
    EXPECT_EQ(inst(1)->form, gain);
    QTest::mouseClick(tune(1), Qt::LeftButton);
    EXPECT_EQ(EditorWindow::find(*gain), editor.data());
    EXPECT_TRUE(editor->isVisible());

    // Another kind takes the old effect and its window away; "--- select ---" empties the slot and
    // leaves it On.
    ASSERT_TRUE(pick(kind(1), "Delay"));
    settle();
    EXPECT_TRUE(editor.isNull());
    ASSERT_NE(inst(1), nullptr);
    EXPECT_NE(dynamic_cast<TDelay_form*>(inst(1)->form), nullptr);
    QTest::keyClick(kind(1), Qt::Key_Home);
    EXPECT_EQ(inst(1), nullptr);
    EXPECT_EQ(onoff(1)->text(), "On");
    QTest::mouseClick(tune(1), Qt::LeftButton);  // nothing to open
    EXPECT_EQ(rack_gate.load(), 1);
}

TEST_F(MainWin, RightClickOnTuneMovesAndNeverOpens) {
    form->slot(2).kind.set_index(kGain);
    EffectInstance gain = inst(2);
    const int h = tune(2)->height();

    QTest::mouseClick(tune(2), Qt::RightButton, {}, QPoint(5, 2));  // upper half: up
    EXPECT_EQ(inst(1), gain);
    EXPECT_EQ(kind(1)->currentText(), "Gain");
    EXPECT_EQ(kind(2)->currentText(), "--- select ---");
    EXPECT_FALSE(gain->form->visible());
    QTest::mouseClick(tune(1), Qt::RightButton, {}, QPoint(5, h - 2));  // lower half: down
    EXPECT_EQ(inst(2), gain);
    EXPECT_FALSE(gain->form->visible());
    ASSERT_EQ(services.pointer_moves.size(), 2u);
    EXPECT_EQ(services.pointer_moves[0].y, 300 - 24);
    EXPECT_EQ(services.pointer_moves[1].y, 300);

    QTest::mouseClick(arrow(2, "down"), Qt::LeftButton);
    EXPECT_EQ(inst(3), gain);
    QTest::mouseClick(arrow(1, "up"), Qt::LeftButton);  // the top row goes nowhere
    EXPECT_EQ(services.pointer_moves.size(), 3u);

    // A left click opens and never moves.
    QTest::mouseClick(tune(3), Qt::LeftButton, {}, QPoint(5, 2));
    EXPECT_EQ(inst(3), gain);
    EXPECT_TRUE(gain->form->visible());
    EXPECT_EQ(services.pointer_moves.size(), 3u);
}

TEST_F(MainWin, FocusFollowsTheForm) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    form->slot(5).kind.set_index(kGain);
    QTest::mouseClick(arrow(5, "up"), Qt::LeftButton);
    EXPECT_EQ(form->focused(), &form->slot(4).kind);
    EXPECT_EQ(QApplication::focusWidget(), kind(4));

    // The user moves the focus elsewhere; the next move brings it to its target again.
    tune(9)->setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(form->focused(), &form->slot(9).tune);
    QTest::mouseClick(arrow(4, "down"), Qt::LeftButton);
    QTest::mouseClick(arrow(5, "up"), Qt::LeftButton);
    EXPECT_EQ(form->focused(), &form->slot(4).kind);
    EXPECT_EQ(QApplication::focusWidget(), kind(4));
}

TEST_F(MainWin, TimerTicksFromCreation) {
    EXPECT_TRUE(window->timer()->isActive());
    EXPECT_EQ(window->timer()->interval(), 100);
    // 40 ms of 48000 Hz stereo queued: the latency label and bar rise towards it.
    drivers.audio_pos = 40 * 192;
    auto* label = w<QLabel>("Label_delay");
    auto* bar = w<QProgressBar>("ProgressBar_Latency");
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->value() >= 38; }, 5000));
    EXPECT_EQ(label->text(), QStringLiteral("Latency %1 ms").arg(bar->value()));
    // A quarter of the rest of the way at each tick: ten ticks at least.
    EXPECT_GE(count_calls("get_audio_pos"), 10);
}

TEST_F(MainWin, LatencyBarWarnsFromTheThreshold) {
    auto* bar = w<QProgressBar>("ProgressBar_Latency");
    auto* threshold = w<QSlider>("TrackBar_Latency_Porog");
    auto* label = w<QLabel>("Label_Latency_Porog");
    EXPECT_FALSE(bar->property(kMeterWarning).toBool());

    // The pointer over the threshold shows its value; leaving shows the caption again.
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), QPointF(3, 3));
    QApplication::sendEvent(threshold, &enter);
    EXPECT_EQ(label->text(), "35 ms");
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(threshold, &leave);
    EXPECT_EQ(label->text(), "Latency");

    // 40 ms queued: above the threshold of 35 the bar turns to the warning colour (and the
    // watchdog drops blocks).
    drivers.audio_pos = 40 * 192;
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar->value() >= 36; }, 5000));
    EXPECT_TRUE(bar->property(kMeterWarning).toBool());
    EXPECT_EQ(bar->palette().color(QPalette::Highlight), kWarningColour);
    EXPECT_GT(count_calls("skip_buffer"), 0);
    // The threshold at the top of its range: the same latency is no longer a warning.
    QTest::keyClick(threshold, Qt::Key_End);
    EXPECT_EQ(form->TrackBar_Latency_Porog.position(), 50);
    EXPECT_EQ(label->text(), "50 ms");
    EXPECT_FALSE(bar->property(kMeterWarning).toBool());
    EXPECT_NE(bar->palette().color(QPalette::Highlight), kWarningColour);
}

TEST_F(MainWin, LevelSlidersHaveZeroAtTheTop) {
    auto* in = w<QSlider>("ScrollBar_waveInGain");
    drivers.take();
    // A click near the top of the groove moves the slider towards the top: towards 0, louder.
    QTest::mouseClick(in, Qt::LeftButton, {}, QPoint(in->width() / 2, 2));
    const int p = form->ScrollBar_waveInGain.position();
    EXPECT_LT(p, 50);
    EXPECT_EQ(in->value(), p);
    const std::vector<std::string> calls = drivers.take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "set_waveIn_level(" + std::to_string(100 - p) + ")"), calls.end());
}

TEST_F(MainWin, FunctionKeysReachTheFormFirst) {
    QWindow* handle = window->windowHandle();
    ASSERT_NE(handle, nullptr);
    QTest::keyRelease(handle, Qt::Key_F9);
    QTest::keyRelease(handle, Qt::Key_F1);
    QTest::keyRelease(handle, Qt::Key_F12);
    QTest::keyRelease(handle, Qt::Key_A);
    QTest::keyRelease(handle, Qt::Key_F13);
    EXPECT_EQ(form->keys, (std::vector<int32_t>{9, 1, 12}));
}

// F1..F12 are the presets' whatever has the focus: a list (which would open its popup on F4), the
// presets list itself, or a control in an effect's editor window. Each key reaches the form once.
TEST_F(MainWin, FunctionKeysLoadPresetsWhateverHasTheFocus) {
    ASSERT_TRUE(pick(kind(1), QStringLiteral("Gain")));
    tune(1)->click();
    settle();
    EditorWindow* editor = EditorWindow::find(*inst(1)->form);
    ASSERT_NE(editor, nullptr);
    auto* editor_slider = editor->findChild<QSlider*>();
    ASSERT_NE(editor_slider, nullptr);
    struct Case {
        QWidget* focus;
        Qt::Key key;
        int32_t fkey;
    };
    const Case cases[] = {
        {kind(3), Qt::Key_F4, 4},
        {w<QComboBox>("ComboBox_PRESETS"), Qt::Key_F4, 4},
        {w<QComboBox>("ComboBox_waveOut"), Qt::Key_F2, 2},
        {editor_slider, Qt::Key_F10, 10},
        {editor_slider, Qt::Key_F1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.focus->objectName().toStdString());
        form->keys.clear();
        c.focus->setFocus();
        QTest::keyClick(c.focus, c.key);
        settle();
        EXPECT_EQ(form->keys, std::vector<int32_t>{c.fkey});
        if (auto* box = qobject_cast<QComboBox*>(c.focus)) EXPECT_FALSE(box->view()->isVisible());
    }
    // With a modifier the key is the desktop's, not a preset's.
    form->keys.clear();
    QTest::keyClick(kind(3), Qt::Key_F4, Qt::AltModifier);
    EXPECT_TRUE(form->keys.empty());
}

// A logout or Ctrl+C in the terminal closes the window as its close button does: the settings are
// written on the way out.
TEST_F(MainWin, TerminationSignalsCloseTheWindowAndKeepTheSettings) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        TearDown();
        SetUp();
        form->TrackBar_Latency_Porog.set_position(17);
        QSignalSpy closed(window.get(), &MainWindow::closed);
        close_on_termination_signals(window.get());
        ASSERT_EQ(::raise(sig), 0);
        EXPECT_TRUE(QTest::qWaitFor([&] { return closed.count() == 1; }, 10000));
        EXPECT_FALSE(window->isVisible());
        std::signal(sig, SIG_DFL);
        std::ifstream in(dir / "face.ini");
        const std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(ini.find("latency=17"), std::string::npos) << ini;
    }
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
}

// In each shipped skin the latency bar turns red from the threshold on, and its figure stays light
// on both the red and the dark background, also after the warning has passed.
TEST_F(MainWin, LatencyBarTurnsRedFromTheThresholdInEverySkin) {
    auto* bar = w<QProgressBar>("ProgressBar_Latency");
    window->timer()->stop();  // its tick would set the bar to the (zero) latency of the stand-in
    const auto luminance = [](QRgb c) { return (299 * qRed(c) + 587 * qGreen(c) + 114 * qBlue(c)) / 1000; };
    for (const char* skin : {"symbios", "atmosphere"}) {
        SCOPED_TRACE(skin);
        const fs::path unpacked = dir / skin;
        ASSERT_EQ(unpack_zip((fs::path(VX_BIN_DIR) / "SKINS" / (std::string(skin) + ".zip")).string(), unpacked.string()),
                  "");
        SkinDescription d;
        ASSERT_TRUE(read_skin((unpacked / "skin.ini").string(), d));
        qApp->setStyleSheet(QString::fromStdString(d.style_sheet));
        for (int latency : {34, 35, 45, 10}) {
            SCOPED_TRACE(latency);
            form->ProgressBar_Latency.set_value(latency);
            settle();
            const QImage img = bar->grab().toImage();
            const QRgb chunk = img.pixel(4, img.height() / 2);
            const bool red = qRed(chunk) > 180 && qGreen(chunk) < 100 && qBlue(chunk) < 100;
            EXPECT_EQ(red, latency >= 35) << std::hex << chunk;
            int brightest = 0;
            for (int x = img.width() / 2 - 12; x <= img.width() / 2 + 12; ++x)
                for (int y = img.height() / 4; y <= 3 * img.height() / 4; ++y)
                    brightest = std::max(brightest, luminance(img.pixel(x, y)));
            EXPECT_GT(brightest, 180) << "the figure is not readable";
        }
        test::save_shot(*bar, std::string("latency-") + skin);
    }
    qApp->setStyleSheet(QString());
}

// The title bar names the chain file and marks a change made through the widgets at once.
TEST_F(MainWin, TitleNamesTheChainFileAndMarksAChange) {
    ChainFile rec;
    rec.version = kChainFileVersion;
    rec.kind[0] = kGain;
    const fs::path lead = dir / "F3 - Lead.pre";
    ASSERT_EQ(write_chain_file(lead.string(), rec), "");
    ASSERT_TRUE(form->load_chain_file(lead.string()));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Varnomix \u2014 F3 - Lead"));
    ASSERT_TRUE(pick(kind(3), "Delay"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Varnomix \u2014 F3 - Lead *"));
    QTest::keyClick(kind(3), Qt::Key_Home);  // taken back
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Varnomix \u2014 F3 - Lead"));
}

// Two editors of one kind are told apart by their titles, the second opens a step below and right
// of the first, and Escape puts an editor away from whatever control has the focus in it.
TEST_F(MainWin, EditorsNameTheirSlotsOpenCascadedAndEscapeHidesThem) {
    form->slot(2).kind.set_index(kGain);
    form->slot(5).kind.set_index(kGain);
    QTest::mouseClick(tune(2), Qt::LeftButton);
    QTest::mouseClick(tune(5), Qt::LeftButton);
    QPointer<EditorWindow> a = EditorWindow::find(*inst(2)->form);
    QPointer<EditorWindow> b = EditorWindow::find(*inst(5)->form);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(b));
    EXPECT_EQ(a->windowTitle(), QStringLiteral("Gain \u2014 slot 2"));
    EXPECT_EQ(b->windowTitle(), QStringLiteral("Gain \u2014 slot 5"));
    EXPECT_EQ(b->pos() - a->pos(), QPoint(EditorWindow::kCascadeStep, EditorWindow::kCascadeStep));
    test::save_shot(*b, "editor-gain-slot-5");

    b->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(b));
    auto* slider = test::widget_of<QSlider>(*b->view(), "ScrollBar_Gain_Left");
    ASSERT_NE(slider, nullptr);
    slider->setFocus();
    const int position = slider->value();
    QTest::keyClick(slider, Qt::Key_Escape);
    EXPECT_FALSE(b->isVisible());
    EXPECT_FALSE(inst(5)->form->visible());
    EXPECT_EQ(slider->value(), position);
    EXPECT_TRUE(a->isVisible());
    // Shown again, in the place it had.
    const QPoint was = b->pos();
    QTest::mouseClick(tune(5), Qt::LeftButton);
    EXPECT_TRUE(b->isVisible());
    EXPECT_EQ(b->pos(), was);

    // A move renames the editor after its new slot.
    QTest::mouseClick(arrow(2, "down"), Qt::LeftButton);
    EXPECT_EQ(a->windowTitle(), QStringLiteral("Gain \u2014 slot 3"));
}

// In each shipped skin the controls that wait for STOP look different while the engine runs, and
// every kind of control shows where the keyboard focus is.
TEST_F(MainWin, DisabledAndFocusedControlsShowInEverySkin) {
    window->timer()->stop();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QWidget* rate = window->widget("rgSampleRate")->findChildren<QAbstractButton*>().value(0);
    ASSERT_NE(rate, nullptr);
    for (const char* skin : {"symbios", "atmosphere"}) {
        SCOPED_TRACE(skin);
        wear_skin(*form, skin, dir);
        tune(16)->setFocus(Qt::TabFocusReason);
        const std::vector<QWidget*> devices = {window->widget("ComboBox_waveIn"), window->widget("ComboBox_waveOut"),
                                               window->widget("cbStereo"), rate};
        std::vector<QImage> stopped;
        for (QWidget* d : devices) stopped.push_back(d->grab().toImage());
        form->BitBtn_Init.click();
        ASSERT_TRUE(form->BitBtn_Reset.enabled());
        settle();
        for (size_t i = 0; i < devices.size(); ++i) {
            SCOPED_TRACE(devices[i]->objectName().toStdString() + " " + devices[i]->metaObject()->className());
            EXPECT_FALSE(devices[i]->isEnabled());
            EXPECT_NE(devices[i]->grab().toImage(), stopped[i]);
        }
        test::save_shot(*window, std::string("main-window-running-") + skin);
        form->BitBtn_Reset.click();
        settle();
        for (size_t i = 0; i < devices.size(); ++i) EXPECT_EQ(devices[i]->grab().toImage(), stopped[i]);

        const std::vector<QWidget*> focusable = {
            window->widget("BitBtn_Tuner"),  window->widget("ComboBox_waveIn"), window->widget("cbStereo"),
            rate,                            window->widget("TrackBar_Latency_Porog"),
            window->widget("ScrollBar_waveOutGain"), onoff(3), kind(3), arrow(3, "up"),
            window->widget("ComboBox_PRESETS")};
        for (QWidget* f : focusable) {
            ASSERT_NE(f, nullptr);
            SCOPED_TRACE(f->objectName().toStdString() + " " + f->metaObject()->className());
            tune(16)->setFocus(Qt::TabFocusReason);
            const QImage without = f->grab().toImage();
            f->setFocus(Qt::TabFocusReason);
            ASSERT_TRUE(f->hasFocus());
            EXPECT_NE(f->grab().toImage(), without);
        }
        tune(16)->setFocus(Qt::TabFocusReason);
        test::save_shot(*window, std::string("main-window-stopped-") + skin);
        qApp->setStyleSheet(QString());
    }
}

TEST_F(MainWin, ClosingAsksTheForm) {
    QSignalSpy closed(window.get(), &MainWindow::closed);
    form->refuse_close = true;
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(closed.count(), 0);

    form->refuse_close = false;
    drivers.take();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(form->close_asks, 2);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(form->visible());
    const std::vector<std::string> calls = drivers.take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "CloseDSound"), calls.end());
}

// --- the real drivers ------------------------------------------------------------------------------

class MainWinLive : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        waves_startup();
        dsound_startup();
        unit1_startup();
        set_builtin_clock_speed(4.0);
        dir = test_folder("vx-mainwin-live");
        drivers = std::make_unique<LibraryDrivers>((dir / "temp" / "live-output.wav").string());
        form = std::make_unique<TForm1>(services, *drivers, dir);
        window = std::make_unique<MainWindow>(*form);
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        window.reset();
        form.reset();
        drivers.reset();
        settle();
        set_builtin_clock_speed(1.0);
        fs::remove_all(dir);
        effects_startup();
        waves_startup();
        dsound_startup();
        unit1_startup();
    }
    template <class W> W* w(const std::string& name) { return qobject_cast<W*>(window->widget(name)); }

    test::FakeServices services;
    std::unique_ptr<LibraryDrivers> drivers;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<MainWindow> window;
    fs::path dir;
};

TEST_F(MainWinLive, StartAndStopOnTheBuiltInDevicesMoveTheMeters) {
    ASSERT_TRUE(pick(w<QComboBox>("ComboBox_waveIn"), kTestSignalName));
    ASSERT_TRUE(pick(w<QComboBox>("ComboBox_waveOut"), kNullOutputName));
    QTest::keyClick(w<QComboBox>("spSkinComboBox1"), Qt::Key_End);
    QTest::mouseClick(w<QCheckBox>("spSkinCheckRadioBox1"), Qt::LeftButton);
    ASSERT_EQ(form->rack_table().kind[0], kGain);

    auto* start = w<QPushButton>("BitBtn_Init");
    auto* stop = w<QPushButton>("BitBtn_Reset");
    auto* in = w<QProgressBar>("ProgressBar_inlevel");
    auto* out = w<QProgressBar>("ProgressBar_outlevel");
    EXPECT_EQ(in->value(), 0);
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(services.messages.empty()) << services.messages[0].text;
    EXPECT_TRUE(stop->isEnabled());
    EXPECT_FALSE(start->isEnabled());
    EXPECT_EQ(start->text(), "START");
    EXPECT_FALSE(w<QComboBox>("ComboBox_waveIn")->isEnabled());

    // The window's own timer moves the meters: the test phrase in, through a Gain at x1, out.
    EXPECT_TRUE(QTest::qWaitFor([&] { return in->value() > 10 && out->value() > 10; }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return w<QLabel>("Label_delay")->text() != "Latency 0 ms"; }, 5000));
    EXPECT_TRUE(w<QLabel>("Label_inlevel")->text().endsWith(" dB"));
    EXPECT_NE(w<QLabel>("Label_inlevel")->text(), "-inf dB");
    // At x1 nothing reaches full scale.
    EXPECT_EQ(w<QProgressBar>("Light_outclip")->value(), 0);
    test::save_shot(*window, "main-window-running");

    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_TRUE(start->isEnabled());
    EXPECT_TRUE(w<QComboBox>("ComboBox_waveIn")->isEnabled());
    EXPECT_EQ(rack_gate.load(), 0);
    EXPECT_TRUE(services.messages.empty());
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// The audio thread marks a sample at full scale; the window's timer lights the output's light.
TEST_F(MainWinLive, AGainAtItsTopLightsTheOutputsClipLightOnly) {
    ASSERT_TRUE(pick(w<QComboBox>("ComboBox_waveIn"), kTestSignalName));
    ASSERT_TRUE(pick(w<QComboBox>("ComboBox_waveOut"), kNullOutputName));
    form->slot(1).kind.set_index(kGain);
    form->slot(1).onoff.set_checked(true);
    auto& gain = dynamic_cast<Tgain_form&>(*form->rack_table().instance[0]->form);
    gain.ScrollBar_Gain_Left.set_position(100);  // x11
    gain.ScrollBar_Gain_Right.set_position(100);
    auto* in = w<QProgressBar>("Light_inclip");
    auto* out = w<QProgressBar>("Light_outclip");
    QTest::mouseClick(w<QPushButton>("BitBtn_Init"), Qt::LeftButton);
    ASSERT_TRUE(form->BitBtn_Reset.enabled());
    EXPECT_TRUE(QTest::qWaitFor([&] { return out->value() == 1; }, 5000));
    EXPECT_TRUE(out->property(kMeterWarning).toBool());
    EXPECT_EQ(in->value(), 0);
    EXPECT_FALSE(in->property(kMeterWarning).toBool());
    test::save_shot(*window, "main-window-clipping");
    for (const char* skin : {"symbios", "atmosphere"}) {
        wear_skin(*form, skin, dir);
        EXPECT_TRUE(QTest::qWaitFor([&] { return out->value() == 1; }, 5000));
        test::save_shot(*window, std::string("main-window-clipping-") + skin);
    }
    qApp->setStyleSheet(QString());
    QTest::mouseClick(w<QPushButton>("BitBtn_Reset"), Qt::LeftButton);
}

}  // namespace
}  // namespace vx
