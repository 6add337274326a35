// The program's own MIDI input port, behind an interface so the MIDI model runs in tests without a
// server. The one implementation (midi_port.cpp) is a thin layer over RtMidi.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vx {

class MidiPort {
public:
    // Called on the library's thread with each complete message as it arrives.
    using Receiver = std::function<void(const unsigned char* bytes, size_t size)>;
    virtual ~MidiPort() = default;
    // "JACK" or "ALSA".
    virtual std::string backend() const = 0;
    // The port name others connect to ("Varnomix:midi_in").
    virtual std::string port_name() const = 0;
    // The sources (MIDI output ports of other clients) that can be connected to this input.
    virtual std::vector<std::string> sources() = 0;
    // Connects the source of that name (disconnecting the one connected before); "" connects
    // none. Returns "" or why it failed.
    virtual std::string connect_source(const std::string& name) = 0;
};

// Opens the input port under JACK when a server runs, else under the ALSA sequencer. Null, with
// the reason in `why`, when neither is there. `receive` must stay callable until the port is gone.
std::unique_ptr<MidiPort> open_midi_port(MidiPort::Receiver receive, std::string* why);

}  // namespace vx
