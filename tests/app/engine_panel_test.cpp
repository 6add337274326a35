// The engine panel against a recording stand-in of the two driver libraries: the calling order,
// the state table, the START failures with their messages, and the timer's arithmetic.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "engine/effects.h"
#include "fake_drivers.h"
#include "fake_services.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

using Calls = std::vector<std::string>;
using test::FakeServices;
using test::RecordingDrivers;

const Calls kStartSetup = {"setup_stereo(2)",     "setup_auto(1)",        "setup_delta_delta(150)",
                           "setup_freq_22_44(48000)", "setup_latency(750)", "setup_b_size(256)",
                           "setup_max_chorus_delay(0)", "setup_bits_per_sample(16)"};

Calls concat(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class Panel : public ::testing::Test {
protected:
    void SetUp() override {
        effects_startup();
        unit1_startup();
        services = FakeServices{};
        drivers = RecordingDrivers{};
        dir = fs::temp_directory_path() /
              ("vx-panel-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        form = std::make_unique<TForm1>(services, drivers, dir);
    }
    void TearDown() override {
        form.reset();
        fs::remove_all(dir);
        effects_startup();
        unit1_startup();
    }
    // First show, with what it asked of the drivers forgotten.
    void show() {
        form->show();
        drivers.take();
    }
    void start() {
        form->BitBtn_Init.click();
        drivers.take();
    }

    // The state-table row the panel shows: START enabled and caption, STOP enabled, the device
    // controls enabled, rack_gate.
    struct Row {
        bool init_enabled;
        std::string init_caption;
        bool reset_enabled;
        bool devices_enabled;
        int32_t gate;
        bool operator==(const Row&) const = default;
        friend void PrintTo(const Row& r, std::ostream* os) {
            *os << "{START " << (r.init_enabled ? "on" : "off") << " \"" << r.init_caption << "\", STOP "
                << (r.reset_enabled ? "on" : "off") << ", devices " << (r.devices_enabled ? "on" : "off")
                << ", rack_gate " << r.gate << "}";
        }
    };
    Row row() const {
        const bool dev = form->ComboBox_waveIn.enabled() && form->ComboBox_waveOut.enabled() &&
                         form->rgSampleRate.enabled() && form->cbStereo.enabled();
        const bool dev_off = !form->ComboBox_waveIn.enabled() && !form->ComboBox_waveOut.enabled() &&
                             !form->rgSampleRate.enabled() && !form->cbStereo.enabled();
        EXPECT_TRUE(dev || dev_off) << "device controls disagree";
        return {form->BitBtn_Init.enabled(), form->BitBtn_Init.caption(), form->BitBtn_Reset.enabled(), dev,
                rack_gate.load()};
    }

    FakeServices services;
    RecordingDrivers drivers;
    std::unique_ptr<TForm1> form;
    fs::path dir;
};

TEST_F(Panel, CallingOrderAtFirstShowStartStopAndClose) {
    form->show();
    // The input selector's text changes before an entry is selected, so the device is chosen as -1.
    EXPECT_EQ(drivers.take(), (Calls{"setup_stereo(2)", "get_waveIn_device_list", "select_waveIn_device(-1)",
                                     "get_min_buf_size_waveIn(48000,2)", "get_wdm_wavout_device_list"}));
    EXPECT_EQ(form->ComboBox_waveIn.items(), (std::vector<std::string>{"Guitar In", "Line In"}));
    EXPECT_EQ(form->ComboBox_waveIn.index(), 0);
    EXPECT_EQ(form->ComboBox_waveOut.items(),
              (std::vector<std::string>{"Speakers", "Headphones", "output: use this if other do not work"}));
    EXPECT_EQ(form->ComboBox_waveOut.index(), 0);
    EXPECT_EQ(form->EditBufferSize.text(), "256");
    EXPECT_TRUE(services.messages.empty());

    form->show();  // later shows do nothing
    EXPECT_TRUE(drivers.take().empty());

    form->ComboBox_waveIn.set_index(1);
    EXPECT_EQ(drivers.take(), (Calls{"select_waveIn_device(1)", "get_min_buf_size_waveIn(48000,2)"}));
    form->ComboBox_waveOut.set_index(1);
    EXPECT_TRUE(drivers.take().empty());

    form->BitBtn_Init.click();
    EXPECT_EQ(drivers.take(), concat({{"get_min_buf_size_waveIn(48000,2)"}, kStartSetup,
                                      {"select_wdm_waveOut_device(1)", "WinMain1(window)",
                                       "setup_and_start_wave_In(48000,2,256)", "waveIn_error"}}));
    EXPECT_EQ(drivers.callback, &ChainRunner);
    EXPECT_EQ(drivers.output, &out_to_dsound);

    form->Timer1Timer();
    EXPECT_EQ(drivers.take(), (Calls{"get_waveIn_level", "get_waveOut_level", "get_audio_pos"}));
    form->BitBtn_Reset.click();
    EXPECT_EQ(drivers.take(), (Calls{"stop_and_close_wave_in", "CloseDSound"}));
    form->Timer1Timer();  // the timer runs while stopped too
    EXPECT_EQ(drivers.take(), (Calls{"get_waveIn_level", "get_waveOut_level", "get_audio_pos"}));
    EXPECT_TRUE(form->close());
    EXPECT_EQ(drivers.take(), (Calls{"CloseDSound"}));
    EXPECT_TRUE(services.messages.empty());
    EXPECT_TRUE(services.quits.empty());
}

TEST_F(Panel, ClosingWhileRunningStopsCaptureFirst) {
    show();
    start();
    EXPECT_TRUE(form->close());
    EXPECT_EQ(drivers.take(), (Calls{"stop_and_close_wave_in", "CloseDSound"}));
}

TEST_F(Panel, StartTakesChannelsRateAndCappedBlockFromTheControls) {
    drivers.min_buf = 600;
    show();
    form->cbStereo.set_checked(false);
    EXPECT_EQ(engine_settings.channels, 1);
    EXPECT_TRUE(drivers.take().empty());  // mono/stereo does nothing else
    form->rgSampleRate.set_index(0);
    EXPECT_EQ(drivers.take(), (Calls{"get_min_buf_size_waveIn(22050,1)"}));
    EXPECT_EQ(form->EditBufferSize.text(), "480");  // a rate change caps at 480
    form->ComboBox_waveIn.set_index(1);
    drivers.take();
    EXPECT_EQ(form->EditBufferSize.text(), "512");  // an input change caps at 512
    form->BitBtn_Init.click();
    const Calls c = drivers.take();
    EXPECT_EQ(c.front(), "get_min_buf_size_waveIn(22050,1)");
    EXPECT_EQ(c[1], "setup_stereo(1)");
    EXPECT_EQ(c[4], "setup_freq_22_44(22050)");
    EXPECT_EQ(c[6], "setup_b_size(512)");
    EXPECT_EQ(c[c.size() - 2], "setup_and_start_wave_In(22050,1,512)");
    EXPECT_EQ(engine_settings.block_size, 512);
    // The second rate entry is 32075 Hz.
    form->BitBtn_Reset.click();
    form->rgSampleRate.set_index(1);
    EXPECT_EQ(engine_settings.sample_rate, 32075);
}

TEST_F(Panel, AlternativeOutputPathAtFirstShow) {
    struct Case {
        const char* caption;
        const char* face_ini;
        int ks_calls;
    };
    const Case cases[] = {
        {"Varnomix 3", nullptr, 0},
        {"Varnomix 3 Win98", nullptr, 1},
        {"Varnomix 3", "[Wave Devices]\nusefastwdm=1\n", 1},
        {"Varnomix 3", "[wave devices]\nUseFastWdm=0x10\n", 1},  // keys as the system's profiles read them
        {"Varnomix 3", "[Wave Devices]\nusefastwdm=0\n", 0},
        {"Win98 Varnomix", "[Wave Devices]\nusefastwdm=7\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.caption) + " / " + (c.face_ini ? c.face_ini : "no face.ini"));
        TearDown();
        SetUp();
        if (c.face_ini) std::ofstream(dir / "face.ini") << c.face_ini;
        form->set_caption(c.caption);
        form->show();
        const Calls calls = drivers.take();
        int ks = 0;
        for (const std::string& s : calls) ks += s == "setup_ks_prefered";
        EXPECT_EQ(ks, c.ks_calls);
        // The alternative path is asked for before the output list is read.
        EXPECT_EQ(calls.back(), "get_wdm_wavout_device_list");
        if (c.ks_calls > 0) {
            EXPECT_EQ(calls[calls.size() - 2], "setup_ks_prefered");
            EXPECT_EQ(form->ComboBox_waveOut.items().front(), "Default Out");
        }
    }
}

TEST_F(Panel, FirstShowWithoutDevices) {
    drivers.inputs.clear();
    drivers.outputs.clear();
    form->show();
    EXPECT_EQ(form->ComboBox_waveIn.text(), "There is no sound input device");
    EXPECT_EQ(form->ComboBox_waveIn.index(), -1);
    EXPECT_FALSE(form->BitBtn_Init.enabled());
    EXPECT_EQ(form->ComboBox_waveOut.text(), "Wdm sound output device not found");
    EXPECT_EQ(services.texts(), (std::vector<std::string>{"There is no wdm sound output device"}));
    EXPECT_FALSE(services.messages[0].warning);
    EXPECT_EQ(drivers.take(), (Calls{"setup_stereo(2)", "get_waveIn_device_list", "select_waveIn_device(-1)",
                                     "get_min_buf_size_waveIn(48000,2)", "get_wdm_wavout_device_list"}));
    EXPECT_TRUE(services.quits.empty());  // start-up continues
}

TEST_F(Panel, StartWithNoOutputEntryAsksForNothing) {
    drivers.outputs.clear();
    show();
    services.messages.clear();
    form->BitBtn_Init.click();
    EXPECT_TRUE(drivers.take().empty());
    EXPECT_EQ(services.texts(), (std::vector<std::string>{"No output device is selected."}));
    EXPECT_EQ(row(), (Row{true, " START", false, true, 1}));
}

TEST_F(Panel, StateTable) {
    show();
    EXPECT_EQ(row(), (Row{true, " START", false, true, 1}));  // stopped, first time
    Row starting{};
    drivers.on_winmain = [&] { starting = row(); };
    form->BitBtn_Init.click();
    EXPECT_EQ(starting, (Row{false, "Wait...", false, true, 1}));
    EXPECT_EQ(row(), (Row{false, "START", true, false, 1}));  // running
    EXPECT_EQ(engine_running, 1);
    form->BitBtn_Reset.click();
    EXPECT_EQ(row(), (Row{true, "START", false, true, 0}));  // stopped after a STOP
    EXPECT_EQ(engine_running, 0);
    // rack_gate stays as it is while starting, and a successful START opens it.
    form->BitBtn_Init.click();
    EXPECT_EQ(starting.gate, 0);
    EXPECT_EQ(row(), (Row{false, "START", true, false, 1}));
}

// Every device failure is recoverable: a message, the output closed, the panel stopped and START
// offered again; nothing ends the program.
TEST_F(Panel, StartFailures) {
    struct Case {
        const char* name;
        bool fallback;
        bool default_output;
        int32_t select_result;
        int32_t winmain_result;
        std::string capture_error;
        std::vector<std::string> messages;
        Calls tail;  // the calls after the eight set-up calls
        bool runs;
        std::string output_text;
    };
    const std::string fb = kFallbackOutputEntry;
    const Case cases[] = {
        {"no default output", true, false, 1, 0, "",
         {"There is no standard wdm sound output device"},
         {"setup_ks_prefered", "get_wdm_wavout_device_list", "CloseDSound"},
         false, "Standard wdm sound output device not found"},
        {"default output refused", true, true, 0, 0, "",
         {"Can not select standard wdm output device."},
         {"setup_ks_prefered", "get_wdm_wavout_device_list", "select_wdm_waveOut_device(0)", "CloseDSound"},
         false, fb},
        {"output refused", false, true, 0, 0, "",
         {"Can not select wdm output device."},
         {"select_wdm_waveOut_device(1)", "CloseDSound"},
         false, "Headphones"},
        {"output does not open", false, true, 1, -1, "",
         {"Error: Can not open  Headphones 1"},
         {"select_wdm_waveOut_device(1)", "WinMain1(window)", "CloseDSound"},
         false, "Headphones"},
        {"fallback output does not open", true, true, 1, -1, "",
         {"Error: Can not open  " + fb + " 2"},
         {"setup_ks_prefered", "get_wdm_wavout_device_list", "select_wdm_waveOut_device(0)", "WinMain1(window)",
          "CloseDSound"},
         false, fb},
        {"capture does not start", false, true, 1, 0, "the device is gone",
         {"Error: Can not start the input Guitar In: the device is gone"},
         {"select_wdm_waveOut_device(1)", "WinMain1(window)", "setup_and_start_wave_In(48000,2,256)", "waveIn_error",
          "CloseDSound"},
         false, "Headphones"},
        {"fallback starts", true, true, 1, 0, "", {},
         {"setup_ks_prefered", "get_wdm_wavout_device_list", "select_wdm_waveOut_device(0)", "WinMain1(window)",
          "setup_and_start_wave_In(48000,2,256)", "waveIn_error"},
         true, fb},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (!c.default_output) drivers.default_outputs.clear();
        drivers.select_out_result = c.select_result;
        drivers.winmain_result = c.winmain_result;
        drivers.capture_error = c.capture_error;
        show();
        form->ComboBox_waveOut.set_index(c.fallback ? 2 : 1);
        form->BitBtn_Init.click();
        EXPECT_EQ(drivers.take(), concat({{"get_min_buf_size_waveIn(48000,2)"}, kStartSetup, c.tail}));
        EXPECT_EQ(services.texts(), c.messages);
        for (const auto& m : services.messages) EXPECT_FALSE(m.warning);
        EXPECT_TRUE(services.quits.empty());
        EXPECT_EQ(row(), (c.runs ? Row{false, "START", true, false, 1} : Row{true, "START", false, true, 1}));
        EXPECT_EQ(form->ComboBox_waveOut.text(), c.output_text);
        EXPECT_EQ(engine_running, c.runs ? 1 : 0);
        // Choosing the fallback entry raises the threshold to 45 ms at START.
        EXPECT_EQ(engine_settings.latency_threshold_ms, c.fallback ? 45 : 35);
        EXPECT_EQ(form->TrackBar_Latency_Porog.position(), c.fallback ? 45 : 35);
        if (c.runs) continue;
        // START works again once the device does.
        drivers.select_out_result = 1;
        drivers.winmain_result = 0;
        drivers.capture_error.clear();
        drivers.default_outputs = {"Default Out"};
        form->ComboBox_waveOut.set_index(1);
        form->BitBtn_Init.click();
        EXPECT_EQ(row(), (Row{false, "START", true, false, 1}));
    }
}

// The sequence a user tried: the fallback output, then a listed one, then a failing one; the rack
// and the settings survive it all, and closing writes the settings.
TEST_F(Panel, FallbackThenListedOutputsKeepTheSession) {
    show();
    form->slot(1).kind.set_index(13);
    form->TrackBar_Latency_Porog.set_position(20);
    form->ComboBox_waveOut.set_index(2);  // the fallback entry
    form->BitBtn_Init.click();
    ASSERT_EQ(row(), (Row{false, "START", true, false, 1}));
    form->BitBtn_Reset.click();
    form->ComboBox_waveOut.set_index(0);
    drivers.take();
    form->BitBtn_Init.click();
    const Calls calls = drivers.take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "select_wdm_waveOut_device(0)"), calls.end());
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "setup_ks_prefered"), 0);
    EXPECT_EQ(row(), (Row{false, "START", true, false, 1}));
    form->BitBtn_Reset.click();

    drivers.winmain_result = -1;
    form->ComboBox_waveOut.set_index(1);
    form->BitBtn_Init.click();
    EXPECT_EQ(services.texts(), (std::vector<std::string>{"Error: Can not open  Headphones 1"}));
    EXPECT_EQ(row(), (Row{true, "START", false, true, 0}));
    EXPECT_TRUE(services.quits.empty());
    EXPECT_EQ(form->rack_table().kind[0], 13);
    EXPECT_NE(form->rack_table().instance[0], nullptr);
    EXPECT_EQ(form->TrackBar_Latency_Porog.position(), 45);  // raised by the fallback, as the user saw

    ASSERT_TRUE(form->close());
    std::ifstream in(dir / "face.ini");
    const std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(ini.find("output=1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("latency=45"), std::string::npos) << ini;
}

// An output that loses audio while running (a WAV file on a full disk) stops the engine and says
// why, once.
TEST_F(Panel, OutputFailingWhileRunningStopsTheEngine) {
    show();
    start();
    form->Timer1Timer();
    EXPECT_EQ(engine_running, 1);
    drivers.output_error = "out.wav: No space left on device";
    form->Timer1Timer();
    EXPECT_EQ(engine_running, 0);
    EXPECT_EQ(row(), (Row{true, "START", false, true, 0}));
    EXPECT_EQ(services.texts(), (std::vector<std::string>{"Error: the output failed: out.wav: No space left on device"}));
    form->Timer1Timer();
    EXPECT_EQ(services.messages.size(), 1u);
}

TEST_F(Panel, DeviceAndRateChangesWaitForStop) {
    show();
    start();
    const EngineSettings before = engine_settings;
    form->ComboBox_waveIn.set_index(1);
    form->rgSampleRate.set_index(0);
    EXPECT_TRUE(drivers.take().empty());
    EXPECT_EQ(engine_settings.sample_rate, before.sample_rate);
    EXPECT_EQ(engine_settings.block_size, before.block_size);
    EXPECT_EQ(form->EditBufferSize.text(), "256");
}

TEST_F(Panel, TimerSmoothingRisesFromZero) {
    show();
    start();
    drivers.audio_pos = 19200.0;  // 100 ms at 48000 Hz stereo
    int drops = 0;
    for (int k = 1; k <= 12; ++k) {
        SCOPED_TRACE(k);
        form->Timer1Timer();
        const Calls c = drivers.take();
        // The closed form of the smoothing: the k-th tick has 1 - 0.75^k of the real value.
        const float expected = static_cast<float>(100.0 * (1.0 - std::pow(0.75, k)));
        EXPECT_FLOAT_EQ(engine_settings.latency_ms, expected);
        const int ms = static_cast<int>(std::nearbyint(expected));
        EXPECT_EQ(form->Label_delay.caption(), "Latency " + std::to_string(ms) + " ms");
        EXPECT_EQ(form->ProgressBar_Latency.value(), std::min(ms, 50));
        const bool dropped = c.size() == 4 && c[3] == "skip_buffer";
        EXPECT_EQ(dropped, expected > 35.0f);
        drops += dropped;
    }
    EXPECT_EQ(drops, 11);  // 25 ms at the first tick, above 35 ms from the second on
    EXPECT_EQ(form->watchdog_drops(), 11);
}

TEST_F(Panel, TimerLatencyAndWatchdog) {
    struct Case {
        int rate_index;
        bool stereo;
        double bytes;
        int threshold;
        float latency;
        int drops_in_ten_ticks;
    };
    const Case cases[] = {
        {2, true, 17640, 35, 100.0f, 10},  // 17640 bytes at 44100 Hz stereo read as 100 ms
        {3, true, 7680, 35, 40.0f, 10},    // a steady 40 ms drops one block on every tick
        {3, true, 6720, 35, 35.0f, 0},     // exactly the threshold drops nothing
        {3, true, 6912, 35, 36.0f, 10},
        {3, true, 7680, 50, 40.0f, 0},
        {3, false, 3360, 35, 35.0f, 0},    // mono: half the bytes for the same time
        {0, false, 882, 1, 20.0f, 10},     // 22050 Hz mono
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        TearDown();
        SetUp();
        show();
        form->rgSampleRate.set_index(c.rate_index);
        form->cbStereo.set_checked(c.stereo);
        form->TrackBar_Latency_Porog.set_position(c.threshold);
        drivers.take();
        // A steady delay: the previous tick already saw it.
        engine_settings.previous_delay_bytes = c.bytes;
        drivers.audio_pos = c.bytes;
        int drops = 0;
        for (int i = 0; i < 10; ++i) {
            form->Timer1Timer();
            for (const std::string& s : drivers.take()) drops += s == "skip_buffer";
            EXPECT_EQ(engine_settings.latency_ms, c.latency);
            EXPECT_EQ(engine_settings.smoothed_delay_bytes, c.bytes);
            EXPECT_EQ(engine_settings.previous_delay_bytes, c.bytes);
        }
        EXPECT_EQ(drops, c.drops_in_ten_ticks);
    }
}

TEST_F(Panel, TimerAcceptsTheRunnersMessage) {
    show();
    float buf[2] = {0, 0};
    set_block_counter_for_test(799998);
    ChainRunner(1, 48000, 2, buf);
    form->Timer1Timer();
    EXPECT_FALSE(take_runner_message());
    EXPECT_EQ(runner_messages_posted(), 1);
}

TEST_F(Panel, TimerMeters) {
    show();
    struct Case {
        float cpu;
        int cpu_meter;
        double level;
        int level_meter;
        const char* db;  // the peak below full scale (32768)
    };
    const Case cases[] = {
        {0.0f, 0, 0.0, 0, "-inf dB"},
        {0.125f, 12, 320.0, 10, "-40.2 dB"},  // 12.5 % rounds to the even 12
        {0.375f, 38, 500.0, 12, "-36.3 dB"},  // 10 x sqrt(1.5625) = 12.5, to 12
        {0.5f, 50, 8000.0, 50, "-12.2 dB"},
        {1.0f, 100, 32000.0, 100, "-0.2 dB"},
        {1.0f, 100, 32768.0, 100, "0.0 dB"},
        {2.5f, 100, 64000.0, 100, "+5.8 dB"},  // beyond the range the bar is full
        {0.0f, 0, 1.0, 1, "-90.3 dB"},         // one step of the 16-bit scale
        {0.0f, 0, 0.99, 1, "-inf dB"},         // less than that reaches nobody
        {-1.0f, 0, -5.0, 0, "-inf dB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        cpu_load.store(c.cpu);
        drivers.in_level = c.level;
        drivers.out_level = c.level / 4.0;
        form->Timer1Timer();
        EXPECT_EQ(form->ProgressBar_CPU.value(), c.cpu_meter);
        EXPECT_EQ(form->ProgressBar_inlevel.value(), c.level_meter);
        EXPECT_EQ(form->ProgressBar_outlevel.value(),
                  c.level > 0 ? std::min(100, static_cast<int>(std::nearbyint(10.0 * std::sqrt(c.level / 4.0 / 320.0))))
                              : 0);
        EXPECT_EQ(form->Label_inlevel.caption(), c.db);
    }
    drivers.in_level = 0.0;
    drivers.out_level = 16384.0;
    form->Timer1Timer();
    EXPECT_EQ(form->Label_inlevel.caption(), "-inf dB");
    EXPECT_EQ(form->Label_outlevel.caption(), "-6.0 dB");
}

// The audio thread only marks a sample at full scale; the timer lights the light and keeps it lit
// for two seconds after the last mark, by a clock the test steps.
TEST_F(Panel, ClipLightsHoldTwoSecondsAfterTheLastFullScaleSample) {
    show();
    std::chrono::steady_clock::time_point now{std::chrono::hours(5)};
    form->set_clock([&] { return now; });
    struct Tick {
        int after_ms;
        bool in_clip, out_clip;
        int in_light, out_light;
    };
    const Tick ticks[] = {
        {0, false, false, 0, 0},
        {100, true, false, 1, 0},   // 0.1 s: the input reaches full scale
        {1000, false, true, 1, 1},  // 1.1 s: the output does
        {999, false, false, 1, 1},  // 2.099 s: the input's hold is not over
        {1, false, false, 0, 1},    // 2.1 s: two seconds after its mark
        {500, false, true, 0, 1},   // 2.6 s: the output again, its hold starts over
        {1999, false, false, 0, 1},
        {1, false, false, 0, 0},    // 4.6 s
        {60000, false, false, 0, 0},
        {0, true, true, 1, 1},
    };
    int t = 0;
    for (const Tick& k : ticks) {
        t += k.after_ms;
        SCOPED_TRACE(t);
        now += std::chrono::milliseconds(k.after_ms);
        drivers.in_clip = k.in_clip;
        drivers.out_clip = k.out_clip;
        form->Timer1Timer();
        EXPECT_EQ(form->Light_inclip.value(), k.in_light);
        EXPECT_EQ(form->Light_outclip.value(), k.out_light);
    }
    // Lit is the warning colour.
    EXPECT_GE(form->Light_inclip.value(), form->Light_inclip.warning_from());
}

TEST_F(Panel, DroppedAndUnderrunCountsAreOfThisRun) {
    show();
    start();
    // A steady 40 ms: the watchdog drops a block on every tick.
    engine_settings.previous_delay_bytes = drivers.audio_pos = 7680;
    drivers.underrun_count = 2;
    for (int i = 0; i < 3; ++i) form->Timer1Timer();
    EXPECT_EQ(form->Label_dropped.caption(), "Dropped 3");
    EXPECT_EQ(form->Label_underruns.caption(), "Underruns 2");

    // After STOP the output drains: no underrun of this run.
    form->BitBtn_Reset.click();
    engine_settings.previous_delay_bytes = drivers.audio_pos = 0;
    drivers.underrun_count = 9;
    form->Timer1Timer();
    EXPECT_EQ(form->Label_dropped.caption(), "Dropped 3");
    EXPECT_EQ(form->Label_underruns.caption(), "Underruns 2");

    // A new run counts from nought.
    drivers.underrun_count = 0;
    start();
    form->Timer1Timer();
    EXPECT_EQ(form->watchdog_drops(), 0);
    EXPECT_EQ(form->Label_dropped.caption(), "Dropped 0");
    EXPECT_EQ(form->Label_underruns.caption(), "Underruns 0");
}

TEST_F(Panel, LevelSlidersThresholdAndDelayButtons) {
    show();
    form->ScrollBar_waveInGain.set_position(20);
    form->ScrollBar_waveOutGain.set_position(100);
    form->ScrollBar_waveOutGain.set_position(0);
    EXPECT_EQ(drivers.take(), (Calls{"set_waveIn_level(80)", "set_waveOut_level(0)", "set_waveOut_level(100)"}));

    form->TrackBar_Latency_Porog.set_position(20);
    EXPECT_EQ(engine_settings.latency_threshold_ms, 20);
    EXPECT_EQ(form->Label_Latency_Porog.caption(), "20 ms");
    EXPECT_EQ(form->ProgressBar_Latency.warning_from(), 20);
    form->TrackBar_Latency_Porog.mouse_leave();
    EXPECT_EQ(form->Label_Latency_Porog.caption(), "Latency");
    form->TrackBar_Latency_Porog.mouse_enter();
    EXPECT_EQ(form->Label_Latency_Porog.caption(), "20 ms");
    form->TrackBar_Latency_Porog.set_position(99);
    EXPECT_EQ(engine_settings.latency_threshold_ms, 50);

    form->spSkinButton19.click();
    form->spSkinButton20.click();
    EXPECT_EQ(drivers.take(), (Calls{"insert_buffer", "skip_buffer"}));
    start();
    form->spSkinButton19.click();
    form->spSkinButton20.click();
    EXPECT_EQ(drivers.take(), (Calls{"insert_buffer", "skip_buffer"}));
}

TEST_F(Panel, ControlsAtCreation) {
    EXPECT_EQ(form->BitBtn_Init.caption(), " START");
    EXPECT_EQ(form->BitBtn_Reset.caption(), "STOP");
    EXPECT_FALSE(form->BitBtn_Reset.enabled());
    EXPECT_EQ(form->rgSampleRate.caption(), "  Sampling Frequency (Hz)");
    EXPECT_EQ(form->rgSampleRate.items(), (std::vector<std::string>{"22050", "32075", "44100", "48000"}));
    EXPECT_EQ(form->rgSampleRate.index(), 3);
    EXPECT_EQ(form->cbStereo.caption(), " Mono / Stereo");
    EXPECT_TRUE(form->cbStereo.checked());
    EXPECT_FALSE(form->cbStereo.plain());
    for (const Slider* s : {&form->ScrollBar_waveInGain, &form->ScrollBar_waveOutGain}) {
        EXPECT_EQ(s->min(), 0);
        EXPECT_EQ(s->max(), 100);
        EXPECT_EQ(s->position(), 50);
    }
    EXPECT_EQ(form->ScrollBar_waveInGain.label, "INPUT");
    EXPECT_EQ(form->ScrollBar_waveOutGain.label, "OUTPUT");
    EXPECT_EQ(form->TrackBar_Latency_Porog.min(), 1);
    EXPECT_EQ(form->TrackBar_Latency_Porog.max(), 50);
    EXPECT_EQ(form->TrackBar_Latency_Porog.position(), 35);
    EXPECT_EQ(form->Label_Latency_Porog.caption(), "Latency");
    EXPECT_EQ(form->ProgressBar_CPU.label, "CPU");
    EXPECT_EQ(form->ProgressBar_CPU.unit, "%");
    EXPECT_EQ(form->ProgressBar_Latency.max(), 50);
    EXPECT_EQ(form->ProgressBar_Latency.unit, "ms");
    EXPECT_EQ(form->ProgressBar_Latency.warning_from(), 35);
    EXPECT_EQ(form->spSkinButton19.caption(), "Increase Delay");
    EXPECT_EQ(form->spSkinButton20.caption(), "Decrease Delay");
    EXPECT_FALSE(form->EditBufferSize.visible());
    EXPECT_EQ(engine_settings.sample_rate, 48000);
    EXPECT_EQ(engine_settings.channels, 2);
    EXPECT_EQ(engine_settings.block_size, 441);
    EXPECT_EQ(engine_settings.latency_threshold_ms, 35);
    EXPECT_TRUE(drivers.calls.empty());  // nothing reaches the drivers before the first show
    show();
    EXPECT_EQ(engine_settings.block_size, 256);  // 480 first, then the input's own size
}

TEST_F(Panel, BlockSizeFieldTakesDigitsOnly) {
    show();
    const std::string before = form->EditBufferSize.text();
    for (char k : {'a', ' ', '-', '.', '\b', '\r', '\x7f'}) form->EditBufferSize.key_press(k);
    EXPECT_EQ(form->EditBufferSize.text(), before);  // Backspace is refused too
    for (char k : {'0', '5', '9'}) form->EditBufferSize.key_press(k);
    EXPECT_EQ(form->EditBufferSize.text(), before + "059");
}

}  // namespace
}  // namespace vx
