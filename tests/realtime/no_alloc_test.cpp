// The chain runner over every built kind must not touch the heap. This binary replaces the global
// allocator to count allocations while blocks are processed.
#include <gtest/gtest.h>

#include <vector>

#include "alloc_counter.h"
#include "engine/effects.h"

namespace vx {
namespace {

TEST(RealTime, ChainOfEveryBuiltKindAllocatesNothing) {
    effects_startup();
    const EffectRegistry& reg = get_registry();
    ChainTable table;
    int built = 0;
    for (int k = 1; k <= reg.count; ++k) {
        if (!kind_available(k)) continue;
        set_table_entry(table, built, k);
        table.enabled[built] = 1;
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
    EXPECT_EQ(allocations.load(), 0) << built << " kinds in the chain";

    load_chain(ChainTable{});
    for (int i = 0; i < built; ++i) force_destroy_instance(table.instance[i]);
}

}  // namespace
}  // namespace vx
