#include "wahs.h"

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

// The controls' values for one block: a handler's change takes effect with the next block, and
// both stereo channels see the same values.
struct BlockSettings {
    bool sweep_on;
    float start, stop, up, down, level;
    double res;

    explicit BlockSettings(const Twah_form& w)
        : sweep_on(w.sweep_on), start(w.start), stop(w.stop), up(w.up_factor), down(w.down_factor),
          level(w.level), res(w.res) {}

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
    return static_cast<float>(lp.step(x, f, fb) * static_cast<double>(level));
}

}  // namespace

// The sweep and the coefficients of a chunk go first, into the scratch arrays, so that the filter
// loop carries nothing but the recurrences (two of them side by side in stereo).
template <int Channels, bool Right>
void Twah_form::run(int32_t frames, float* buffer, double& cutoff, float& step) {
    const BlockSettings s(*this);
    for (int32_t done = 0; done < frames; done += kChunk) {
        const int32_t n = frames - done < kChunk ? frames - done : kChunk;
        for (int32_t i = 0; i < n; ++i) {
            s.advance(cutoff, step);
            if (Channels == 2 || !Right) {
                coef_f[0][i] = FourPoleLowpass::f_of(cutoff);
                coef_fb[0][i] = FourPoleLowpass::fb_of(coef_f[0][i], s.res);
            }
            if (Channels == 2 || Right) {
                coef_f[1][i] = right_f(cutoff);
                coef_fb[1][i] = FourPoleLowpass::fb_of(coef_f[1][i], s.res);
            }
        }
        // Local copies: the compiler need not fear that a store into the buffer changes them.
        FourPoleLowpass left = state_left, right = state_right;
        const float level = s.level;
        float* x = buffer + static_cast<ptrdiff_t>(done) * (Channels == 1 ? 1 : 2);
        if (Channels == 2) {
            for (int32_t i = 0; i < n; ++i) {
                x[2 * i] = filtered(left, x[2 * i], coef_f[0][i], coef_fb[0][i], level);
                x[2 * i + 1] = filtered(right, x[2 * i + 1], coef_f[1][i], coef_fb[1][i], level);
            }
        } else if (Right) {
            for (int32_t i = 0; i < n; ++i)
                x[2 * i + 1] = filtered(right, x[2 * i + 1], coef_f[1][i], coef_fb[1][i], level);
        } else {
            constexpr int stride = Channels == 1 ? 1 : 2;
            for (int32_t i = 0; i < n; ++i)
                x[stride * i] = filtered(left, x[stride * i], coef_f[0][i], coef_fb[0][i], level);
        }
        state_left = left;
        state_right = right;
    }
}

void Twah_form::filter_fnc_1(int32_t count, float* samples) {
    if (count > 0) run<1, false>(count, samples, cutoff_left, step_left);
}

void Twah_form::filter_fnc_2(int32_t frames, float* buffer) {
    if (frames > 0) run<0, false>(frames, buffer, cutoff_left, step_left);
}

void Twah_form::filter_fnc_3(int32_t frames, float* buffer) {
    if (frames > 0) run<0, true>(frames, buffer, cutoff_right, step_right);
}

void Twah_form::wah(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    if (channelCount == 1) {
        filter_fnc_1(frameCount, buffer);
        return;
    }
    // The right channel restarts from the left's sweep position every block. With one set of
    // settings for the block both channels then sweep identically, so the left's sweep serves
    // both, and the two channels run side by side (the same results as filter_fnc_2, then _3).
    run<2, false>(frameCount, buffer, cutoff_left, step_left);
    cutoff_right = cutoff_left;
    step_right = step_left;
}

void Twah_form::ScrollBar_FcChange() { start = static_cast<float>(ScrollBar_Fc.position() / 200.0); }

void Twah_form::ScrollBar_deviationChange() { stop = static_cast<float>(ScrollBar_deviation.position() / 200.0); }

void Twah_form::ScrollBar_resChange() { res = ScrollBar_res.position() / 10.0; }

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
