// The engine panel of the main window: START, STOP, devices, rate, channels, levels, meters and the
// latency watchdog.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "Unit1.h"
#include "app/midi_control.h"
#include "drivers/builtin_devices.h"
#include "drivers/tuner_tap.h"
#include "engine/effects.h"

namespace vx {

namespace {

// A level on the 16-bit scale as a 0..100 meter value: 32000 fills it, on a square-root law.
int level_meter(double level) {
    if (!(level > 0.0)) return 0;
    return nearest(10.0 * std::sqrt(level / 32000.0 * 100.0));
}

// A peak on the 16-bit scale in dB below full scale (32768), to a tenth; "-inf dB" below one step of
// the 16-bit scale, where nothing reaches the output any more.
std::string level_db(double level) {
    if (!(level >= 1.0)) return "-inf dB";
    const double db = 20.0 * std::log10(level / 32768.0);
    if (std::fabs(db) < 0.05) return "0.0 dB";  // never "-0.0"
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f dB", db);
    return text;
}

// A clip light: lit until `until`, which a sample at full scale moves to now plus the hold.
void clip_light(Meter& light, bool clipped, std::chrono::steady_clock::time_point now,
                std::chrono::steady_clock::time_point& until) {
    if (clipped) until = now + std::chrono::milliseconds(TForm1::kClipHoldMs);
    light.set_value(now < until ? 1 : 0);
}

std::string record_name(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace

void TForm1::create_engine_panel() {
    BitBtn_Reset.set_enabled(false);
    EditBufferSize.set_visible(false);
    ScrollBar_waveInGain.label = "INPUT";
    ScrollBar_waveOutGain.label = "OUTPUT";
    ScrollBar_waveInGain.hint = "Input level (top is loudest)";
    ScrollBar_waveOutGain.hint = "Output level (top is loudest)";
    TrackBar_Latency_Porog.hint = "Latency threshold: above it queued output is dropped";
    ProgressBar_CPU.label = "CPU";
    ProgressBar_CPU.unit = "%";
    ProgressBar_Latency.unit = "ms";
    for (Meter* light : {&Light_inclip, &Light_outclip}) {
        light->label = "CLIP";
        light->set_warning_from(1);
    }
    Light_inclip.hint = "A sample reached full scale at the input (held for two seconds)";
    Light_outclip.hint = "A sample reached full scale at the output (held for two seconds)";
    Label_inlevel.hint = "Input peak in dB relative to full scale";
    Label_outlevel.hint = "Output peak in dB relative to full scale";
    Label_dropped.hint = "Blocks of queued output the latency watchdog dropped since START";
    Label_underruns.hint = "Times the output ran dry since START";
    ProgressBar_inlevel.label = "INPUT";
    ProgressBar_outlevel.label = "OUTPUT";
    ProgressBar_Latency.label = "Latency";
    ProgressBar_Latency.set_warning_from(engine_settings.latency_threshold_ms);
    EditBufferSize.label = "Block size";
    EditBufferSize.set_text(std::to_string(engine_settings.block_size));

    for (Control* c : std::initializer_list<Control*>{&BitBtn_Init, &BitBtn_Reset, &ComboBox_waveIn, &ComboBox_waveOut,
                                                      &rgSampleRate, &cbStereo, &EditBufferSize, &BitBtn_Tuner})
        c->group = "Engine";
    BitBtn_Tuner.hint = "Tune the guitar (T)";
    BitBtn_Tuner.bounds = {484, 64, 96, 32};
    for (Control* c : std::initializer_list<Control*>{&ScrollBar_waveInGain, &ScrollBar_waveOutGain,
                                                      &ProgressBar_inlevel, &ProgressBar_outlevel, &Label_inlevel,
                                                      &Label_outlevel, &Light_inclip, &Light_outclip})
        c->group = "Levels";
    for (Control* c : std::initializer_list<Control*>{&TrackBar_Latency_Porog, &Label_Latency_Porog, &ProgressBar_CPU,
                                                      &ProgressBar_Latency, &Label_delay, &spSkinButton19,
                                                      &spSkinButton20, &Label_dropped, &Label_underruns})
        c->group = "Monitor";
    BitBtn_Init.bounds = {8, 8, 96, 32};
    BitBtn_Reset.bounds = {112, 8, 96, 32};
    ComboBox_waveIn.bounds = {8, 48, 300, 24};
    ComboBox_waveOut.bounds = {8, 80, 300, 24};
    rgSampleRate.bounds = {316, 8, 160, 96};
    cbStereo.bounds = {484, 8, 140, 20};
    EditBufferSize.bounds = {484, 36, 60, 20};
    ScrollBar_waveInGain.bounds = {640, 8, 17, 96};
    ScrollBar_waveOutGain.bounds = {664, 8, 17, 96};
    ProgressBar_inlevel.bounds = {688, 8, 12, 96};
    ProgressBar_outlevel.bounds = {704, 8, 12, 96};
    Light_inclip.bounds = {640, 108, 36, 12};
    Light_outclip.bounds = {680, 108, 36, 12};
    Label_inlevel.bounds = {640, 124, 60, 16};
    Label_outlevel.bounds = {704, 124, 60, 16};
    Label_dropped.bounds = {632, 140, 100, 16};
    Label_underruns.bounds = {632, 156, 100, 16};
    TrackBar_Latency_Porog.bounds = {8, 112, 200, 24};
    Label_Latency_Porog.bounds = {216, 112, 80, 20};
    ProgressBar_CPU.bounds = {316, 112, 160, 16};
    ProgressBar_Latency.bounds = {484, 112, 140, 16};
    Label_delay.bounds = {632, 112, 120, 20};
    spSkinButton19.bounds = {8, 140, 120, 24};
    spSkinButton20.bounds = {136, 140, 120, 24};
    ComboBox_MIDI.bounds = {264, 140, 212, 24};
    ComboBox_MIDI.group = "Engine";
    ComboBox_MIDI.hint = "MIDI: the source connected to the program's MIDI input (program change: preset; "
                         "right-click a control: MIDI learn)";
    ComboBox_MIDI.add_item("none");
    ComboBox_MIDI.set_index(0);
    ComboBox_MIDI.set_enabled(false);  // until the input port is open

    add(BitBtn_Init);
    add(BitBtn_Reset);
    add(ComboBox_waveIn);
    add(ComboBox_waveOut);
    add(rgSampleRate);
    add(cbStereo);
    add(ScrollBar_waveInGain);
    add(ScrollBar_waveOutGain);
    add(TrackBar_Latency_Porog);
    add(Label_Latency_Porog);
    add(ProgressBar_CPU);
    add(ProgressBar_inlevel);
    add(ProgressBar_outlevel);
    add(ProgressBar_Latency);
    add(Label_delay);
    add(Label_inlevel);
    add(Label_outlevel);
    add(Light_inclip);
    add(Light_outclip);
    add(Label_dropped);
    add(Label_underruns);
    add(ComboBox_MIDI);
    ComboBox_MIDI.on_change = [this] { ComboBox_MIDIChange(); };
    add(spSkinButton19);
    add(spSkinButton20);
    add(EditBufferSize);
    add(BitBtn_Tuner);
    tuner_ = std::make_unique<TTuner_form>(program_folder_, input_tap());

    BitBtn_Init.on_click = [this] { BitBtn_InitClick(); };
    BitBtn_Reset.on_click = [this] { BitBtn_ResetClick(); };
    ComboBox_waveIn.on_change = [this] { ComboBox_waveInChange(); };
    ComboBox_waveOut.on_change = [this] { ComboBox_waveOutChange(); };
    rgSampleRate.on_click = [this] { rgSampleRateClick(); };
    cbStereo.on_click = [this] { cbStereoClick(); };
    ScrollBar_waveInGain.on_change = [this] { ScrollBar_waveInGainChange(); };
    ScrollBar_waveOutGain.on_change = [this] { ScrollBar_waveOutGainChange(); };
    TrackBar_Latency_Porog.on_change = [this] { TrackBar_Latency_PorogChange(); };
    TrackBar_Latency_Porog.on_mouse_enter = [this] { TrackBar_Latency_PorogMouseEnter(); };
    TrackBar_Latency_Porog.on_mouse_leave = [this] { TrackBar_Latency_PorogMouseLeave(); };
    spSkinButton19.on_click = [this] { spSkinButton19Click(); };
    spSkinButton20.on_click = [this] { spSkinButton20Click(); };
    EditBufferSize.key_filter = [this](char& key) { return EditBufferSizeKeyPress(key); };
    BitBtn_Tuner.on_click = [this] { BitBtn_TunerClick(); };
}

void TForm1::BitBtn_TunerClick() {
    tuner_->show();
    tuner_->update();
}

void TForm1::show_devices() {
    EngineSettings& e = engine_settings;
    e.channels = cbStereo.checked() ? 2 : 1;
    drivers_.setup_stereo(e.channels);
    if (rgSampleRate.index() >= 0) e.sample_rate = kSampleRates[rgSampleRate.index()];
    e.block_size = 480;
    EditBufferSize.set_text("480");

    const WaveInDeviceList* in = drivers_.get_waveIn_device_list();
    const int32_t last = in == nullptr ? -1 : std::min(in->last, static_cast<int32_t>(kMaxWaveInDevices - 1));
    ComboBox_waveIn.clear();
    if (last < 0) {
        ComboBox_waveIn.set_text("There is no sound input device");
        BitBtn_Init.set_enabled(false);
    } else {
        // The shown text changes before any entry is selected: the input change handling runs with
        // index -1.
        ComboBox_waveIn.set_text(record_name(in->names[0], sizeof in->names[0]));
        for (int32_t i = 0; i <= last; ++i) ComboBox_waveIn.add_item(record_name(in->names[i], sizeof in->names[i]));
        ComboBox_waveIn.set_index(0);
    }

    if (caption().find("Win98") != std::string::npos) drivers_.setup_ks_prefered();
    if (read_usefastwdm() != 0) drivers_.setup_ks_prefered();

    ComboBox_waveOut.clear();
    WaveOutDeviceList out;
    if (drivers_.get_wdm_wavout_device_list(&out) != 0) {
        const int32_t n = std::clamp(out.count, 0, static_cast<int32_t>(kMaxWaveOutDevices));
        for (int32_t i = 0; i < n; ++i) ComboBox_waveOut.add_item(out.names[i] ? out.names[i] : "");
        ComboBox_waveOut.add_item(kFallbackOutputEntry);
        ComboBox_waveOut.set_index(0);
    } else {
        ComboBox_waveOut.set_text("Wdm sound output device not found");
        services_.message("There is no wdm sound output device");
    }
}

int32_t TForm1::capped_block_size(int32_t cap) {
    const int32_t b = drivers_.get_min_buf_size_waveIn(engine_settings.sample_rate, engine_settings.channels);
    return b > cap ? cap : b;
}

void TForm1::set_device_controls_enabled(bool enabled) {
    ComboBox_waveIn.set_enabled(enabled);
    ComboBox_waveOut.set_enabled(enabled);
    rgSampleRate.set_enabled(enabled);
    cbStereo.set_enabled(enabled);
}

void TForm1::device_failure(const std::string& text) {
    // Nothing a device does is worth the session: the rack and the settings stay, the panel is
    // stopped and START can be tried again, on this device or another.
    drivers_.CloseDSound();
    set_device_controls_enabled(true);
    BitBtn_Reset.set_enabled(false);
    BitBtn_Init.set_caption("START");
    BitBtn_Init.set_enabled(true);
    services_.message(text);
}

void TForm1::BitBtn_InitClick() {
    EngineSettings& e = engine_settings;
    // Possible when no output device was found: nothing to start with.
    if (ComboBox_waveOut.index() < 0) {
        services_.message("No output device is selected.");
        return;
    }
    BitBtn_Init.set_enabled(false);
    BitBtn_Init.set_caption("Wait...");
    e.channels = cbStereo.checked() ? 2 : 1;
    if (rgSampleRate.index() >= 0) e.sample_rate = kSampleRates[rgSampleRate.index()];
    e.block_size = capped_block_size(512);

    drivers_.setup_stereo(e.channels);
    drivers_.setup_auto(1);
    drivers_.setup_delta_delta(150);
    drivers_.setup_freq_22_44(e.sample_rate);
    drivers_.setup_latency(750);
    drivers_.setup_b_size(e.block_size);
    drivers_.setup_max_chorus_delay(0);
    drivers_.setup_bits_per_sample(16);

    if (ComboBox_waveOut.text() == kFallbackOutputEntry) {
        TrackBar_Latency_Porog.set_position(45);
        drivers_.setup_ks_prefered();
        WaveOutDeviceList list;
        if (drivers_.get_wdm_wavout_device_list(&list) == 0) {
            ComboBox_waveOut.set_text("Standard wdm sound output device not found");
            device_failure("There is no standard wdm sound output device");
            return;
        }
        if (drivers_.select_wdm_waveOut_device(0) == 0) {
            device_failure("Can not select standard wdm output device.");
            return;
        }
    } else if (drivers_.select_wdm_waveOut_device(ComboBox_waveOut.index()) == 0) {
        // No restart is needed any more: the next START asks again.
        device_failure("Can not select wdm output device.");
        return;
    }

    if (drivers_.WinMain1(this) == -1) {
        device_failure("Error: Can not open  " + ComboBox_waveOut.text() + " " +
                       std::to_string(ComboBox_waveOut.index()));
        return;
    }

    BitBtn_Init.set_enabled(false);
    set_device_controls_enabled(false);
    drivers_.setup_and_start_wave_In(e.sample_rate, e.channels, e.block_size, &ChainRunner, &out_to_dsound);
    // A capture that did not start must not look like a running engine.
    if (const std::string why = drivers_.waveIn_error(); !why.empty()) {
        device_failure("Error: Can not start the input " + ComboBox_waveIn.text() + ": " + why);
        return;
    }
    BitBtn_Reset.set_enabled(true);
    BitBtn_Init.set_caption("START");
    // The counts are of this run.
    watchdog_drops_ = 0;
    underruns_ = 0;
    rack_gate.store(1);
    engine_running = 1;
}

void TForm1::BitBtn_ResetClick() {
    engine_running = 0;
    rack_gate.store(0);
    BitBtn_Reset.set_enabled(false);
    drivers_.stop_and_close_wave_in();
    drivers_.CloseDSound();
    BitBtn_Init.set_enabled(true);
    set_device_controls_enabled(true);
    // An output that lost what it was given (a WAV file on a full disk) says so, whoever stopped.
    if (const std::string why = drivers_.waveOut_error(); !why.empty())
        services_.message("Error: the output failed: " + why);
}

void TForm1::ComboBox_waveInChange() {
    if (engine_running != 0) return;
    ComboBox_waveIn.set_enabled(false);
    drivers_.select_waveIn_device(ComboBox_waveIn.index());
    // A recording as the input: which one is asked when the user chooses it.
    if (ComboBox_waveIn.text() == kWavInputName && !restoring_settings_) {
        Services::FileDialog d;
        d.caption = "WAV file to play as the input";
        d.filters = {"WAV files (*.wav *.WAV)", "All files (*)"};
        d.file_name = drivers_.wav_input_path();
        if (const auto chosen = services_.open_file(d)) drivers_.set_wav_input_path(*chosen);
    }
    engine_settings.block_size = capped_block_size(512);
    EditBufferSize.set_text(std::to_string(engine_settings.block_size));
    ComboBox_waveIn.set_enabled(true);
}

void TForm1::ComboBox_waveOutChange() {}

void TForm1::rgSampleRateClick() {
    if (engine_running != 0) return;
    rgSampleRate.set_enabled(false);
    if (rgSampleRate.index() >= 0) engine_settings.sample_rate = kSampleRates[rgSampleRate.index()];
    engine_settings.block_size = capped_block_size(480);
    EditBufferSize.set_text(std::to_string(engine_settings.block_size));
    rgSampleRate.set_enabled(true);
}

void TForm1::cbStereoClick() { engine_settings.channels = cbStereo.checked() ? 2 : 1; }

void TForm1::ScrollBar_waveInGainChange() { drivers_.set_waveIn_level(100 - ScrollBar_waveInGain.position()); }

void TForm1::ScrollBar_waveOutGainChange() { drivers_.set_waveOut_level(100 - ScrollBar_waveOutGain.position()); }

void TForm1::TrackBar_Latency_PorogChange() {
    engine_settings.latency_threshold_ms = TrackBar_Latency_Porog.position();
    ProgressBar_Latency.set_warning_from(engine_settings.latency_threshold_ms);
    Label_Latency_Porog.set_caption(std::to_string(engine_settings.latency_threshold_ms) + " ms");
}

void TForm1::TrackBar_Latency_PorogMouseEnter() {
    Label_Latency_Porog.set_caption(std::to_string(engine_settings.latency_threshold_ms) + " ms");
}

void TForm1::TrackBar_Latency_PorogMouseLeave() { Label_Latency_Porog.set_caption("Latency"); }

void TForm1::spSkinButton19Click() { drivers_.insert_buffer(); }

void TForm1::spSkinButton20Click() { drivers_.skip_buffer(); }

bool TForm1::EditBufferSizeKeyPress(char& key) { return key >= '0' && key <= '9'; }

void TForm1::Timer1Timer() {
    // MIDI that no quicker wake-up has handled yet.
    midi_->drain();
    // The runner's message of every 800000 blocks is accepted here and needs nothing done.
    take_runner_message();
    EngineSettings& e = engine_settings;
    ProgressBar_CPU.set_value(nearest(static_cast<double>(cpu_load.load(std::memory_order_relaxed)) * 100.0));
    const double in = drivers_.get_waveIn_level();
    const double out = drivers_.get_waveOut_level();
    ProgressBar_inlevel.set_value(level_meter(in));
    ProgressBar_outlevel.set_value(level_meter(out));
    Label_inlevel.set_caption(level_db(in));
    Label_outlevel.set_caption(level_db(out));
    const auto now = clock_();
    clip_light(Light_inclip, drivers_.take_clip(false), now, in_clip_until_);
    clip_light(Light_outclip, drivers_.take_clip(true), now, out_clip_until_);

    double pos = drivers_.get_audio_pos();
    if (!std::isfinite(pos)) pos = 0.0;
    e.smoothed_delay_bytes = 0.25 * pos + 0.75 * e.previous_delay_bytes;
    const double bytes_per_ms = e.sample_rate * 0.001 * e.channels * 2.0;
    if (bytes_per_ms > 0.0) e.latency_ms = static_cast<float>(e.smoothed_delay_bytes / bytes_per_ms);
    const int ms = nearest(e.latency_ms);
    Label_delay.set_caption("Latency " + std::to_string(ms) + " ms");
    ProgressBar_Latency.set_value(ms);
    if (static_cast<double>(e.latency_ms) > static_cast<double>(e.latency_threshold_ms)) {
        drivers_.skip_buffer();
        ++watchdog_drops_;
    }
    e.previous_delay_bytes = e.smoothed_delay_bytes;
    // After STOP the output drains, and that is no underrun: the count stays as it was.
    if (engine_running != 0) underruns_ = drivers_.underruns();
    Label_dropped.set_caption("Dropped " + std::to_string(watchdog_drops_));
    Label_underruns.set_caption("Underruns " + std::to_string(underruns_));
    refresh_title();
    // An output that fails while running stops the engine rather than carry on losing audio.
    if (engine_running != 0 && !drivers_.waveOut_error().empty()) BitBtn_ResetClick();
}

}  // namespace vx
