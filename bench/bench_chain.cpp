// Cost of the chain runner and of every built effect kind, at 48000 Hz stereo in 480-frame blocks.
// Reported per stereo frame, with the real-time factor (block time / processing time).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "engine/effects.h"

namespace vx {
namespace {

using bench::kFrames;
using bench::kRate;
using bench::report;

std::vector<float> signal_block(uint32_t seed) { return bench::noise_block(2, seed); }

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

// One instance of a kind on a loud noise signal, and on silence that follows it.
void BM_Kind(benchmark::State& state, EffectKind kind, bool silence_after_signal) {
    bench::run_instance(state, kind, get_registry().create[kind](), 2, silence_after_signal);
}

// The same on the built-in phrase, and on noise that fades far below the normal float range: a kind
// that slows down on quiet input (halfway sums, tiny floats) shows there and not on loud noise.
void BM_Kind_On(benchmark::State& state, EffectKind kind, const std::vector<float>* signal) {
    bench::run_on_signal(state, kind, get_registry().create[kind](), 2, *signal);
}

// Every kind whose unit is linked in joins by itself.
const bool registered = [] {
    static const std::vector<float> phrase = bench::phrase_signal(2), decay = bench::decaying_signal(2);
    for (int k = 1; k < kKindCount; ++k) {
        if (!kind_available(k)) continue;
        const std::string name = kind_name(k);
        benchmark::RegisterBenchmark(("BM_Kind/" + name).c_str(), BM_Kind, k, false);
        benchmark::RegisterBenchmark(("BM_Kind_SilenceAfterSignal/" + name).c_str(), BM_Kind, k, true);
        benchmark::RegisterBenchmark(("BM_Kind_Phrase/" + name).c_str(), BM_Kind_On, k, &phrase);
        benchmark::RegisterBenchmark(("BM_Kind_Decay/" + name).c_str(), BM_Kind_On, k, &decay);
    }
    return true;
}();

}  // namespace
}  // namespace vx
