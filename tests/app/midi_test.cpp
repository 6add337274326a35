// MIDI: the message rules, the queue, bindings and their file, and the main window driven by
// program and control changes; at the end the real input port on a private JACK dummy server.
#include <fcntl.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "app/midi.h"
#include "app/midi_control.h"
#include "engine/program_folder.h"
#include "jack_server.h"
#include "program_fixture.h"


namespace vx::test {
namespace {

std::optional<MidiEvent> parse(std::vector<unsigned char> b) { return parse_midi(b.data(), b.size()); }

TEST(MidiMessages, OnlyWholeControlAndProgramChangesAreUsed) {
    const auto cc = parse({0xB3, 11, 127});
    ASSERT_TRUE(cc);
    EXPECT_EQ(cc->type, MidiEvent::Type::ControlChange);
    EXPECT_EQ(cc->channel, 3);
    EXPECT_EQ(cc->number, 11);
    EXPECT_EQ(cc->value, 127);
    const auto pc = parse({0xCF, 12});
    ASSERT_TRUE(pc);
    EXPECT_EQ(pc->type, MidiEvent::Type::ProgramChange);
    EXPECT_EQ(pc->channel, 15);
    EXPECT_EQ(pc->number, 12);

    const std::vector<std::vector<unsigned char>> ignored = {
        {},                        // nothing
        {0xF0, 0x7D, 0x01, 0xF7},  // system exclusive
        {0xF8},                    // clock
        {0x07, 0x40},              // running status: no status byte
        {0x90, 60, 100},           // note on
        {0xB0, 0x80, 10},          // controller out of range
        {0xB0, 7, 0xFF},           // value out of range
        {0xB0, 7},                 // cut short
        {0xB0, 7, 1, 2},           // too long
        {0xC0},                    // program without its number
        {0xC0, 200},               // program out of range
    };
    for (const auto& m : ignored) EXPECT_FALSE(parse(m)) << "message of " << m.size() << " bytes";
}

TEST(MidiMessages, ProgramAndValueRules) {
    EXPECT_EQ(program_choice(0).function_key, 1);
    EXPECT_EQ(program_choice(11).function_key, 12);
    EXPECT_EQ(program_choice(11).list_entry, -1);
    EXPECT_EQ(program_choice(12).function_key, 0);
    EXPECT_EQ(program_choice(12).list_entry, 0);
    EXPECT_EQ(program_choice(127).list_entry, 115);
    EXPECT_EQ(program_choice(-1).list_entry, -1);

    struct Case { int value, min, max, want; };
    for (const Case c : {Case{0, 0, 100, 0}, {127, 0, 100, 100}, {64, 0, 100, 50}, {1, 0, 100, 1},
                         {0, -20, 20, -20}, {127, -20, 20, 20}, {127, 1, 50, 50}, {300, 0, 100, 100},
                         {-5, 0, 100, 0}, {127, 5, 5, 5}})
        EXPECT_EQ(midi_slider_position(c.value, c.min, c.max), c.want) << c.value << " on " << c.min << ".." << c.max;
    EXPECT_FALSE(midi_switch_on(63));
    EXPECT_TRUE(midi_switch_on(64));
}

TEST(MidiQueue, KeepsOrderAcrossThreadsAndDropsWhenFull) {
    MidiQueue q;
    // Producer on its own thread, as the library's; nothing lost while the consumer keeps up.
    constexpr int kEvents = 5000;
    std::thread producer([&] {
        for (int i = 0; i < kEvents; ++i) {
            const MidiEvent e{MidiEvent::Type::ControlChange, static_cast<uint8_t>(i % 16),
                              static_cast<uint8_t>((i / 16) % 128), static_cast<uint8_t>(i % 128)};
            while (!q.push(e)) std::this_thread::yield();
        }
    });
    for (int i = 0; i < kEvents;) {
        if (const auto e = q.pop()) {
            ASSERT_EQ(e->channel, i % 16);
            ASSERT_EQ(e->number, (i / 16) % 128);
            ASSERT_EQ(e->value, i % 128);
            ++i;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();

    MidiQueue full;
    int pushed = 0;
    while (full.push(MidiEvent{})) ++pushed;
    EXPECT_EQ(pushed, static_cast<int>(MidiQueue::kCapacity) - 1);
    EXPECT_EQ(full.dropped(), 1u);
    EXPECT_TRUE(full.pop());
    EXPECT_TRUE(full.push(MidiEvent{}));
}

MidiEvent cc(int channel, int controller, int value) {
    return {MidiEvent::Type::ControlChange, static_cast<uint8_t>(channel), static_cast<uint8_t>(controller),
            static_cast<uint8_t>(value)};
}

TEST(MidiBindings, LearnForgetAndTheirFile) {
    const fs::path dir = fs::temp_directory_path() / ("vx-midi-ini-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "midi.ini").string();

    MidiBindings b;
    std::vector<MidiTarget> hit;
    EXPECT_FALSE(b.control_change(cc(0, 7, 10), hit));  // nothing bound, nothing learning
    EXPECT_TRUE(hit.empty());

    const MidiTarget wah{3, "ScrollBar_Gain_Mono"}, onoff{5, kMidiOnOff};
    b.learn(wah);
    EXPECT_TRUE(b.control_change(cc(2, 11, 64), hit));
    ASSERT_EQ(hit.size(), 1u);
    EXPECT_EQ(hit[0], wah);
    b.control_change(cc(0, 11, 64), hit);  // same controller, other channel
    EXPECT_TRUE(hit.empty());
    // Learning again moves the control to the new controller; one pedal may drive two controls.
    b.learn(wah);
    b.control_change(cc(2, 4, 0), hit);
    b.learn(onoff);
    b.control_change(cc(2, 4, 0), hit);
    EXPECT_EQ(hit.size(), 2u);
    EXPECT_EQ(b.all().size(), 2u);
    b.control_change(cc(2, 11, 64), hit);
    EXPECT_TRUE(hit.empty());

    ASSERT_EQ(b.save(path), "");
    MidiBindings again;
    again.load(path);
    EXPECT_EQ(again.all(), b.all());
    EXPECT_TRUE(again.forget(onoff));
    EXPECT_FALSE(again.forget(onoff));
    ASSERT_EQ(again.save(path), "");
    MidiBindings third;
    third.load(path);
    ASSERT_EQ(third.all().size(), 1u);
    EXPECT_EQ(third.all()[0].target, wah);

    // A damaged file: every binding out of range is dropped, a huge count walks no further.
    {
        std::ofstream out(path, std::ios::trunc);
        out << "[MIDI]\ncount=2000000000\n[binding1]\nslot=17\ncontrol=X\nchannel=1\ncontroller=1\n"
               "[binding2]\nslot=1\ncontrol=X\nchannel=0\ncontroller=1\n"
               "[binding3]\nslot=1\ncontrol=X\nchannel=1\ncontroller=128\n"
               "[binding4]\nslot=1\ncontrol=\nchannel=1\ncontroller=1\n"
               "[binding5]\nslot=2\ncontrol=Y\nchannel=16\ncontroller=127\n";
    }
    third.load(path);
    ASSERT_EQ(third.all().size(), 1u);
    EXPECT_EQ(third.all()[0], (MidiBinding{15, 127, {2, "Y"}}));
    third.load((dir / "missing.ini").string());
    EXPECT_TRUE(third.all().empty());
    fs::remove_all(dir);
}

// --- the main window ------------------------------------------------------------------------

class Midi : public ProgramFolder {
protected:
    void SetUp() override {
        ProgramFolder::SetUp();
        set_settings_read_only(false);
        write_preset("F1 Clean.pre", {kGainKind});
        write_preset("F2 Wah.pre", {kWah});
        write_preset("A.pre", {kNoiseGate});
        write_preset("B.pre", {kGainKind, kDelayKind});
    }
    void TearDown() override {
        set_settings_read_only(false);
        ProgramFolder::TearDown();
    }
    TForm1& open_with_log() {
        TForm1& f = open();
        f.midi().on_program = [this](const std::string& line) { lines.push_back(line); };
        return f;
    }
    void send(std::vector<unsigned char> bytes) { form->midi().receive(bytes.data(), bytes.size()); }
    std::string loaded() const { return fs::path(form->last_chain_file()).filename().string(); }
    Form& editor(int slot) { return *form->rack_table().instance[slot - 1]->form; }
    Slider& gain_mono(int slot) { return *editor(slot).find_as<Slider>("ScrollBar_Gain_Mono"); }

    std::vector<std::string> lines;
};

TEST_F(Midi, ProgramChangesLoadTheKeysPresetsThenTheList) {
    open_with_log();
    // Shown order: A.pre, B.pre, F1 Clean.pre, F2 Wah.pre.
    struct Case { int program; const char* want; };
    for (const Case c : {Case{1, "F2 Wah.pre"}, {0, "F1 Clean.pre"}, {12, "A.pre"}, {13, "B.pre"},
                         {15, "F2 Wah.pre"}, {14, "F1 Clean.pre"}}) {
        send({0xC0, static_cast<unsigned char>(c.program)});
        EXPECT_EQ(form->midi().drain(), 1);
        EXPECT_EQ(loaded(), c.want) << "program " << c.program;
        EXPECT_EQ(lines.back(), "MIDI program " + std::to_string(c.program) + ": loaded " + c.want);
    }
    // No preset for F6 or entry 4: the rack stays.
    for (int program : {5, 16, 127}) {
        send({0xC4, static_cast<unsigned char>(program)});
        form->midi().drain();
        EXPECT_EQ(loaded(), "F1 Clean.pre");
        EXPECT_EQ(lines.back(), "MIDI program " + std::to_string(program) + ": no preset");
    }
    EXPECT_EQ(form->rack_table().kind[0], kGainKind);
}

TEST_F(Midi, LearnedControlsFollowTheControllerAndSurvivePresetsAndRestarts) {
    TForm1& f = open_with_log();
    send({0xC0, 0});  // F1 Clean: a Gain in slot 1
    f.midi().drain();
    ASSERT_EQ(f.rack_table().kind[0], kGainKind);

    // Nothing bound yet: a control change moves nothing.
    const int untouched = gain_mono(1).position();
    send({0xB0, 7, 77});
    f.midi().drain();
    EXPECT_EQ(gain_mono(1).position(), untouched);

    ASSERT_TRUE(f.midi().learn(editor(1), gain_mono(1)));
    ASSERT_TRUE(f.midi().learn(f, f.slot(1).onoff));  // replaces the pending learn
    send({0xB1, 64, 127});
    f.midi().drain();
    ASSERT_TRUE(f.midi().learn(editor(1), gain_mono(1)));
    send({0xB0, 7, 0});
    f.midi().drain();
    EXPECT_EQ(gain_mono(1).position(), 0);
    for (const auto& [value, want] : {std::pair{127, 100}, {64, 50}, {1, 1}, {0, 0}}) {
        send({0xB0, 7, static_cast<unsigned char>(value)});
        f.midi().drain();
        EXPECT_EQ(gain_mono(1).position(), want) << value;
    }
    // The footswitch on channel 2 switches slot 1, in the rack and for the runner.
    send({0xB1, 64, 0});
    f.midi().drain();
    EXPECT_FALSE(f.slot(1).onoff.checked());
    EXPECT_EQ(f.rack_table().enabled[0], 0);
    send({0xB1, 64, 127});
    f.midi().drain();
    EXPECT_TRUE(f.slot(1).onoff.checked());
    EXPECT_EQ(f.rack_table().enabled[0], 1);

    // A wah in slot 1 has no such slider: the pedal does nothing there, and the binding stays.
    send({0xC0, 1});
    f.midi().drain();
    ASSERT_EQ(f.rack_table().kind[0], kWah);
    send({0xB0, 7, 127});
    f.midi().drain();
    send({0xC0, 0});
    f.midi().drain();
    send({0xB0, 7, 127});
    f.midi().drain();
    EXPECT_EQ(gain_mono(1).position(), 100);

    // A restart reads them back.
    close_and_end();
    TForm1& g = open_with_log();
    EXPECT_EQ(g.midi().bindings().all().size(), 2u);
    send({0xC0, 0});
    send({0xB0, 7, 38});
    send({0xB1, 64, 10});
    EXPECT_EQ(g.midi().drain(), 3);
    EXPECT_EQ(gain_mono(1).position(), midi_slider_position(38, 0, 100));
    EXPECT_FALSE(g.slot(1).onoff.checked());

    // Forget is kept too; controls that cannot be bound are refused.
    EXPECT_TRUE(g.midi().forget(g, g.slot(1).onoff));
    EXPECT_FALSE(g.midi().forget(g, g.slot(1).onoff));
    EXPECT_FALSE(g.midi().learn(g, g.ComboBox_PRESETS));
    EXPECT_FALSE(g.midi().learn(g, g.ScrollBar_waveOutGain));  // not a slot's
    close_and_end();
    TForm1& h = open();
    EXPECT_EQ(h.midi().bindings().all().size(), 1u);
}

TEST_F(Midi, ReadOnlySettingsLeaveMidiIniAlone) {
    set_settings_read_only(true);
    TForm1& f = open();
    send({0xC0, 0});
    f.midi().drain();
    ASSERT_TRUE(f.midi().learn(editor(1), gain_mono(1)));
    send({0xB0, 7, 127});
    f.midi().drain();
    EXPECT_EQ(gain_mono(1).position(), 100);  // bound for this run
    EXPECT_FALSE(fs::exists(home / "midi.ini"));
}

// A burst of control changes moves sliders on this thread while blocks run on another: no block
// is refused, since a moved control never closes a gate.
TEST_F(Midi, ControlChangeBurstRefusesNoBlock) {
    TForm1& f = open();
    send({0xC0, 0});
    f.midi().drain();
    ASSERT_TRUE(f.midi().learn(editor(1), gain_mono(1)));
    send({0xB0, 7, 0});
    f.midi().drain();

    std::atomic<bool> done{false};
    std::atomic<int32_t> calls{0};
    const int32_t before = block_counter();
    std::thread audio([&] {
        std::vector<float> buffer(2 * 128, 1000.0f);
        while (!done.load()) {
            ChainRunner(128, 48000, 2, buffer.data());
            calls.fetch_add(1);
        }
    });
    for (int i = 0; i < 1000; ++i) {
        send({0xB0, 7, static_cast<unsigned char>(i % 128)});
        if (i % 50 == 49) {
            EXPECT_EQ(f.midi().drain(), 50);
        }
    }
    // At least a few blocks while the sliders move.
    while (calls.load() < 10) std::this_thread::yield();
    done.store(true);
    audio.join();
    EXPECT_EQ(block_counter() - before, calls.load());
    EXPECT_EQ(f.midi().dropped(), 0u);
    EXPECT_EQ(gain_mono(1).position(), midi_slider_position(999 % 128, 0, 100));
}

// --- the real port ------------------------------------------------------------------------------


// Drains until `done` holds; a generous bound only keeps a broken build from hanging.
bool drain_until(TForm1& f, const std::function<bool()>& done) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < give_up) {
        f.midi().drain();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

TEST_F(Midi, JackPortTakesProgramAndControlChanges) {
    JackServer jack("vx-midi-");
    if (!jack.why_not().empty()) GTEST_SKIP() << jack.why_not();
    TForm1& f = open_with_log();
    std::atomic<int> woken{0};
    f.midi().on_queued = [&] { woken.fetch_add(1); };
    ASSERT_TRUE(f.open_midi());
    EXPECT_EQ(f.midi().port()->backend(), "JACK");
    EXPECT_EQ(f.midi().port()->port_name(), "Varnomix:midi_in");

    RtMidiOut out(RtMidi::UNIX_JACK, "vx-pedal");
    int ours = -1;
    for (unsigned i = 0; i < out.getPortCount(); ++i)
        if (out.getPortName(i) == "Varnomix:midi_in") ours = static_cast<int>(i);
    ASSERT_GE(ours, 0) << "Varnomix:midi_in is not offered to senders";
    out.openPort(static_cast<unsigned>(ours), "out");
    auto send_out = [&](std::vector<unsigned char> m) { out.sendMessage(&m); };

    send_out({0xC0, 1});
    ASSERT_TRUE(drain_until(f, [&] { return loaded() == "F2 Wah.pre"; }));
    send_out({0xC0, 14});
    ASSERT_TRUE(drain_until(f, [&] { return loaded() == "F1 Clean.pre"; }));
    EXPECT_EQ(lines.back(), "MIDI program 14: loaded F1 Clean.pre");
    EXPECT_GT(woken.load(), 0);

    ASSERT_TRUE(f.midi().learn(editor(1), gain_mono(1)));
    send_out({0xB5, 20, 0});
    ASSERT_TRUE(drain_until(f, [&] { return !f.midi().bindings().learning().has_value(); }));
    EXPECT_EQ(gain_mono(1).position(), 0);
    ASSERT_TRUE(f.midi().learn(f, f.slot(1).onoff));
    send_out({0xB5, 21, 0});
    ASSERT_TRUE(drain_until(f, [&] { return !f.slot(1).onoff.checked(); }));

    // Malformed and unknown messages, then one good one: only the good one acts.
    send_out({0xF0, 0x7D, 0x10, 0x20, 0xF7});
    send_out({0x14, 0x7F});        // running status
    send_out({0xB5, 0x94, 0x7F});  // controller out of range
    send_out({0x95, 60, 100});     // note on
    send_out({0xB5, 20, 127});
    ASSERT_TRUE(drain_until(f, [&] { return gain_mono(1).position() == 100; }));
    EXPECT_FALSE(f.slot(1).onoff.checked());
    EXPECT_EQ(loaded(), "F1 Clean.pre");

    // The whole range, in order.
    for (int v = 0; v <= 127; ++v) send_out({0xB5, 20, static_cast<unsigned char>(v)});
    send_out({0xB5, 21, 127});
    ASSERT_TRUE(drain_until(f, [&] { return f.slot(1).onoff.checked(); }));
    EXPECT_EQ(gain_mono(1).position(), 100);
    EXPECT_EQ(f.midi().dropped(), 0u);
}

}  // namespace
}  // namespace vx::test

namespace vx::test {
namespace {

TEST_F(Midi, TheSourceKeptInFaceIniIsConnectedAtStart) {
    JackServer jack("vx-midi-");
    if (!jack.why_not().empty()) GTEST_SKIP() << jack.why_not();
    RtMidiOut pedal(RtMidi::UNIX_JACK, "vx-pedal");
    pedal.openVirtualPort("out");
    {
        std::ofstream ini(home / "face.ini");
        ini << "[MIDI]\nsource=vx-pedal:out\n";
    }
    TForm1& f = open_with_log();
    ASSERT_TRUE(f.open_midi());
    EXPECT_EQ(f.ComboBox_MIDI.text(), "vx-pedal:out");
    EXPECT_TRUE(f.ComboBox_MIDI.enabled());
    std::vector<unsigned char> program{0xC0, 1};
    pedal.sendMessage(&program);
    ASSERT_TRUE(drain_until(f, [&] { return loaded() == "F2 Wah.pre"; }));

    // "none" is kept as none.
    f.ComboBox_MIDI.set_index(0);
    close_and_end();
    EXPECT_NE(text_of(home / "face.ini").find("source=\n"), std::string::npos) << text_of(home / "face.ini");
}

}  // namespace
}  // namespace vx::test
