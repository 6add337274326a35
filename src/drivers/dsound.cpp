#include "dsound.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "builtin_devices.h"
#include "output_queue.h"
#include "portaudio_backend.h"

namespace vx {

namespace {

struct Config {
    int32_t channels = 2;
    int32_t auto_start = 1;
    int32_t delta_delta = 150;
    int32_t sample_rate = 48000;
    int32_t latency_ms = 750;
    int32_t block_frames = 480;
    int32_t max_chorus_delay = 0;
    int32_t bits = 16;
};
Config config;
bool ks_prefered = false;
// Asked for before any output list was read (the settings' "usefastwdm"): the alternative path
// holds for the whole run. Asked for later (the fallback entry at START), it holds only until the
// output closes, so that the listed devices can be chosen again.
bool ks_for_the_run = false;
bool any_list_returned = false;

std::vector<std::string> listed;         // the list last returned
std::vector<std::string> normal_listed;  // the last list of the normal path, which the selector shows
std::string selected_name;
bool selected_valid = false;
std::string last_error;
bool wav_file_opened = false;  // the output opened last is the WAV file: its write error counts
std::string wav_path = "temp/live-output.wav";

// The queue is a static object of fixed size: out_to_dsound never meets freed memory.
OutputQueue queue;
BuiltinOutput builtin;
pa::OutputStream pa_output;

// The capture thread marks its time inside out_to_dsound, so that CloseDSound can wait it out.
std::atomic<bool> accepting{false};
std::atomic<bool> in_output{false};

bool is_open() { return builtin.running() || pa_output.running(); }

void close_output() {
    accepting.store(false, std::memory_order_seq_cst);
    while (in_output.load(std::memory_order_seq_cst)) {
    }
    builtin.stop();
    pa_output.stop();
}

}  // namespace

void setup_stereo(int32_t channels) { config.channels = std::clamp(channels, 1, 2); }
void setup_auto(int32_t value) { config.auto_start = value; }
void setup_delta_delta(int32_t value) { config.delta_delta = value; }
void setup_freq_22_44(int32_t sampleRate) { config.sample_rate = sampleRate; }
void setup_latency(int32_t milliseconds) { config.latency_ms = milliseconds; }
void setup_b_size(int32_t blockSize) { config.block_frames = blockSize; }
void setup_max_chorus_delay(int32_t value) { config.max_chorus_delay = value; }
void setup_bits_per_sample(int32_t bits) { config.bits = bits; }
void setup_ks_prefered() {
    ks_prefered = true;
    if (!any_list_returned) ks_for_the_run = true;
}

int32_t get_wdm_wavout_device_list(WaveOutDeviceList* list) {
    listed.clear();
    if (ks_prefered) {
        const std::string def = pa::default_output_name();
        if (!def.empty()) listed.push_back(def);
    } else {
        for (const pa::Device& d : pa::devices()) {
            if (listed.size() == kMaxWaveOutDevices - 2) break;
            if (d.max_output_channels > 0) listed.push_back(d.name);
        }
        listed.push_back(kNullOutputName);
        listed.push_back(kWavOutputName);
        normal_listed = listed;
    }
    any_list_returned = true;
    if (listed.empty() || list == nullptr) return 0;
    *list = WaveOutDeviceList{};
    list->count = static_cast<int32_t>(listed.size());
    for (size_t i = 0; i < listed.size(); ++i) list->names[i] = listed[i].c_str();
    return 1;
}

int32_t select_wdm_waveOut_device(int32_t index) {
    if (index < 0 || index >= static_cast<int32_t>(listed.size())) return 0;
    selected_name = listed[static_cast<size_t>(index)];
    selected_valid = true;
    return 1;
}

int32_t WinMain1(void*) {
    close_output();
    last_error.clear();
    wav_file_opened = false;
    if (!selected_valid) {
        last_error = "no output device is selected";
        return -1;
    }
    if (config.bits != 16) {
        last_error = "only 16-bit output is played";
        return -1;
    }
    if (config.sample_rate <= 0 || config.block_frames <= 0 || config.block_frames > OutputQueue::kMaxBlockFrames) {
        last_error = "the sample rate or the block size is out of range";
        return -1;
    }
    const int64_t capacity = static_cast<int64_t>(config.latency_ms) * config.sample_rate / 1000;
    queue.reset(config.channels, config.block_frames,
                static_cast<int32_t>(std::clamp<int64_t>(capacity, 0, OutputQueue::kSlots * int64_t{config.block_frames})));
    if (selected_name == kNullOutputName) {
        last_error = builtin.start(BuiltinOutput::Kind::Null, "", config.sample_rate, queue);
    } else if (selected_name == kWavOutputName) {
        last_error = builtin.start(BuiltinOutput::Kind::WavFile, wav_path, config.sample_rate, queue);
    } else {
        last_error = pa_output.start(selected_name, config.sample_rate, queue);
    }
    if (!last_error.empty()) return -1;
    wav_file_opened = selected_name == kWavOutputName;
    accepting.store(true);
    return 0;
}

void out_to_dsound(const float* buffer, int32_t frameCount, int32_t channelCount) {
    in_output.store(true, std::memory_order_seq_cst);
    if (accepting.load(std::memory_order_seq_cst)) queue.push(buffer, frameCount, channelCount);
    in_output.store(false, std::memory_order_seq_cst);
}

void CloseDSound() {
    close_output();
    if (ks_prefered && !ks_for_the_run) {
        // Back on the normal path: the indices the user chooses from are those of its list.
        ks_prefered = false;
        listed = normal_listed;
        selected_valid = false;
    }
}

double get_audio_pos() {
    if (!is_open()) return 0.0;
    const int64_t held = builtin.held_frames() + pa_output.held_frames();
    return static_cast<double>(queue.queued_bytes() + held * queue.channels() * 2);
}

void skip_buffer() {
    if (is_open()) queue.request_skip();
}

void insert_buffer() {
    if (is_open()) queue.request_insert();
}

const char* get_waveOut_error() {
    if (!last_error.empty()) return last_error.c_str();
    static std::string written;
    written = wav_file_opened ? builtin.write_error() : "";
    return written.c_str();
}
int32_t get_underrun_count() { return queue.underruns(); }
int32_t get_skipped_count() { return queue.skipped(); }
int32_t get_overflow_count() { return queue.overflows(); }

void dsound_startup() {
    CloseDSound();
    config = Config{};
    ks_prefered = false;
    ks_for_the_run = false;
    any_list_returned = false;
    listed.clear();
    normal_listed.clear();
    selected_name.clear();
    selected_valid = false;
    last_error.clear();
    wav_file_opened = false;
}

void set_wav_output_path(const std::string& path) { wav_path = path; }
const std::string& wav_output_path() { return wav_path; }

}  // namespace vx
