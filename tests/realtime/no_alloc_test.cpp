// The chain runner over every built kind must not touch the heap nor take a lock. This binary
// replaces the global allocator and pthread's lock functions to count both while blocks are
// processed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "alloc_counter.h"
#include "drivers/builtin_devices.h"
#include "drivers/dsound.h"
#include "drivers/output_queue.h"
#include "drivers/waves.h"
#include "engine/effects.h"
#include "lock_counter.h"
#include "engine/program_folder.h"
#include "fx/read_wav.h"
#include "fx/record_wavs.h"

namespace vx {
namespace {

// Every available kind in one chain; with every_switch_on, every check box of each one checked
// first (the filters, sweeps and choruses that sit behind a switch run too).
void expect_chain_allocates_nothing(bool every_switch_on) {
    effects_startup();
    const EffectRegistry& reg = get_registry();
    ChainTable table;
    int built = 0;
    for (int k = 1; k <= reg.count; ++k) {
        if (!kind_available(k)) continue;
        set_table_entry(table, built, k);
        table.enabled[built] = 1;
        if (every_switch_on && table.instance[built] != nullptr) {
            for (Control* c : table.instance[built]->form->controls())
                if (auto* box = dynamic_cast<CheckBox*>(c)) box->set_checked(true);
        }
        ++built;
    }
    table.count = built;
    ASSERT_GT(built, 0);
    load_chain(table);

    std::vector<float> buf(1024);
    uint32_t seed = 9;
    auto fill = [&] {
        for (auto& x : buf) {
            seed = seed * 1664525u + 1013904223u;
            x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 20000.0f;
        }
    };
    allocations.store(0);
    locks_taken.store(0);
    counting.store(true);
    {
        AudioThreadScope audio;
        for (int rate : {48000, 44100, 22050}) {
            for (int ch : {2, 1}) {
                for (int n : {512, 480, 64, 7, 1}) {
                    fill();
                    for (int rep = 0; rep < 20; ++rep) ChainRunner(n, rate, ch, buf.data());
                }
            }
        }
    }
    counting.store(false);
    EXPECT_EQ(allocations.load(), 0) << built << " kinds in the chain" << (every_switch_on ? ", every switch on" : "");
    EXPECT_EQ(locks_taken.load(), 0) << "first: " << (first_lock.load() ? first_lock.load() : "");

    load_chain(ChainTable{});
    for (int i = 0; i < built; ++i) force_destroy_instance(table.instance[i]);
}

TEST(RealTime, ChainOfEveryBuiltKindAllocatesNothing) { expect_chain_allocates_nothing(false); }

TEST(RealTime, ChainOfEveryBuiltKindAllocatesNothingWithEverySwitchOn) { expect_chain_allocates_nothing(true); }

// The player playing a file (and looping it) and the recorder recording, up to a full memory.
TEST(RealTime, PlayerAndRecorderAtWorkAllocateNothing) {
    namespace fs = std::filesystem;
    effects_startup();
    const fs::path home = fs::temp_directory_path() / ("vx-rt-wav-" + std::to_string(::getpid()));
    fs::create_directories(home);
    const fs::path saved = program_home();
    set_program_home(home);
    {
        // 300 stereo frames of 16-bit PCM.
        std::vector<char> wav(44 + 1200, 1);
        const char head[] = "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x80\xbb\0\0\0\xee\x02\0\x04\0\x10\0data\xb0\x04\0\0";
        std::copy(head, head + 44, wav.begin());
        std::ofstream(home / "demo1.wav", std::ios::binary).write(wav.data(), static_cast<std::streamsize>(wav.size()));
    }
    ChainTable table;
    set_table_entry(table, 0, 11);
    set_table_entry(table, 1, 12);
    table.enabled[0] = table.enabled[1] = 1;
    table.count = 2;
    auto& player = *static_cast<TReadWav*>(table.instance[0]->form);
    auto& recorder = *static_cast<TRecord_wav_form*>(table.instance[1]->form);
    ASSERT_EQ(player.play_ready.load(), 1);
    recorder.ComboBox_Memory.set_index(1);
    recorder.ComboBox_Memory.set_index(0);
    recorder.Button_Save.click();
    load_chain(table);
    std::vector<float> buf(1024, 100.0f);
    allocations.store(0);
    locks_taken.store(0);
    counting.store(true);
    {
        AudioThreadScope audio;
        for (int ch : {2, 1})
            for (int n : {512, 480, 7, 1})
                for (int rep = 0; rep < 120; ++rep) ChainRunner(n, 48000, ch, buf.data());
    }
    counting.store(false);
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(locks_taken.load(), 0) << "first: " << (first_lock.load() ? first_lock.load() : "");
    EXPECT_TRUE(recorder.memory_full.load());
    load_chain(ChainTable{});
    for (int i = 0; i < 2; ++i) force_destroy_instance(table.instance[i]);
    set_program_home(saved);
    fs::remove_all(home);
}

// The counter sees what std::mutex does on the audio thread, and nothing on another thread.
TEST(RealTime, LockCounterSeesAMutexOnTheAudioThreadOnly) {
    std::mutex m;
    locks_taken.store(0);
    m.lock();
    m.unlock();
    EXPECT_EQ(locks_taken.load(), 0);
    {
        AudioThreadScope audio;
        m.lock();
        m.unlock();
        const bool got = m.try_lock();
        if (got) m.unlock();
    }
    EXPECT_EQ(locks_taken.load(), 2);
}

// One setting of a kind's controls: every check box on, then one list or radio group at one of
// its entries, or every slider at one end.
struct Setting {
    std::string what;
    const Control* choice = nullptr;  // the list or group set, or null
    int index = 0;
    int sliders = 0;  // -1 every slider at its minimum, +1 at its maximum, 0 as they are
};

void apply_setting(Form& f, const Setting& s) {
    for (Control* c : f.controls()) {
        if (auto* box = dynamic_cast<CheckBox*>(c)) {
            if (!box->checked()) box->set_checked(true);
        } else if (auto* slider = dynamic_cast<Slider*>(c); slider && s.sliders != 0) {
            slider->set_position(s.sliders < 0 ? slider->min() : slider->max());
        } else if (c == s.choice) {
            if (auto* sel = dynamic_cast<Selector*>(c)) sel->set_index(s.index);
            if (auto* radio = dynamic_cast<RadioGroup*>(c)) radio->set_index(s.index);
        }
    }
}

// Every option of every kind switched on, each shape, mode and list entry in turn, and every
// slider at both ends: the blocks that follow neither allocate nor lock.
TEST(RealTime, EverySettingOfEveryKindNeitherAllocatesNorLocks) {
    effects_startup();
    const EffectRegistry& reg = get_registry();
    std::vector<std::string> faults;
    int settings = 0;
    std::vector<float> buf(1024);
    for (int k = 1; k <= reg.count; ++k) {
        if (!kind_available(k)) continue;
        ChainTable table;
        set_table_entry(table, 0, k);
        table.enabled[0] = 1;
        table.count = 1;
        ASSERT_NE(table.instance[0], nullptr);
        Form& f = *table.instance[0]->form;
        std::vector<Setting> table_of_settings{{"every switch on"}, {"sliders at min", nullptr, 0, -1},
                                               {"sliders at max", nullptr, 0, +1}};
        for (Control* c : f.controls()) {
            size_t items = 0;
            if (auto* sel = dynamic_cast<Selector*>(c)) items = sel->items().size();
            if (auto* radio = dynamic_cast<RadioGroup*>(c)) items = radio->items().size();
            for (size_t i = 0; i < items; ++i)
                table_of_settings.push_back({c->name() + " = " + std::to_string(i), c, static_cast<int>(i)});
        }
        load_chain(table);
        for (const Setting& s : table_of_settings) {
            apply_setting(f, s);
            allocations.store(0);
            locks_taken.store(0);
            first_lock.store(nullptr);
            uint32_t seed = 5;
            counting.store(true);
            {
                AudioThreadScope audio;
                for (int ch : {2, 1}) {
                    for (int n : {480, 7}) {
                        for (int rep = 0; rep < 12; ++rep) {
                            for (auto& x : buf) {
                                seed = seed * 1664525u + 1013904223u;
                                x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * (rep < 8 ? 20000.0f : 0.0f);
                            }
                            ChainRunner(n, 48000, ch, buf.data());
                        }
                    }
                }
            }
            counting.store(false);
            ++settings;
            if (allocations.load() != 0 || locks_taken.load() != 0)
                faults.push_back(std::string(kind_name(k)) + ", " + s.what + ": " +
                                 std::to_string(allocations.load()) + " allocations, " +
                                 std::to_string(locks_taken.load()) + " locks" +
                                 (first_lock.load() ? std::string(" (") + first_lock.load() + ")" : ""));
        }
        load_chain(ChainTable{});
        force_destroy_instance(table.instance[0]);
    }
    EXPECT_GT(settings, 13 * 3);
    EXPECT_TRUE(faults.empty()) << [&] {
        std::string all;
        for (const auto& f : faults) all += f + "\n";
        return all;
    }();
}

// The capture thread of the built-in test signal, through the drivers' own block path into the
// full rack and out to the output queue, and the output side draining that queue.
std::atomic<long> driver_allocations{0}, driver_locks{0}, driver_blocks{0};

int32_t rack_callback(int32_t frames, int32_t rate, int32_t channels, float* buffer) {
    on_audio_thread = true;
    return ChainRunner(frames, rate, channels, buffer);
}

void queue_output(const float* buffer, int32_t frames, int32_t channels) {
    out_to_dsound(buffer, frames, channels);
    on_audio_thread = false;
    driver_blocks.fetch_add(1);
}

TEST(RealTime, DriversBlockPathNeitherAllocatesNorLocks) {
    effects_startup();
    waves_startup();
    dsound_startup();
    const EffectRegistry& reg = get_registry();
    ChainTable table;
    int built = 0;
    for (int k = 1; k <= reg.count; ++k) {
        if (!kind_available(k)) continue;
        set_table_entry(table, built, k);
        table.enabled[built++] = 1;
    }
    table.count = built;
    load_chain(table);

    set_builtin_clock_manual(true);
    const WaveInDeviceList* in = get_waveIn_device_list();
    int test_signal = -1;
    for (int i = 0; i <= in->last; ++i)
        if (std::strcmp(in->names[i], kTestSignalName) == 0) test_signal = i;
    ASSERT_GE(test_signal, 0);
    select_waveIn_device(test_signal);
    WaveOutDeviceList out;
    ASSERT_EQ(get_wdm_wavout_device_list(&out), 1);
    int null_output = -1;
    for (int i = 0; i < out.count; ++i)
        if (std::strcmp(out.names[i], kNullOutputName) == 0) null_output = i;
    setup_stereo(2);
    setup_freq_22_44(48000);
    setup_latency(750);
    setup_b_size(256);
    setup_bits_per_sample(16);
    ASSERT_EQ(select_wdm_waveOut_device(null_output), 1);
    ASSERT_EQ(WinMain1(nullptr), 0);
    setup_and_start_wave_In(48000, 2, 256, &rack_callback, &queue_output);
    ASSERT_STREQ(get_waveIn_error(), "");
    // A few blocks first, so that anything done once at start is out of the way.
    step_builtin_clock(std::chrono::milliseconds(20));
    allocations.store(0);
    locks_taken.store(0);
    first_lock.store(nullptr);
    counting.store(true);
    step_builtin_clock(std::chrono::milliseconds(400));
    counting.store(false);
    const long taken = locks_taken.load(), allocated = allocations.load();
    stop_and_close_wave_in();
    CloseDSound();
    set_builtin_clock_manual(false);
    load_chain(ChainTable{});
    for (int i = 0; i < built; ++i) force_destroy_instance(table.instance[i]);

    EXPECT_GE(driver_blocks.load(), 70);
    EXPECT_EQ(allocated, 0);
    EXPECT_EQ(taken, 0) << "first: " << (first_lock.load() ? first_lock.load() : "");
}

// The output side: what a device's callback does with the queue, skips and inserts included.
TEST(RealTime, OutputQueueNeitherAllocatesNorLocks) {
    auto q = std::make_unique<OutputQueue>();
    q->reset(2, 256, 48000, 2);
    std::vector<float> block(512, 1000.0f);
    std::vector<int16_t> played(512);
    allocations.store(0);
    locks_taken.store(0);
    counting.store(true);
    {
        AudioThreadScope audio;
        for (int i = 0; i < 200; ++i) {
            q->push(block.data(), 256, i % 2 ? 1 : 2);
            if (i % 7 == 0) q->request_skip();
            if (i % 11 == 0) q->request_insert();
            q->pull(played.data(), 256);
            if (i % 3 == 0) q->pull(played.data(), 256);  // runs dry now and then
        }
    }
    counting.store(false);
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(locks_taken.load(), 0);
    EXPECT_GT(q->underruns(), 0);
}

}  // namespace
}  // namespace vx
