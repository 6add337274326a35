#include "gain_form.h"

#include <cmath>

#include "engine/effects.h"
#include "engine/units.h"
#include "laws.h"

namespace vx {

Tgain_form::Tgain_form() : Form("Gain", 320, 236) {
    ScrollBar_Gain_Left.label = "Left Chanel Volume:";
    ScrollBar_Gain_Right.label = "Right Chanel Volume:";
    ScrollBar_Gain_Mono.label = "Mono Volume:";
    ScrollBar_Gain_Left.bounds = {16, 24, 288, 17};
    ScrollBar_Gain_Right.bounds = {16, 72, 288, 17};
    ScrollBar_Gain_Mono.bounds = {16, 120, 288, 17};
    CheckRadioBox_Air.bounds = {16, 152, 120, 20};
    RadioBox_SimpleChorus.bounds = {16, 180, 140, 20};
    ScrollBar_SimpleChorus.bounds = {16, 206, 288, 17};
    ScrollBar_Gain_Left.group = ScrollBar_Gain_Right.group = ScrollBar_Gain_Mono.group = "Volume";
    CheckRadioBox_Air.group = RadioBox_SimpleChorus.group = ScrollBar_SimpleChorus.group = "Stereo";
    ScrollBar_SimpleChorus.hint = "Right channel delay";

    add(ScrollBar_Gain_Left);
    add(ScrollBar_Gain_Right);
    add(ScrollBar_Gain_Mono);
    add(CheckRadioBox_Air);
    add(RadioBox_SimpleChorus);
    add(ScrollBar_SimpleChorus);

    ScrollBar_Gain_Left.on_change = [this] { ScrollBar_Gain_LeftChange(); };
    ScrollBar_Gain_Right.on_change = [this] { ScrollBar_Gain_RightChange(); };
    ScrollBar_Gain_Mono.on_change = [this] { ScrollBar_Gain_MonoChange(); };
    CheckRadioBox_Air.on_click = [this] { CheckRadioBox_AirClick(); };
    RadioBox_SimpleChorus.on_click = [this] { RadioBox_SimpleChorusClick(); };
    ScrollBar_SimpleChorus.on_change = [this] { ScrollBar_SimpleChorusChange(); };
    // Each shows the value its handler stored, which is what the processing uses.
    ScrollBar_Gain_Left.unit_text = [this] { return gain_text(left_factor); };
    ScrollBar_Gain_Right.unit_text = [this] { return gain_text(right_factor); };
    ScrollBar_Gain_Mono.unit_text = [this] { return gain_text(mono_factor); };
    ScrollBar_SimpleChorus.unit_text = [this] { return samples_text(simple_chorus_heard(lengths[0]), display_rate()); };
    FormCreate();
}

void Tgain_form::FormCreate() { shown_once = 0; }

void Tgain_form::create_defaults() {
    mono_factor = 1.0f;
    left_factor = 1.0f;
    right_factor = 1.0f;
    air = 1.0f;
    chorus_on = false;
    lengths[0] = 1800;
    lengths[1] = 1800;
    // The lines start full of 1.0, not silence: the first chorus output is that fill.
    for (auto& line : lines) {
        for (int i = 0; i < kLineWords - 1; ++i) line[i] = 1.0f;
        line[kLineWords - 1] = 0.0f;
    }
    positions[0] = 1;
    positions[1] = 1;
    chorus_on = false;
}

// A NaN or an infinity that came in with the signal enters the line as silence, so that it cannot
// come back a chorus delay later; every finite sample is stored as it is.
float Tgain_form::delay_d(int32_t line, float sample) {
    line = line < 0 ? 0 : (line > 1 ? 1 : line);
    int32_t& pos = positions[line];
    if (pos >= kLineWrap) pos = 0;
    const float y = lines[line][pos];
    lines[line][pos] = std::isfinite(sample) ? sample : 0.0f;
    ++pos;
    if (pos >= lengths[line].load()) pos = 0;
    return y;
}

void Tgain_form::gain(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    const size_t n = static_cast<size_t>(frameCount);
    if (channelCount == 1) {
        const float m = mono_factor;
        for (size_t i = 0; i < n; ++i) buffer[i] *= m;
        return;
    }
    const float l = left_factor;
    // (-r) x f and r x (-f) are the same float32 product, so the inversion folds into the factor.
    const float r = air.load() != 0.0f ? -right_factor.load() : right_factor.load();
    for (size_t i = 0; i < n; ++i) {
        buffer[2 * i] *= l;
        buffer[2 * i + 1] *= r;
    }
    if (chorus_on) {
        for (size_t i = 0; i < n; ++i) buffer[2 * i + 1] = delay_d(0, buffer[2 * i + 1]);
    }
}

void Tgain_form::ScrollBar_Gain_LeftChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_Left.position())) left_factor = *f;
}

void Tgain_form::ScrollBar_Gain_RightChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_Right.position())) right_factor = *f;
}

void Tgain_form::ScrollBar_Gain_MonoChange() {
    ScrollBar_Gain_Left.set_position(ScrollBar_Gain_Mono.position());
    ScrollBar_Gain_Right.set_position(ScrollBar_Gain_Mono.position());
    if (auto f = SliderFactor(ScrollBar_Gain_Mono.position())) mono_factor = *f;
}

void Tgain_form::CheckRadioBox_AirClick() { air = CheckRadioBox_Air.checked() ? 1.0f : 0.0f; }

void Tgain_form::RadioBox_SimpleChorusClick() { chorus_on = RadioBox_SimpleChorus.checked(); }

int32_t simple_chorus_length(int32_t position) {
    auto f = SliderFactor(position);
    if (!f) return 0;
    return static_cast<int32_t>(std::nearbyint(static_cast<double>(*f) * 1800.0));
}

int32_t simple_chorus_heard(int32_t length) { return length < Tgain_form::kLineWrap ? length : Tgain_form::kLineWrap; }

void Tgain_form::ScrollBar_SimpleChorusChange() {
    if (SliderFactor(ScrollBar_SimpleChorus.position())) lengths[0] = simple_chorus_length(ScrollBar_SimpleChorus.position());
}

void Tgain_form::get_parameters(int32_t* block) {
    block[0] = float_word(mono_factor);
    block[1] = float_word(left_factor);
    block[2] = float_word(right_factor);
    block[3] = 117117;
    put_bool_byte(block[4], RadioBox_SimpleChorus.checked());
    block[5] = ScrollBar_SimpleChorus.position();
    block[6] = ScrollBar_Gain_Mono.position();
    block[7] = ScrollBar_Gain_Left.position();
    block[8] = ScrollBar_Gain_Right.position();
    put_bool_byte(block[9], CheckRadioBox_Air.checked());
}

void Tgain_form::put_parameters(const int32_t* block) {
    // A damaged block keeps the factors within what the sliders give (a non-number keeps the
    // factor as it was), so it cannot send NaN, inf or a full-scale square wave to the output.
    const float lo = *SliderFactor(0), hi = *SliderFactor(100);
    mono_factor = restored_float(block[0], mono_factor, lo, hi);
    left_factor = restored_float(block[1], left_factor, lo, hi);
    right_factor = restored_float(block[2], right_factor, lo, hi);
    ScrollBar_Gain_Mono.set_position(block[6]);
    ScrollBar_Gain_Left.set_position(block[7]);
    ScrollBar_Gain_Right.set_position(block[8]);
    if (block[3] == 117117) {
        ScrollBar_SimpleChorus.set_position(block[5]);
        RadioBox_SimpleChorus.set_checked(bool_byte(block[4]));
        CheckRadioBox_Air.set_checked(bool_byte(block[9]));
    }
}

VX_REGISTER_KIND(13, Tgain_form, gain)

}  // namespace vx
