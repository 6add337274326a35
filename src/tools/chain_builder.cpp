#include "chain_builder.h"

#include "engine/program_folder.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vx {

bool parse_int(const std::string& s, int& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

EffectKind parse_kind(const std::string& word) {
    int idx = 0;
    if (parse_int(word, idx)) return idx >= 0 && idx < kKindCount ? idx : -1;
    for (int k = 0; k < kKindCount; ++k)
        if (word == kind_name(k)) return k;
    return -1;
}

OfflineChain::OfflineChain() {
    table_.count = kSlots;
    for (int i = 0; i < kSlots; ++i) {
        set_table_entry(table_, i, 0);
        table_.enabled[i] = 0;
    }
}

OfflineChain::~OfflineChain() {
    // Nothing may still walk the instances once they are gone.
    ChainTable empty;
    load_chain(empty);
    wait_for_walk();
    for (int i = 0; i < kSlots; ++i) force_destroy_instance(table_.instance[i]);
}

std::string OfflineChain::add_effect(const std::string& kind_word) {
    const EffectKind k = parse_kind(kind_word);
    if (k < 0) return "unknown effect kind \"" + kind_word + "\" (see --list-kinds)";
    if (k == 0) return "\"" + kind_word + "\" is the empty slot, not an effect";
    if (!kind_available(k)) return std::string("effect kind \"") + kind_name(k) + "\" is not built yet";
    int slot = -1;
    for (int i = 0; i < kSlots; ++i)
        if (table_.kind[i] == 0) {
            slot = i;
            break;
        }
    if (slot < 0) return "more than 16 effects: every slot is taken";
    set_table_entry(table_, slot, k);
    table_.enabled[slot] = 1;
    return "";
}

Form* OfflineChain::form(int slot) const {
    if (slot < 1 || slot > kSlots) return nullptr;
    EffectInstance inst = table_.instance[slot - 1];
    return inst ? inst->form : nullptr;
}

std::string OfflineChain::set_control(const std::string& assignment) {
    return set_slot_control(table_, assignment, "--set", "(see --controls)");
}

Control* find_slot_control(const ChainTable& table, const std::string& slot_word, const std::string& name,
                           const std::string& hint, std::string& why) {
    int slot = 0;
    if (!parse_int(slot_word, slot)) {
        why = "slot \"" + slot_word + "\" is not a number";
        return nullptr;
    }
    if (slot < 1 || slot > OfflineChain::kSlots) {
        why = "slot " + std::to_string(slot) + " is out of range 1..16";
        return nullptr;
    }
    const EffectInstance inst = table.instance[slot - 1];
    Form* f = inst ? inst->form : nullptr;
    if (f == nullptr) {
        why = "slot " + std::to_string(slot) + " is empty";
        return nullptr;
    }
    Control* c = f->find(name);
    if (c == nullptr)
        why = "slot " + std::to_string(slot) + " (" + kind_name(table.kind[slot - 1]) + ") has no control \"" + name +
              "\" " + hint;
    return c;
}

std::string set_slot_control(const ChainTable& table, const std::string& assignment, const std::string& what,
                             const std::string& hint) {
    const auto colon = assignment.find(':');
    const auto eq = assignment.find('=', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || eq == std::string::npos || eq == colon + 1)
        return "malformed " + what + " \"" + assignment + "\" (expected S:NAME=VALUE)";
    std::string why;
    Control* c = find_slot_control(table, assignment.substr(0, colon), assignment.substr(colon + 1, eq - colon - 1),
                                   hint, why);
    if (c == nullptr) return what + " \"" + assignment + "\": " + why;
    why = set_control_value(*c, assignment.substr(eq + 1));
    return why.empty() ? "" : what + " \"" + assignment + "\": " + why;
}

std::string OfflineChain::switch_off(const std::string& slot_word) {
    int slot = 0;
    if (!parse_int(slot_word, slot)) return "malformed --off \"" + slot_word + "\": slot is not a number";
    if (slot < 1 || slot > kSlots) return "slot " + std::to_string(slot) + " is out of range 1..16";
    table_.enabled[slot - 1] = 0;
    return "";
}

void OfflineChain::load() const { load_chain(table_); }

std::string OfflineChain::load_preset(const std::string& path) {
    ChainFile rec = record_;
    if (auto why = read_chain_file_strictly(path, rec); !why.empty()) return why;
    record_ = rec;
    const auto old = apply_chain_record(record_, table_, [](int32_t, EffectKind k) { return k; });
    // A tool never lets an editor write its own settings files when it goes.
    for (EffectInstance inst : old) force_destroy_instance(inst);
    return "";
}

std::string OfflineChain::save_preset(const std::string& path) {
    fill_chain_record(record_, table_);
    if (auto why = write_chain_file(path, record_); !why.empty()) return "cannot write \"" + path + "\": " + why;
    return "";
}

std::string read_chain_file_strictly(const std::string& path, ChainFile& rec) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return "cannot read \"" + path + "\": no such file";
    if (!std::filesystem::is_regular_file(path, ec)) return "cannot read \"" + path + "\": not a regular file";
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return "cannot read \"" + path + "\": " + ec.message();
    if (size != static_cast<uintmax_t>(kChainFileSize))
        return "\"" + path + "\" is " + std::to_string(size) + " bytes; a chain file is exactly " +
               std::to_string(kChainFileSize) + " bytes";
    ChainFile read;
    if (!read_chain_file(path, read)) return "cannot read \"" + path + "\"";
    for (int i = 0; i < OfflineChain::kSlots; ++i) {
        const int32_t k = read.version < kChainFileVersion ? map_old_kind(read.kind[i]) : read.kind[i];
        if (k < 0 || k >= kKindCount)
            return "\"" + path + "\": slot " + std::to_string(i + 1) + " names effect kind " + std::to_string(k) +
                   ", outside 0.." + std::to_string(kKindCount - 1);
    }
    rec = read;
    return "";
}

std::string use_program_home(const std::string& home) {
    const std::filesystem::path folder = program_folder(home);
    std::error_code ec;
    if (!home.empty() && !std::filesystem::is_directory(folder, ec))
        return "--home: \"" + home + "\" is not a folder";
    set_program_home(folder);
    // A tool reads the settings of the program folder and never writes them.
    set_settings_read_only(true);
    return "";
}

std::string set_control_value(Control& c, const std::string& value) {
    int v = 0;
    switch (c.type()) {
        case Control::Type::TextBox:
            static_cast<TextBox&>(c).set_text(value);
            return "";
        case Control::Type::Slider:
        case Control::Type::CheckBox:
        case Control::Type::Selector:
        case Control::Type::RadioGroup:
            if (!parse_int(value, v)) return "value \"" + value + "\" is not a whole number";
            break;
        default:
            return std::string("a ") + Control::type_name(c.type()) + " cannot be set";
    }
    switch (c.type()) {
        case Control::Type::Slider: {
            // The slider would clamp it quietly and build a rack the user did not ask for.
            auto& sl = static_cast<Slider&>(c);
            if (v < sl.min() || v > sl.max())
                return "value " + value + " is outside " + std::to_string(sl.min()) + ".." + std::to_string(sl.max());
            sl.set_position(v);
            break;
        }
        case Control::Type::CheckBox:
            if (v != 0 && v != 1) return "a check box takes 0 or 1";
            static_cast<CheckBox&>(c).set_checked(v == 1);
            break;
        case Control::Type::Selector: {
            auto& s = static_cast<Selector&>(c);
            if (v < 0 || v >= static_cast<int>(s.items().size()))
                return "index " + value + " is outside 0.." + std::to_string(static_cast<int>(s.items().size()) - 1);
            s.set_index(v);
            break;
        }
        case Control::Type::RadioGroup: {
            auto& r = static_cast<RadioGroup&>(c);
            if (v < 0 || v >= static_cast<int>(r.items().size()))
                return "index " + value + " is outside 0.." + std::to_string(static_cast<int>(r.items().size()) - 1);
            r.set_index(v);
            break;
        }
        default:
            break;
    }
    return "";
}

std::string describe_control(const Control& c) {
    std::string line = c.name() + "  " + Control::type_name(c.type());
    switch (c.type()) {
        case Control::Type::Slider: {
            const auto& s = static_cast<const Slider&>(c);
            line += "  " + std::to_string(s.min()) + ".." + std::to_string(s.max()) + "  position " +
                    std::to_string(s.position());
            if (const std::string unit = s.unit_value(); !unit.empty()) line += "  " + unit;
            if (!s.label.empty()) line += "  \"" + s.label + "\"";
            break;
        }
        case Control::Type::CheckBox: {
            const auto& b = static_cast<const CheckBox&>(c);
            line += std::string("  0..1  ") + (b.checked() ? "checked" : "unchecked") + "  \"" + b.caption() + "\"";
            break;
        }
        case Control::Type::Selector: {
            const auto& s = static_cast<const Selector&>(c);
            line += "  0.." + std::to_string(static_cast<int>(s.items().size()) - 1) + "  index " +
                    std::to_string(s.index()) + "  \"" + s.text() + "\"";
            break;
        }
        case Control::Type::RadioGroup: {
            const auto& r = static_cast<const RadioGroup&>(c);
            line += "  0.." + std::to_string(static_cast<int>(r.items().size()) - 1) + "  index " +
                    std::to_string(r.index());
            break;
        }
        case Control::Type::TextBox:
            line += "  text \"" + static_cast<const TextBox&>(c).text() + "\"";
            break;
        case Control::Type::Label:
            line += "  \"" + static_cast<const Label&>(c).caption() + "\"";
            break;
        case Control::Type::Button:
            line += "  \"" + static_cast<const Button&>(c).caption() + "\"";
            break;
        case Control::Type::Curve: {
            const auto& k = static_cast<const Curve&>(c);
            line += "  \"" + k.caption() + "\"  " + k.what();
            break;
        }
        default:
            break;
    }
    return line;
}

}  // namespace vx
