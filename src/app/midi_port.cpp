#include "app/midi_port.h"

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

namespace vx {

namespace {

constexpr const char* kClient = "Varnomix";
constexpr const char* kPort = "midi_in";

// RtMidi opens a JACK client without starting a server but then goes on as if it had one, so the
// server is looked for first.
bool jack_server_runs() {
    jack_status_t status{};
    jack_client_t* c = jack_client_open("Varnomix-probe", JackNoStartServer, &status);
    if (c == nullptr) return false;
    jack_client_close(c);
    return true;
}

class RtMidiPort final : public MidiPort {
public:
    RtMidiPort(RtMidi::Api api, MidiPort::Receiver receive) : api_(api), receive_(std::move(receive)) {
        open();
    }
    ~RtMidiPort() override {
        // Stops the library's thread before the receiver can go away.
        in_.reset();
    }

    std::string backend() const override { return api_ == RtMidi::UNIX_JACK ? "JACK" : "ALSA"; }
    std::string port_name() const override { return std::string(kClient) + ":" + kPort; }

    std::vector<std::string> sources() override {
        std::vector<std::string> names;
        const unsigned n = in_->getPortCount();
        for (unsigned i = 0; i < n; ++i) {
            std::string name = in_->getPortName(i);
            // Our own port is an input, but a client of ours could list its output ports.
            if (name.rfind(std::string(kClient) + ":", 0) == 0) continue;
            if (!name.empty()) names.push_back(std::move(name));
        }
        return names;
    }

    std::string connect_source(const std::string& name) override {
        if (name == connected_) return "";
        int index = -1;
        if (!name.empty()) {
            const unsigned n = in_->getPortCount();
            for (unsigned i = 0; i < n && index < 0; ++i)
                if (in_->getPortName(i) == name) index = static_cast<int>(i);
            if (index < 0) return "no MIDI source \"" + name + "\"";
        }
        // RtMidi has no way to drop one connection: the port is opened again, without it.
        if (!connected_.empty()) {
            in_.reset();
            open();
            connected_.clear();
        }
        if (index < 0) return "";
        error_.clear();
        in_->openPort(static_cast<unsigned>(index), kPort);
        if (!error_.empty()) return error_;
        connected_ = name;
        return "";
    }

private:
    void open() {
        in_ = std::make_unique<RtMidiIn>(api_, kClient, 1024);
        in_->setErrorCallback(&RtMidiPort::on_error, this);
        in_->setCallback(&RtMidiPort::on_message, this);
        in_->openVirtualPort(kPort);
    }
    static void on_message(double, std::vector<unsigned char>* message, void* self) {
        if (message != nullptr && !message->empty())
            static_cast<RtMidiPort*>(self)->receive_(message->data(), message->size());
    }
    static void on_error(RtMidiError::Type type, const std::string& text, void* self) {
        if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
            static_cast<RtMidiPort*>(self)->error_ = text;
    }

    RtMidi::Api api_;
    MidiPort::Receiver receive_;
    std::unique_ptr<RtMidiIn> in_;
    std::string connected_;
    std::string error_;
};

}  // namespace

std::unique_ptr<MidiPort> open_midi_port(MidiPort::Receiver receive, std::string* why) {
    std::string reasons;
    if (jack_server_runs()) {
        try {
            return std::make_unique<RtMidiPort>(RtMidi::UNIX_JACK, receive);
        } catch (const std::exception& e) {
            reasons = std::string("JACK: ") + e.what() + "; ";
        }
    } else {
        reasons = "no JACK server; ";
    }
    // Without the device RtMidi would print its own complaint before ours.
    if (::access("/dev/snd/seq", R_OK | W_OK) != 0) {
        reasons += "no ALSA sequencer";
    } else {
        try {
            return std::make_unique<RtMidiPort>(RtMidi::LINUX_ALSA, receive);
        } catch (const std::exception& e) {
            reasons += std::string("ALSA sequencer: ") + e.what();
        }
    }
    if (why != nullptr) *why = reasons;
    return nullptr;
}

}  // namespace vx
