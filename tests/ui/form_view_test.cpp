// FormView on a form made here with every type of control: each widget follows its control both
// ways, groups become frames, and nothing is cut off.
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <memory>

#include "ui_helpers.h"

namespace vx {
namespace {

using test::count_runs;
using test::settle;
using test::widget_of;

// The geometry of the frame that holds a control, in the view's coordinates.
QRect view_frame(FormView& v, const char* name) {
    QWidget* frame = v.binding(name)->widget()->parentWidget();
    return QRect(frame->mapTo(&v, QPoint(0, 0)), frame->size());
}

struct Everything : Form {
    Everything() : Form("Every control") {
        volume.label = "Volume of the whole rig:";
        volume.hint = "dry to loud";
        band.hint = "  1550 Hz  ";
        level.label = "Level";
        freq.label = "Centre (Hz):";
        mode.add_item("clean");
        mode.add_item("crunch");
        mode.add_item("lead");
        mode.set_index(0);
        tune.bounds = {0, 0, 75, 20};
        volume.group = band.group = level.group = "Tone";
        on.group = mode.group = tune.group = move.group = note.group = "Switches";
        freq.group = plain.group = "";
        rate.group = log.group = status.group = "Status";
        for (Control* c : std::initializer_list<Control*>{&volume, &band, &on, &mode, &tune, &note, &level, &rate,
                                                           &freq, &plain, &log, &move, &status})
            add(*c);
    }
    Slider volume{"volume", 0, 100, 30, 1, 10};
    Slider band{"band", 0, 100, 50, 1, 1, Slider::Orientation::Vertical};
    CheckBox on{"on", " Off", false};
    Selector mode{"mode"};
    Button tune{"tune", "Tune"};
    Label note{"note", "  A long caption that must show whole, every word of it  "};
    Meter level{"level", 0, 100};
    RadioGroup rate{"rate", "  Sampling Frequency (Hz)", {"22050", "32075", "44100", "48000"}, 3};
    TextBox freq{"freq", "100"};
    TextBox plain{"plain", "x"};
    Memo log{"log"};
    UpDown move{"move"};
    Header status{"status", 3};
};

class AllControls : public ::testing::Test {
protected:
    void SetUp() override {
        form = std::make_unique<Everything>();
        window = EditorWindow::of(*form);
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    }
    void TearDown() override {
        form.reset();
        settle();
    }
    FormView& view() { return *window->view(); }

    std::unique_ptr<Everything> form;
    QPointer<EditorWindow> window;
};

TEST_F(AllControls, GroupsAreFramesInOrderOfFirstAppearance) {
    QStringList titles;
    for (QGroupBox* g : view().findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly)) titles << g->title();
    EXPECT_EQ(titles, (QStringList{"Tone", "Switches", "Status"}));
    // The radio group is a frame of its own, inside its group's.
    auto* rate = widget_of<QGroupBox>(view(), "rate");
    ASSERT_NE(rate, nullptr);
    EXPECT_EQ(rate->title(), "Sampling Frequency (Hz)");
    EXPECT_EQ(rate->parentWidget()->property("title").toString(), "Status");
    test::expect_nothing_cut(*window, "every control");
    test::save_shot(*window, "every-control");
    // A slider without a label is named by its hint.
    EXPECT_EQ(qobject_cast<QLabel*>(view().binding("band")->caption())->text(), "1550 Hz");
    EXPECT_EQ(qobject_cast<QLabel*>(view().binding("volume")->caption())->text(), "Volume of the whole rig:");
    EXPECT_EQ(view().binding("volume")->widget()->toolTip(), "dry to loud");
}

TEST_F(AllControls, SlidersBothWays) {
    int runs = 0;
    count_runs(form->volume.on_change, runs);
    auto* s = widget_of<QSlider>(view(), "volume");
    auto* value = qobject_cast<QLabel*>(view().binding("volume")->readout());
    QTest::keyClick(s, Qt::Key_PageUp);
    EXPECT_EQ(form->volume.position(), 40);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(value->text(), "40");
    form->volume.set_range(0, 20);  // clamps the position: one run, the widget follows
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(s->maximum(), 20);
    EXPECT_EQ(s->value(), 20);
    EXPECT_EQ(value->text(), "20");

    // A handler that moves its own slider again: the widget ends where the model ends.
    form->volume.set_range(0, 100);
    runs = 0;
    form->volume.on_change = [&] {
        ++runs;
        if (form->volume.position() % 10 != 0) form->volume.set_position(form->volume.position() / 10 * 10);
    };
    QTest::keyClick(s, Qt::Key_Right);  // 21, snapped back to 20
    EXPECT_EQ(form->volume.position(), 20);
    EXPECT_EQ(s->value(), 20);
    EXPECT_EQ(runs, 2);

    // Vertical sliders have their minimum at the top, as in the model.
    auto* band = widget_of<QSlider>(view(), "band");
    EXPECT_EQ(band->orientation(), Qt::Vertical);
    EXPECT_TRUE(band->invertedAppearance());
}

TEST_F(AllControls, SelectorMapsBothWays) {
    int changes = 0, selects = 0;
    count_runs(form->mode.on_change, changes);
    count_runs(form->mode.on_select, selects);
    auto* box = widget_of<QComboBox>(view(), "mode");
    ASSERT_EQ(box->count(), 3);
    EXPECT_EQ(box->currentIndex(), 0);

    form->mode.set_index(2);
    EXPECT_EQ(box->currentIndex(), 2);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(selects, 1);

    QTest::keyClick(box, Qt::Key_Up);  // the user picks "crunch"
    EXPECT_EQ(form->mode.index(), 1);
    EXPECT_EQ(form->mode.text(), "crunch");
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(selects, 2);

    form->mode.set_text("There is no Effects");
    EXPECT_EQ(box->currentIndex(), -1);
    EXPECT_EQ(box->placeholderText(), "There is no Effects");
    form->mode.clear();
    form->mode.add_item("only");
    EXPECT_EQ(box->count(), 1);
    EXPECT_EQ(box->itemText(0), "only");
}

TEST_F(AllControls, ButtonClickAndMouseUp) {
    int clicks = 0, ups = 0;
    Button::MouseButton last = Button::MouseButton::Middle;
    int last_y = -1;
    count_runs(form->tune.on_click, clicks);
    form->tune.on_mouse_up = [&](Button::MouseButton b, int, int y) {
        ++ups;
        last = b;
        last_y = y;
    };
    auto* b = widget_of<QPushButton>(view(), "tune");
    EXPECT_EQ(b->text(), "Tune");
    const int h = b->height();

    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(5, h / 2));
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(ups, 1);
    EXPECT_EQ(last, Button::MouseButton::Left);

    // A right click never clicks; its y is told in the control's own 20-pixel height.
    QTest::mouseClick(b, Qt::RightButton, {}, QPoint(5, 1));
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(ups, 2);
    EXPECT_EQ(last, Button::MouseButton::Right);
    EXPECT_LT(last_y, 10);
    QTest::mouseClick(b, Qt::RightButton, {}, QPoint(5, h - 2));
    EXPECT_EQ(ups, 3);
    EXPECT_GE(last_y, 10);
    EXPECT_LT(last_y, 20);

    // A release outside the button is no release over it.
    QTest::mousePress(b, Qt::RightButton, {}, QPoint(5, 5));
    QTest::mouseRelease(b, Qt::RightButton, {}, QPoint(5, h + 30));
    EXPECT_EQ(ups, 3);

    form->tune.set_caption("wait");
    form->tune.set_enabled(false);
    EXPECT_EQ(b->text(), "wait");
    EXPECT_FALSE(b->isEnabled());
    QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
}

TEST_F(AllControls, CheckBoxAndRadioGroupBothWays) {
    int clicks = 0, radio = 0;
    form->on.on_click = [&] {
        ++clicks;
        form->on.set_caption(form->on.checked() ? "On" : "Off");
    };
    count_runs(form->rate.on_click, radio);
    auto* on = widget_of<QCheckBox>(view(), "on");
    EXPECT_EQ(on->text(), "Off");
    QTest::mouseClick(on, Qt::LeftButton);
    EXPECT_TRUE(form->on.checked());
    EXPECT_EQ(on->text(), "On");
    EXPECT_EQ(clicks, 1);

    auto buttons = widget_of<QGroupBox>(view(), "rate")->findChildren<QRadioButton*>();
    ASSERT_EQ(buttons.size(), 4);
    EXPECT_TRUE(buttons[3]->isChecked());
    QTest::mouseClick(buttons[0], Qt::LeftButton, {}, QPoint(6, buttons[0]->height() / 2));
    EXPECT_EQ(form->rate.index(), 0);
    EXPECT_EQ(radio, 1);
    form->rate.set_index(2);
    EXPECT_TRUE(buttons[2]->isChecked());
    EXPECT_FALSE(buttons[0]->isChecked());
    EXPECT_EQ(radio, 2);
    form->rate.set_index(-1);  // a stored value outside the list: nothing selected
    for (QRadioButton* r : buttons) EXPECT_FALSE(r->isChecked());
}

TEST_F(AllControls, TextBoxKeysGoThroughTheFilter) {
    int changes = 0;
    count_runs(form->freq.on_change, changes);
    form->freq.key_filter = [](char& k) { return k == 8 || (k >= '0' && k <= '9'); };
    auto* edit = widget_of<QLineEdit>(view(), "freq");
    EXPECT_EQ(edit->text(), "100");
    QTest::keyClicks(edit, "1a2");
    EXPECT_EQ(form->freq.text(), "10012");
    EXPECT_EQ(edit->text(), "10012");
    EXPECT_EQ(changes, 2);
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ(edit->text(), "1001");
    EXPECT_EQ(changes, 3);
    // Paste and delete would bypass the filter: they change nothing.
    QGuiApplication::clipboard()->setText("abc");
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Home);
    QTest::keyClick(edit, Qt::Key_Delete);
    EXPECT_EQ(edit->text(), "1001");
    EXPECT_EQ(form->freq.text(), "1001");
    form->freq.set_text("440");
    EXPECT_EQ(edit->text(), "440");
    EXPECT_EQ(changes, 4);
}

TEST_F(AllControls, DisplaysFollowTheModel) {
    form->level.set_value(40);
    EXPECT_EQ(widget_of<QProgressBar>(view(), "level")->value(), 40);
    form->log.add_line("first");
    form->log.add_line("second");
    EXPECT_EQ(widget_of<QPlainTextEdit>(view(), "log")->toPlainText(), "first\nsecond");
    form->status.set_section(1, "porog 171");
    auto sections = view().binding("status")->widget()->findChildren<QLabel*>();
    ASSERT_EQ(sections.size(), 3);
    EXPECT_EQ(sections[1]->text(), "porog 171");
    form->note.set_caption("changed");
    EXPECT_EQ(widget_of<QLabel>(view(), "note")->text(), "changed");

    int ups = 0, downs = 0;
    form->move.on_up = [&] { ++ups; };
    form->move.on_down = [&] { ++downs; };
    QWidget* arrows = view().binding("move")->widget();
    QTest::mouseClick(arrows->findChild<QToolButton*>("up"), Qt::LeftButton);
    QTest::mouseClick(arrows->findChild<QToolButton*>("down"), Qt::LeftButton);
    QTest::mouseClick(arrows->findChild<QToolButton*>("down"), Qt::LeftButton);
    EXPECT_EQ(ups, 1);
    EXPECT_EQ(downs, 2);
}

TEST_F(AllControls, VisibleAndEnabledFollowTheModel) {
    ControlBinding* v = view().binding("volume");
    form->volume.set_visible(false);
    EXPECT_FALSE(v->widget()->isVisible());
    EXPECT_FALSE(v->caption()->isVisible());
    EXPECT_FALSE(v->readout()->isVisible());
    form->volume.set_visible(true);
    EXPECT_TRUE(v->widget()->isVisible());
    form->volume.set_enabled(false);
    EXPECT_FALSE(v->widget()->isEnabled());
    int runs = 0;
    count_runs(form->volume.on_change, runs);
    QTest::keyClick(v->widget(), Qt::Key_Right);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(form->volume.position(), 30);
}

TEST_F(AllControls, DestroyedFormTakesItsWindowAndLeavesNoObserver) {
    form.reset();
    settle();
    EXPECT_TRUE(window.isNull());
}

TEST(FormViewAlone, OutlivedFormLeavesDeadWidgets) {
    auto form = std::make_unique<Everything>();
    FormView view(*form);
    auto* s = widget_of<QSlider>(view, "volume");
    form.reset();
    EXPECT_EQ(view.form(), nullptr);
    EXPECT_FALSE(s->isEnabled());
    s->setValue(80);  // reaches no control
}

// A slider's value in its unit stands after its position (a vertical slider, too narrow, has it in
// its tooltip), follows the slider, and catches up with what it reads besides the position (the
// engine's rate, another control) without a notice.
TEST(FormViewUnits, BesideTheSliderAndInTheTooltipOfANarrowOne) {
    struct Units : Form {
        Units() : Form("units") {
            time.unit_text = [this] { return std::to_string(time.position() * samples_per_step) + " samples"; };
            band.hint = "  125 Hz  ";
            band.unit_text = [this] { return std::to_string(band.position()) + " dB"; };
            add(time);
            add(band);
            add(plain);
        }
        int samples_per_step = 520;
        Slider time{"time", 0, 100, 75};
        Slider band{"band", 0, 100, 50, 1, 1, Slider::Orientation::Vertical};
        Slider plain{"plain", 0, 10, 3};
    } form;
    FormView view(form);
    view.adjustSize();
    view.show();
    QApplication::processEvents();

    auto* unit = qobject_cast<QLabel*>(view.binding("time")->unit());
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->text(), "39000 samples");
    EXPECT_GT(unit->geometry().left(), view.binding("time")->readout()->geometry().right());
    QTest::keyClick(view.binding("time")->widget(), Qt::Key_Left);
    EXPECT_EQ(unit->text(), "38480 samples");
    form.time.set_position(10);
    EXPECT_EQ(unit->text(), "5200 samples");
    form.samples_per_step = 480;  // no notice: the view looks again by itself
    QTRY_COMPARE(unit->text(), QString("4800 samples"));

    EXPECT_EQ(view.binding("band")->unit(), nullptr);
    EXPECT_EQ(view.binding("band")->widget()->toolTip(), "125 Hz\n50 dB");
    form.band.set_position(20);
    EXPECT_EQ(view.binding("band")->widget()->toolTip(), "125 Hz\n20 dB");
    // A slider whose position is its value has nothing more to show.
    EXPECT_EQ(view.binding("plain")->unit(), nullptr);
}

// Groups that stood side by side in their bounds become columns; one spanning both goes below.
TEST(FormViewLayout, GroupsSideBySideFollowTheirBounds) {
    struct Sides : Form {
        Sides() : Form("sides") {
            a.group = "Left";
            b.group = "Right";
            c.group = "Bottom";
            a.bounds = {0, 0, 200, 20};
            b.bounds = {300, 0, 200, 20};
            c.bounds = {0, 100, 500, 20};
            add(a);
            add(c);
            add(b);
        }
        Slider a{"a", 0, 10, 0}, b{"b", 0, 10, 0};
        CheckBox c{"c", "wide", false};
    } form;
    FormView view(form);
    view.adjustSize();
    view.show();
    QApplication::processEvents();
    auto frame = [&](const char* n) { return view.binding(n)->widget()->parentWidget()->geometry(); };
    EXPECT_EQ(frame("a").top(), frame("b").top());
    EXPECT_GT(frame("b").left(), frame("a").right());
    EXPECT_GT(frame("c").top(), frame("a").bottom());
    EXPECT_GT(frame("c").top(), frame("b").bottom());
}

// Compact controls keep the rows and columns of their bounds: a 2 x 2 grid of boxes.
TEST(FormViewLayout, CompactControlsKeepTheirGrid) {
    struct Grid : Form {
        Grid() : Form("grid") {
            int i = 0;
            for (TextBox* t : {&a, &b, &c, &d}) {
                t->bounds = {(i % 2) * 60, (i / 2) * 24, 50, 21};
                add(*t);
                ++i;
            }
        }
        TextBox a{"a", "1"}, b{"b", "2"}, c{"c", "3"}, d{"d", "4"};
    } form;
    FormView view(form);
    view.show();
    QApplication::processEvents();
    auto at = [&](const char* n) { return view.binding(n)->widget()->geometry(); };
    EXPECT_EQ(at("a").top(), at("b").top());
    EXPECT_EQ(at("c").top(), at("d").top());
    EXPECT_GT(at("c").top(), at("a").bottom());
    EXPECT_EQ(at("a").left(), at("c").left());
    EXPECT_GT(at("b").left(), at("a").right());
}

// A large editor: three rows of 16 vertical sliders, 64 boxes in four columns beside them, a row
// of buttons and a status line. It must fit a desktop and show every caption whole.
TEST(FormViewLayout, LargeEditorFitsAndShowsEveryCaption) {
    struct Large : Form {
        Large() : Form("large", 713, 619) {
            const char* rows[] = {"Equalizer Left (Mono)", "Equalizer Right", "Thresholds"};
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 16; ++k) {
                    auto& s = sliders[r * 16 + k];
                    s = std::make_unique<Slider>(name('s', r * 16 + k), 0, 100, 50, 1, 1,
                                                 Slider::Orientation::Vertical);
                    s->group = rows[r];
                    if (r < 2) s->hint = QStringLiteral("  %1 Hz  ").arg(50 + 100 * k).toStdString();
                    s->bounds = {8 + k * 26, 20 + r * 150, 17, 110};
                    add(*s);
                }
            for (int k = 0; k < 64; ++k) {
                auto& t = boxes[k];
                t = std::make_unique<TextBox>(name('e', k), std::to_string(k * 100));
                t->group = "Frequencies";
                t->bounds = {460 + (k / 16) * 62, 20 + (k % 16) * 24, 56, 21};
                add(*t);
            }
            const char* captions[] = {"reset left", "reset right", "- 30 dB", "-40 dB", "-50 dB", "Show freq dsp"};
            for (int k = 0; k < 6; ++k) {
                auto& b = buttons[k];
                b = std::make_unique<Button>(name('b', k), captions[k]);
                b->group = "Thresholds";
                b->bounds = {8 + k * 70, 470, 66, 25};
                add(*b);
            }
            status.bounds = {0, 590, 713, 19};
            add(status);
        }
        static std::string name(char prefix, int k) { return QStringLiteral("%1%2").arg(prefix).arg(k).toStdString(); }
        std::unique_ptr<Slider> sliders[48];
        std::unique_ptr<TextBox> boxes[64];
        std::unique_ptr<Button> buttons[6];
        Header status{"status", 4};
    } form;
    EditorWindow* w = EditorWindow::of(form);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    test::expect_nothing_cut(*w, "large");
    test::save_shot(*w, "large-editor");
    EXPECT_LE(w->width(), 1280);
    EXPECT_LE(w->height(), 1000);
    // The boxes stand beside the sliders, and the status line spans the bottom.
    const QRect boxes = view_frame(*w->view(), "e0");
    const QRect eq = view_frame(*w->view(), "s0");
    EXPECT_GT(boxes.left(), eq.right());
    EXPECT_GT(w->view()->binding("status")->widget()->mapTo(w->view(), QPoint(0, 0)).y(), boxes.bottom());
}

}  // namespace
}  // namespace vx
