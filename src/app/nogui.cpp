#include "nogui.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Unit1.h"
#include "app/console_services.h"
#include "app/control_commands.h"
#include "app/midi_control.h"
#include "app/options.h"
#include "app/editor_dialogs.h"
#include "fx/record_wavs.h"
#include "engine/program_folder.h"
#include "drivers/builtin_devices.h"
#include "drivers/dsound.h"
#include "engine/effects.h"

namespace vx {

namespace {

const char* kUsage =
    "usage: varnomix --nogui [options]\n"
    "  --input NAME|INDEX   input device (default: the first listed)\n"
    "  --output NAME|INDEX  output device (default: the first listed)\n"
    "  --rate HZ            22050, 32075, 44100 or 48000 (default: 48000)\n"
    "  --mono               process one channel (default: stereo)\n"
    "  --preset FILE.pre    the FX chain to play (default: the last one the desktop program loaded,\n"
    "                       else PRESETS/F9 - High Gain Distortion Noise Gate.pre)\n"
    "  --seconds N          run N seconds, then stop (default: until Ctrl+C or SIGTERM)\n"
    "  --record S:FILE.wav  record with the recorder (\"Record wav\") of slot S of the chain from START\n"
    "                       and save the take to FILE.wav at the stop\n"
    "  --input-file FILE    the WAV file that the input \"WAV file input\" plays in a loop (chooses that\n"
    "                       input when --input is not given)\n"
    "  --tuner              print the tuner's reading ten times a second instead of the meter line:\n"
    "                       \"tuner  E2   82.41 Hz   -3.0 cents\", or \"tuner  --\" when no pitch is found\n"
    "  --list-devices       print the input and output devices with their indices\n"
    "  --midi NAME|INDEX    connect that MIDI source to the program's MIDI input (Varnomix:midi_in\n"
    "                       under JACK, the ALSA sequencer client Varnomix otherwise)\n"
    "  --list-midi          print the MIDI sources with their indices\n"
    "  --commands FILE      read commands that change the running engine from FILE (a FIFO, or - for\n"
    "                       standard input), one a line: set S:NAME=VALUE, press S:NAME,\n"
    "                       preset FILE.pre, F1..F12, on S, off S, stop\n"
    "  --home DIR           the program folder (default: $VARNOMIX_HOME, else the program's folder)\n"
    "Settings are read from the program folder (face.ini, playback.ini) but never written.\n"
    "Values may also follow an \"=\" (--NAME=VALUE); \"--\" ends the options.\n";

std::atomic<bool> stop_requested{false};

extern "C" void on_stop_signal(int) { stop_requested.store(true); }

struct Options {
    std::string home, input, output, rate, preset;
    std::string input_file;
    std::string commands;  // "" none, "-" standard input, else a file or FIFO
    bool mono = false;
    bool tuner = false;
    bool list = false;
    bool list_midi = false;
    std::string midi;
    bool help = false;
    double seconds = 0.0;  // 0: until a signal
    std::vector<std::pair<int, std::string>> records;  // slot, file
};

int usage_error(const std::string& text) { return vx::usage_error("varnomix", text); }

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The entry a word names: its exact text, else the same text in other case, else its index.
int find_entry(const std::vector<std::string>& items, const std::string& word) {
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i] == word) return static_cast<int>(i);
    for (size_t i = 0; i < items.size(); ++i)
        if (lower(items[i]) == lower(word)) return static_cast<int>(i);
    if (!word.empty() && word.size() < 6 && std::all_of(word.begin(), word.end(), ::isdigit)) {
        const int i = std::atoi(word.c_str());
        if (i < static_cast<int>(items.size())) return i;
    }
    return -1;
}

void print_list(const char* title, const std::vector<std::string>& items) {
    std::printf("%s\n", title);
    for (size_t i = 0; i < items.size(); ++i) std::printf("  %2zu  %s\n", i, items[i].c_str());
}

std::string unknown_device(const char* what, const std::string& word, const std::vector<std::string>& items) {
    std::string s = std::string("unknown ") + what + " device \"" + word + "\"; the " + what + " devices are:";
    for (size_t i = 0; i < items.size(); ++i) s += "\n  " + std::to_string(i) + "  " + items[i];
    return s;
}

// Parses the options; "" or the usage error.
std::string parse(int argc, char** argv, Options& o) {
    static constexpr OptionSpec kSpecs[] = {
        {"--nogui"}, {"--help", false, "", 'h'}, {"--mono"}, {"--tuner"}, {"--list-devices"}, {"--list-midi"},
        {"--record", true, "takes S:FILE.wav, S a slot 1..16"}, {"--midi", true}, {"--input", true},
        {"--output", true}, {"--rate", true}, {"--home", true}, {"--seconds", true}, {"--preset", true},
        {"--input-file", true}, {"--commands", true},
    };
    const ParsedOptions parsed = parse_options({argv + 1, argv + argc}, kSpecs);
    if (!parsed.ok()) return parsed.error;
    for (const OptionItem& a : parsed.items) {
        const std::string& v = a.value;
        if (a.positional()) return "unexpected argument \"" + v + "\"";
        if (a.is("--record")) {
            auto record = parse_slot_and_file(v, 16);
            if (!record) return "--record takes S:FILE.wav, S a slot 1..16";
            o.records.push_back(*record);
        }
        o.mono = o.mono || a.is("--mono");
        o.list_midi = o.list_midi || a.is("--list-midi");
        o.tuner = o.tuner || a.is("--tuner");
        o.list = o.list || a.is("--list-devices");
        o.help = o.help || a.is("--help");
        if (a.is("--midi")) o.midi = v;
        if (a.is("--input")) o.input = v;
        if (a.is("--output")) o.output = v;
        if (a.is("--rate")) o.rate = v;
        if (a.is("--home")) o.home = v;
        if (a.is("--preset")) o.preset = v;
        if (a.is("--input-file")) o.input_file = v;
        if (a.is("--commands")) o.commands = v;
        if (a.is("--seconds")) {
            char* end = nullptr;
            const double s = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !std::isfinite(s) || s <= 0.0 || s > 1e7)
                return "--seconds needs a positive number of seconds, not \"" + v + "\"";
            o.seconds = s;
        }
    }
    return "";
}

// The recorder that slot S (1..16) holds now, or null.
TRecord_wav_form* recorder_in(TForm1& form, int slot) {
    const EffectInstance inst = form.rack_table().instance[slot - 1];
    return inst ? dynamic_cast<TRecord_wav_form*>(inst->form) : nullptr;
}

// One line of --commands; a bad line is said and skipped, "stop" ends the run.
void run_command_line(TForm1& form, const std::string& line, bool too_long) {
    const CommandOutcome r = too_long ? CommandOutcome{"a command line of more than " +
                                                          std::to_string(CommandReader::kMaxLine) + " bytes"}
                                      : run_control_command(form, line);
    if (!r.error.empty()) std::fprintf(stderr, "varnomix: %s; line skipped\n", r.error.c_str());
    if (r.stop) stop_requested.store(true);
}

// The rate's index in the radio group, or -1.
int rate_index(const std::string& word) {
    for (int i = 0; i < 4; ++i)
        if (word == std::to_string(kSampleRates[i])) return i;
    return -1;
}

}  // namespace

int run_nogui(int argc, char** argv) {
    Options o;
    if (const std::string err = parse(argc, argv, o); !err.empty()) return usage_error(err);
    if (o.help) {
        std::printf("%s", kUsage);
        return 0;
    }
    int rate = -1;
    if (!o.rate.empty() && (rate = rate_index(o.rate)) < 0)
        return usage_error("the sample rate \"" + o.rate + "\" is not one of 22050, 32075, 44100, 48000 Hz");

    // From the start: a stop asked for while devices open still ends with a clean STOP.
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);

    const std::filesystem::path folder = program_folder(o.home);
    ConsoleServices services;
    ServicesForEditors editor_dialogs(services);
    set_settings_read_only(true);
    LibraryDrivers drivers((folder / "temp" / "live-output.wav").string());
    TForm1 form(services, drivers, folder);
    // A headless run leaves the desktop program's devices and last chain file as they were.
    form.write_settings_at_close = false;
    form.show();

    // MIDI events and command lines wake the loop below, which handles them at once rather than
    // at the next tick.
    std::mutex midi_mutex;
    std::condition_variable midi_wake;
    bool midi_queued = false;
    // Command lines waiting; a reader that runs ahead (a long file) waits for room.
    std::vector<std::pair<std::string, bool>> command_lines;  // line, too long
    std::condition_variable command_room;
    bool commands_closing = false;
    CommandReader commands;
    // Goes first on every way out: a reader waiting for room must not hold up the end.
    struct CommandsOff {
        std::mutex& m;
        bool& closing;
        std::condition_variable& room;
        CommandReader& reader;
        ~CommandsOff() {
            {
                std::lock_guard<std::mutex> lock(m);
                closing = true;
            }
            room.notify_all();
            reader.stop();
        }
    } commands_off{midi_mutex, commands_closing, command_room, commands};
    // The port goes before what its thread's wake-up uses.
    struct MidiOff {
        TForm1& form;
        ~MidiOff() { form.midi().use_port(nullptr); }
    } midi_off{form};
    form.midi().on_queued = [&] {
        {
            std::lock_guard<std::mutex> lock(midi_mutex);
            midi_queued = true;
        }
        midi_wake.notify_one();
    };
    form.midi().on_program = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    const bool have_midi = !o.list && form.open_midi();  // the device list needs no MIDI
    if (o.list_midi) {
        if (have_midi) {
            const std::vector<std::string>& items = form.ComboBox_MIDI.items();
            print_list("MIDI sources:", std::vector<std::string>(items.begin() + 1, items.end()));
        }
        form.close();
        return have_midi ? 0 : 1;
    }
    if (!o.midi.empty()) {
        const std::string why = have_midi ? form.connect_midi_source(o.midi) : "there is no MIDI input";
        if (!why.empty()) {
            form.close();
            return usage_error("--midi " + o.midi + ": " + why);
        }
    }

    const std::vector<std::string> inputs = form.ComboBox_waveIn.items();
    const std::vector<std::string> outputs = form.ComboBox_waveOut.items();
    if (o.list) {
        print_list("Input devices:", inputs);
        print_list("Output devices:", outputs);
        std::printf("(\"%s\" writes %s)\n", kWavOutputName, wav_output_path().c_str());
        form.close();
        return 0;
    }

    if (!o.input_file.empty()) {
        drivers.set_wav_input_path(o.input_file);
        if (o.input.empty()) o.input = kWavInputName;
    }
    const int in = o.input.empty() ? 0 : find_entry(inputs, o.input);
    if (in < 0 || in >= static_cast<int>(inputs.size())) return usage_error(unknown_device("input", o.input, inputs));
    const int out = o.output.empty() ? 0 : find_entry(outputs, o.output);
    if (out < 0 || out >= static_cast<int>(outputs.size()))
        return usage_error(unknown_device("output", o.output, outputs));

    if (!o.preset.empty()) {
        ChainFile probe;
        std::string why;
        if (!read_chain_file(o.preset, probe, &why)) {
            form.close();
            return usage_error("cannot read the FX chain file \"" + o.preset + "\": " + why + " (a chain file is " +
                               std::to_string(kChainFileSize) + " bytes)");
        }
        form.load_chain_file(o.preset);
    }

    if (!o.commands.empty()) {
        const std::string why = commands.start(o.commands, [&](const std::string& line, bool too_long) {
            {
                std::unique_lock<std::mutex> lock(midi_mutex);
                command_room.wait(lock, [&] { return command_lines.size() < 64 || commands_closing; });
                if (commands_closing) return;
                command_lines.emplace_back(line, too_long);
            }
            midi_wake.notify_one();
        });
        if (!why.empty()) {
            form.close();
            return usage_error("--commands: " + why);
        }
    }

    for (const auto& [slot, file] : o.records) {
        if (recorder_in(form, slot) == nullptr) {
            form.close();
            return usage_error("--record " + std::to_string(slot) + ":" + file + ": slot " + std::to_string(slot) +
                               " of the chain holds no \"Record wav\"");
        }
    }

    // The options and their defaults, whatever face.ini said.
    form.ComboBox_waveIn.set_index(in);
    form.ComboBox_waveOut.set_index(out);
    form.rgSampleRate.set_index(rate >= 0 ? rate : 3);
    form.cbStereo.set_checked(!o.mono);
    const std::string& out_name = outputs[static_cast<size_t>(out)];
    const std::string& in_name = inputs[static_cast<size_t>(in)];
    std::printf("input:  %s%s\noutput: %s%s\n", in_name.c_str(),
                in_name == kWavInputName ? (" (" + drivers.wav_input_path() + ")").c_str() : "", out_name.c_str(),
                out_name == kWavOutputName ? (" (" + wav_output_path() + ")").c_str() : "");

    form.BitBtn_Init.click();
    if (auto q = services.quit_requested()) return *q;
    if (!form.BitBtn_Reset.enabled()) {
        const std::string why = drivers.waveOut_error();
        if (!why.empty()) std::fprintf(stderr, "varnomix: %s\n", why.c_str());
        form.close();
        return 1;
    }
    const EngineSettings& e = engine_settings;
    std::printf("rate:   %d Hz, %s, %d frames a block (%.1f ms)\n", e.sample_rate, e.channels == 2 ? "stereo" : "mono",
                e.block_size, 1000.0 * e.block_size / e.sample_rate);
    std::printf("chain:  %s\n", form.last_chain_file().empty() ? "(empty rack)" : form.last_chain_file().c_str());
    if (have_midi)
        std::printf("midi:   %s (%s)%s%s\n", form.midi().port()->port_name().c_str(), form.midi().port()->backend().c_str(),
                    form.ComboBox_MIDI.index() > 0 ? ", from " : "",
                    form.ComboBox_MIDI.index() > 0 ? form.ComboBox_MIDI.text().c_str() : "");
    std::fflush(stdout);
    for (const auto& rec : o.records) recorder_in(form, rec.first)->Button_Save.click();

    const auto tick = std::chrono::milliseconds(TForm1::kTimer1IntervalMs);
    const long ticks = o.seconds > 0.0 ? std::lround(o.seconds * 1000.0 / TForm1::kTimer1IntervalMs) : -1;
    const int ticks_a_second = 1000 / TForm1::kTimer1IntervalMs;
    auto next = std::chrono::steady_clock::now();
    long done = 0;
    int32_t blocks_before = block_counter();
    bool said_silent = false;
    bool output_failed = false;
    while (!stop_requested.load() && (ticks < 0 || done < ticks)) {
        next += tick;
        {
            std::unique_lock<std::mutex> lock(midi_mutex);
            while (midi_wake.wait_until(lock, next, [&] { return midi_queued || !command_lines.empty(); })) {
                const bool midi = std::exchange(midi_queued, false);
                const auto lines = std::exchange(command_lines, {});
                lock.unlock();
                command_room.notify_all();
                if (midi) form.midi().drain();
                for (const auto& [line, too_long] : lines) run_command_line(form, line, too_long);
                lock.lock();
                // However fast lines come, the tick keeps its time.
                if (std::chrono::steady_clock::now() >= next) break;
            }
        }
        form.Timer1Timer();
        advance_form_timers(TForm1::kTimer1IntervalMs);
        // The output failed and the engine stopped itself; the message has been printed. A take
        // recorded so far is still saved below.
        if (!form.BitBtn_Reset.enabled()) {
            output_failed = true;
            break;
        }
        ++done;
        if (o.tuner) {
            form.tuner().update();
            std::printf("%s\n", format_reading(form.tuner().reading()).c_str());
            std::fflush(stdout);
        }
        if (done % ticks_a_second == 0) {
            if (!o.tuner) {
                // The meter shows the last block; the longest one and the longest wait between
                // two are what tell a late block (an xrun) apart.
                const BlockTimes t = take_block_times();
                std::printf("%5ld s  CPU %3d %%  in %3d  out %3d  latency %5.1f ms  dropped %d  underruns %d  "
                            "longest block %.2f ms (slot %d %.2f ms)  longest gap %.2f ms\n",
                            done / ticks_a_second, form.ProgressBar_CPU.value(), form.ProgressBar_inlevel.value(),
                            form.ProgressBar_outlevel.value(), static_cast<double>(e.latency_ms),
                            form.watchdog_drops(), drivers.underruns(), t.longest_walk_ms, t.heaviest_slot,
                            t.heaviest_slot_ms, t.longest_gap_ms);
                std::fflush(stdout);
            }
            // A device or sound server that went away leaves the meters as they were.
            const int32_t blocks = block_counter();
            if (blocks == blocks_before && !said_silent) {
                std::fprintf(stderr, "varnomix: no blocks arrive from the input; is the device or sound server still there?\n");
            }
            said_silent = blocks == blocks_before;
            blocks_before = blocks;
        }
    }
    // Counted before STOP: once capture ends, the output drains, and that is no underrun.
    const int32_t underruns = drivers.underruns();
    if (!output_failed) {
        form.BitBtn_Reset.click();
        std::printf("stopped: %d blocks processed, %d dropped, %d underruns\n", block_counter(), form.watchdog_drops(),
                    underruns);
    }
    int status = output_failed ? 1 : 0;
    for (const auto& [slot, file] : o.records) {
        // Looked up again: a preset loaded meanwhile (a command, a MIDI program change) replaced
        // the instances, and with them the take.
        TRecord_wav_form* r = recorder_in(form, slot);
        if (r == nullptr) {
            std::fprintf(stderr, "varnomix: slot %d holds no \"Record wav\" any more (another chain was loaded); "
                                 "nothing saved to \"%s\"\n", slot, file.c_str());
            status = 1;
        } else if (r->save_take(file)) {
            std::printf("recorded: slot %d to %s\n", slot, file.c_str());
        } else {
            std::fprintf(stderr, "varnomix: the take of slot %d could not be saved to \"%s\"\n", slot, file.c_str());
            status = 1;
        }
    }
    form.close();
    return services.quit_requested().value_or(status);
}

}  // namespace vx
