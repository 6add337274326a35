// The rack: 16 effect slots in rows, each with on/off, a kind selector, Tune and up/down arrows.
// The rack table is the master; every change is pushed into the chain runner's copy, and nothing
// the runner may be walking is changed or freed until the walk in progress has ended.
#include <cstdlib>
#include <string>

#include "Unit1.h"

namespace vx {

namespace {

constexpr int kRackTop = 176;   // first row, below the engine panel
constexpr int kRackLeft = 8;

// The slot number at the end of a rack control's name: the name minus its first 12 characters
// ("spSkinButton", "spSkinUpDown"). 0 when there is none.
int slot_number(const std::string& name) {
    if (name.size() <= 12) return 0;
    const std::string tail = name.substr(12);
    char* end = nullptr;
    const long n = std::strtol(tail.c_str(), &end, 10);
    return (*end == '\0' && n >= 1 && n <= TForm1::kSlots) ? static_cast<int>(n) : 0;
}

// An editor's caption with its slot: the effect's own caption, without the blanks that placed it
// and without the slot a move or a rebuild named before.
std::string slot_caption(const std::string& caption, int n) {
    static const std::string mark = " \u2014 slot ";
    std::string base = caption.substr(0, caption.find(mark));
    const size_t first = base.find_first_not_of(' ');
    base = first == std::string::npos ? std::string() : base.substr(first, base.find_last_not_of(' ') - first + 1);
    return base + mark + std::to_string(n);
}

}  // namespace

TForm1::EffectSlot::EffectSlot(int n)
    : onoff("spSkinCheckRadioBox" + std::to_string(n), "Off", false),
      kind("spSkinComboBox" + std::to_string(n)),
      tune("spSkinButton" + std::to_string(n), "Tune"),
      arrows("spSkinUpDown" + std::to_string(n)) {
    const int top = kRackTop + (n - 1) * kRowSpacing;
    onoff.bounds = {kRackLeft, top, 48, 20};
    kind.bounds = {kRackLeft + 56, top, 200, 20};
    tune.bounds = {kRackLeft + 264, top, 56, 20};
    arrows.bounds = {kRackLeft + 328, top, 16, 20};
    for (Control* c : std::initializer_list<Control*>{&onoff, &kind, &tune, &arrows}) c->group = "Rack";
    tune.hint = "Open the editor; right click: move up (upper half) or down (lower half)";
}

void TForm1::create_rack() {
    for (int n = 1; n <= kSlots; ++n) {
        slots_[static_cast<size_t>(n - 1)] = std::make_unique<EffectSlot>(n);
        EffectSlot& s = slot(n);
        s.onoff.on_click = [this, &s] { spSkinCheckRadioBoxClick(s.onoff); };
        s.kind.on_change = [this, &s] { spSkinComboBoxChange(s.kind); };
        s.tune.on_click = [this, &s] { spSkinButtonClick(s.tune); };
        s.tune.on_mouse_up = [this, &s](Button::MouseButton b, int x, int y) { spSkinButton3MouseUp(s.tune, b, x, y); };
        s.arrows.on_up = [this, &s] { spSkinUpDown1UpButtonClick(s.arrows); };
        s.arrows.on_down = [this, &s] { spSkinUpDown1DownButtonClick(s.arrows); };
        add(s.onoff);
        add(s.kind);
        add(s.tune);
        add(s.arrows);
    }
}

void TForm1::destroy_rack() {
    rack_gate = 0;
    load_chain(ChainTable{});
    wait_for_walk();
    for (int i = 0; i < kTableCapacity; ++i) {
        force_destroy_instance(rack_table_.instance[i]);
        rack_table_.instance[i] = nullptr;
    }
    rack_table_.count = 0;
}

void TForm1::fill_kind_selector(Selector& selector) {
    const EffectRegistry& reg = get_registry();
    selector.clear();
    if (reg.count < 0) {
        selector.set_text("There is no Effects");
        return;
    }
    for (int k = 0; k <= reg.count && k < kTableCapacity; ++k) selector.add_item(reg.names[k]);
    selector.set_index(0);
}

// A selector's index as a kind: anything that is not a registry row is the empty slot, so a damaged
// chain file can never make the rack index past the registry.
EffectKind TForm1::selected_kind(const Selector& s) {
    const int k = s.index();
    return k >= 0 && k < kKindCount ? k : 0;
}

void TForm1::build_rack() {
    rack_table_.count = 0;
    for (int n = 1; n <= kSlots; ++n) {
        const int i = rack_table_.count;
        set_table_entry(rack_table_, i, selected_kind(slot(n).kind));
        rack_table_.count = i + 1;
    }
    load_chain(rack_table_);
    rack_edited();
}

void TForm1::rack_edited() {
    // Two editors of one kind are told apart by their slots; a move renames both slots' editors.
    for (int i = 0; i < kSlots; ++i)
        if (EffectInstance inst = rack_table_.instance[i]; inst != nullptr && inst->form != nullptr) {
            std::string caption = slot_caption(inst->form->caption(), i + 1);
            if (inst->form->caption() != caption) inst->form->set_caption(std::move(caption));
        }
    refresh_title();
}

void TForm1::rebuild_slot(Selector& selector, int32_t i) {
    if (i < 0 || i >= kTableCapacity) return;
    rack_gate = 0;
    // A move owns the gate and the tables while it exchanges the selectors; it reopens the gate
    // itself once both tables agree again.
    if (moving_ != 0) return;
    wait_for_walk();
    selector.set_enabled(false);
    if (EffectInstance old = rack_table_.instance[i]) {
        // An editor that refuses to close (it could not save its own settings, and has said so)
        // still goes: the slot must end with one consistent instance.
        rack_table_.instance[i] = nullptr;
        if (!destroy_instance(old)) force_destroy_instance(old);
    }
    set_table_entry(rack_table_, i, selected_kind(selector));
    load_chain(rack_table_);
    selector.set_enabled(true);
    rack_gate = 1;
    rack_edited();
}

void TForm1::spSkinComboBoxChange(Selector& sender) {
    if (chain_loading_) return;  // the chain loader builds the slot itself
    for (int n = 1; n <= kSlots; ++n)
        if (&slot(n).kind == &sender) rebuild_slot(sender, n - 1);
}

void TForm1::spSkinButtonClick(Button& sender) {
    const int n = slot_number(sender.name());
    if (n == 0) return;
    const int i = n - 1;
    if (std::string(rack_table_.names[i]) == kind_name(0)) return;
    EffectInstance inst = rack_table_.instance[i];
    if (inst == nullptr || inst->form == nullptr) return;  // a kind not built into this program
    sender.set_enabled(false);
    sender.set_caption("wait");
    const bool first_show = inst->form->shown_once == 0;
    inst->form->show();
    // The first show takes the skin of the moment; the window keeps it after later skin changes.
    if (first_show && !inst->form->skin_path.empty()) services_.load_skin(*inst->form, inst->form->skin_path);
    sender.set_caption("Tune");
    sender.set_enabled(true);
}

void TForm1::spSkinCheckRadioBoxClick(CheckBox& sender) {
    for (int n = 1; n <= kSlots; ++n) {
        if (&slot(n).onoff != &sender) continue;
        if (sender.checked()) {
            rack_table_.enabled[n - 1] = 1;
            enable_entry(n - 1);
            sender.set_caption("On");
        } else {
            rack_table_.enabled[n - 1] = 0;
            disable_entry(n - 1);
            sender.set_caption("Off");
        }
    }
    rack_edited();
}

void TForm1::spSkinButton3MouseUp(Button& sender, Button::MouseButton button, int, int y) {
    if (button != Button::MouseButton::Right) return;
    move_slot(sender.name(), y < sender.bounds.height / 2 ? -1 : +1);
}

void TForm1::spSkinUpDown1UpButtonClick(UpDown& sender) { move_slot(sender.name(), -1); }

void TForm1::spSkinUpDown1DownButtonClick(UpDown& sender) { move_slot(sender.name(), +1); }

void TForm1::move_slot(const std::string& control_name, int target_offset) {
    rack_gate = 0;
    moving_ = 1;
    wait_for_walk();
    const int n = slot_number(control_name);
    const int target = n + target_offset;
    if (n != 0) {
        Services::Point p = services_.pointer();
        if (target == n - 1 && target >= 1) {
            p.y -= kRowSpacing;
            services_.move_pointer(p);
        } else if (target == n + 1 && target <= kSlots) {
            p.y += kRowSpacing;
            services_.move_pointer(p);
        }
    }
    if (n != 0 && target >= 1 && target <= kSlots) {
        auto* from_kind = find_as<Selector>("spSkinComboBox" + std::to_string(n));
        auto* to_kind = find_as<Selector>("spSkinComboBox" + std::to_string(target));
        auto* from_box = find_as<CheckBox>("spSkinCheckRadioBox" + std::to_string(n));
        auto* to_box = find_as<CheckBox>("spSkinCheckRadioBox" + std::to_string(target));
        const int from_index = from_kind->index();
        const int to_index = to_kind->index();
        from_kind->set_index(to_index);
        to_kind->set_index(from_index);
        set_focus(to_kind);

        const int a = n - 1, b = target - 1;
        std::swap(rack_table_.names[a], rack_table_.names[b]);
        std::swap(rack_table_.process[a], rack_table_.process[b]);
        std::swap(rack_table_.instance[a], rack_table_.instance[b]);
        std::swap(rack_table_.params[a], rack_table_.params[b]);
        std::swap(rack_table_.kind[a], rack_table_.kind[b]);
        swap_chain_entries(b, a);

        const bool from_on = from_box->checked();
        const bool to_on = to_box->checked();
        to_box->set_checked(from_on);
        from_box->set_checked(to_on);
    }
    moving_ = 0;
    rack_gate = 1;
    rack_edited();
}

}  // namespace vx
