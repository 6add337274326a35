// MIDI control without a toolkit and without a MIDI library: messages as they arrive, the queue that
// carries them from the MIDI library's thread to the user-interface thread, the controller bindings
// with learn and forget, their file "midi.ini", and which preset a program change chooses.
// The library itself is behind MidiPort (midi_port.h), so all of this runs in tests without a server.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vx {

struct MidiEvent {
    enum class Type : uint8_t { ControlChange, ProgramChange };
    Type type = Type::ControlChange;
    uint8_t channel = 0;  // 0..15 (shown to users as 1..16)
    uint8_t number = 0;   // controller or program, 0..127
    uint8_t value = 0;    // controller value 0..127; 0 for a program change
};

// The event one complete message carries, or nothing: only control and program changes are used;
// system exclusive, real-time and every other message, a message without its status byte (running
// status), data bytes above 127 and messages of the wrong length are ignored.
std::optional<MidiEvent> parse_midi(const unsigned char* bytes, size_t size);

// Single producer (the MIDI library's thread), single consumer (the user-interface thread); never
// blocks and never allocates. When full, new events are dropped and counted.
class MidiQueue {
public:
    static constexpr size_t kCapacity = 1024;
    bool push(const MidiEvent& e);
    std::optional<MidiEvent> pop();
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::array<MidiEvent, kCapacity> ring_{};
    std::atomic<size_t> head_{0};  // next to write (producer)
    std::atomic<size_t> tail_{0};  // next to read (consumer)
    std::atomic<uint64_t> dropped_{0};
};

// What a binding moves: a control of the effect in a rack slot (1..16) by its name, or the slot's
// own on/off switch (control kOnOff). Bound to the slot, so it holds whatever kind the slot gets.
struct MidiTarget {
    int slot = 0;
    std::string control;
    bool operator==(const MidiTarget&) const = default;
};
inline constexpr const char* kMidiOnOff = "on/off";

struct MidiBinding {
    int channel = 0;     // 0..15
    int controller = 0;  // 0..127
    MidiTarget target;
    bool operator==(const MidiBinding&) const = default;
};

class MidiBindings {
public:
    // The next control change binds its controller and channel to `target` (replacing any earlier
    // binding of it); a second learn before that replaces the first.
    void learn(const MidiTarget& target) { learning_ = target; }
    void cancel_learn() { learning_.reset(); }
    const std::optional<MidiTarget>& learning() const { return learning_; }
    // Removes the binding of `target`; false when it had none.
    bool forget(const MidiTarget& target);
    std::optional<MidiBinding> binding_of(const MidiTarget& target) const;
    const std::vector<MidiBinding>& all() const { return bindings_; }

    // A control change: completes a pending learn (returns true then), and fills `targets` with what
    // the controller and channel are bound to.
    bool control_change(const MidiEvent& e, std::vector<MidiTarget>& targets);

    // "midi.ini": bindings that are out of range or name no control are skipped.
    void load(const std::string& path);
    // Returns "" or why the file could not be written.
    std::string save(const std::string& path) const;

private:
    std::vector<MidiBinding> bindings_;
    std::optional<MidiTarget> learning_;
};

// A controller value 0..127 on a slider's range, linear, both ends reached, rounded half to even.
int midi_slider_position(int value, int min, int max);
// Check boxes and on/off switches: on at 64 and above.
inline bool midi_switch_on(int value) { return value >= 64; }

// What a program change loads: 0..11 the preset of the function key F1..F12, n >= 12 entry n - 12
// of the presets list as shown.
struct ProgramChoice {
    int function_key = 0;  // 1..12, or 0
    int list_entry = -1;   // index into the shown list of preset files, or -1
};
ProgramChoice program_choice(int program);

}  // namespace vx
