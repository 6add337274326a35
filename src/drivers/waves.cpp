#include "waves.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>

#include "builtin_devices.h"
#include "portaudio_backend.h"
#include "tuner_tap.h"

namespace vx {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
// Between peaks a level falls by 20 dB in half a second, so that a meter read every 100 ms moves
// smoothly.
const double kLevelFallSeconds = 0.5 / std::log(10.0);

WaveInDeviceList device_record;
std::string device_names[kMaxWaveInDevices];
int32_t device_count = 0;
int32_t selected = 0;

std::string last_error;

// Read by the capture thread; written only while it is stopped, except the two gains.
CaptureCallback callback = nullptr;
OutputFunction output = nullptr;
int32_t rate = 48000;
int32_t channels = 2;
std::atomic<float> input_gain{1.0f};
std::atomic<float> output_gain{1.0f};
std::atomic<double> input_level{0.0};
std::atomic<double> output_level{0.0};
// Set by the capture thread when a sample reaches full scale; the user-interface thread takes them.
std::atomic<bool> input_clipped{false};
std::atomic<bool> output_clipped{false};
std::atomic<int64_t> blocks{0};

TestSignalInput test_signal;
WavFileInput wav_input;
std::string wav_input_file;
pa::InputStream pa_input;

bool capturing() { return test_signal.running() || wav_input.running() || pa_input.running(); }

// Applies a gain, follows the peak of the result and notes a sample at full scale.
void gain_and_meter(float* buf, int32_t samples, float gain, int32_t frames, std::atomic<double>& level,
                    std::atomic<bool>& clipped) {
    float peak = 0.0f;
    if (gain != 1.0f) {
        for (int32_t i = 0; i < samples; ++i) buf[i] *= gain;
    }
    for (int32_t i = 0; i < samples; ++i) peak = std::max(peak, std::fabs(buf[i]));
    const double fallen = level.load(relaxed) * std::exp(-frames / (rate * kLevelFallSeconds));
    level.store(std::max(static_cast<double>(peak), fallen), relaxed);
    if (peak >= kFullScale) clipped.store(true, relaxed);
}

// The capture thread's work for every block.
void captured(float* buffer, int32_t frames) {
    const int32_t samples = frames * channels;
    gain_and_meter(buffer, samples, input_gain.load(relaxed), frames, input_level, input_clipped);
    // The tuner hears the input as the rack does, before any effect.
    input_tap().push(buffer, frames, channels, rate);
    callback(frames, rate, channels, buffer);
    if (output_muted()) std::fill(buffer, buffer + samples, 0.0f);
    gain_and_meter(buffer, samples, output_gain.load(relaxed), frames, output_level, output_clipped);
    if (output != nullptr) output(buffer, frames, channels);
    blocks.fetch_add(1, relaxed);
}

bool is_named(int32_t index, const char* name) { return index >= 0 && index < device_count && device_names[index] == name; }
bool is_test_signal(int32_t index) { return is_named(index, kTestSignalName); }
bool is_builtin(int32_t index) { return is_test_signal(index) || is_named(index, kWavInputName); }

}  // namespace

double mixer_gain(int32_t level) {
    if (level <= 0) return 0.0;
    return std::pow(10.0, (std::min(level, 100) - 50) * 0.4 / 20.0);
}

const WaveInDeviceList* get_waveIn_device_list() {
    if (!capturing()) pa::refresh_devices();
    device_count = 0;
    for (const pa::Device& d : pa::devices()) {
        if (device_count == kMaxWaveInDevices - 2) break;
        if (d.max_input_channels > 0) device_names[device_count++] = d.name;
    }
    device_names[device_count++] = kTestSignalName;
    device_names[device_count++] = kWavInputName;
    device_record = WaveInDeviceList{};
    device_record.last = device_count - 1;
    for (int32_t i = 0; i < device_count; ++i) {
        const size_t n = std::min(device_names[i].size(), sizeof device_record.names[i] - 1);
        std::memcpy(device_record.names[i], device_names[i].data(), n);
    }
    if (selected >= device_count) selected = 0;
    return &device_record;
}

void select_waveIn_device(int32_t index) {
    if (device_count == 0) get_waveIn_device_list();
    selected = index >= 0 && index < device_count ? index : 0;
}

int32_t get_min_buf_size_waveIn(int32_t sampleRate, int32_t) {
    if (sampleRate <= 0) return 64;
    const double scale = sampleRate / 48000.0;
    const double low = std::nearbyint(64 * scale);
    const double high = std::nearbyint(256 * scale);
    if (device_count == 0) get_waveIn_device_list();
    double frames = high;
    if (!is_builtin(selected)) {
        for (const pa::Device& d : pa::devices()) {
            if (d.name == device_names[selected]) frames = std::nearbyint(d.low_input_latency_s * sampleRate);
        }
    }
    return static_cast<int32_t>(std::clamp(frames, std::max(low, 1.0), std::max(high, 1.0)));
}

void setup_and_start_wave_In(int32_t sampleRate, int32_t channelCount, int32_t blockSize, CaptureCallback cb,
                             OutputFunction out) {
    stop_and_close_wave_in();
    last_error.clear();
    if (cb == nullptr) {
        last_error = "no processing callback";
        return;
    }
    // Effects are built for blocks of at most 512 frames.
    if (blockSize <= 0 || blockSize > 512) {
        last_error = "the block size " + std::to_string(blockSize) + " is outside 1..512 frames";
        return;
    }
    if (sampleRate <= 0) {
        last_error = "the sample rate must be positive";
        return;
    }
    if (device_count == 0) get_waveIn_device_list();
    callback = cb;
    output = out;
    rate = sampleRate;
    channels = std::clamp(channelCount, 1, 2);
    input_level.store(0.0);
    output_level.store(0.0);
    input_clipped.store(false);
    output_clipped.store(false);
    blocks.store(0);
    input_tap().reset();
    if (is_test_signal(selected))
        last_error = test_signal.start(rate, channels, blockSize, &captured);
    else if (is_named(selected, kWavInputName))
        last_error = wav_input.start(wav_input_file, rate, channels, blockSize, &captured);
    else
        last_error = pa_input.start(device_names[selected], rate, channels, blockSize, &captured);
}

void stop_and_close_wave_in() {
    test_signal.stop();
    wav_input.stop();
    pa_input.stop();
    // A stopped engine has no pitch; the tuner must not keep showing the last one.
    input_tap().reset();
    input_level.store(0.0);
    output_level.store(0.0);
}

bool take_waveIn_clip() { return input_clipped.exchange(false, relaxed); }
bool take_waveOut_clip() { return output_clipped.exchange(false, relaxed); }

double get_waveIn_level() { return capturing() ? input_level.load(relaxed) : 0.0; }
double get_waveOut_level() { return capturing() ? output_level.load(relaxed) : 0.0; }

void set_waveIn_level(int32_t level) { input_gain.store(static_cast<float>(mixer_gain(level)), relaxed); }
void set_waveOut_level(int32_t level) { output_gain.store(static_cast<float>(mixer_gain(level)), relaxed); }

void set_wav_input_path(const std::string& path) { wav_input_file = path; }
const std::string& wav_input_path() { return wav_input_file; }

void waves_startup() {
    stop_and_close_wave_in();
    wav_input_file.clear();
    input_tap().reset();
    set_output_mute(false);
    selected = 0;
    last_error.clear();
    input_gain.store(1.0f);
    output_gain.store(1.0f);
    blocks.store(0);
}

const char* get_waveIn_error() { return last_error.c_str(); }
int64_t get_waveIn_blocks() { return blocks.load(relaxed); }

}  // namespace vx
