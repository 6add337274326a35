// Unit waves: the input side of the audio path. Lists the input devices (the system's own through
// PortAudio, then "Test signal" and "WAV file input"), captures from the chosen one and, for every captured block,
// calls the processing callback on the capture thread and hands the processed block to the output
// function. Also keeps the input and output levels.
//
// Every function is called from the user-interface thread. The callback and the output function
// run on the capture thread, which never allocates, locks or waits.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

constexpr int kMaxWaveInDevices = 64;

// The record get_waveIn_device_list returns: the index of the last device (-1: none), then one
// 256-byte NUL-terminated name per device, device i at byte 4 + 256 i.
struct WaveInDeviceList {
    int32_t last = -1;
    char names[kMaxWaveInDevices][256] = {};
};

using CaptureCallback = int32_t (*)(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
// What the capture thread hands each processed block to (out_to_dsound).
using OutputFunction = void (*)(const float* buffer, int32_t frameCount, int32_t channelCount);

// Reads the device list again (a sound server started since is seen) unless capture runs.
const WaveInDeviceList* get_waveIn_device_list();
// An index outside the list chooses the first device, which is what a list shows by itself.
void select_waveIn_device(int32_t index);
// Frames per block the selected device keeps up with: 64..256 at 48000 Hz, in proportion at the
// other rates.
int32_t get_min_buf_size_waveIn(int32_t sampleRate, int32_t channels);
// Starts capturing blocks of blockSize (1..512) frames; from then on each block goes to callback, then to
// output. A failure leaves capture stopped; get_waveIn_error says why.
void setup_and_start_wave_In(int32_t sampleRate, int32_t channels, int32_t blockSize, CaptureCallback callback,
                             OutputFunction output);
// Capture has stopped when this returns; no further callback calls.
void stop_and_close_wave_in();
// The latest peak on the 16-bit scale, falling by 20 dB in half a second in between (32000 fills a
// meter); 0 while stopped.
double get_waveIn_level();
double get_waveOut_level();
// A sample at or beyond full scale on the 16-bit scale: what the output can no longer tell apart.
inline constexpr float kFullScale = 32767.0f;
// Whether a sample has reached full scale at the input (after the input level) or at the output
// since the last call; the call clears the mark.
bool take_waveIn_clip();
bool take_waveOut_clip();
// Mixer levels 0..100: 50 passes the signal unchanged, each step is 0.4 dB (100: +20 dB), 0 mutes.
// The input level applies before the callback, the output level after it.
void set_waveIn_level(int32_t level);
void set_waveOut_level(int32_t level);

// Why the last setup_and_start_wave_In could not start capturing; "" when it did.
const char* get_waveIn_error();
// Blocks captured since capture started.
int64_t get_waveIn_blocks();

// The file "WAV file input" plays; set before START.
void set_wav_input_path(const std::string& path);
const std::string& wav_input_path();

// Module start-up values: capture stopped, first device selected, both levels at 50. Runs once at
// program start; tests call it again for a clean state.
void waves_startup();

// The gain factor of a mixer level (see set_waveIn_level).
double mixer_gain(int32_t level);

}  // namespace vx
