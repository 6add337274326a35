#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/effects.h"

namespace vx {
namespace {

// A stand-in kind that records its calls: adds its tag to every sample.
struct Probe {
    float tag;
    int calls = 0;
};

int32_t probe_process(int32_t n, int32_t, int32_t ch, float* buf, EffectInstance inst) {
    auto* p = reinterpret_cast<Probe*>(inst);
    ++p->calls;
    for (int32_t i = 0; i < n * (ch == 1 ? 1 : 2); ++i) buf[i] = buf[i] * 10.0f + p->tag;
    return 0;
}

class Runner : public ::testing::Test {
protected:
    void SetUp() override { effects_startup(); }
    void TearDown() override { effects_startup(); }

    void entry(int i, Probe& p, int kind = 13, int enabled = 1) {
        table.process[i] = probe_process;
        table.instance[i] = reinterpret_cast<EffectInstance>(&p);
        table.kind[i] = kind;
        table.enabled[i] = enabled;
        table.count = std::max(table.count, i + 1);
    }
    ChainTable table;
};

TEST_F(Runner, WalksEnabledEntriesInOrder) {
    Probe a{1}, b{2}, c{3}, d{4}, e{5};
    entry(0, a);
    entry(1, b, 0);      // kind 0 is skipped even when on
    entry(2, c, 13, 2);  // enabled 2 counts as off
    entry(3, d);
    entry(4, e, 13, 0);
    load_chain(table);
    std::vector<float> buf(4, 0.0f);
    ChainRunner(2, 48000, 2, buf.data());
    EXPECT_EQ(buf[0], 14.0f);  // (0*10+1)*10+4
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls + c.calls + e.calls, 0);
    EXPECT_EQ(block_counter(), 1);
}

TEST_F(Runner, ClosedGateLeavesEverythingAlone) {
    Probe a{1};
    entry(0, a);
    load_chain(table);
    std::vector<float> buf(960, 3.0f);
    ChainRunner(480, 48000, 2, buf.data());
    const float load = cpu_load.load();
    for (auto* gate : {&rack_gate, &load_gate}) {
        gate->store(0);
        std::vector<float> b2(960, 3.0f);
        ChainRunner(480, 48000, 2, b2.data());
        EXPECT_EQ(b2, std::vector<float>(960, 3.0f));
        EXPECT_EQ(cpu_load.load(), load);
        EXPECT_EQ(block_counter(), 1);
        gate->store(1);
    }
    EXPECT_EQ(a.calls, 1);
}

TEST_F(Runner, EmptyChainStillMeasures) {
    cpu_load.store(-1.0f);
    std::vector<float> buf(2, 0.0f);
    ChainRunner(1, 48000, 2, buf.data());
    EXPECT_GE(cpu_load.load(), 0.0f);
    EXPECT_EQ(block_counter(), 1);
    // A rate or frame count of 0 skips what would divide by it.
    cpu_load.store(-1.0f);
    ChainRunner(0, 48000, 2, buf.data());
    EXPECT_EQ(cpu_load.load(), -1.0f);
    ChainRunner(1, 0, 2, buf.data());
    EXPECT_EQ(cpu_load.load(), -1.0f);
    EXPECT_EQ(block_counter(), 3);
}

// The meter line's block figures: the heaviest slot is one that ran, counted from 1 (0 when none
// did), the walk holds it, and each take starts a new interval.
TEST_F(Runner, BlockTimesNameASlotThatRanAndRestartOnTake) {
    std::vector<float> buf(256, 0.0f);
    ChainRunner(128, 48000, 2, buf.data());
    BlockTimes t = take_block_times();
    EXPECT_EQ(t.heaviest_slot, 0);
    EXPECT_EQ(t.longest_gap_ms, 0.0);  // one call has no gap before it
    Probe a{1}, b{2}, c{3};
    entry(0, a, 13, 0);
    entry(1, b);
    entry(3, c);
    load_chain(table);
    for (int i = 0; i < 3; ++i) ChainRunner(128, 48000, 2, buf.data());
    t = take_block_times();
    EXPECT_TRUE(t.heaviest_slot == 2 || t.heaviest_slot == 4) << t.heaviest_slot;
    EXPECT_GE(t.longest_walk_ms + 1e-9, t.heaviest_slot_ms);
    EXPECT_GT(t.longest_gap_ms, 0.0);
    t = take_block_times();
    EXPECT_EQ(t.heaviest_slot, 0);
    EXPECT_EQ(t.longest_walk_ms, 0.0);
    EXPECT_EQ(t.longest_gap_ms, 0.0);
}

TEST_F(Runner, MessageDuringBlock799999ThenEvery800000) {
    std::vector<float> buf(2, 0.0f);
    set_block_counter_for_test(799997);  // 799997 blocks processed
    ChainRunner(1, 48000, 2, buf.data());
    EXPECT_FALSE(take_runner_message());
    rack_gate.store(0);
    ChainRunner(1, 48000, 2, buf.data());  // refused blocks do not count
    rack_gate.store(1);
    ChainRunner(1, 48000, 2, buf.data());  // the 799999th
    EXPECT_TRUE(take_runner_message());
    EXPECT_FALSE(take_runner_message());
    set_block_counter_for_test(799998 + 800000 - 1);
    ChainRunner(1, 48000, 2, buf.data());
    EXPECT_FALSE(take_runner_message());
    ChainRunner(1, 48000, 2, buf.data());
    EXPECT_TRUE(take_runner_message());
    EXPECT_EQ(runner_messages_posted(), 2);
}

TEST_F(Runner, SwapMovesAllFiveArraysAndEnableWritesOneWord) {
    Probe a{1}, b{2};
    entry(0, a, 13, 1);
    entry(1, b, 8, 0);
    load_chain(table);
    swap_chain_entries(0, 1);
    ChainTable t = runner_table_snapshot();
    EXPECT_EQ(t.kind[0], 8);
    EXPECT_EQ(t.enabled[0], 0);
    EXPECT_EQ(t.instance[0], reinterpret_cast<EffectInstance>(&b));
    EXPECT_EQ(t.kind[1], 13);
    EXPECT_EQ(t.enabled[1], 1);
    enable_entry(0);
    disable_entry(1);
    t = runner_table_snapshot();
    EXPECT_EQ(t.enabled[0], 1);
    EXPECT_EQ(t.enabled[1], 0);
    EXPECT_EQ(t.names[0][0], '\0') << "the runner's copy never receives names";
    // Out-of-range indices are ignored.
    swap_chain_entries(-1, 40);
    enable_entry(32);
}

TEST(Registry, RowsAndNames) {
    const EffectRegistry& r = get_registry();
    EXPECT_EQ(r.count, 13);
    const char* names[] = {"--- select ---", "noise gate", "EQ (8 bands) + Filters", "Distortion-Compresor",
                           "Distortion (Simple)", "Distortorton Plus", "Distortion (Soft/Hard)", "Reverberator",
                           "Delay", "Flanger / Chorus", "wah", "Playback wav file", "Record wav", "Gain"};
    for (int k = 0; k < 14; ++k) {
        EXPECT_STREQ(r.names[k], names[k]);
        EXPECT_NE(r.process[k], nullptr);
        EXPECT_NE(r.create[k], nullptr);
        EXPECT_NE(r.params[k], nullptr);
    }
    for (int k = 14; k < 32; ++k) {
        EXPECT_EQ(r.names[k][0], '\0');
        EXPECT_EQ(r.process[k], nullptr);
        EXPECT_EQ(r.create[k], nullptr);
    }
    EXPECT_EQ(r.create[0](), nullptr);
    ParameterBlock b{};
    b[5] = 42;
    r.params[0](b.data(), nullptr, 1);
    EXPECT_EQ(b[5], 42);
    EXPECT_EQ(r.process[0](1, 48000, 2, nullptr, nullptr), 0);
    EXPECT_TRUE(kind_available(13));
}

// The rack's way of replacing an instance: close the gate, wait for the walk, then destroy. The
// audio thread here runs blocks without a pause; the destroyed object is poisoned first, so that a
// block still inside it would be seen.
struct Guarded {
    std::atomic<bool> alive{true};
    std::atomic<int> touched_dead{0};
};

int32_t guarded_process(int32_t, int32_t, int32_t, float*, EffectInstance inst) {
    auto* g = reinterpret_cast<Guarded*>(inst);
    for (int i = 0; i < 50; ++i)
        if (!g->alive.load()) g->touched_dead.fetch_add(1);
    return 0;
}

TEST_F(Runner, NoBlockInProgressReachesAReplacedInstance) {
    std::atomic<bool> stop{false};
    std::vector<Guarded> objects(300);
    std::atomic<int> dead_touches{0};
    table.count = 1;
    table.process[0] = guarded_process;
    table.kind[0] = 13;
    table.enabled[0] = 1;
    table.instance[0] = reinterpret_cast<EffectInstance>(&objects[0]);
    load_chain(table);
    std::thread audio([&] {
        float buf[2] = {0, 0};
        while (!stop.load()) ChainRunner(1, 48000, 2, buf);
    });
    for (size_t k = 1; k < objects.size(); ++k) {
        rack_gate.store(0);
        wait_for_walk();
        objects[k - 1].alive.store(false);  // "destroyed"
        table.instance[0] = reinterpret_cast<EffectInstance>(&objects[k]);
        load_chain(table);
        rack_gate.store(1);
        std::this_thread::yield();
    }
    stop.store(true);
    audio.join();
    for (auto& o : objects) dead_touches += o.touched_dead.load();
    EXPECT_EQ(dead_touches.load(), 0);
}

// A stream left alone by a vanished sound server may call back beside the new one. While one walk
// is inside an effect, a second caller returns at once with its block untouched and uncounted, and
// wait_for_walk still waits for the first.
std::atomic<bool> inside{false}, release{false};
int32_t holding_process(int32_t, int32_t, int32_t, float* buf, EffectInstance) {
    inside.store(true);
    while (!release.load()) std::this_thread::yield();
    buf[0] += 1.0f;
    return 0;
}

TEST_F(Runner, SecondConcurrentWalkIsRefused) {
    inside = false, release = false;
    table.process[0] = holding_process;
    table.kind[0] = 13;
    table.enabled[0] = 1;
    table.count = 1;
    load_chain(table);
    std::vector<float> first(2, 0.0f);
    std::thread audio([&] { ChainRunner(1, 48000, 2, first.data()); });
    while (!inside.load()) std::this_thread::yield();

    std::vector<float> second(2, 5.0f);
    EXPECT_EQ(ChainRunner(1, 48000, 2, second.data()), 0);
    EXPECT_EQ(second, std::vector<float>(2, 5.0f));
    EXPECT_EQ(block_counter(), 0);

    std::atomic<bool> waited{false};
    std::thread ui([&] {
        rack_gate = 0;
        wait_for_walk();
        waited = true;
    });
    // The waiter cannot pass while the first walk is inside; nothing here depends on how long.
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_FALSE(waited.load());
    release = true;
    audio.join();
    ui.join();
    EXPECT_TRUE(waited.load());
    EXPECT_EQ(first[0], 1.0f);
    EXPECT_EQ(block_counter(), 1);
    // The mark is free again: the next walk (gate open) runs.
    rack_gate = 1;
    ChainRunner(1, 48000, 2, first.data());
    EXPECT_EQ(first[0], 2.0f);
}

}  // namespace
}  // namespace vx
