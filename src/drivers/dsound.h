// Unit dsound: the output side of the audio path. Lists the output devices (the system's own
// through PortAudio, then "Null output" and "WAV file output"), opens the chosen one, and queues
// every processed block for it in a lock-free ring of 16-bit blocks (out_to_dsound, on the capture
// thread). Reports the output delay and drops or adds a block on request.
//
// The alternative output path (setup_ks_prefered) is the system's default output device: from
// then on the device list holds that device alone.
//
// Every function but out_to_dsound is called from the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

constexpr int kMaxWaveOutDevices = 32;

// The caller-owned record get_wdm_wavout_device_list fills; the names belong to the library and
// stay valid until the next call.
struct WaveOutDeviceList {
    int32_t count = 0;
    const char* names[kMaxWaveOutDevices] = {};
};

void setup_stereo(int32_t channels);          // 1 or 2
void setup_auto(int32_t value);               // kept; the output always starts once primed
void setup_delta_delta(int32_t value);        // kept; no effect here
void setup_freq_22_44(int32_t sampleRate);    // Hz
void setup_latency(int32_t milliseconds);     // the most output the queue holds
void setup_b_size(int32_t blockSize);         // frames per block
void setup_max_chorus_delay(int32_t value);   // kept; no effect here
void setup_bits_per_sample(int32_t bits);     // 16 is the only depth played
void setup_ks_prefered();

// 0: no output device. Otherwise fills the record (at most 32 names) and returns 1.
int32_t get_wdm_wavout_device_list(WaveOutDeviceList* list);
// 0 if the index is not in the list last returned.
int32_t select_wdm_waveOut_device(int32_t index);
// Opens the selected device with the set-up values; -1 on failure (get_waveOut_error says why).
int32_t WinMain1(void* window);
// The output function for setup_and_start_wave_In: queues one processed block (capture thread).
void out_to_dsound(const float* buffer, int32_t frameCount, int32_t channelCount);
// Closes the output; harmless when nothing is open.
void CloseDSound();
// The output delay in bytes of 16-bit samples, all channels: what is queued plus what the device
// holds. 0 while closed.
double get_audio_pos();
void skip_buffer();
void insert_buffer();

// Beyond the calling contract: what the headless mode and the meters read.
// Why WinMain1 failed, else why the open output lost audio (a WAV file that could not be written
// whole); "" when neither. Valid until the next call.
const char* get_waveOut_error();
// Periods the device played silence because nothing was queued, since it opened.
int32_t get_underrun_count();
// Blocks dropped on request (skip_buffer) and blocks lost to a full queue, since it opened.
int32_t get_skipped_count();
int32_t get_overflow_count();
// Module start-up values: output closed, the set-up values of a new program, the normal output
// path, nothing selected. Runs once at program start; tests call it again for a clean state.
void dsound_startup();
// Where "WAV file output" writes; set by the program at start-up.
void set_wav_output_path(const std::string& path);
const std::string& wav_output_path();

}  // namespace vx
