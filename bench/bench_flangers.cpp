// Cost of the flanger with and without its chorus delay (48000 Hz, 480-frame blocks, per frame),
// to set against BM_Kind/Flanger / Chorus, where the chorus is off.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/effects.h"
#include "fx/flangers.h"

namespace vx {
namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 480;
constexpr EffectKind kFlanger = 9;

void BM_Flanger(benchmark::State& state, bool chorus, int channels) {
    const EffectRegistry& reg = get_registry();
    EffectInstance inst = reg.create[kFlanger]();
    auto& form = *static_cast<Tflanger_form*>(inst->form);
    form.RadioBox_Chorus.set_checked(chorus);
    std::vector<float> fresh(static_cast<size_t>(channels) * kFrames);
    uint32_t seed = 3;
    for (auto& x : fresh) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 12000.0f;
    }
    auto buf = fresh;
    for (auto _ : state) {
        std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
        reg.process[kFlanger](kFrames, kRate, channels, buf.data(), inst);
        benchmark::DoNotOptimize(buf.data());
    }
    const double frames = static_cast<double>(state.iterations()) * kFrames;
    state.counters["ns_per_frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    force_destroy_instance(inst);
}

BENCHMARK_CAPTURE(BM_Flanger, stereo, false, 2);
BENCHMARK_CAPTURE(BM_Flanger, stereo_chorus, true, 2);
BENCHMARK_CAPTURE(BM_Flanger, mono, false, 1);
BENCHMARK_CAPTURE(BM_Flanger, mono_chorus, true, 1);

}  // namespace
}  // namespace vx
