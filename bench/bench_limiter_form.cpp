// Cost of "Distortion (Simple)" in each of its modes (48000 Hz, 480-frame blocks, per frame), to set
// against BM_Kind/Distortion (Simple), which runs the stereo hard clip of a new instance.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "engine/effects.h"
#include "fx/limiter_form.h"

namespace vx {
namespace {

constexpr EffectKind kKind = 4;

void BM_Limiter_Mode(benchmark::State& state, int channels, int mode, bool silence_after_signal) {
    EffectInstance inst = get_registry().create[kKind]();
    static_cast<Tlimiter_form*>(inst->form)->shape_mode = mode;
    bench::run_instance(state, kKind, inst, channels, silence_after_signal);
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
