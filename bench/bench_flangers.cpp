// Cost of the flanger with and without its chorus delay (48000 Hz, 480-frame blocks, per frame),
// to set against BM_Kind/Flanger / Chorus, where the chorus is off.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_common.h"
#include "engine/effects.h"
#include "fx/flangers.h"

namespace vx {
namespace {

constexpr EffectKind kFlanger = 9;

void BM_Flanger(benchmark::State& state, bool chorus, int channels) {
    EffectInstance inst = get_registry().create[kFlanger]();
    static_cast<Tflanger_form*>(inst->form)->RadioBox_Chorus.set_checked(chorus);
    bench::run_instance(state, kFlanger, inst, channels, false);
}

BENCHMARK_CAPTURE(BM_Flanger, stereo, false, 2);
BENCHMARK_CAPTURE(BM_Flanger, stereo_chorus, true, 2);
BENCHMARK_CAPTURE(BM_Flanger, mono, false, 1);
BENCHMARK_CAPTURE(BM_Flanger, mono_chorus, true, 1);

}  // namespace
}  // namespace vx
