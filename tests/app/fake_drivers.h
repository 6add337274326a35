// A recording stand-in for the two driver libraries: every call is written down as "name(args)",
// and what each function answers is set by the test.
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "drivers/drivers.h"

namespace vx::test {

class RecordingDrivers : public AudioDrivers {
public:
    std::vector<std::string> calls;

    std::vector<std::string> inputs{"Guitar In", "Line In"};
    std::vector<std::string> outputs{"Speakers", "Headphones"};
    std::vector<std::string> default_outputs{"Default Out"};  // after setup_ks_prefered
    int32_t min_buf = 256;
    int32_t select_out_result = 1;
    int32_t winmain_result = 0;
    std::string capture_error;
    std::string output_error;  // what waveOut_error says
    double in_level = 0.0, out_level = 0.0, audio_pos = 0.0;
    bool in_clip = false, out_clip = false;  // what the next take_clip answers
    int32_t underrun_count = 0;
    std::function<void()> on_winmain;  // runs inside WinMain1, to look at the window then

    CaptureCallback callback = nullptr;
    OutputFunction output = nullptr;
    bool ks = false;

    // The calls since the last take, and forgets them.
    std::vector<std::string> take() {
        std::vector<std::string> c;
        c.swap(calls);
        return c;
    }

    const WaveInDeviceList* get_waveIn_device_list() override {
        calls.push_back("get_waveIn_device_list");
        record_ = WaveInDeviceList{};
        record_.last = static_cast<int32_t>(inputs.size()) - 1;
        for (size_t i = 0; i < inputs.size() && i < kMaxWaveInDevices; ++i)
            std::strncpy(record_.names[i], inputs[i].c_str(), 255);
        return &record_;
    }
    void select_waveIn_device(int32_t index) override { calls.push_back(call("select_waveIn_device", index)); }
    int32_t get_min_buf_size_waveIn(int32_t rate, int32_t channels) override {
        calls.push_back(call("get_min_buf_size_waveIn", rate, channels));
        return min_buf;
    }
    void setup_and_start_wave_In(int32_t rate, int32_t channels, int32_t block, CaptureCallback cb,
                                 OutputFunction out) override {
        calls.push_back(call("setup_and_start_wave_In", rate, channels, block));
        callback = cb;
        output = out;
    }
    void stop_and_close_wave_in() override { calls.push_back("stop_and_close_wave_in"); }
    double get_waveIn_level() override {
        calls.push_back("get_waveIn_level");
        return in_level;
    }
    double get_waveOut_level() override {
        calls.push_back("get_waveOut_level");
        return out_level;
    }
    void set_waveIn_level(int32_t level) override { calls.push_back(call("set_waveIn_level", level)); }
    void set_waveOut_level(int32_t level) override { calls.push_back(call("set_waveOut_level", level)); }

    void setup_stereo(int32_t v) override { calls.push_back(call("setup_stereo", v)); }
    void setup_auto(int32_t v) override { calls.push_back(call("setup_auto", v)); }
    void setup_delta_delta(int32_t v) override { calls.push_back(call("setup_delta_delta", v)); }
    void setup_freq_22_44(int32_t v) override { calls.push_back(call("setup_freq_22_44", v)); }
    void setup_latency(int32_t v) override { calls.push_back(call("setup_latency", v)); }
    void setup_b_size(int32_t v) override { calls.push_back(call("setup_b_size", v)); }
    void setup_max_chorus_delay(int32_t v) override { calls.push_back(call("setup_max_chorus_delay", v)); }
    void setup_bits_per_sample(int32_t v) override { calls.push_back(call("setup_bits_per_sample", v)); }
    void setup_ks_prefered() override {
        calls.push_back("setup_ks_prefered");
        ks = true;
    }
    int32_t get_wdm_wavout_device_list(WaveOutDeviceList* list) override {
        calls.push_back("get_wdm_wavout_device_list");
        const std::vector<std::string>& names = ks ? default_outputs : outputs;
        if (names.empty()) return 0;
        *list = WaveOutDeviceList{};
        list->count = static_cast<int32_t>(names.size());
        for (size_t i = 0; i < names.size() && i < kMaxWaveOutDevices; ++i) list->names[i] = names[i].c_str();
        return 1;
    }
    int32_t select_wdm_waveOut_device(int32_t index) override {
        calls.push_back(call("select_wdm_waveOut_device", index));
        return select_out_result;
    }
    int32_t WinMain1(void* window) override {
        calls.push_back(window != nullptr ? "WinMain1(window)" : "WinMain1(null)");
        if (on_winmain) on_winmain();
        return winmain_result;
    }
    void CloseDSound() override { calls.push_back("CloseDSound"); }
    double get_audio_pos() override {
        calls.push_back("get_audio_pos");
        return audio_pos;
    }
    void skip_buffer() override { calls.push_back("skip_buffer"); }
    void insert_buffer() override { calls.push_back("insert_buffer"); }

    std::string waveIn_error() override {
        calls.push_back("waveIn_error");
        return capture_error;
    }
    std::string waveOut_error() override { return output_error; }
    int32_t underruns() override { return underrun_count; }
    // Not written down: the timer asks on every tick.
    bool take_clip(bool output) override { return std::exchange(output ? out_clip : in_clip, false); }

private:
    template <class... A>
    static std::string call(const char* name, A... args) {
        std::string s = std::string(name) + "(";
        bool first = true;
        ((s += (first ? "" : ","), s += std::to_string(args), first = false), ...);
        return s + ")";
    }
    WaveInDeviceList record_;
};

}  // namespace vx::test
