// Cost of the chain runner and of every built effect kind, at 48000 Hz stereo in 480-frame blocks.
// Reported per stereo frame, with the real-time factor (block time / processing time).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/effects.h"

namespace vx {
namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 480;

std::vector<float> signal_block(uint32_t seed) {
    std::vector<float> v(2 * kFrames);
    for (auto& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 12000.0f;
    }
    return v;
}

void report(benchmark::State& state) {
    const double frames = static_cast<double>(state.iterations()) * kFrames;
    state.counters["ns_per_frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // Seconds of audio processed per second of processing.
    state.counters["rt_factor"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
    state.SetItemsProcessed(static_cast<int64_t>(frames));
}

// A fresh chain of `count` instances of `kind` in the runner.
struct Chain {
    ChainTable table;
    Chain(EffectKind kind, int count) {
        table.count = 16;
        for (int i = 0; i < count; ++i) {
            set_table_entry(table, i, kind);
            table.enabled[i] = 1;
        }
        effects_startup();
        load_chain(table);
    }
    ~Chain() {
        load_chain(ChainTable{});
        for (auto inst : table.instance) force_destroy_instance(inst);
    }
};

void BM_Runner_EmptyChain(benchmark::State& state) {
    Chain chain(0, 0);
    auto buf = signal_block(1);
    for (auto _ : state) {
        ChainRunner(kFrames, kRate, 2, buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["ns_per_block"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Runner_EmptyChain);

void BM_Runner_16Gain(benchmark::State& state) {
    Chain chain(13, 16);
    auto buf = signal_block(2);
    const auto fresh = buf;
    int64_t n = 0;
    for (auto _ : state) {
        // 16 inversions and unity gains keep the signal bounded; refresh it now and then anyway.
        if ((++n & 1023) == 0) std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
        ChainRunner(kFrames, kRate, 2, buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    report(state);
}
BENCHMARK(BM_Runner_16Gain);

// One instance of a kind on a loud noise signal, and on silence that follows it (a kind that
// slows down on tiny numbers shows here).
void BM_Kind(benchmark::State& state, EffectKind kind, bool silence_after_signal) {
    const EffectRegistry& reg = get_registry();
    EffectInstance inst = reg.create[kind]();
    auto buf = signal_block(3);
    const auto fresh = buf;
    if (silence_after_signal) {
        for (int i = 0; i < 2000; ++i) {
            std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
            reg.process[kind](kFrames, kRate, 2, buf.data(), inst);
        }
    }
    for (auto _ : state) {
        if (silence_after_signal)
            std::memset(buf.data(), 0, buf.size() * sizeof(float));
        else
            std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
        reg.process[kind](kFrames, kRate, 2, buf.data(), inst);
        benchmark::DoNotOptimize(buf.data());
    }
    report(state);
    force_destroy_instance(inst);
}

// Every kind whose unit is linked in joins by itself.
const bool registered = [] {
    for (int k = 1; k < kKindCount; ++k) {
        if (!kind_available(k)) continue;
        const std::string name = kind_name(k);
        benchmark::RegisterBenchmark(("BM_Kind/" + name).c_str(), BM_Kind, k, false);
        benchmark::RegisterBenchmark(("BM_Kind_SilenceAfterSignal/" + name).c_str(), BM_Kind, k, true);
    }
    return true;
}();

}  // namespace
}  // namespace vx
