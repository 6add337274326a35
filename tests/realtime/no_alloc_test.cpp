// The chain runner over every built kind must not touch the heap. This binary replaces the global
// allocator to count allocations while blocks are processed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "alloc_counter.h"
#include "engine/effects.h"
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
    counting.store(true);
    for (int rate : {48000, 44100, 22050}) {
        for (int ch : {2, 1}) {
            for (int n : {512, 480, 64, 7, 1}) {
                fill();
                for (int rep = 0; rep < 20; ++rep) ChainRunner(n, rate, ch, buf.data());
            }
        }
    }
    counting.store(false);
    EXPECT_EQ(allocations.load(), 0) << built << " kinds in the chain" << (every_switch_on ? ", every switch on" : "");

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
    counting.store(true);
    for (int ch : {2, 1})
        for (int n : {512, 480, 7, 1})
            for (int rep = 0; rep < 120; ++rep) ChainRunner(n, 48000, ch, buf.data());
    counting.store(false);
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_TRUE(recorder.memory_full.load());
    load_chain(ChainTable{});
    for (int i = 0; i < 2; ++i) force_destroy_instance(table.instance[i]);
    set_program_home(saved);
    fs::remove_all(home);
}

}  // namespace
}  // namespace vx
