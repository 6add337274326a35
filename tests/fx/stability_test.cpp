// Every available kind at every corner of its controls: on a loud guitar phrase and the silence
// after it, mono and stereo, the output stays finite, and bounded where the level and resonance
// controls sit in their middle; afterwards, back at its default settings, the kind still plays
// finite sound (no memory was left non-finite). Also: a NaN or an infinity arriving with the signal
// is gone within a block, and a parameter block damaged in any stored word gives finite sound.
//
// Kinds join by registering; one that needs more (a file to play, controls whose extremes are
// meant to be loud, controls a sweep must not touch) gets a row in kind_hooks().
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/program_folder.h"
#include "engine/test_signal.h"
#include "fx_helpers.h"

namespace vx {
namespace {

using test::Instance;
constexpr float kFullScale = 32768.0f;
constexpr float kBound = 10.0f * kFullScale;
constexpr int kRate = 48000;

struct KindHooks {
    // Controls whose extremes may be louder than the bound (output levels, band weights,
    // resonances): held where a new instance has them wherever the bound is checked (levels sit in
    // their middle there), swept for finiteness only.
    std::set<std::string> loud;
    // Controls the sweep leaves alone (say, one that opens a file dialog).
    std::set<std::string> skip;
    // Runs on every new instance before the sweep sets its controls.
    std::function<void(Form&)> setup;
};

// Drive, Level and both rows of band gains (the threshold row only limits).
std::set<std::string> plus_loud_controls() {
    std::set<std::string> names{"ScrollBar_gain_In", "ScrollBar_gain_Out"};
    for (int i = 0; i < 16; ++i) names.insert("ScrollBar" + std::to_string(i));
    for (int i = 1; i <= 16; ++i) names.insert("spSkinScrollBar" + std::to_string(i));
    return names;
}

const KindHooks& kind_hooks(const std::string& kind) {
    static const std::map<std::string, KindHooks> hooks = {
        {"noise gate", {{"ScrollBar_Gain_In", "ScrollBar_Gain_Out"}, {}, {}}},
        {"EQ (8 bands) + Filters",
         {{"ScrollBar_EQ8G", "ScrollBar_EQ8GR", "ScrollBar_EQ8_125", "ScrollBar_EQ8_250", "ScrollBar_EQ8_450",
           "ScrollBar_EQ8_850", "ScrollBar_EQ8_17", "ScrollBar_EQ8_34", "ScrollBar_EQ8_50", "ScrollBar_EQ8_80",
           "ScrollBar_EQ8_125s", "ScrollBar_EQ8_250s", "ScrollBar_EQ8_450s", "ScrollBar_EQ8_850s", "ScrollBar_EQ8_17s",
           "ScrollBar_EQ8_34s", "ScrollBar_EQ8_50s", "ScrollBar_EQ8_80s", "ScrollBar_Q", "ScrollBar_fnc_res",
           "ScrollBar_Shelf_fvc_G"},
          {},
          {}}},
        {"Distortion (Soft/Hard)", {{"ScrollBar_Gain_Out"}, {}, {}}},
        {"wah", {{"ScrollBar_res", "ScrollBar_Level"}, {}, {}}},
        {"Gain", {{"ScrollBar_Gain_Left", "ScrollBar_Gain_Right", "ScrollBar_Gain_Mono"}, {}, {}}},
        {"Distortion-Compresor", {{"ScrollBar_Drive", "SkinScroll_Level"}, {}, {}}},
        {"Distortorton Plus", {plus_loud_controls(), {}, {}}},
        {"Reverberator", {{"ScrollBar_Gain_Mono", "ScrollBar_Gain_Left", "ScrollBar_Gain_Right"}, {}, {}}},
    };
    static const KindHooks none;
    const auto it = hooks.find(kind);
    return it == hooks.end() ? none : it->second;
}

std::vector<EffectKind> available_kinds() {
    std::vector<EffectKind> kinds;
    for (EffectKind k = 1; k < kKindCount; ++k)
        if (kind_available(k)) kinds.push_back(k);
    return kinds;
}

// The loud phrase, peaking at full scale, then as much silence.
const std::vector<float>& phrase_mono(double seconds) {
    static std::map<double, std::vector<float>> made;
    auto& v = made[seconds];
    if (v.empty()) {
        v = make_test_phrase(kRate, seconds);
        float peak = 0.0f;
        for (float x : v) peak = std::max(peak, std::fabs(x));
        for (float& x : v) x *= (kFullScale - 1.0f) / peak;
    }
    return v;
}
std::vector<float> signal(int channels, double seconds, double silence_seconds) {
    std::vector<float> out;
    for (float x : phrase_mono(seconds))
        for (int c = 0; c < channels; ++c) out.push_back(x);
    out.resize(out.size() + static_cast<size_t>(silence_seconds * kRate) * channels, 0.0f);
    return out;
}

// A control the sweep sets: a slider's position, a check box, a radio group's or selector's index.
struct Factor {
    Control* control;
    int low, high, middle, initial;
    bool loud;
    void set(int v) const {
        switch (control->type()) {
            case Control::Type::Slider: static_cast<Slider*>(control)->set_position(v); break;
            case Control::Type::CheckBox: static_cast<CheckBox*>(control)->set_checked(v != 0); break;
            case Control::Type::RadioGroup: static_cast<RadioGroup*>(control)->set_index(v); break;
            case Control::Type::Selector: static_cast<Selector*>(control)->set_index(v); break;
            default: break;
        }
    }
};

std::vector<Factor> factors_of(Form& form, const KindHooks& hooks) {
    std::vector<Factor> out;
    for (Control* c : form.controls()) {
        if (hooks.skip.count(c->name())) continue;
        const bool loud = hooks.loud.count(c->name()) != 0;
        if (auto* s = dynamic_cast<Slider*>(c)) {
            out.push_back({c, s->min(), s->max(), s->min() + (s->max() - s->min()) / 2, s->position(), loud});
        } else if (auto* b = dynamic_cast<CheckBox*>(c)) {
            out.push_back({c, 0, 1, b->checked() ? 1 : 0, b->checked() ? 1 : 0, loud});
        } else if (auto* r = dynamic_cast<RadioGroup*>(c); r && !r->items().empty()) {
            const int last = static_cast<int>(r->items().size()) - 1;
            out.push_back({c, 0, last, r->index(), r->index(), loud});
        } else if (auto* sel = dynamic_cast<Selector*>(c); sel && !sel->items().empty()) {
            const int last = static_cast<int>(sel->items().size()) - 1;
            out.push_back({c, 0, last, std::max(sel->index(), 0), sel->index(), loud});
        }
    }
    return out;
}

// Rows of a covering array of strength 2 over `count` two-valued factors: for every pair of
// factors, every one of the four combinations of their extremes is in some row. Column j is the
// j-th half-size subset of the rows that holds row 0; two such subsets are never equal, nested or
// complementary, which is all it takes. Ten rows serve 126 factors.
std::vector<std::vector<bool>> covering_rows(size_t count) {
    int n = 4;
    auto columns_for = [](int rows) {
        std::vector<uint32_t> cols;
        for (uint32_t m = 0; m < (1u << rows); ++m)
            if ((m & 1u) && std::popcount(m) == rows / 2) cols.push_back(m);
        return cols;
    };
    while (columns_for(n).size() < count) n += 2;
    const std::vector<uint32_t> cols = columns_for(n);
    std::vector<std::vector<bool>> rows(static_cast<size_t>(n), std::vector<bool>(count));
    for (int r = 0; r < n; ++r)
        for (size_t j = 0; j < count; ++j) rows[static_cast<size_t>(r)][j] = (cols[j] >> r) & 1u;
    return rows;
}

// One setting of every factor, and whether the bound applies to it.
struct Setting {
    std::vector<int> values;
    bool bounded;
    std::string what;
};

std::vector<Setting> settings_for(const std::vector<Factor>& fs) {
    std::vector<Setting> out;
    std::vector<int> initial;
    for (const Factor& f : fs) initial.push_back(f.initial);
    out.push_back({initial, true, "defaults"});
    // Each control alone at its minimum, middle and maximum (a check box: flipped).
    for (size_t i = 0; i < fs.size(); ++i) {
        for (int v : {fs[i].low, fs[i].middle, fs[i].high}) {
            if (v == fs[i].initial) continue;
            Setting s{initial, !fs[i].loud || v == fs[i].middle, fs[i].control->name() + "=" + std::to_string(v)};
            s.values[i] = v;
            out.push_back(s);
        }
    }
    // Every pair at every combination of extremes, the others at extremes too: once with the loud
    // controls as a new instance has them (bounded), once with them swept as well (finite).
    const auto rows = covering_rows(fs.size());
    for (bool loud_too : {false, true}) {
        for (size_t r = 0; r < rows.size(); ++r) {
            for (bool flip : {false, true}) {  // the row and its mirror: all-low and all-high too
                Setting s{initial, !loud_too, (loud_too ? "all swept, row " : "loud ones as they were, row ") + std::to_string(r)};
                for (size_t i = 0; i < fs.size(); ++i)
                    s.values[i] = fs[i].loud && !loud_too ? fs[i].initial : (rows[r][i] != flip ? fs[i].high : fs[i].low);
                out.push_back(s);
            }
        }
    }
    return out;
}

struct Outcome {
    bool finite = true;
    float peak = 0.0f;
};
Outcome measure(const std::vector<float>& v) {
    Outcome o;
    for (float x : v) {
        if (!std::isfinite(x)) o.finite = false;
        else o.peak = std::max(o.peak, std::fabs(x));
    }
    return o;
}

class Stability : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Kinds that keep settings files find a folder of their own, never the build's.
        home() = std::filesystem::temp_directory_path() / ("vx-stability-" + std::to_string(::getpid()));
        std::filesystem::create_directories(home());
        set_program_home(home());
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(home()); }
    static std::filesystem::path& home() {
        static std::filesystem::path h;
        return h;
    }
};

TEST_F(Stability, EveryKindAtEveryCornerOfItsControls) {
    ASSERT_FALSE(available_kinds().empty());
    for (EffectKind k : available_kinds()) {
        const std::string name = kind_name(k);
        const KindHooks& hooks = kind_hooks(name);
        std::vector<Setting> settings;
        {
            Instance probe(k);
            if (hooks.setup) hooks.setup(*probe.cell()->form);
            settings = settings_for(factors_of(*probe.cell()->form, hooks));
        }
        int failures = 0;
        for (const Setting& s : settings) {
            for (int channels : {1, 2}) {
                Instance w(k);
                Form& form = *w.cell()->form;
                if (hooks.setup) hooks.setup(form);
                const std::vector<Factor> fs = factors_of(form, hooks);
                for (size_t i = 0; i < fs.size(); ++i) fs[i].set(s.values[i]);
                auto buf = signal(channels, 0.15, 0.1);
                w.process(buf, channels);
                const Outcome o = measure(buf);
                // Back at the defaults, the same instance plays a phrase again: nothing it kept
                // from the sweep is non-finite.
                for (const Factor& f : fs) f.set(f.initial);
                auto after = signal(channels, 0.05, 0.0);
                w.process(after, channels);
                const Outcome again = measure(after);
                const bool ok = o.finite && again.finite && (!s.bounded || o.peak < kBound);
                if (!ok && ++failures <= 5)
                    ADD_FAILURE() << name << ", " << (channels == 1 ? "mono" : "stereo") << ", " << s.what
                                  << (o.finite ? "" : ": not finite") << (again.finite ? "" : ": not finite at defaults afterwards")
                                  << ": peak " << o.peak / kFullScale << " x full scale";
            }
        }
        EXPECT_EQ(failures, 0) << name << " (" << settings.size() << " settings)";
    }
}

// Turns every check box of a form on.
void every_switch_on(Form& form) {
    for (Control* c : form.controls())
        if (auto* b = dynamic_cast<CheckBox*>(c)) b->set_checked(true);
}

// A NaN or an infinity that arrives with the signal may spoil the block it arrives in, never the
// blocks after it: every memory that caught it starts again within the block.
TEST_F(Stability, NonFiniteInputIsGoneWithinABlock) {
    for (EffectKind k : available_kinds()) {
        const std::string name = kind_name(k);
        for (bool switches : {false, true}) {
            for (int channels : {1, 2}) {
                for (float bad : {NAN, INFINITY, -INFINITY}) {
                    Instance w(k);
                    if (kind_hooks(name).setup) kind_hooks(name).setup(*w.cell()->form);
                    if (switches) every_switch_on(*w.cell()->form);
                    auto warm = signal(channels, 0.05, 0.0);
                    w.process(warm, channels);
                    std::vector<float> poisoned = signal(channels, 0.01, 0.0);
                    poisoned.resize(480 * static_cast<size_t>(channels));
                    poisoned[7 * channels] = bad;
                    w.process(poisoned, channels);
                    auto next = signal(channels, 0.3, 0.1);
                    w.process(next, channels);
                    EXPECT_TRUE(measure(next).finite) << name << (switches ? ", every switch on" : "") << ", "
                                                      << channels << " channel(s), " << bad;
                }
            }
        }
    }
}

// Whatever a chain file holds in the stored words 0..72, a kind plays finite sound: each word of
// the kind's own block in turn replaced by a damaged value, restored as a chain-file load does.
TEST_F(Stability, DamagedParameterWordsGiveFiniteSound) {
    const int32_t damaged[] = {
        std::bit_cast<int32_t>(NAN), std::bit_cast<int32_t>(INFINITY), std::bit_cast<int32_t>(-INFINITY),
        INT_MIN, INT_MAX, std::bit_cast<int32_t>(1e30f), std::bit_cast<int32_t>(-1e30f), 117117,
    };
    // A damaged word may still set a level to its maximum, as the controls can; beyond that a
    // factor of 1e30 would show at once.
    constexpr float kDamagedBound = 1000.0f * kFullScale;
    const auto phrase1 = signal(1, 0.02, 0.01), phrase2 = signal(2, 0.02, 0.01);
    for (EffectKind k : available_kinds()) {
        const std::string name = kind_name(k);
        ParameterBlock stored{};
        {
            Instance w(k);
            if (kind_hooks(name).setup) kind_hooks(name).setup(*w.cell()->form);
            stored = w.get();
        }
        int failures = 0;
        for (int word = 0; word < kStoredParameterWords; ++word) {
            for (int32_t value : damaged) {
                ParameterBlock b{};  // words 73..100 stay 0, as the loader leaves them
                std::copy(stored.begin(), stored.begin() + kStoredParameterWords, b.begin());
                b[static_cast<size_t>(word)] = value;
                Instance w(k);
                if (kind_hooks(name).setup) kind_hooks(name).setup(*w.cell()->form);
                w.put(b);
                auto m = phrase1, s = phrase2;
                w.process(m, 1);
                w.process(s, 2);
                const Outcome om = measure(m), os = measure(s);
                if (!(om.finite && os.finite && om.peak < kDamagedBound && os.peak < kDamagedBound) && ++failures <= 5)
                    ADD_FAILURE() << name << ", word " << word << " = " << value << ": "
                                  << (om.finite && os.finite ? "peak " : "not finite, peak ")
                                  << std::max(om.peak, os.peak) / kFullScale << " x full scale";
            }
        }
        EXPECT_EQ(failures, 0) << name;
    }
}

}  // namespace
}  // namespace vx
