// A rack without windows for the command-line tools: 16 slots filled from the registry, pushed
// into the chain runner, and set up by the same words a user would use (kind names, control names).
#pragma once

#include <string>

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

    // Copies the table into the runner's copy.
    void load() const;
    const ChainTable& table() const { return table_; }
    Form* form(int slot) const;  // slot 1..16; null when empty

private:
    ChainTable table_;
};

// A kind given as a registry name or index; -1 if it names none.
EffectKind parse_kind(const std::string& word);
// Strict whole-number parse; false on anything else.
bool parse_int(const std::string& s, int& out);
// Sets control `c` as a user would, from a text value. Returns "" or the reason it was refused.
std::string set_control_value(Control& c, const std::string& value);
// One line describing a control: name, type, range, position or state.
std::string describe_control(const Control& c);

}  // namespace vx
