// Unit Unit1: the main window's logic, without a toolkit. TForm1 is the main window. Its engine
// panel (engine_panel.cpp) starts and stops live processing, chooses the devices, the sample
// rate and mono or stereo, sets the input and output levels, shows CPU, level and latency meters,
// and keeps the output delay below a threshold by dropping queued output (the watchdog). The rack
// of 16 effect slots is in rack.cpp, FX chain files (presets) with their buttons, selector and
// F-keys in presets.cpp. The window's own lifecycle, "face.ini" and the skins are in Unit1.cpp.
//
// Engine panel controls:
//   BitBtn_Init (START), BitBtn_Reset (STOP)
//   ComboBox_waveIn, ComboBox_waveOut     input and output devices; the output list ends with a
//                                         fallback entry for the system's default output
//   rgSampleRate                          22050, 32075, 44100, 48000 Hz (48000 at start)
//   cbStereo                              checked = stereo
//   ScrollBar_waveInGain, _waveOutGain    0..100, 50; top (0) is loudest: the level sent to the
//                                         drivers is 100 - position
//   TrackBar_Latency_Porog                1..50 ms, 35: the watchdog's threshold
//   ProgressBar_CPU, _inlevel, _outlevel  0..100; ProgressBar_Latency 0..50 ms
//   Label_inlevel, Label_outlevel         the peaks in dB relative to full scale
//   Light_inclip, Light_outclip           1 for two seconds after a sample reached full scale
//   Label_dropped, Label_underruns        blocks the watchdog dropped, and output underruns, since
//                                         START
//   spSkinButton19, spSkinButton20        add or drop one block of output delay
//   EditBufferSize                        hidden; shows the block size in frames
//
// Preset and skin controls:
//   spSkinButton17, spSkinButton18        "Save FX chain", "Load FX chain" (file dialogs)
//   ComboBox_PRESETS                      entry 0 refreshes the list, entry 1 shows the folder in
//                                         the file manager, then the "*.pre" files of PRESETS/:
//                                         choosing one loads it; F1..F12 choose the file whose
//                                         name starts with "F1 ", "F2" .. "F12"
//   ComboBox_SKINS                        the same for the "*.zip" skins of SKINS/
// Every handler and Timer1Timer run on the user-interface thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/chain_file.h"
#include "app/services.h"
#include "app/tuner.h"
#include "drivers/drivers.h"
#include "engine/effects.h"
#include "engine/forms.h"

namespace vx {

class MidiControl;

// The engine's settings: one record for the program.
struct EngineSettings {
    int32_t sample_rate = 48000;        // Hz
    int32_t channels = 2;               // 1 mono, 2 stereo
    int32_t block_size = 441;           // frames per block for the drivers
    double smoothed_delay_bytes = 0.0;  // output delay, smoothed
    double previous_delay_bytes = 0.0;  // the smoothed delay of the previous timer tick
    float latency_ms = 0.0f;            // the smoothed delay in milliseconds
    int32_t latency_threshold_ms = 35;  // above it the watchdog drops queued output
};
extern EngineSettings engine_settings;
// 1 while the engine runs; device and rate changes wait for STOP.
extern int32_t engine_running;
// The chain-file record of the program: a load reads into it and a save fills in the used fields
// before writing it, so the fields a save does not fill keep what the last load read.
extern ChainFile chain_file_record;
// Module start-up values. Runs once at program start; tests call it again for a clean state.
void unit1_startup();

inline constexpr int32_t kSampleRates[4] = {22050, 32075, 44100, 48000};
inline constexpr const char* kFallbackOutputEntry = "output: use this if other do not work";
inline constexpr const char* kDefaultChainFile = "F9 - High Gain Distortion Noise Gate.pre";
inline constexpr const char* kDefaultSkin = "symbios.zip";

// The integer nearest to x, halves to even; 0 for NaN, saturated at the int range.
int nearest(double x);

class TForm1 : public Form {
public:
    TForm1(Services& services, AudioDrivers& drivers, std::filesystem::path program_folder);
    ~TForm1() override;

    static constexpr int kTimer1IntervalMs = 100;

    // --- engine panel -------------------------------------------------------------------------
    Button BitBtn_Init{"BitBtn_Init", " START"};
    Button BitBtn_Reset{"BitBtn_Reset", "STOP"};
    Selector ComboBox_waveIn{"ComboBox_waveIn"};
    Selector ComboBox_waveOut{"ComboBox_waveOut"};
    RadioGroup rgSampleRate{"rgSampleRate", "  Sampling Frequency (Hz)", {"22050", "32075", "44100", "48000"}, 3};
    CheckBox cbStereo{"cbStereo", " Mono / Stereo", true};
    Slider ScrollBar_waveInGain{"ScrollBar_waveInGain", 0, 100, 50, 1, 10, Slider::Orientation::Vertical};
    Slider ScrollBar_waveOutGain{"ScrollBar_waveOutGain", 0, 100, 50, 1, 10, Slider::Orientation::Vertical};
    Slider TrackBar_Latency_Porog{"TrackBar_Latency_Porog", 1, 50, 35, 1, 5};
    Label Label_Latency_Porog{"Label_Latency_Porog", "Latency"};
    Meter ProgressBar_CPU{"ProgressBar_CPU", 0, 100};
    Meter ProgressBar_inlevel{"ProgressBar_inlevel", 0, 100};
    Meter ProgressBar_outlevel{"ProgressBar_outlevel", 0, 100};
    Meter ProgressBar_Latency{"ProgressBar_Latency", 0, 50};
    Label Label_delay{"Label_delay", "Latency 0 ms"};
    Label Label_inlevel{"Label_inlevel", "-inf dB"};
    Label Label_outlevel{"Label_outlevel", "-inf dB"};
    Meter Light_inclip{"Light_inclip", 0, 1};
    Meter Light_outclip{"Light_outclip", 0, 1};
    Label Label_dropped{"Label_dropped", "Dropped 0"};
    Label Label_underruns{"Label_underruns", "Underruns 0"};
    Button spSkinButton19{"spSkinButton19", "Increase Delay"};
    Button spSkinButton20{"spSkinButton20", "Decrease Delay"};
    TextBox EditBufferSize{"EditBufferSize", "441"};
    // The MIDI source connected to the program's input port: entry 0 "none", then the sources.
    Selector ComboBox_MIDI{"ComboBox_MIDI"};
    // Opens the tuner window (also the key T).
    Button BitBtn_Tuner{"BitBtn_Tuner", "Tuner"};

    void BitBtn_InitClick();
    void BitBtn_ResetClick();
    void ComboBox_waveInChange();
    void ComboBox_waveOutChange();
    void rgSampleRateClick();
    void cbStereoClick();
    void ScrollBar_waveInGainChange();
    void ScrollBar_waveOutGainChange();
    void TrackBar_Latency_PorogChange();
    void TrackBar_Latency_PorogMouseEnter();
    void TrackBar_Latency_PorogMouseLeave();
    void spSkinButton19Click();
    void spSkinButton20Click();
    void ComboBox_MIDIChange();
    // Keeps the keys "0".."9"; refuses every other key, Backspace included.
    bool EditBufferSizeKeyPress(char& key);
    void BitBtn_TunerClick();
    TTuner_form& tuner() { return *tuner_; }
    // Every kTimer1IntervalMs from start-up, whether or not the engine runs: meters, clip lights,
    // latency, the watchdog and the title.
    void Timer1Timer();
    // How long a clip light stays lit after the last sample at full scale.
    static constexpr int kClipHoldMs = 2000;
    // What the clip lights measure their hold by; tests step one by hand.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    void set_clock(Clock clock) { clock_ = std::move(clock); }

    // --- rack: 16 effect slots, processed top to bottom --------------------------------------
    // Slot N (1..16) is rack entry N-1; its controls carry N at the end of their names.
    static constexpr int kSlots = 16;
    static constexpr int kRowSpacing = 24;  // pixels between rows; the pointer follows a move by it
    struct EffectSlot {
        explicit EffectSlot(int n);
        CheckBox onoff;  // spSkinCheckRadioBoxN: "Off" / "On"
        Selector kind;   // spSkinComboBoxN: the registry names, entry k = kind k
        Button tune;     // spSkinButtonN: "Tune"; a right click moves the effect
        UpDown arrows;   // spSkinUpDownN
    };
    EffectSlot& slot(int n) { return *slots_[static_cast<size_t>(n - 1)]; }
    // The rack table: the master, pushed into the chain runner's copy on every change.
    const ChainTable& rack_table() const { return rack_table_; }
    // Set while a move is in progress.
    int32_t moving() const { return moving_; }

    void fill_kind_selector(Selector& selector);
    void build_rack();
    void rebuild_slot(Selector& selector, int32_t i);
    void spSkinButtonClick(Button& sender);            // Tune, shared by the 16 buttons
    void spSkinCheckRadioBoxClick(CheckBox& sender);   // on/off, shared by the 16 boxes
    void spSkinComboBoxChange(Selector& sender);       // kind chosen, shared by the 16 selectors
    void spSkinButton3MouseUp(Button& sender, Button::MouseButton button, int x, int y);
    void spSkinUpDown1UpButtonClick(UpDown& sender);
    void spSkinUpDown1DownButtonClick(UpDown& sender);

    // --- chain files (presets) -------------------------------------------------------------
    Button spSkinButton17{"spSkinButton17", "Save FX chain"};
    Button spSkinButton18{"spSkinButton18", "Load FX chain"};
    Selector ComboBox_PRESETS{"ComboBox_PRESETS"};

    // Writes the rack to `path`. When the file cannot be written, says so in a warning naming it,
    // and leaves any earlier file of that name as it was; returns whether it was written.
    bool save_chain_file(const std::string& path);
    // Applies the chain file at `path` to the rack and remembers it as the last one loaded; slots
    // naming unknown kinds are left empty, and a message names them. A file that is not a chain
    // file (not a regular file, or shorter than one) leaves the rack as it was, says so and
    // returns false.
    bool load_chain_file(const std::string& path);
    // The last chain file loaded in this run ("" if none): written to "face.ini" at close.
    const std::string& last_chain_file() const { return last_chain_file_; }
    void spSkinButton17Click();   // Save FX chain
    void spSkinButton18Click();   // Load FX chain
    void ComboBox_PRESETSClick();   // every choice
    void ComboBox_PRESETSChange();  // the shown text changed
    // A key released while the main window is active (it sees keys before its controls):
    // `function_key` is n for Fn (1..12) and 0 for any other key. F1..F12 load the first file of
    // PRESETS/ whose name starts with that key's prefix.
    virtual void FormKeyUp(int32_t function_key);
    // The file names the presets selector lists after its two fixed entries.
    std::vector<std::string> chain_file_names() const;
    // What the title bar shows: "Varnomix", then the name of the chain file loaded or saved last,
    // then " *" once the rack (any slot's kind, on/off, place or setting) differs from that file.
    const std::string& title() const { return title_; }
    // Whether the rack differs from the chain file loaded or saved last (from the empty rack
    // before either).
    bool rack_changed() const;
    // Works the title out again; the views hear of a change.
    void refresh_title();

    // --- skins ------------------------------------------------------------------------------
    Selector ComboBox_SKINS{"ComboBox_SKINS"};
    void ComboBox_SKINSClick();
    void ComboBox_SKINSChange();
    // Unpacks the skin archive into temp/ and loads temp/skin.ini into the main window; false when
    // the archive could not be unpacked (temp/ then holds the skin it held before).
    bool apply_skin(const std::string& archive_path);
    // Wider on/off boxes for the "@mosphere" skin, the plain layout for any other.
    void adjust_layout_to_skin();

    // Whether closing the window writes "face.ini" (the headless mode leaves it to the desktop).
    bool write_settings_at_close = true;

    // Blocks the watchdog has dropped since START.
    int32_t watchdog_drops() const { return watchdog_drops_; }

    const std::filesystem::path& program_folder() const { return program_folder_; }

    // --- MIDI (midi_control.cpp) ---------------------------------------------------------------
    MidiControl& midi() { return *midi_; }
    // Opens the input port, lists the sources in ComboBox_MIDI and connects the one "face.ini"
    // names; false without MIDI.
    bool open_midi();
    // Connects a source by name or by its index in the list; "" or why not.
    std::string connect_midi_source(const std::string& name_or_index);

protected:
    // Creation: the skin, the layout for it, and the skins and presets lists.
    void FormCreate();
    void FormShow() override;
    bool FormClose() override;

private:
    void create_engine_panel();
    void create_rack();
    void create_preset_controls();
    // The first show's settings steps: "face.ini" applied, then the last or the default chain file.
    void apply_settings();
    void write_settings();
    // The choose handling of the presets and skins selectors: entry 0 refills the list (its two
    // fixed entries, then the files of `folder` ending in `extension`) and shows entry 0 again,
    // entry 1 shows the folder, where downloaded files go.
    void choose_list_entry(Selector& selector, bool& busy, const char* first_entry, const std::string& folder,
                           const char* extension);
    std::string presets_folder() const;
    std::string skins_folder() const;
    // After any change of the rack: editors named after their slots, and the title.
    void rack_edited();
    // The rack as it stands is what the chain file `name` holds ("" before any file).
    void mark_rack_kept(const std::string& name);
    // Moves the effect of the slot named by `control_name` to row `target` (may be off the rack).
    void move_slot(const std::string& control_name, int target_offset);
    // A selector's index as a kind; anything that is not a registry row is the empty slot.
    static EffectKind selected_kind(const Selector& s);
    // Frees every instance; nothing may walk them afterwards.
    void destroy_rack();
    // The first show's device steps: channels and rate from the controls, both device lists.
    void show_devices();
    int32_t read_usefastwdm() const;
    int32_t capped_block_size(int32_t cap);
    void set_device_controls_enabled(bool enabled);
    // Says what failed and puts the panel back to stopped.
    void device_failure(const std::string& text);

    Services& services_;
    AudioDrivers& drivers_;
    std::filesystem::path program_folder_;
    bool first_show_done_ = false;
    bool presets_busy_ = false;   // the presets selector is being refilled
    bool skins_busy_ = false;     // the skins selector is being refilled
    int skin_shown_ = 0;          // the skins entry last applied
    bool key_busy_ = false;       // an F-key is being handled
    std::string last_chain_file_;
    int32_t watchdog_drops_ = 0;
    int32_t underruns_ = 0;  // the output's count at the last tick while running
    Clock clock_ = [] { return std::chrono::steady_clock::now(); };
    std::chrono::steady_clock::time_point in_clip_until_{}, out_clip_until_{};
    std::string title_ = "Varnomix";
    std::string chain_name_;  // the chain file loaded or saved last, without ".pre"
    ChainFile kept_;          // what the rack held when it was loaded or saved
    std::unique_ptr<TTuner_form> tuner_;
    // Set while face.ini is applied: choosing "WAV file input" from it asks for no file.
    bool restoring_settings_ = false;

    std::array<std::unique_ptr<EffectSlot>, kSlots> slots_;
    ChainTable rack_table_;
    int32_t moving_ = 0;
    bool chain_loading_ = false;  // a chain file is being applied

    std::string midi_source_;  // the source "face.ini" names, or the one chosen since
    bool midi_busy_ = false;   // ComboBox_MIDI is being refilled
    std::unique_ptr<MidiControl> midi_;
};

}  // namespace vx
