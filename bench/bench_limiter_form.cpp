// Cost of "Distortion (Simple)" in each of its modes (48000 Hz, 480-frame blocks, per frame), to set
// against BM_Kind/Distortion (Simple), which runs the stereo hard clip of a new instance.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/effects.h"
#include "fx/limiter_form.h"

namespace vx {
namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 480;
constexpr EffectKind kKind = 4;

void BM_Limiter_Mode(benchmark::State& state, int channels, int mode, bool silence_after_signal) {
    const EffectRegistry& reg = get_registry();
    EffectInstance inst = reg.create[kKind]();
    static_cast<Tlimiter_form*>(inst->form)->shape_mode = mode;
    std::vector<float> fresh(static_cast<size_t>(channels) * kFrames);
    uint32_t seed = 3;
    for (auto& x : fresh) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 12000.0f;
    }
    auto buf = fresh;
    if (silence_after_signal)
        for (int i = 0; i < 2000; ++i) {
            std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
            reg.process[kKind](kFrames, kRate, channels, buf.data(), inst);
        }
    for (auto _ : state) {
        if (silence_after_signal)
            std::memset(buf.data(), 0, buf.size() * sizeof(float));
        else
            std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
        reg.process[kKind](kFrames, kRate, channels, buf.data(), inst);
        benchmark::DoNotOptimize(buf.data());
    }
    const double frames = static_cast<double>(state.iterations()) * kFrames;
    state.counters["ns_per_frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    force_destroy_instance(inst);
}

const bool registered = [] {
    struct Case { const char* name; int channels, mode; };
    const Case cases[] = {
        {"stereo_clip", 2, 0}, {"stereo_power", 2, 1}, {"mono_limiter", 1, 0}, {"mono_power", 1, 2}, {"mono_circuit", 1, 1},
    };
    for (const Case& c : cases) {
        benchmark::RegisterBenchmark((std::string("BM_Limiter/") + c.name).c_str(), BM_Limiter_Mode, c.channels, c.mode,
                                     false);
        benchmark::RegisterBenchmark((std::string("BM_Limiter_SilenceAfterSignal/") + c.name).c_str(), BM_Limiter_Mode,
                                     c.channels, c.mode, true);
    }
    return true;
}();

}  // namespace
}  // namespace vx
