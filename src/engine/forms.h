// Toolkit-neutral model of windows and controls. Every editor and the main window are built from
// these, so their whole behaviour runs without a display; the Qt layer only draws them and routes
// a user's action to the same setter that code calls.
//
// Notification rules that restoring settings relies on:
//   Slider::set_position clamps into min..max and runs on_change only when the position changes.
//   CheckBox::set_checked runs on_click every time (a plain check box: only on a change).
//   Selector runs on_change when its shown text changes, on_select on every selection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vx {

class Control {
public:
    enum class Type { Slider, CheckBox, Selector, Button, Label, Meter, RadioGroup, TextBox, Memo, UpDown, Header, Curve };

    Control(std::string name, Type type) : name_(std::move(name)), type_(type) {}
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    virtual ~Control() = default;

    const std::string& name() const { return name_; }
    Type type() const { return type_; }
    static const char* type_name(Type t);

    bool enabled() const { return enabled_; }
    void set_enabled(bool e);
    bool visible() const { return visible_; }
    void set_visible(bool v);

    // Placement in the window, in pixels; a view may use it or lay out by itself.
    struct Rect { int left = 0, top = 0, width = 0, height = 0; };
    Rect bounds;
    // Controls with the same group name belong together on screen (a frame, a column).
    std::string group;
    std::string hint;

    // Observers are told after any change of the control's state; they must not run handlers.
    using Observer = std::function<void(const Control&)>;
    int observe(Observer o);
    void unobserve(int id);

protected:
    void notify();

private:
    std::string name_;
    Type type_;
    bool enabled_ = true;
    bool visible_ = true;
    std::vector<std::pair<int, Observer>> observers_;
    int next_observer_ = 1;
};

class Slider : public Control {
public:
    enum class Orientation { Horizontal, Vertical };
    Slider(std::string name, int min, int max, int position, int small_step = 1, int large_step = 1,
           Orientation o = Orientation::Horizontal);

    int min() const { return min_; }
    int max() const { return max_; }
    int position() const { return position_; }
    int small_step() const { return small_step_; }
    int large_step() const { return large_step_; }
    Orientation orientation() const { return orientation_; }

    // Clamps into min..max; runs on_change only if the position changed.
    void set_position(int p);
    // Changes the range; the position is clamped into it (running on_change if that moves it).
    void set_range(int min, int max);

    std::string label;  // caption shown beside the slider, if any
    std::function<void()> on_change;
    // The value the effect uses, in its unit ("812.5 ms (39000 samples)"): what the handler stored by
    // its law (also where a new instance or a restored block set it without moving the slider); set
    // by the kind. Empty where the position is the value. It may change without a notice.
    std::function<std::string()> unit_text;
    std::string unit_value() const { return unit_text ? unit_text() : std::string(); }
    // The pointer entering and leaving the slider; a view calls these.
    void mouse_enter() { if (on_mouse_enter) on_mouse_enter(); }
    void mouse_leave() { if (on_mouse_leave) on_mouse_leave(); }
    std::function<void()> on_mouse_enter;
    std::function<void()> on_mouse_leave;

private:
    int min_, max_, position_, small_step_, large_step_;
    Orientation orientation_;
};

class CheckBox : public Control {
public:
    // A skin check box runs its click handler on every set; a plain one only on a change.
    CheckBox(std::string name, std::string caption, bool checked, bool plain = false);
    bool checked() const { return checked_; }
    bool plain() const { return plain_; }
    void set_checked(bool c);
    const std::string& caption() const { return caption_; }
    void set_caption(std::string c);
    std::function<void()> on_click;

private:
    std::string caption_;
    bool checked_;
    bool plain_;
};

class Selector : public Control {
public:
    explicit Selector(std::string name);
    const std::vector<std::string>& items() const { return items_; }
    int index() const { return index_; }  // -1: nothing selected
    const std::string& text() const { return text_; }

    void clear();
    void add_item(std::string item);
    // From code or by the user: on_change when the shown text changes, then on_select always.
    void set_index(int i);
    // Shows a text without selecting an entry (index -1); on_change if the text changed.
    void set_text(std::string t);

    std::function<void()> on_change;
    std::function<void()> on_select;

private:
    std::vector<std::string> items_;
    int index_ = -1;
    std::string text_;
};

class Button : public Control {
public:
    enum class MouseButton { Left, Right, Middle };
    Button(std::string name, std::string caption);
    const std::string& caption() const { return caption_; }
    void set_caption(std::string c);
    // A user's click; does nothing while the button is disabled.
    void click();
    // A user's mouse release at (x, y) inside the button.
    void mouse_up(MouseButton b, int x, int y);
    std::function<void()> on_click;
    std::function<void(MouseButton, int x, int y)> on_mouse_up;

private:
    std::string caption_;
};

class Label : public Control {
public:
    Label(std::string name, std::string caption);
    const std::string& caption() const { return caption_; }
    void set_caption(std::string c);

private:
    std::string caption_;
};

// A level or load bar.
class Meter : public Control {
public:
    Meter(std::string name, int min, int max);
    int min() const { return min_; }
    int max() const { return max_; }
    int value() const { return value_; }
    void set_value(int v);  // clamped into min..max
    // From this value on the bar shows a warning colour; above max: never.
    int warning_from() const { return warning_from_; }
    void set_warning_from(int v);
    std::string label;
    std::string unit;  // shown after the value ("%", "ms"); "" for a bare number

private:
    int min_, max_, value_;
    int warning_from_;
};

class RadioGroup : public Control {
public:
    RadioGroup(std::string name, std::string caption, std::vector<std::string> items, int index);
    const std::string& caption() const { return caption_; }
    const std::vector<std::string>& items() const { return items_; }
    int index() const { return index_; }
    // Runs on_click when the selection changes.
    void set_index(int i);
    std::function<void()> on_click;

private:
    std::string caption_;
    std::vector<std::string> items_;
    int index_;
};

class TextBox : public Control {
public:
    TextBox(std::string name, std::string text);
    const std::string& text() const { return text_; }
    // Runs on_change if the text changed.
    void set_text(std::string t);
    // A typed key: the filter may change it or drop it (returning false); a kept character is
    // appended, a backspace (8) removes the last character.
    void key_press(char key);
    std::function<bool(char& key)> key_filter;
    std::function<void()> on_change;
    std::string label;

private:
    std::string text_;
};

class Memo : public Control {
public:
    explicit Memo(std::string name);
    const std::vector<std::string>& lines() const { return lines_; }
    void set_lines(std::vector<std::string> l);
    void add_line(std::string l);

private:
    std::vector<std::string> lines_;
};

class UpDown : public Control {
public:
    explicit UpDown(std::string name);
    void click_up();
    void click_down();
    std::function<void()> on_up;
    std::function<void()> on_down;
};

// A status header: a row of text sections.
class Header : public Control {
public:
    Header(std::string name, int sections);
    const std::vector<std::string>& sections() const { return sections_; }
    void set_section(int i, std::string text);

private:
    std::vector<std::string> sections_;
};

// A picture of what an effect does: series of points over two axes, drawn by the view and read by
// tests. The effect computes the points on the user-interface thread, from a private instance or
// from its coefficients, never from the instance the audio thread runs. Points may be computed on
// demand: invalidate() marks them stale and series() runs the source again before it answers.
class Curve : public Control {
public:
    enum class Scale { Linear, Log };
    struct Axis {
        std::string label;  // with its unit: "Hz", "dB", "ms"
        double min = 0.0, max = 1.0;
        Scale scale = Scale::Linear;
        // Fitted by the view to the points: +-(the largest magnitude, rounded up to 1, 2, 2.5 or 5 x 10^n).
        bool fit = false;
    };
    enum class Style {
        Line,    // the points joined
        Bars,    // a bar from the x axis (or 0, where the y range holds it) up to each point
        Marker,  // a vertical line at each x (y ignored)
        Span,    // a shaded stretch between x[0] and x[1], x[2] and x[3], ... (y ignored)
    };
    struct Series {
        std::string name;
        Style style = Style::Line;
        std::vector<double> x, y;
    };

    Curve(std::string name, std::string caption, std::string what, Axis x, Axis y);
    const std::string& caption() const { return caption_; }
    // One line on what the picture shows (the --controls listing prints it).
    const std::string& what() const { return what_; }
    const Axis& x_axis() const { return x_; }
    const Axis& y_axis() const { return y_; }
    void set_axes(Axis x, Axis y);

    // The points; runs the source first when they are stale.
    const std::vector<Series>& series() const;
    void set_series(std::vector<Series> s);
    // The source of the points on demand; the points are stale until it has run.
    void set_source(std::function<std::vector<Series>()> source);
    // The settings changed: the points are stale, and the view is told to draw again.
    void invalidate();
    bool stale() const { return stale_; }
    // How many times the source has run (tests count recomputations).
    int computations() const { return computations_; }

private:
    std::string caption_, what_;
    Axis x_, y_;
    mutable std::vector<Series> series_;
    std::function<std::vector<Series>()> source_;
    mutable bool stale_ = false;
    mutable int computations_ = 0;
};

// After every handler of the form's present controls (a slider's change, a click, a choice) runs
// `after`; for pictures that follow the settings. Call it once the handlers are in place.
class Form;
void after_each_change(Form& form, const std::function<void()>& after);

// A window: the controls in order, a caption, a size, and show / hide / close.
class Form {
public:
    explicit Form(std::string caption, int client_width = 400, int client_height = 300);
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;
    // Tells the window's observers once, with destroyed() true, so that a view can let go of it.
    virtual ~Form();

    const std::string& caption() const { return caption_; }
    void set_caption(std::string c);
    int client_width() const { return client_width_; }
    int client_height() const { return client_height_; }
    void set_client_size(int w, int h);
    bool fixed_size = true;
    bool centered = true;
    bool caption_buttons = false;

    const std::vector<Control*>& controls() const { return controls_; }
    // The control that has the keyboard focus (null: none); views follow it.
    Control* focused() const { return focused_; }
    void set_focus(Control* c);
    Control* find(const std::string& name) const;
    template <class C> C* find_as(const std::string& name) const { return dynamic_cast<C*>(find(name)); }

    bool visible() const { return visible_; }
    // Shows the window; the first show runs FormShow with the shown-once flag still clear.
    void show();
    void hide();
    // Hides the window for good; returns false (and stays as it was) if FormClose refuses.
    bool close();

    // Skin data loaded at the first show ("temp/skin.ini" below the program folder).
    std::string skin_path;
    int32_t shown_once = 0;

    // Observers of the window itself (visibility, caption, skin, its end).
    using Observer = std::function<void(const Form&)>;
    int observe(Observer o);
    void unobserve(int id);
    // True only while the observers hear of the window's end: its controls are gone by then, and an
    // observer must not touch them nor the window once it returns.
    bool destroyed() const { return destroyed_; }

    // Where the first show of every editor looks for the current skin; set by the main window.
    static std::string& skin_folder();

protected:
    // Registers a control member; the order of calls is the order of the controls.
    template <class C> C& add(C& c) { controls_.push_back(&c); return c; }
    virtual void FormShow();
    // Return false to refuse closing.
    virtual bool FormClose() { return true; }
    void notify();

private:
    std::string caption_;
    int client_width_, client_height_;
    std::vector<Control*> controls_;
    Control* focused_ = nullptr;
    bool visible_ = false;
    bool destroyed_ = false;
    std::vector<std::pair<int, Observer>> observers_;
    int next_observer_ = 1;
};

// --- What an editor needs from the desktop --------------------------------------------------
// The effects know no toolkit: their message boxes and file dialogs go through the dialogs the
// program installs (the desktop's, the console's, a test's). Without any, a message goes to stderr
// and every file dialog counts as cancelled. User-interface thread only.
struct FileDialogRequest {
    std::string title;
    std::vector<std::string> filters;  // e.g. "wav (*.wav)"
    std::string file_name;             // initial name, may be empty
};

class EditorDialogs {
public:
    virtual ~EditorDialogs() = default;
    // A plain message box with an OK button, and a warning dialog with one.
    virtual void message(const std::string& text) = 0;
    virtual void warning(const std::string& text) = 0;
    // The chosen path, or nothing when the user cancelled.
    virtual std::optional<std::string> open_file(const FileDialogRequest& r) = 0;
    virtual std::optional<std::string> save_file(const FileDialogRequest& r) = 0;
};

// Installs `d` (null: the fallback) and returns the one installed before.
EditorDialogs* set_editor_dialogs(EditorDialogs* d);
EditorDialogs& editor_dialogs();

// A periodic timer of a window, run on the user-interface thread. Whatever drives the program's
// loop advances all timers (advance_form_timers); a test runs one tick by hand with tick().
class FormTimer {
public:
    explicit FormTimer(int interval_ms);
    ~FormTimer();
    FormTimer(const FormTimer&) = delete;
    FormTimer& operator=(const FormTimer&) = delete;

    int interval_ms() const { return interval_ms_; }
    bool enabled = true;
    std::function<void()> on_timer;
    void tick() {
        if (on_timer) on_timer();
    }

private:
    friend void advance_form_timers(int elapsed_ms);
    int interval_ms_;
    int elapsed_ms_ = 0;
};

// Lets `elapsed_ms` pass for every enabled timer; each whose interval has passed ticks once.
void advance_form_timers(int elapsed_ms);

}  // namespace vx
