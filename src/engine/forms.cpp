#include "forms.h"

#include <algorithm>
#include <cstdio>

namespace vx {

const char* Control::type_name(Type t) {
    switch (t) {
        case Type::Slider: return "slider";
        case Type::CheckBox: return "checkbox";
        case Type::Selector: return "selector";
        case Type::Button: return "button";
        case Type::Label: return "label";
        case Type::Meter: return "meter";
        case Type::RadioGroup: return "radiogroup";
        case Type::TextBox: return "textbox";
        case Type::Memo: return "memo";
        case Type::UpDown: return "updown";
        case Type::Header: return "header";
        case Type::Curve: return "curve";
    }
    return "control";
}

void Control::set_enabled(bool e) {
    if (enabled_ == e) return;
    enabled_ = e;
    notify();
}

void Control::set_visible(bool v) {
    if (visible_ == v) return;
    visible_ = v;
    notify();
}

int Control::observe(Observer o) {
    observers_.emplace_back(next_observer_, std::move(o));
    return next_observer_++;
}

void Control::unobserve(int id) {
    std::erase_if(observers_, [id](const auto& p) { return p.first == id; });
}

void Control::notify() {
    // A copy, so that an observer may unobserve itself.
    auto list = observers_;
    for (auto& [id, o] : list) o(*this);
}

Slider::Slider(std::string name, int min, int max, int position, int small_step, int large_step,
               Orientation o)
    : Control(std::move(name), Type::Slider), min_(min), max_(std::max(min, max)),
      position_(std::clamp(position, min_, max_)), small_step_(small_step), large_step_(large_step),
      orientation_(o) {}

void Slider::set_position(int p) {
    p = std::clamp(p, min_, max_);
    if (p == position_) return;
    position_ = p;
    notify();
    if (on_change) on_change();
}

void Slider::set_range(int min, int max) {
    min_ = min;
    max_ = std::max(min, max);
    notify();
    set_position(position_);
}

CheckBox::CheckBox(std::string name, std::string caption, bool checked, bool plain)
    : Control(std::move(name), Type::CheckBox), caption_(std::move(caption)), checked_(checked), plain_(plain) {}

void CheckBox::set_checked(bool c) {
    const bool changed = c != checked_;
    checked_ = c;
    if (changed) notify();
    if ((changed || !plain_) && on_click) on_click();
}

void CheckBox::set_caption(std::string c) {
    if (c == caption_) return;
    caption_ = std::move(c);
    notify();
}

Selector::Selector(std::string name) : Control(std::move(name), Type::Selector) {}

void Selector::clear() {
    items_.clear();
    index_ = -1;
    notify();
    set_text("");
}

void Selector::add_item(std::string item) {
    items_.push_back(std::move(item));
    notify();
}

void Selector::set_index(int i) {
    if (i < -1 || i >= static_cast<int>(items_.size())) i = -1;
    index_ = i;
    std::string t = i >= 0 ? items_[static_cast<size_t>(i)] : std::string();
    const bool changed = t != text_;
    text_ = std::move(t);
    notify();
    if (changed && on_change) on_change();
    if (on_select) on_select();
}

void Selector::set_text(std::string t) {
    index_ = -1;
    const bool changed = t != text_;
    text_ = std::move(t);
    notify();
    if (changed && on_change) on_change();
}

Button::Button(std::string name, std::string caption)
    : Control(std::move(name), Type::Button), caption_(std::move(caption)) {}

void Button::set_caption(std::string c) {
    if (c == caption_) return;
    caption_ = std::move(c);
    notify();
}

void Button::click() {
    if (enabled() && on_click) on_click();
}

void Button::mouse_up(MouseButton b, int x, int y) {
    if (enabled() && on_mouse_up) on_mouse_up(b, x, y);
}

Label::Label(std::string name, std::string caption)
    : Control(std::move(name), Type::Label), caption_(std::move(caption)) {}

void Label::set_caption(std::string c) {
    if (c == caption_) return;
    caption_ = std::move(c);
    notify();
}

Meter::Meter(std::string name, int min, int max)
    : Control(std::move(name), Type::Meter), min_(min), max_(std::max(min, max)), value_(min), warning_from_(max_ + 1) {}

void Meter::set_warning_from(int v) {
    if (v == warning_from_) return;
    warning_from_ = v;
    notify();
}

void Meter::set_value(int v) {
    v = std::clamp(v, min_, max_);
    if (v == value_) return;
    value_ = v;
    notify();
}

RadioGroup::RadioGroup(std::string name, std::string caption, std::vector<std::string> items, int index)
    : Control(std::move(name), Type::RadioGroup), caption_(std::move(caption)), items_(std::move(items)),
      index_(index) {}

void RadioGroup::set_index(int i) {
    if (i < -1 || i >= static_cast<int>(items_.size())) i = -1;
    if (i == index_) return;
    index_ = i;
    notify();
    if (on_click) on_click();
}

TextBox::TextBox(std::string name, std::string text)
    : Control(std::move(name), Type::TextBox), text_(std::move(text)) {}

void TextBox::set_text(std::string t) {
    if (t == text_) return;
    text_ = std::move(t);
    notify();
    if (on_change) on_change();
}

void TextBox::key_press(char key) {
    if (key_filter && !key_filter(key)) return;
    if (key == 0) return;
    std::string t = text_;
    if (key == 8) {
        if (!t.empty()) t.pop_back();
    } else {
        t.push_back(key);
    }
    set_text(std::move(t));
}

Memo::Memo(std::string name) : Control(std::move(name), Type::Memo) {}

void Memo::set_lines(std::vector<std::string> l) {
    lines_ = std::move(l);
    notify();
}

void Memo::add_line(std::string l) {
    lines_.push_back(std::move(l));
    notify();
}

UpDown::UpDown(std::string name) : Control(std::move(name), Type::UpDown) {}

void UpDown::click_up() {
    if (enabled() && on_up) on_up();
}

void UpDown::click_down() {
    if (enabled() && on_down) on_down();
}

Header::Header(std::string name, int sections)
    : Control(std::move(name), Type::Header), sections_(static_cast<size_t>(std::max(0, sections))) {}

void Header::set_section(int i, std::string text) {
    if (i < 0 || i >= static_cast<int>(sections_.size())) return;
    if (sections_[static_cast<size_t>(i)] == text) return;
    sections_[static_cast<size_t>(i)] = std::move(text);
    notify();
}

Form::Form(std::string caption, int client_width, int client_height)
    : caption_(std::move(caption)), client_width_(client_width), client_height_(client_height) {}

Form::~Form() {
    destroyed_ = true;
    notify();
}

void Form::set_caption(std::string c) {
    caption_ = std::move(c);
    notify();
}

void Form::set_client_size(int w, int h) {
    client_width_ = w;
    client_height_ = h;
    notify();
}

void Form::set_focus(Control* c) {
    if (c == focused_) return;
    focused_ = c;
    notify();
}

Control* Form::find(const std::string& name) const {
    for (Control* c : controls_)
        if (c->name() == name) return c;
    return nullptr;
}

void Form::show() {
    if (!visible_) {
        visible_ = true;
        notify();
    }
    FormShow();
}

void Form::FormShow() {
    if (shown_once != 0) return;
    shown_once = 1;
    skin_path = skin_folder().empty() ? std::string() : skin_folder() + "/skin.ini";
    notify();
}

void Form::hide() {
    if (!visible_) return;
    visible_ = false;
    notify();
}

bool Form::close() {
    if (!FormClose()) return false;
    hide();
    return true;
}

std::string& Form::skin_folder() {
    static std::string folder;
    return folder;
}

int Form::observe(Observer o) {
    observers_.emplace_back(next_observer_, std::move(o));
    return next_observer_++;
}

void Form::unobserve(int id) {
    std::erase_if(observers_, [id](const auto& p) { return p.first == id; });
}

void Form::notify() {
    auto list = observers_;
    for (auto& [id, o] : list) o(*this);
}

namespace {

class StderrDialogs : public EditorDialogs {
public:
    void message(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void warning(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    std::optional<std::string> open_file(const FileDialogRequest&) override { return std::nullopt; }
    std::optional<std::string> save_file(const FileDialogRequest&) override { return std::nullopt; }
};

EditorDialogs*& installed_dialogs() {
    static EditorDialogs* d = nullptr;
    return d;
}

std::vector<FormTimer*>& live_timers() {
    static std::vector<FormTimer*> t;
    return t;
}

}  // namespace

EditorDialogs* set_editor_dialogs(EditorDialogs* d) {
    EditorDialogs* before = installed_dialogs();
    installed_dialogs() = d;
    return before;
}

EditorDialogs& editor_dialogs() {
    static StderrDialogs fallback;
    return installed_dialogs() ? *installed_dialogs() : fallback;
}

FormTimer::FormTimer(int interval_ms) : interval_ms_(interval_ms > 0 ? interval_ms : 1) {
    live_timers().push_back(this);
}

FormTimer::~FormTimer() { std::erase(live_timers(), this); }

void advance_form_timers(int elapsed_ms) {
    // A handler may show a modal message (whose loop advances the timers again) or end a window
    // with its timer: walk a copy, skip timers gone meanwhile, and never nest.
    static bool running = false;
    if (running || elapsed_ms <= 0) return;
    running = true;
    const std::vector<FormTimer*> list = live_timers();
    for (FormTimer* t : list) {
        if (std::find(live_timers().begin(), live_timers().end(), t) == live_timers().end()) continue;
        if (!t->enabled) continue;
        t->elapsed_ms_ += elapsed_ms;
        if (t->elapsed_ms_ < t->interval_ms_) continue;
        t->elapsed_ms_ %= t->interval_ms_;
        t->tick();
    }
    running = false;
}

// --- Curve ------------------------------------------------------------------------------------

Curve::Curve(std::string name, std::string caption, std::string what, Axis x, Axis y)
    : Control(std::move(name), Type::Curve), caption_(std::move(caption)), what_(std::move(what)), x_(std::move(x)),
      y_(std::move(y)) {}

void Curve::set_axes(Axis x, Axis y) {
    x_ = std::move(x);
    y_ = std::move(y);
    notify();
}

const std::vector<Curve::Series>& Curve::series() const {
    if (stale_ && source_) {
        // Cleared first: a source that reads its own curve sees the old points, not itself again.
        stale_ = false;
        series_ = source_();
        ++computations_;
    }
    return series_;
}

void Curve::set_series(std::vector<Series> s) {
    series_ = std::move(s);
    stale_ = false;
    ++computations_;
    notify();
}

void Curve::set_source(std::function<std::vector<Series>()> source) {
    source_ = std::move(source);
    invalidate();
}

void Curve::invalidate() {
    stale_ = true;
    notify();
}

void after_each_change(Form& form, const std::function<void()>& after) {
    auto chain = [&after](std::function<void()>& handler) {
        handler = [first = std::move(handler), after] {
            if (first) first();
            after();
        };
    };
    for (Control* c : form.controls()) {
        switch (c->type()) {
            case Control::Type::Slider: chain(static_cast<Slider*>(c)->on_change); break;
            case Control::Type::CheckBox: chain(static_cast<CheckBox*>(c)->on_click); break;
            case Control::Type::Selector: chain(static_cast<Selector*>(c)->on_select); break;
            case Control::Type::Button: chain(static_cast<Button*>(c)->on_click); break;
            case Control::Type::RadioGroup: chain(static_cast<RadioGroup*>(c)->on_click); break;
            case Control::Type::UpDown:
                chain(static_cast<UpDown*>(c)->on_up);
                chain(static_cast<UpDown*>(c)->on_down);
                break;
            default: break;
        }
    }
}

}  // namespace vx
