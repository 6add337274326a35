// MIDI on the main window: program changes load presets through the F-key and presets-list
// loaders, learned control changes move controls through their own setters. Events are queued on
// the MIDI library's thread and handled on the user-interface thread (drain); nothing here touches
// the audio thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/midi.h"
#include "app/midi_port.h"

namespace vx {

class Control;
class Form;
class TForm1;

class MidiControl {
public:
    explicit MidiControl(TForm1& form);
    ~MidiControl();
    MidiControl(const MidiControl&) = delete;
    MidiControl& operator=(const MidiControl&) = delete;

    // Opens the program's input port; false when there is neither JACK nor the ALSA sequencer
    // (said once on stderr then, and the program carries on without MIDI).
    bool open_port();
    // For tests: a port of their own (or none).
    void use_port(std::unique_ptr<MidiPort> port) { port_ = std::move(port); }
    MidiPort* port() const { return port_.get(); }

    // Any thread (the library's): one complete message. Never blocks.
    void receive(const unsigned char* bytes, size_t size);
    // Called on the library's thread after a message was queued, to have drain() run soon on the
    // user-interface thread. Set before open_port.
    std::function<void()> on_queued;
    // User-interface thread: handles every queued event; returns how many.
    int drain();

    // What a control of a window is, as a binding names it; nothing for controls that cannot be
    // bound (not a slider or check box, not in a slot's editor or the rack's on/off).
    std::optional<MidiTarget> target_of(const Form& window, const Control& control) const;
    // "MIDI learn" and "MIDI forget" of the right-click menu.
    bool learn(const Form& window, const Control& control);
    bool forget(const Form& window, const Control& control);
    const MidiBindings& bindings() const { return bindings_; }
    // Told after a learn completes (the UI can say so).
    std::function<void(const MidiBinding&)> on_learned;
    // Told of every program change with what it did: "program 5: F6 Clean.pre" / "... no preset".
    std::function<void(const std::string&)> on_program;

    std::string bindings_path() const;
    uint64_t dropped() const { return queue_.dropped(); }

private:
    void program_change(int program);
    void control_change(const MidiEvent& e);
    Control* resolve(const MidiTarget& t) const;
    void save_bindings();

    TForm1& form_;
    MidiBindings bindings_;
    MidiQueue queue_;
    std::vector<MidiTarget> targets_;  // scratch of control_change
    bool said_no_midi_ = false;
    // Last: destroyed first, so no message arrives while the rest goes.
    std::unique_ptr<MidiPort> port_;
};

}  // namespace vx
