// The chain runner over every built kind must not touch the heap. This binary replaces the global
// allocator to count allocations while blocks are processed.
#include <gtest/gtest.h>

#include <vector>

#include "alloc_counter.h"
#include "engine/effects.h"

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

}  // namespace
}  // namespace vx
