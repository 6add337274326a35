// The recorder while it records (the per-kind benchmark sees it idle): 48000 Hz stereo, 480-frame
// blocks, into the largest memory, restarted before it fills.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/effects.h"
#include "fx/record_wavs.h"

namespace vx {
namespace {

void BM_RecordWav_Recording(benchmark::State& state) {
    TRecord_wav_form r;
    r.ComboBox_Memory.set_index(7);
    r.Button_Save.click();
    std::vector<float> buf(2 * 480);
    uint32_t seed = 5;
    for (auto& x : buf) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 40000.0f;
    }
    for (auto _ : state) {
        if (r.rec_count.load() > r.rec_capacity - 4 * 480) {
            state.PauseTiming();
            r.Button_Save.click();
            state.ResumeTiming();
        }
        r.Record_wav(480, 48000, 2, buf.data());
        benchmark::DoNotOptimize(r.rec_samples());
    }
    const double frames = static_cast<double>(state.iterations()) * 480;
    state.counters["ns_per_frame"] = benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RecordWav_Recording);

}  // namespace
}  // namespace vx
