// The two units as the main window calls them: the device lists with the built-in devices, the
// selections, the failures of opening, the mixer levels, and a run through the built-in devices.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "drivers/builtin_devices.h"
#include "drivers/dsound.h"
#include "drivers/waves.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

class Devices : public ::testing::Test {
protected:
    void SetUp() override {
        waves_startup();
        dsound_startup();
        set_builtin_clock_speed(1.0);
    }
    void TearDown() override {
        stop_and_close_wave_in();
        CloseDSound();
        set_builtin_clock_manual(false);
        set_builtin_clock_speed(1.0);
        waves_startup();
        dsound_startup();
    }
    std::vector<std::string> inputs() {
        const WaveInDeviceList* l = get_waveIn_device_list();
        std::vector<std::string> v;
        for (int32_t i = 0; i <= l->last; ++i) v.emplace_back(l->names[i], strnlen(l->names[i], 256));
        return v;
    }
    std::vector<std::string> outputs(int32_t* result = nullptr) {
        WaveOutDeviceList l;
        const int32_t r = get_wdm_wavout_device_list(&l);
        if (result) *result = r;
        std::vector<std::string> v;
        for (int32_t i = 0; r != 0 && i < l.count; ++i) v.emplace_back(l.names[i]);
        return v;
    }
    int index_of(const std::vector<std::string>& v, const std::string& name) {
        const auto it = std::find(v.begin(), v.end(), name);
        return it == v.end() ? -1 : static_cast<int>(it - v.begin());
    }
    // Opens a built-in output with the set-up values START uses.
    int32_t open_output(const std::string& name, int32_t rate = 48000, int32_t channels = 2, int32_t block = 256) {
        setup_stereo(channels);
        setup_freq_22_44(rate);
        setup_latency(750);
        setup_b_size(block);
        setup_bits_per_sample(16);
        EXPECT_EQ(select_wdm_waveOut_device(index_of(outputs(), name)), 1);
        return WinMain1(nullptr);
    }
};

TEST_F(Devices, BuiltInDevicesComeAfterTheSystemsOwn) {
    const std::vector<std::string> in = inputs();
    ASSERT_FALSE(in.empty());
    ASSERT_GE(in.size(), 2u);
    EXPECT_EQ(in[in.size() - 2], "Test signal");
    EXPECT_EQ(in.back(), "WAV file input");
    const std::vector<std::string> out = outputs();
    ASSERT_GE(out.size(), 2u);
    EXPECT_LE(out.size(), static_cast<size_t>(kMaxWaveOutDevices));
    EXPECT_EQ(out[out.size() - 2], "Null output");
    EXPECT_EQ(out.back(), "WAV file output");
    for (size_t i = 0; i + 2 < in.size(); ++i) EXPECT_NE(in[i].find(": "), std::string::npos) << in[i];
    for (size_t i = 0; i + 2 < out.size(); ++i) EXPECT_NE(out[i].find(": "), std::string::npos) << out[i];
    // The record's layout: the last index, then 256 bytes a name.
    const WaveInDeviceList* l = get_waveIn_device_list();
    const auto* bytes = reinterpret_cast<const char*>(l);
    EXPECT_STREQ(bytes + 4 + 256 * l->last, "WAV file input");
}

TEST_F(Devices, AlternativeOutputPathListsTheDefaultDeviceAlone) {
    setup_ks_prefered();
    int32_t r = -1;
    const std::vector<std::string> out = outputs(&r);
    EXPECT_LE(out.size(), 1u);
    EXPECT_EQ(r, out.empty() ? 0 : 1);
    EXPECT_EQ(index_of(out, "Null output"), -1);
    EXPECT_EQ(select_wdm_waveOut_device(1), 0);
}

TEST_F(Devices, SelectionsAndOpeningFailures) {
    const std::vector<std::string> out = outputs();
    EXPECT_EQ(select_wdm_waveOut_device(-1), 0);
    EXPECT_EQ(select_wdm_waveOut_device(static_cast<int32_t>(out.size())), 0);
    EXPECT_EQ(WinMain1(nullptr), -1);  // nothing selected yet
    EXPECT_STRNE(get_waveOut_error(), "");
    setup_bits_per_sample(24);
    EXPECT_EQ(select_wdm_waveOut_device(index_of(out, "Null output")), 1);
    EXPECT_EQ(WinMain1(nullptr), -1);
    setup_bits_per_sample(16);
    setup_b_size(513);
    EXPECT_EQ(WinMain1(nullptr), -1);
    setup_b_size(256);
    set_wav_output_path("/proc/no-such-folder/live-output.wav");
    EXPECT_EQ(open_output("WAV file output"), -1);
    EXPECT_NE(std::string(get_waveOut_error()).find("/proc/no-such-folder/live-output.wav"), std::string::npos);
    // Closing what is not open is harmless; nothing open means no delay, and drops are not kept.
    CloseDSound();
    CloseDSound();
    skip_buffer();
    insert_buffer();
    EXPECT_EQ(get_audio_pos(), 0.0);
    EXPECT_EQ(open_output("Null output"), 0);
    EXPECT_EQ(get_audio_pos(), 0.0);
    CloseDSound();
    EXPECT_EQ(get_skipped_count(), 0);
}

TEST_F(Devices, CaptureRefusesWhatItCannotRun) {
    select_waveIn_device(index_of(inputs(), "Test signal"));
    const auto cb = [](int32_t, int32_t, int32_t, float*) -> int32_t { return 0; };
    for (int32_t block : {0, -5, 513}) {
        setup_and_start_wave_In(48000, 2, block, cb, nullptr);
        EXPECT_STRNE(get_waveIn_error(), "") << block;
    }
    setup_and_start_wave_In(48000, 2, 256, nullptr, nullptr);
    EXPECT_STRNE(get_waveIn_error(), "");
    setup_and_start_wave_In(0, 2, 256, cb, nullptr);
    EXPECT_STRNE(get_waveIn_error(), "");
    setup_and_start_wave_In(48000, 2, 256, cb, nullptr);
    EXPECT_STREQ(get_waveIn_error(), "");
    stop_and_close_wave_in();
}

TEST_F(Devices, TestSignalBlockSizeAtEachRate) {
    const std::vector<std::string> in = inputs();
    select_waveIn_device(index_of(in, "Test signal"));
    const int32_t cases[][2] = {{22050, 118}, {32075, 171}, {44100, 235}, {48000, 256}};
    for (const auto& c : cases) {
        EXPECT_EQ(get_min_buf_size_waveIn(c[0], 2), c[1]) << c[0];
        EXPECT_EQ(get_min_buf_size_waveIn(c[0], 1), c[1]) << c[0];
    }
    // An index outside the list chooses the first device; every device keeps to 64..256 at 48 kHz.
    for (int32_t i : {-1, 0, static_cast<int32_t>(in.size())}) {
        select_waveIn_device(i);
        const int32_t b = get_min_buf_size_waveIn(48000, 2);
        EXPECT_GE(b, 64);
        EXPECT_LE(b, 256);
    }
}

TEST_F(Devices, MixerLevelLaw) {
    const struct {
        int32_t level;
        double gain;
    } cases[] = {{50, 1.0}, {100, 10.0}, {0, 0.0}, {-3, 0.0}, {75, std::sqrt(10.0)}, {25, 1.0 / std::sqrt(10.0)},
                 {1, std::pow(10.0, -0.98)}, {150, 10.0}};
    for (const auto& c : cases) EXPECT_NEAR(mixer_gain(c.level), c.gain, 1e-12) << c.level;
}

// What the processing callback saw, for the run below.
std::atomic<int> callback_blocks{0};
std::atomic<float> callback_peak{0.0f};
int32_t peak_callback(int32_t frames, int32_t rate, int32_t channels, float* buf) {
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(channels, 2);
    float p = 0.0f;
    for (int32_t i = 0; i < frames * channels; ++i) p = std::max(p, std::fabs(buf[i]));
    callback_peak.store(std::max(callback_peak.load(), p));
    callback_blocks.fetch_add(1);
    return 0;
}

TEST_F(Devices, LevelsApplyBeforeAndAfterTheCallback) {
    set_builtin_clock_manual(true);
    select_waveIn_device(index_of(inputs(), "Test signal"));
    ASSERT_EQ(open_output("Null output"), 0);
    EXPECT_EQ(get_waveIn_level(), 0.0);
    struct Case {
        int32_t in, out;
        bool callback_hears, meter_out;
    };
    for (const Case c : {Case{50, 50, true, true}, Case{50, 0, true, false}, Case{0, 50, false, false}}) {
        SCOPED_TRACE(std::to_string(c.in) + "/" + std::to_string(c.out));
        set_waveIn_level(c.in);
        set_waveOut_level(c.out);
        callback_blocks.store(0);
        callback_peak.store(0.0f);
        setup_and_start_wave_In(48000, 2, 256, &peak_callback, &out_to_dsound);
        ASSERT_STREQ(get_waveIn_error(), "");
        step_builtin_clock(std::chrono::milliseconds(40 * 256 * 1000 / 48000 + 1));
        EXPECT_EQ(callback_peak.load() > 1000.0f, c.callback_hears);
        EXPECT_EQ(get_waveIn_level() > 1000.0, c.callback_hears);
        EXPECT_EQ(get_waveOut_level() > 1000.0, c.meter_out);
        EXPECT_LE(get_waveIn_level(), 32768.0 * std::pow(10.0, -12.0 / 20.0) + 1.0);  // about -12 dBFS
        EXPECT_GT(get_audio_pos(), 0.0);
        stop_and_close_wave_in();
        EXPECT_EQ(get_waveIn_level(), 0.0);
        EXPECT_EQ(get_waveOut_level(), 0.0);
        EXPECT_GE(get_waveIn_blocks(), 40);
    }
    set_builtin_clock_manual(false);
}

// A callback that drives its block to full scale, as an effect gone wild would.
int32_t full_scale_callback(int32_t frames, int32_t, int32_t channels, float* buf) {
    std::fill(buf, buf + frames * channels, -32768.0f);
    return 0;
}

// A sample at full scale marks the input (after its level) or the output (after its level); taking
// a mark clears it, and a new START forgets one nobody took.
TEST_F(Devices, FullScaleMarksTheInputOrTheOutput) {
    set_builtin_clock_manual(true);
    select_waveIn_device(index_of(inputs(), "Test signal"));
    ASSERT_EQ(open_output("Null output"), 0);
    struct Case {
        int32_t in, out;
        CaptureCallback callback;
        bool in_clip, out_clip;
    };
    const Case cases[] = {
        {50, 50, &peak_callback, false, false},       // the test signal peaks near -12 dB
        {100, 50, &peak_callback, true, true},        // +20 dB before the rack, which passes it on
        {100, 0, &peak_callback, true, false},        // muted after the rack
        {50, 50, &full_scale_callback, false, true},  // the rack drives the output to full scale
        {50, 40, &full_scale_callback, false, false}, // and the output level takes 4 dB off
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.in) + "/" + std::to_string(c.out));
        set_waveIn_level(c.in);
        set_waveOut_level(c.out);
        setup_and_start_wave_In(48000, 2, 256, c.callback, &out_to_dsound);
        ASSERT_STREQ(get_waveIn_error(), "");
        step_builtin_clock(std::chrono::seconds(2));
        EXPECT_EQ(take_waveIn_clip(), c.in_clip);
        EXPECT_EQ(take_waveOut_clip(), c.out_clip);
        EXPECT_FALSE(take_waveIn_clip());
        EXPECT_FALSE(take_waveOut_clip());
        stop_and_close_wave_in();
    }
    // Marked, not taken, stopped: the next START starts unmarked.
    set_waveIn_level(100);
    set_waveOut_level(50);
    setup_and_start_wave_In(48000, 2, 256, &peak_callback, &out_to_dsound);
    step_builtin_clock(std::chrono::seconds(2));
    stop_and_close_wave_in();
    set_waveIn_level(50);
    setup_and_start_wave_In(48000, 2, 256, &peak_callback, &out_to_dsound);
    step_builtin_clock(std::chrono::milliseconds(100));
    EXPECT_FALSE(take_waveIn_clip());
    EXPECT_FALSE(take_waveOut_clip());
    stop_and_close_wave_in();
    set_builtin_clock_manual(false);
}

// On the steady clock, so only what load cannot change: a clock 20 periods late starts afresh, and
// the periods after that are waited for again (a burst would return at once), however late the
// machine runs (waiting can only take longer).
TEST_F(Devices, PacingClockStartsAfreshWhenFarBehind) {
    PacingClock c(0.001, 2);
    c.wait_next();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int32_t before = c.resyncs();
    const auto t0 = std::chrono::steady_clock::now();
    c.wait_next();  // 20 periods late: no burst of catching up
    EXPECT_GE(c.resyncs(), before + 1);
    for (int i = 0; i < 5; ++i) c.wait_next();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(5));
}

// The stepped clock runs every period that falls due and nothing more, the devices one at a time.
TEST_F(Devices, SteppedClockRunsEveryDuePeriod) {
    set_builtin_clock_manual(true);
    select_waveIn_device(index_of(inputs(), "Test signal"));
    ASSERT_EQ(open_output("Null output"), 0);
    callback_blocks.store(0);
    setup_and_start_wave_In(48000, 2, 256, &peak_callback, &out_to_dsound);
    ASSERT_STREQ(get_waveIn_error(), "");
    EXPECT_EQ(callback_blocks.load(), 0);
    step_builtin_clock(std::chrono::microseconds(5333));  // 256 frames are 5333.3 us: not yet
    EXPECT_EQ(callback_blocks.load(), 0);
    step_builtin_clock(std::chrono::microseconds(1));
    EXPECT_EQ(callback_blocks.load(), 1);
    step_builtin_clock(std::chrono::seconds(1));
    EXPECT_EQ(callback_blocks.load(), 48000 * 1 / 256 + 1);  // 188 periods in 1.0053 s
    stop_and_close_wave_in();
    step_builtin_clock(std::chrono::seconds(1));
    EXPECT_EQ(callback_blocks.load(), 188);
    CloseDSound();
    set_builtin_clock_manual(false);
}

}  // namespace
}  // namespace vx
