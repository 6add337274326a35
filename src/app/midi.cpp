#include "app/midi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "engine/ini.h"

namespace vx {

std::optional<MidiEvent> parse_midi(const unsigned char* bytes, size_t size) {
    if (bytes == nullptr || size == 0) return std::nullopt;
    const unsigned status = bytes[0];
    // A first byte below 0x80 is running status: its status came with an earlier message, which a
    // library should have put back; guessing it could move the wrong control.
    if (status < 0x80 || status >= 0xF0) return std::nullopt;
    for (size_t i = 1; i < size; ++i)
        if (bytes[i] > 0x7F) return std::nullopt;
    MidiEvent e;
    e.channel = static_cast<uint8_t>(status & 0x0F);
    switch (status & 0xF0) {
        case 0xB0:
            if (size != 3) return std::nullopt;
            e.type = MidiEvent::Type::ControlChange;
            e.number = bytes[1];
            e.value = bytes[2];
            return e;
        case 0xC0:
            if (size != 2) return std::nullopt;
            e.type = MidiEvent::Type::ProgramChange;
            e.number = bytes[1];
            return e;
        default:
            return std::nullopt;
    }
}

bool MidiQueue::push(const MidiEvent& e) {
    const size_t head = head_.load(std::memory_order_relaxed);
    const size_t next = (head + 1) % kCapacity;
    if (next == tail_.load(std::memory_order_acquire)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    ring_[head] = e;
    head_.store(next, std::memory_order_release);
    return true;
}

std::optional<MidiEvent> MidiQueue::pop() {
    const size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return std::nullopt;
    const MidiEvent e = ring_[tail];
    tail_.store((tail + 1) % kCapacity, std::memory_order_release);
    return e;
}

bool MidiBindings::forget(const MidiTarget& target) {
    const auto n = std::erase_if(bindings_, [&](const MidiBinding& b) { return b.target == target; });
    return n > 0;
}

std::optional<MidiBinding> MidiBindings::binding_of(const MidiTarget& target) const {
    for (const MidiBinding& b : bindings_)
        if (b.target == target) return b;
    return std::nullopt;
}

bool MidiBindings::control_change(const MidiEvent& e, std::vector<MidiTarget>& targets) {
    targets.clear();
    if (e.type != MidiEvent::Type::ControlChange || e.channel > 15 || e.number > 127) return false;
    bool learned = false;
    if (learning_) {
        forget(*learning_);
        bindings_.push_back({e.channel, e.number, *learning_});
        learning_.reset();
        learned = true;
    }
    for (const MidiBinding& b : bindings_)
        if (b.channel == e.channel && b.controller == e.number) targets.push_back(b.target);
    return learned;
}

namespace {
constexpr const char* kMainSection = "MIDI";
std::string binding_section(size_t i) { return "binding" + std::to_string(i + 1); }
}  // namespace

void MidiBindings::load(const std::string& path) {
    bindings_.clear();
    const IniFile ini(path);
    const int32_t count = ini.read_int(kMainSection, "count", 0);
    // A damaged count must not make us walk millions of sections.
    for (int32_t i = 0; i < std::clamp(count, 0, 4096); ++i) {
        const std::string s = binding_section(static_cast<size_t>(i));
        MidiBinding b;
        b.channel = ini.read_int(s, "channel", 0) - 1;
        b.controller = ini.read_int(s, "controller", -1);
        b.target.slot = ini.read_int(s, "slot", 0);
        b.target.control = ini.read_string(s, "control", "");
        if (b.channel < 0 || b.channel > 15 || b.controller < 0 || b.controller > 127 || b.target.slot < 1 ||
            b.target.slot > 16 || b.target.control.empty())
            continue;
        forget(b.target);
        bindings_.push_back(b);
    }
}

std::string MidiBindings::save(const std::string& path) const {
    // Written whole: a binding forgotten must not survive as a stale section.
    std::ostringstream text;
    text << '[' << kMainSection << "]\ncount=" << bindings_.size() << '\n';
    for (size_t i = 0; i < bindings_.size(); ++i) {
        const MidiBinding& b = bindings_[i];
        text << "\n[" << binding_section(i) << "]\nslot=" << b.target.slot << "\ncontrol=" << b.target.control
             << "\nchannel=" << b.channel + 1 << "\ncontroller=" << b.controller << '\n';
    }
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return "cannot create " + temp;
        out << text.str();
        out.flush();
        if (!out) return "cannot write " + temp;
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return "cannot replace " + path;
    }
    return "";
}

int midi_slider_position(int value, int min, int max) {
    const int v = std::clamp(value, 0, 127);
    if (max < min) std::swap(min, max);
    return min + static_cast<int>(std::nearbyint(static_cast<double>(max - min) * v / 127.0));
}

ProgramChoice program_choice(int program) {
    ProgramChoice c;
    if (program >= 0 && program < 12) c.function_key = program + 1;
    else if (program >= 12 && program <= 127) c.list_entry = program - 12;
    return c;
}

}  // namespace vx
