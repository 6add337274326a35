// The two driver libraries as one interface, so that the main window can be driven by the real
// units (LibraryDrivers) or by a stand-in that records what it is asked.
#pragma once

#include <cstdint>
#include <string>

#include "dsound.h"
#include "waves.h"

namespace vx {

class AudioDrivers {
public:
    virtual ~AudioDrivers() = default;

    // waves
    virtual const WaveInDeviceList* get_waveIn_device_list() = 0;
    virtual void select_waveIn_device(int32_t index) = 0;
    virtual int32_t get_min_buf_size_waveIn(int32_t sampleRate, int32_t channels) = 0;
    virtual void setup_and_start_wave_In(int32_t sampleRate, int32_t channels, int32_t blockSize,
                                         CaptureCallback callback, OutputFunction output) = 0;
    virtual void stop_and_close_wave_in() = 0;
    virtual double get_waveIn_level() = 0;
    virtual double get_waveOut_level() = 0;
    virtual void set_waveIn_level(int32_t level) = 0;
    virtual void set_waveOut_level(int32_t level) = 0;

    // ds3
    virtual void setup_stereo(int32_t channels) = 0;
    virtual void setup_auto(int32_t value) = 0;
    virtual void setup_delta_delta(int32_t value) = 0;
    virtual void setup_freq_22_44(int32_t sampleRate) = 0;
    virtual void setup_latency(int32_t value) = 0;
    virtual void setup_b_size(int32_t blockSize) = 0;
    virtual void setup_max_chorus_delay(int32_t value) = 0;
    virtual void setup_bits_per_sample(int32_t bits) = 0;
    virtual void setup_ks_prefered() = 0;
    virtual int32_t get_wdm_wavout_device_list(WaveOutDeviceList* list) = 0;
    virtual int32_t select_wdm_waveOut_device(int32_t index) = 0;
    virtual int32_t WinMain1(void* window) = 0;
    virtual void CloseDSound() = 0;
    virtual double get_audio_pos() = 0;
    virtual void skip_buffer() = 0;
    virtual void insert_buffer() = 0;

    // Beyond the calling contract.
    virtual std::string waveIn_error() = 0;   // why capture did not start; "" when it did
    virtual std::string waveOut_error() = 0;  // why WinMain1 failed, or why the open output lost audio
    virtual int32_t underruns() = 0;
    // Whether a sample reached full scale at the input (output: at the output) since the last call.
    virtual bool take_clip(bool output) { return output ? vx::take_waveOut_clip() : vx::take_waveIn_clip(); }
    // The file "WAV file input" plays.
    virtual void set_wav_input_path(const std::string& path) { vx::set_wav_input_path(path); }
    virtual std::string wav_input_path() { return vx::wav_input_path(); }
};

// The real units. Destroying it stops capture and output and lets PortAudio go.
class LibraryDrivers : public AudioDrivers {
public:
    // wav_output_path: where "WAV file output" writes.
    explicit LibraryDrivers(const std::string& wav_output_path);
    ~LibraryDrivers() override;
    LibraryDrivers(const LibraryDrivers&) = delete;
    LibraryDrivers& operator=(const LibraryDrivers&) = delete;

    const WaveInDeviceList* get_waveIn_device_list() override { return vx::get_waveIn_device_list(); }
    void select_waveIn_device(int32_t index) override { vx::select_waveIn_device(index); }
    int32_t get_min_buf_size_waveIn(int32_t sampleRate, int32_t channels) override {
        return vx::get_min_buf_size_waveIn(sampleRate, channels);
    }
    void setup_and_start_wave_In(int32_t sampleRate, int32_t channels, int32_t blockSize, CaptureCallback callback,
                                 OutputFunction output) override {
        vx::setup_and_start_wave_In(sampleRate, channels, blockSize, callback, output);
    }
    void stop_and_close_wave_in() override { vx::stop_and_close_wave_in(); }
    double get_waveIn_level() override { return vx::get_waveIn_level(); }
    double get_waveOut_level() override { return vx::get_waveOut_level(); }
    void set_waveIn_level(int32_t level) override { vx::set_waveIn_level(level); }
    void set_waveOut_level(int32_t level) override { vx::set_waveOut_level(level); }

    void setup_stereo(int32_t channels) override { vx::setup_stereo(channels); }
    void setup_auto(int32_t value) override { vx::setup_auto(value); }
    void setup_delta_delta(int32_t value) override { vx::setup_delta_delta(value); }
    void setup_freq_22_44(int32_t sampleRate) override { vx::setup_freq_22_44(sampleRate); }
    void setup_latency(int32_t value) override { vx::setup_latency(value); }
    void setup_b_size(int32_t blockSize) override { vx::setup_b_size(blockSize); }
    void setup_max_chorus_delay(int32_t value) override { vx::setup_max_chorus_delay(value); }
    void setup_bits_per_sample(int32_t bits) override { vx::setup_bits_per_sample(bits); }
    void setup_ks_prefered() override { vx::setup_ks_prefered(); }
    int32_t get_wdm_wavout_device_list(WaveOutDeviceList* list) override { return vx::get_wdm_wavout_device_list(list); }
    int32_t select_wdm_waveOut_device(int32_t index) override { return vx::select_wdm_waveOut_device(index); }
    int32_t WinMain1(void* window) override { return vx::WinMain1(window); }
    void CloseDSound() override { vx::CloseDSound(); }
    double get_audio_pos() override { return vx::get_audio_pos(); }
    void skip_buffer() override { vx::skip_buffer(); }
    void insert_buffer() override { vx::insert_buffer(); }

    std::string waveIn_error() override { return vx::get_waveIn_error(); }
    std::string waveOut_error() override { return vx::get_waveOut_error(); }
    int32_t underruns() override { return vx::get_underrun_count(); }
};

}  // namespace vx
