// Cost of drawing each editor's picture once on the user-interface thread (a slider moved, the
// points computed again): a frame at 60 Hz leaves 16 ms.
#include <benchmark/benchmark.h>

#include "engine/effects.h"

namespace vx {
namespace {

void BM_Picture(benchmark::State& state) {
    const auto kind = static_cast<EffectKind>(state.range(0));
    EffectInstance inst = get_registry().create[kind]();
    Curve* curve = nullptr;
    for (Control* c : inst->form->controls())
        if (c->type() == Control::Type::Curve) curve = static_cast<Curve*>(c);
    if (curve == nullptr) {
        state.SkipWithError("no picture");
        force_destroy_instance(inst);
        return;
    }
    for (auto _ : state) {
        curve->invalidate();
        benchmark::DoNotOptimize(curve->series().data());
    }
    state.SetLabel(kind_name(kind));
    force_destroy_instance(inst);
}
BENCHMARK(BM_Picture)->DenseRange(2, 8)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vx
