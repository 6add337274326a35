// The engine panel on the real driver libraries: the built-in devices end to end on a clock the
// test steps (so nothing depends on the machine's load), and a JACK server of the test's own (its
// dummy back end needs no sound card; there only what timing cannot change is asserted).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/Unit1.h"
#include "drivers/builtin_devices.h"
#include "drivers/output_queue.h"
#include "engine/effects.h"
#include "engine/test_signal.h"
#include "fake_services.h"
#include "jack_server.h"


namespace fs = std::filesystem;

namespace vx {
namespace {

// A stand-in effect in the rack: turns the signal upside down and counts its blocks.
std::atomic<int32_t> probe_blocks{0};
int32_t probe_invert(int32_t frames, int32_t, int32_t channels, float* buf, EffectInstance) {
    for (int32_t i = 0; i < frames * channels; ++i) buf[i] = -buf[i];
    probe_blocks.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

class Live : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        waves_startup();
        dsound_startup();
        unit1_startup();
        probe_blocks.store(0);
        set_builtin_clock_manual(true);
        dir = fs::temp_directory_path() / ("vx-live-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override {
        form.reset();
        drivers.reset();
        set_builtin_clock_manual(false);
        fs::remove_all(dir);
        effects_startup();
        waves_startup();
        dsound_startup();
        unit1_startup();
    }
    void make_form() {
        drivers = std::make_unique<LibraryDrivers>((dir / "temp" / "live-output.wav").string());
        form = std::make_unique<TForm1>(services, *drivers, dir);
        form->show();
    }
    bool choose(Selector& s, const std::string& name) {
        const auto& items = s.items();
        const auto it = std::find(items.begin(), items.end(), name);
        if (it == items.end()) return false;
        s.set_index(static_cast<int>(it - items.begin()));
        return true;
    }
    static void insert_probe() {
        ChainTable t;
        t.count = 1;
        t.process[0] = probe_invert;
        t.kind[0] = 13;
        t.enabled[0] = 1;
        load_chain(t);
    }
    // Runs the 100 ms timer `ticks` times, each after 100 ms of the built-in devices' stepped
    // clock, and gives the latency of every tick.
    std::vector<float> run_timer(int ticks) {
        std::vector<float> latencies;
        for (int i = 0; i < ticks; ++i) {
            step_builtin_clock(std::chrono::milliseconds(100));
            form->Timer1Timer();
            latencies.push_back(engine_settings.latency_ms);
        }
        return latencies;
    }
    // The same on wall time, for a real sound server.
    std::vector<float> run_timer_on_wall_time(int ticks) {
        std::vector<float> latencies;
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < ticks; ++i) {
            next += std::chrono::milliseconds(100);
            std::this_thread::sleep_until(next);
            form->Timer1Timer();
            latencies.push_back(engine_settings.latency_ms);
        }
        return latencies;
    }
    void expect_held_under_threshold(const std::vector<float>& latencies, int warm_up) {
        float max_latency = 0.0f;
        for (size_t i = static_cast<size_t>(warm_up); i < latencies.size(); ++i)
            max_latency = std::max(max_latency, latencies[i]);
        EXPECT_GT(max_latency, 0.0f);
        EXPECT_LT(max_latency, static_cast<float>(engine_settings.latency_threshold_ms));
        EXPECT_EQ(form->watchdog_drops(), 0);
    }

    test::FakeServices services;
    std::unique_ptr<LibraryDrivers> drivers;
    std::unique_ptr<TForm1> form;
    fs::path dir;
};

TEST_F(Live, BuiltInDevicesEndToEndOnASteppedClock) {
    make_form();
    ASSERT_TRUE(choose(form->ComboBox_waveIn, "Test signal"));
    ASSERT_TRUE(choose(form->ComboBox_waveOut, "WAV file output"));
    insert_probe();

    form->BitBtn_Init.click();
    ASSERT_TRUE(services.messages.empty()) << services.messages[0].text;
    ASSERT_TRUE(form->BitBtn_Reset.enabled());
    EXPECT_EQ(engine_settings.block_size, 256);
    // 3 s of audio; each timer tick stands for 100 ms of it.
    const std::vector<float> latencies = run_timer(30);
    const int32_t underruns = drivers->underruns();
    form->BitBtn_Reset.click();

    // Every block went through the rack's chain: the probe saw each one the runner counted.
    const int32_t blocks = block_counter();
    EXPECT_EQ(blocks, 3 * 48000 / 256);  // every period of the 3 s
    EXPECT_EQ(probe_blocks.load(), blocks);
    step_builtin_clock(std::chrono::milliseconds(100));
    EXPECT_EQ(block_counter(), blocks);  // nothing after STOP
    EXPECT_EQ(rack_gate.load(), 0);

    // A real source and a real queue sit a few blocks apart: the smoothing starts from 0 and the
    // watchdog never had to act.
    EXPECT_LT(latencies[0], latencies[3]);
    expect_held_under_threshold(latencies, 3);

    // What was played is the test phrase turned upside down, block after block; an underrun leaves
    // a block of silence, and a dropped block a gap.
    SF_INFO info{};
    SNDFILE* f = sf_open((dir / "temp" / "live-output.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    std::vector<int16_t> played(static_cast<size_t>(info.frames) * 2);
    sf_readf_short(f, played.data(), info.frames);
    sf_close(f);
    const std::vector<float> phrase = make_test_phrase(48000);
    const size_t block = 256;
    size_t next_block = 0, silent = 0, matched = 0;
    for (size_t at = 0; at + block <= static_cast<size_t>(info.frames); at += block) {
        const auto first = played.begin() + static_cast<std::ptrdiff_t>(2 * at);
        if (std::all_of(first, first + 2 * block, [](int16_t s) { return s == 0; })) {
            ++silent;
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < block && same; ++i) {
            const int16_t want = to_int16(-phrase[(next_block * block + i) % phrase.size()]);
            same = played[2 * (at + i)] == want && played[2 * (at + i) + 1] == want;
        }
        ASSERT_TRUE(same) << "block " << at / block << " is not phrase block " << next_block;
        ++next_block;
        ++matched;
    }
    EXPECT_GT(matched, 200u);
    EXPECT_LE(silent, static_cast<size_t>(underruns) * 3 + 1);
}

TEST_F(Live, NullOutputMetersTheTestSignal) {
    make_form();
    ASSERT_TRUE(choose(form->ComboBox_waveIn, "Test signal"));
    ASSERT_TRUE(choose(form->ComboBox_waveOut, "Null output"));
    form->cbStereo.set_checked(false);
    form->rgSampleRate.set_index(2);
    form->BitBtn_Init.click();
    ASSERT_TRUE(form->BitBtn_Reset.enabled());
    EXPECT_EQ(engine_settings.block_size, 235);
    const std::vector<float> latencies = run_timer(12);
    EXPECT_GT(form->ProgressBar_inlevel.value(), 10);
    EXPECT_EQ(form->ProgressBar_inlevel.value(), form->ProgressBar_outlevel.value());
    EXPECT_GE(form->ProgressBar_CPU.value(), 0);
    expect_held_under_threshold(latencies, 3);
    form->BitBtn_Reset.click();
    EXPECT_TRUE(form->close());
}

// --- JACK ---------------------------------------------------------------------------------------


TEST_F(Live, JackDummyServer) {
    test::JackServer jack;  // outlives the drivers: PortAudio lets go of it first
    if (!jack.why_not().empty()) GTEST_SKIP() << jack.why_not();
    make_form();
    ASSERT_TRUE(choose(form->ComboBox_waveIn, "JACK: system"));
    ASSERT_TRUE(choose(form->ComboBox_waveOut, "JACK: system"));
    insert_probe();
    EXPECT_EQ(engine_settings.block_size, 128);  // the server's period

    form->BitBtn_Init.click();
    ASSERT_TRUE(services.messages.empty()) << services.messages[0].text;
    ASSERT_TRUE(form->BitBtn_Reset.enabled());
    const std::vector<float> latencies = run_timer_on_wall_time(20);
    form->BitBtn_Reset.click();
    // A real server keeps real time, which a loaded machine may not: only what timing cannot
    // change is asserted (blocks flowed, every one through the rack, the figures are sane).
    const int32_t blocks = block_counter();
    EXPECT_GT(blocks, 0);
    EXPECT_EQ(probe_blocks.load(), blocks);
    for (float l : latencies) EXPECT_TRUE(std::isfinite(l) && l >= 0.0f) << l;
    form.reset();
    drivers.reset();
}

TEST_F(Live, JackServerThatQuitsWhileRunning) {
    test::JackServer jack;
    if (!jack.why_not().empty()) GTEST_SKIP() << jack.why_not();
    make_form();
    ASSERT_TRUE(choose(form->ComboBox_waveIn, "JACK: system"));
    ASSERT_TRUE(choose(form->ComboBox_waveOut, "JACK: system"));
    form->BitBtn_Init.click();
    ASSERT_TRUE(form->BitBtn_Reset.enabled());
    for (int i = 0; i < 500 && block_counter() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(block_counter(), 0);
    run_timer_on_wall_time(3);
    jack.stop();
    run_timer_on_wall_time(12);
    // STOP and close come back at once; the streams of the vanished server are left alone.
    const auto t0 = std::chrono::steady_clock::now();
    form->BitBtn_Reset.click();
    EXPECT_TRUE(form->close());
    form.reset();
    drivers.reset();
    // A stream waited for would take far longer (or never return); the bound leaves room for a
    // loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
}

}  // namespace
}  // namespace vx
