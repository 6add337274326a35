// Cost of the equalizer kind with each of its filters switched on alone (48000 Hz, 480-frame
// blocks, per stereo frame, or per sample for the mono-only low cut), to set against
// BM_Kind/EQ (8 bands) + Filters, where all of them are off.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/effects.h"
#include "fx/eq8.h"

namespace vx {
namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 480;
constexpr EffectKind kEq8 = 2;

void BM_EQ8_Filter(benchmark::State& state, const char* check_box, int channels, bool eq_on) {
    const EffectRegistry& reg = get_registry();
    EffectInstance inst = reg.create[kEq8]();
    auto& form = *static_cast<TEQ8_form*>(inst->form);
    form.CheckRadioBox_EQ8_OnOff.set_checked(eq_on);
    if (check_box != nullptr) form.find_as<CheckBox>(check_box)->set_checked(true);
    std::vector<float> fresh(static_cast<size_t>(channels) * kFrames);
    uint32_t seed = 3;
    for (auto& x : fresh) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * 12000.0f;
    }
    auto buf = fresh;
    for (auto _ : state) {
        std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
        reg.process[kEq8](kFrames, kRate, channels, buf.data(), inst);
        benchmark::DoNotOptimize(buf.data());
    }
    const double frames = static_cast<double>(state.iterations()) * kFrames;
    state.counters["ns_per_frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    force_destroy_instance(inst);
}

const bool registered = [] {
    struct Case { const char* name; const char* check_box; int channels; };
    const Case cases[] = {
        {"none", nullptr, 2},
        {"high_pass", "CheckRadioBox_FVC_OnOff", 2},
        {"four_pole_low_pass", "CheckRadioBox_FNC_OnOff", 2},
        {"shelf", "CheckRadioBox_Shelf", 2},
        {"speaker_low_pass", "CheckRadioBox_fnc_2000_OnOff", 2},
        {"low_cut_mono", "CheckRadioBox_Filter_Notch", 1},
        {"none_mono", nullptr, 1},
    };
    for (const Case& c : cases) {
        benchmark::RegisterBenchmark((std::string("BM_EQ8/") + c.name).c_str(), BM_EQ8_Filter, c.check_box,
                                     c.channels, true);
        if (c.check_box != nullptr)
            benchmark::RegisterBenchmark((std::string("BM_EQ8_FilterAlone/") + c.name).c_str(), BM_EQ8_Filter,
                                         c.check_box, c.channels, false);
    }
    return true;
}();

}  // namespace
}  // namespace vx
