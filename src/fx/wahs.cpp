#include "wahs.h"

#include <complex>
#include <numbers>

#include "engine/effects.h"
#include "engine/units.h"

#include "exact/tiny.h"
#include "exact/four_pole.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vx {

Twah_form::Twah_form() : Form("wah", 330, 300) {
    ScrollBar_Fc.label = " Low Pass Filter  Cut Off Frequency Start  ";
    ScrollBar_deviation.label = " Low Pass Filter  Cut Off Frequency Stop  ";
    ScrollBar_res.label = " Resonance for Low Pass Filter     ";
    ScrollBar_Speed.label = "  Wah Speed   ";
    ScrollBar_Level.label = "  Level    ";
    ScrollBar_Fc.bounds = {16, 28, 296, 17};
    ScrollBar_deviation.bounds = {16, 72, 296, 17};
    ScrollBar_res.bounds = {16, 116, 296, 17};
    ScrollBar_Speed.bounds = {16, 160, 296, 17};
    ScrollBar_Level.bounds = {16, 204, 296, 17};
    CheckRadioBox_Sweep_OnOff.bounds = {16, 240, 140, 20};
    ScrollBar_Fc.group = ScrollBar_deviation.group = ScrollBar_Speed.group = "Sweep";
    CheckRadioBox_Sweep_OnOff.group = "Sweep";
    ScrollBar_res.group = "Filter";
    ScrollBar_Level.group = "Output";
    ScrollBar_Fc.hint = "Lower turning point of the sweep";
    ScrollBar_deviation.hint = "Upper turning point of the sweep";

    add(ScrollBar_Fc);
    add(ScrollBar_deviation);
    add(ScrollBar_res);
    add(ScrollBar_Speed);
    add(ScrollBar_Level);
    add(CheckRadioBox_Sweep_OnOff);

    ScrollBar_Fc.on_change = [this] { ScrollBar_FcChange(); };
    ScrollBar_deviation.on_change = [this] { ScrollBar_deviationChange(); };
    ScrollBar_res.on_change = [this] { ScrollBar_resChange(); };
    ScrollBar_Speed.on_change = [this] { ScrollBar_SpeedChange(); };
    ScrollBar_Level.on_change = [this] { ScrollBar_LevelChange(); };
    CheckRadioBox_Sweep_OnOff.on_click = [this] { CheckRadioBox_Sweep_OnOffClick(); };
    add(Curve_Sweep);
    Curve_Sweep.set_source([this] { return sweep_series(); });
    after_each_change(*this, [this] { Curve_Sweep.invalidate(); });
    Timer_Sweep.on_timer = [this] {
        if ((shown_cutoff != drawn_cutoff_ || display_rate() != drawn_rate_) && !Curve_Sweep.stale()) Curve_Sweep.invalidate();
    };
    // Each shows the value its handler stored: a new instance sweeps by 1.0001 a step until moved.
    ScrollBar_Fc.unit_text = [this] { return hz_text(wah_cutoff_hz(start, res, display_rate())); };
    ScrollBar_deviation.unit_text = [this] { return hz_text(wah_cutoff_hz(stop, res, display_rate())); };
    ScrollBar_res.unit_text = [this] { return resonance_text(res); };
    // How long one sweep from start to stop takes (a step is a sample, or a frame in stereo).
    ScrollBar_Speed.unit_text = [this] {
        const double up = up_factor, from = start, to = stop;
        const std::string factor = factor_text(up) + " a step";
        if (!(to > from) || !(from > 0.0) || !(up > 1.0)) return factor;
        return period_text(std::log(to / from) / std::log(up), display_rate()) + " up, " + factor;
    };
    ScrollBar_Level.unit_text = [this] { return gain_text(level); };
    FormCreate();
}

void Twah_form::FormCreate() {
    shown_once = 0;
    level = 1.0f;
    cutoff_left = 0.1;
    cutoff_right = 0.1;
    res = 3.0;
    state_left = FourPoleLowpass{};
    state_right = FourPoleLowpass{};
    sweep_on = true;
    step_left = 1.0001f;
    step_right = 1.0001f;
    start = 0.05f;
    stop = 0.25f;
    up_factor = 1.0001f;
    down_factor = wah_down_factor(up_factor);
}

float wah_up_factor(int32_t position) { return static_cast<float>(position * 0.000006L + 1.0L); }

float wah_down_factor(float up) { return static_cast<float>(1.0 / static_cast<double>(up)); }

namespace {

// Where the four-pole's f is clamped, by resonance position 1..39: the right channel's 1.1 x f
// would otherwise pass the point where the filter grows without bound (and so would a left
// channel swept that high). Below it nothing changes; the margin keeps the last pole within 0.99,
// where the ringing still dies down within a few hundred samples.
constexpr double kSettledPoleRadius = 0.99;
const std::array<double, 40> kFLimit = [] {
    std::array<double, 40> t{};
    for (int p = 1; p < 40; ++p) t[static_cast<size_t>(p)] = four_pole_f_limit(p / 10.0, kSettledPoleRadius);
    t[0] = t[1];
    return t;
}();

// The clamp for a resonance: res is always a position / 10; anything else takes the limit of the
// next higher position (the limit falls as the resonance rises).
double f_limit_of(double res) {
    const double p = std::ceil(res * 10.0 - 1e-9);
    if (!(p >= 1.0)) return kFLimit[1];
    if (p >= 39.0) return kFLimit[39];
    return kFLimit[static_cast<size_t>(p)];
}

// The controls' values for one block: a handler's change takes effect with the next block, and
// both stereo channels see the same values.
struct BlockSettings {
    bool sweep_on;
    float start, stop, up, down, level;
    double res;
    double f_limit;  // from the same reading of res, so that both belong to one setting

    explicit BlockSettings(const Twah_form& w)
        // The falling factor always follows the rising one; taken from the same reading, the two
        // cannot belong to different settings.
        : sweep_on(w.sweep_on), start(w.start), stop(w.stop), up(w.up_factor), down(wah_down_factor(up)),
          level(w.level), res(w.res), f_limit(f_limit_of(res)) {}

    // One step of the exponential sweep; falling wins when both turning points are passed.
    void advance(double& cutoff, float& step) const {
        if (!sweep_on) return;
        cutoff = static_cast<double>(static_cast<long double>(cutoff) * step);
        if (cutoff < start) step = up;
        if (cutoff > stop) step = down;
    }
};

// The right channel's filter frequency for the sweep's cut-off.
inline double right_f(double cutoff) { return static_cast<double>((1.16L * cutoff) * 1.1L); }

inline float filtered(FourPoleLowpass& lp, float x, double f, double fb, float level) {
    return exact::to_float_times(exact::four_pole_step(lp, x, f, fb), static_cast<double>(level));
}

}  // namespace

// The sweep and the coefficients of a chunk are ready before its filter loop, which carries nothing
// but the recurrences (two of them side by side in stereo). The filter is the extended arithmetic
// itself: its chain of dependent steps is shorter than any exact emulation of it in vector
// registers (tried: 37 against 28 ns a stereo frame).
template <int Channels, bool Right>
void Twah_form::run(int32_t frames, float* buffer, double& cutoff, float& step) {
    const BlockSettings s(*this);
    for (int32_t done = 0; done < frames; done += kChunk) {
        const int32_t n = frames - done < kChunk ? frames - done : kChunk;
        for (int32_t i = 0; i < n; ++i) {
            s.advance(cutoff, step);
            if (Channels == 2 || !Right) {
                coef.f[i][0] = std::min(FourPoleLowpass::f_of(cutoff), s.f_limit);
                coef.fb[i][0] = FourPoleLowpass::fb_of(coef.f[i][0], s.res);
            }
            if (Channels == 2 || Right) {
                coef.f[i][1] = std::min(right_f(cutoff), s.f_limit);
                coef.fb[i][1] = FourPoleLowpass::fb_of(coef.f[i][1], s.res);
            }
        }
        float* x = buffer + static_cast<ptrdiff_t>(done) * (Channels == 1 ? 1 : 2);
        if (Channels != 0) {
            FourPoleLowpass poles[2] = {state_left, state_right};
            exact::four_pole_block<Channels == 2>(n, x, poles, exact::PoleCoefficients{coef.f, coef.fb}, s.level);
            state_left = poles[0];
            if (Channels == 2) state_right = poles[1];
        } else if (Right) {
            for (int32_t i = 0; i < n; ++i)
                x[2 * i + 1] = filtered(state_right, x[2 * i + 1], coef.f[i][1], coef.fb[i][1], s.level);
        } else {
            for (int32_t i = 0; i < n; ++i) x[2 * i] = filtered(state_left, x[2 * i], coef.f[i][0], coef.fb[i][0], s.level);
        }
    }
}

namespace {
// A memory that is no longer a number (a NaN or an infinity that came in with the signal) would
// keep the channel silent or screaming for good: it starts again from rest instead.
void settle(FourPoleLowpass& p) {
    const double sum = p.in + p.out1 + p.out2 + p.out3 + p.out4 + p.in1 + p.in2 + p.in3 + p.in4;
    if (!std::isfinite(sum)) p = FourPoleLowpass{};
}
void settle(double& cutoff, float& step, float up) {
    if (!(std::isfinite(cutoff) && cutoff > 0.0)) cutoff = 0.1;
    if (!(std::isfinite(step) && step > 0.0f)) step = up;
}
}  // namespace

void Twah_form::settle_memories() {
    settle(state_left);
    settle(state_right);
    settle(cutoff_left, step_left, up_factor);
    settle(cutoff_right, step_right, up_factor);
}

void Twah_form::filter_fnc_1(int32_t count, float* samples) {
    if (count > 0) run<1, false>(count, samples, cutoff_left, step_left);
    settle_memories();
}

void Twah_form::filter_fnc_2(int32_t frames, float* buffer) {
    if (frames > 0) run<0, false>(frames, buffer, cutoff_left, step_left);
    settle_memories();
}

void Twah_form::filter_fnc_3(int32_t frames, float* buffer) {
    if (frames > 0) run<0, true>(frames, buffer, cutoff_right, step_right);
    settle_memories();
}

void Twah_form::wah(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    if (channelCount == 1) {
        filter_fnc_1(frameCount, buffer);
        shown_cutoff = cutoff_left;
        return;
    }
    // The right channel restarts from the left's sweep position every block. With one set of
    // settings for the block both channels then sweep identically, so the left's sweep serves
    // both, and the two channels run side by side (the same results as filter_fnc_2, then _3).
    run<2, false>(frameCount, buffer, cutoff_left, step_left);
    settle_memories();
    cutoff_right = cutoff_left;
    step_right = step_left;
    shown_cutoff = cutoff_left;
}

double wah_cutoff_hz(double cutoff, double res, double rate) {
    const double f = std::min(FourPoleLowpass::f_of(cutoff), f_limit_of(res));
    // The loop's phase: one sample's delay and four stages (1 + 0.3 z^-1) / (1 - (1 - f) z^-1), each
    // of whose factors keeps a positive real part, so the sum of their angles needs no unwrapping.
    auto phase = [f](double w) {
        const std::complex<double> z = std::polar(1.0, -w);
        return -w + 4.0 * (std::arg(1.0 + 0.3 * z) - std::arg(1.0 - (1.0 - f) * z));
    };
    constexpr int kSteps = 1024;
    double lo = 0.0, hi = -1.0, lowest = 0.0, at_lowest = std::numbers::pi;
    for (int i = 1; i < kSteps; ++i) {
        const double w = std::numbers::pi * i / kSteps;
        const double p = phase(w);
        if (p < lowest) lowest = p, at_lowest = w;
        if (p <= -std::numbers::pi) {
            hi = w;
            break;
        }
        lo = w;
    }
    if (hi < 0.0) return at_lowest * rate / (2.0 * std::numbers::pi);
    for (int i = 0; i < 40; ++i) {
        const double mid = 0.5 * (lo + hi);
        (phase(mid) <= -std::numbers::pi ? hi : lo) = mid;
    }
    return 0.5 * (lo + hi) * rate / (2.0 * std::numbers::pi);
}

std::vector<Curve::Series> Twah_form::sweep_series() {
    drawn_cutoff_ = shown_cutoff;
    drawn_rate_ = display_rate();
    const double rate = drawn_rate_ > 0 ? drawn_rate_ : 48000.0;
    const double r = res;
    const double f = std::min(FourPoleLowpass::f_of(drawn_cutoff_), f_limit_of(r));
    const double fb = FourPoleLowpass::fb_of(f, r);
    Curve::Series response{"response", Curve::Style::Line, log_frequencies(241), {}};
    const double gain = level;
    for (double hz : response.x)
        response.y.push_back(decibels(gain * four_pole_response(f, fb, unit_delay(hz, rate))));
    return {{"sweep", Curve::Style::Span, {wah_cutoff_hz(start, r, rate), wah_cutoff_hz(stop, r, rate)}, {}},
            {"cut-off", Curve::Style::Marker, {wah_cutoff_hz(drawn_cutoff_, r, rate)}, {}},
            std::move(response)};
}

float wah_turning_point(int32_t position) { return static_cast<float>(position / 200.0); }

double wah_resonance(int32_t position) { return position / 10.0; }

void Twah_form::ScrollBar_FcChange() { start = wah_turning_point(ScrollBar_Fc.position()); }

void Twah_form::ScrollBar_deviationChange() { stop = wah_turning_point(ScrollBar_deviation.position()); }

void Twah_form::ScrollBar_resChange() { res = wah_resonance(ScrollBar_res.position()); }

void Twah_form::ScrollBar_SpeedChange() {
    const float up = wah_up_factor(ScrollBar_Speed.position());
    up_factor = up;
    down_factor = wah_down_factor(up);
}

void Twah_form::ScrollBar_LevelChange() {
    if (auto f = SliderFactor(ScrollBar_Level.position())) level = *f;
}

void Twah_form::CheckRadioBox_Sweep_OnOffClick() { sweep_on = CheckRadioBox_Sweep_OnOff.checked(); }

void Twah_form::get_parameters(int32_t* block) {
    block[0] = ScrollBar_Fc.position();
    block[1] = ScrollBar_deviation.position();
    block[2] = ScrollBar_Speed.position();
    block[3] = ScrollBar_Level.position();
}

void Twah_form::put_parameters(const int32_t* block) {
    ScrollBar_Fc.set_position(block[0]);
    ScrollBar_deviation.set_position(block[1]);
    ScrollBar_Speed.set_position(block[2]);
    ScrollBar_Level.set_position(block[3]);
}

VX_REGISTER_KIND(10, Twah_form, wah)

}  // namespace vx
