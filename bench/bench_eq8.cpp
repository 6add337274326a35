// Cost of the equalizer kind with each of its filters switched on alone (48000 Hz, 480-frame
// blocks, per stereo frame, or per sample for the mono-only low cut), to set against
// BM_Kind/EQ (8 bands) + Filters, where all of them are off; and the same on silence after a signal.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"
#include "engine/effects.h"
#include "fx/eq8.h"

namespace vx {
namespace {

constexpr EffectKind kEq8 = 2;

void BM_EQ8_Filter(benchmark::State& state, const char* check_box, int channels, bool eq_on, bool silence) {
    EffectInstance inst = get_registry().create[kEq8]();
    auto& form = *static_cast<TEQ8_form*>(inst->form);
    form.CheckRadioBox_EQ8_OnOff.set_checked(eq_on);
    // check_box: one name, or several joined by '|'
    for (std::string rest = check_box ? check_box : ""; !rest.empty();) {
        const size_t bar = rest.find('|');
        form.find_as<CheckBox>(rest.substr(0, bar))->set_checked(true);
        rest = bar == std::string::npos ? "" : rest.substr(bar + 1);
    }
    bench::run_instance(state, kEq8, inst, channels, silence);
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
        {"standard", "CheckRadioBox_FVC_OnOff|CheckRadioBox_Shelf|CheckRadioBox_fnc_2000_OnOff", 2},
        {"every_filter", "CheckRadioBox_FVC_OnOff|CheckRadioBox_FNC_OnOff|CheckRadioBox_Shelf|CheckRadioBox_fnc_2000_OnOff", 2},
    };
    for (const Case& c : cases) {
        benchmark::RegisterBenchmark((std::string("BM_EQ8/") + c.name).c_str(), BM_EQ8_Filter, c.check_box,
                                     c.channels, true, false);
        // Silence after a signal: each filter ringing down towards the subnormal range.
        benchmark::RegisterBenchmark((std::string("BM_EQ8_SilenceAfterSignal/") + c.name).c_str(), BM_EQ8_Filter,
                                     c.check_box, c.channels, true, true);
        if (c.check_box != nullptr)
            benchmark::RegisterBenchmark((std::string("BM_EQ8_FilterAlone/") + c.name).c_str(), BM_EQ8_Filter,
                                         c.check_box, c.channels, false, false);
    }
    return true;
}();

}  // namespace
}  // namespace vx
