#include "app/midi_control.h"

#include <cstdio>
#include <filesystem>

#include "app/Unit1.h"
#include "app/chain_file.h"
#include "engine/program_folder.h"

namespace fs = std::filesystem;

namespace vx {

MidiControl::MidiControl(TForm1& form) : form_(form) { bindings_.load(bindings_path()); }

MidiControl::~MidiControl() { port_.reset(); }

std::string MidiControl::bindings_path() const { return (program_home() / "midi.ini").string(); }

bool MidiControl::open_port() {
    if (port_) return true;
    std::string why;
    port_ = open_midi_port([this](const unsigned char* b, size_t n) { receive(b, n); }, &why);
    if (!port_ && !said_no_midi_) {
        said_no_midi_ = true;
        std::fprintf(stderr, "varnomix: no MIDI input (%s); carrying on without MIDI\n", why.c_str());
    }
    return port_ != nullptr;
}

void MidiControl::receive(const unsigned char* bytes, size_t size) {
    const auto e = parse_midi(bytes, size);
    if (!e) return;
    if (queue_.push(*e) && on_queued) on_queued();
}

int MidiControl::drain() {
    int n = 0;
    while (const auto e = queue_.pop()) {
        ++n;
        if (e->type == MidiEvent::Type::ProgramChange) program_change(e->number);
        else control_change(*e);
    }
    return n;
}

void MidiControl::program_change(int program) {
    const ProgramChoice c = program_choice(program);
    const std::string folder = (form_.program_folder() / "PRESETS").string();
    std::string wanted;
    if (c.function_key > 0) {
        const std::vector<std::string> files = list_files(folder, fkey_prefix(c.function_key), ".pre");
        if (!files.empty()) wanted = files.front();
        form_.FormKeyUp(c.function_key);
    } else if (c.list_entry >= 0) {
        // The list as shown: after its two fixed entries.
        const std::vector<std::string>& items = form_.ComboBox_PRESETS.items();
        const size_t i = static_cast<size_t>(c.list_entry) + 2;
        if (i < items.size()) {
            wanted = items[i];
            form_.ComboBox_PRESETS.set_index(static_cast<int>(i));
        }
    }
    if (!on_program) return;
    const std::string loaded = fs::path(form_.last_chain_file()).filename().string();
    std::string line = "MIDI program " + std::to_string(program) + ": ";
    if (wanted.empty()) line += "no preset";
    else if (loaded == wanted) line += "loaded " + loaded;
    else line += wanted + " not loaded";
    on_program(line);
}

Control* MidiControl::resolve(const MidiTarget& t) const {
    if (t.slot < 1 || t.slot > TForm1::kSlots) return nullptr;
    if (t.control == kMidiOnOff) return &form_.slot(t.slot).onoff;
    const EffectInstance inst = form_.rack_table().instance[t.slot - 1];
    if (inst == nullptr || inst->form == nullptr) return nullptr;
    return inst->form->find(t.control);
}

void MidiControl::control_change(const MidiEvent& e) {
    if (bindings_.control_change(e, targets_)) {
        save_bindings();
        if (on_learned)
            if (const auto b = bindings_.binding_of(targets_.empty() ? MidiTarget{} : targets_.back())) on_learned(*b);
    }
    for (const MidiTarget& t : targets_) {
        Control* c = resolve(t);
        // A control the slot's present kind does not have, or one the user cannot move now.
        if (c == nullptr || !c->enabled()) continue;
        if (auto* s = dynamic_cast<Slider*>(c)) {
            s->set_position(midi_slider_position(e.value, s->min(), s->max()));
        } else if (auto* b = dynamic_cast<CheckBox*>(c)) {
            // Only a change clicks it: a footswitch held down repeats its value.
            const bool on = midi_switch_on(e.value);
            if (b->checked() != on) b->set_checked(on);
        }
    }
}

std::optional<MidiTarget> MidiControl::target_of(const Form& window, const Control& control) const {
    const bool slider = control.type() == Control::Type::Slider;
    const bool box = control.type() == Control::Type::CheckBox;
    if (!slider && !box) return std::nullopt;
    if (&window == &form_) {
        for (int n = 1; n <= TForm1::kSlots; ++n)
            if (&control == &form_.slot(n).onoff) return MidiTarget{n, kMidiOnOff};
        return std::nullopt;
    }
    for (int n = 1; n <= TForm1::kSlots; ++n) {
        const EffectInstance inst = form_.rack_table().instance[n - 1];
        if (inst != nullptr && inst->form == &window) return MidiTarget{n, control.name()};
    }
    return std::nullopt;
}

bool MidiControl::learn(const Form& window, const Control& control) {
    const auto t = target_of(window, control);
    if (!t) return false;
    bindings_.learn(*t);
    return true;
}

bool MidiControl::forget(const Form& window, const Control& control) {
    const auto t = target_of(window, control);
    if (!t || !bindings_.forget(*t)) return false;
    save_bindings();
    return true;
}

void MidiControl::save_bindings() {
    if (settings_read_only()) return;
    if (const std::string why = bindings_.save(bindings_path()); !why.empty())
        report_settings_problem("The MIDI bindings were not saved: " + why + ".");
}

}  // namespace vx

namespace vx {

bool TForm1::open_midi() {
    if (!midi_->open_port()) return false;
    midi_busy_ = true;
    ComboBox_MIDI.clear();
    ComboBox_MIDI.add_item("none");
    for (const std::string& s : midi_->port()->sources()) ComboBox_MIDI.add_item(s);
    ComboBox_MIDI.set_index(0);
    ComboBox_MIDI.set_enabled(true);
    midi_busy_ = false;
    // The source of the last run, if it is there again; else none, and the choice is kept.
    const std::vector<std::string>& items = ComboBox_MIDI.items();
    for (size_t i = 1; i < items.size(); ++i)
        if (items[i] == midi_source_) ComboBox_MIDI.set_index(static_cast<int>(i));
    return true;
}

std::string TForm1::connect_midi_source(const std::string& word) {
    if (!midi_->port()) return "no MIDI input";
    const std::vector<std::string>& items = ComboBox_MIDI.items();
    int found = -1;
    for (size_t i = 0; i < items.size() && found < 0; ++i)
        if (items[i] == word) found = static_cast<int>(i);
    // An index counts the sources from 0, as --list-midi shows them.
    if (found < 0 && !word.empty() && word.size() < 4 && word.find_first_not_of("0123456789") == std::string::npos &&
        std::stoi(word) + 1 < static_cast<int>(items.size()))
        found = std::stoi(word) + 1;
    if (found < 0) return "no MIDI source \"" + word + "\"";
    const std::string why = midi_->port()->connect_source(found == 0 ? "" : items[static_cast<size_t>(found)]);
    if (!why.empty()) return why;
    midi_busy_ = true;
    ComboBox_MIDI.set_index(found);
    midi_busy_ = false;
    midi_source_ = found == 0 ? "" : items[static_cast<size_t>(found)];
    return "";
}

void TForm1::ComboBox_MIDIChange() {
    if (midi_busy_ || !midi_->port() || ComboBox_MIDI.index() < 0) return;
    const std::string name = ComboBox_MIDI.index() == 0 ? "" : ComboBox_MIDI.text();
    if (const std::string why = midi_->port()->connect_source(name); !why.empty()) {
        services_.warning("The MIDI source was not connected: " + why + ".");
        return;
    }
    midi_source_ = name;
}

}  // namespace vx
