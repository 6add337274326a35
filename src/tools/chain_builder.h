// A rack without windows for the command-line tools: 16 slots filled from the registry, pushed
// into the chain runner, and set up by the same words a user would use (kind names, control names).
#pragma once

#include <string>
#include <vector>

#include "app/chain_file.h"
#include "engine/effects.h"

namespace vx {

class OfflineChain {
public:
    static constexpr int kSlots = 16;
    OfflineChain();
    ~OfflineChain();
    OfflineChain(const OfflineChain&) = delete;
    OfflineChain& operator=(const OfflineChain&) = delete;

    // Each returns "" on success, or the message for the user.
    std::string add_effect(const std::string& kind_word);              // next free slot, switched on
    std::string set_control(const std::string& assignment);            // "S:NAME=VALUE"
    std::string switch_off(const std::string& slot_word);              // "S"
    // Replaces the whole rack by the chain file at `path`, as the main window loads one.
    std::string load_preset(const std::string& path);
    // Writes the rack as a chain file, as the main window saves one.
    std::string save_preset(const std::string& path);
    // The chain-file record of this rack: what the last load read, with what a save filled in.
    const ChainFile& record() const { return record_; }

    // Copies the table into the runner's copy.
    void load() const;
    const ChainTable& table() const { return table_; }
    Form* form(int slot) const;  // slot 1..16; null when empty

private:
    ChainTable table_;
    ChainFile record_;
};

// Reads a chain file for a tool, strictly: it must be exactly 13188 bytes, and every used slot
// must name a kind 0..13 (after the renumbering of older versions). "" or the message.
std::string read_chain_file_strictly(const std::string& path, ChainFile& rec);

// Makes the program folder `home` names (else $VARNOMIX_HOME, else the program's folder) the one the
// effects read their settings from, read only. It must run before any effect is created. "" or the
// message.
std::string use_program_home(const std::string& home);

// A kind given as a registry name or index; -1 if it names none.
EffectKind parse_kind(const std::string& word);
// Strict whole-number parse; false on anything else.
bool parse_int(const std::string& s, int& out);
// Control `name` of the effect in slot `slot_word` (1..16) of `table`; null with the message in `why`,
// followed by `hint` for an unknown name.
Control* find_slot_control(const ChainTable& table, const std::string& slot_word, const std::string& name,
                           const std::string& hint, std::string& why);
// Sets control NAME of slot S of `table` from "S:NAME=VALUE" as a user would; `what` names the option
// or command in messages, `hint` follows the message for an unknown name. "" or the message.
std::string set_slot_control(const ChainTable& table, const std::string& assignment, const std::string& what,
                             const std::string& hint);
// Sets control `c` as a user would, from a text value. Returns "" or the reason it was refused.
std::string set_control_value(Control& c, const std::string& value);
// One line describing a control: name, type, range, position (a slider's value in its unit after it) or state.
std::string describe_control(const Control& c);

}  // namespace vx
