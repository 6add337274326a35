// Gain: scales each channel by 1/11 .. 11, can invert the right channel's polarity ("Air") and
// can delay the right channel by a fixed 164 .. 14000 samples ("Simple Chorus", a cheap widener).
// Latency: none. Controls:
//   ScrollBar_Gain_Left, _Right, _Mono   0..100, SliderFactor law (50 = x1, 0 = x1/11, 100 = x11);
//                                         Mono sets Left and Right to its own position
//   CheckRadioBox_Air                    on: right channel inverted (on in a new instance)
//   RadioBox_SimpleChorus                on: right channel delayed
//   ScrollBar_SimpleChorus               0..100, delay = SliderFactor x 1800 samples, at most 14000
// Mono streams use only the Mono factor.
#pragma once

#include <cstdint>

#include "engine/effect_unit.h"
#include "engine/forms.h"

namespace vx {

class Tgain_form : public Form {
public:
    Tgain_form();

    void create_defaults();
    void gain(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    // One step of a fixed delay line: stores sample, returns the one that leaves the line.
    float delay_d(int32_t line, float sample);

    Slider ScrollBar_Gain_Left{"ScrollBar_Gain_Left", 0, 100, 50, 5, 1};
    Slider ScrollBar_Gain_Right{"ScrollBar_Gain_Right", 0, 100, 50, 5, 1};
    Slider ScrollBar_Gain_Mono{"ScrollBar_Gain_Mono", 0, 100, 50, 5, 1};
    CheckBox CheckRadioBox_Air{"CheckRadioBox_Air", "   A i r", true};
    CheckBox RadioBox_SimpleChorus{"RadioBox_SimpleChorus", " Simple Chorus", false};
    Slider ScrollBar_SimpleChorus{"ScrollBar_SimpleChorus", 0, 100, 50, 5, 1};

    // Processing state (read by the audio thread).
    relaxed<float> mono_factor{1.0f};
    relaxed<float> left_factor{1.0f};
    relaxed<float> right_factor{1.0f};
    relaxed<float> air{1.0f};
    static constexpr int kLineWords = 15001;
    static constexpr int kLineWrap = 14000;  // a position never reaches this before an access
    float lines[2][kLineWords];
    int32_t positions[2] = {1, 1};
    relaxed<int32_t> lengths[2] = {1800, 1800};
    relaxed<bool> chorus_on{false};

    void ScrollBar_Gain_LeftChange();
    void ScrollBar_Gain_RightChange();
    void ScrollBar_Gain_MonoChange();
    void CheckRadioBox_AirClick();
    void RadioBox_SimpleChorusClick();
    void ScrollBar_SimpleChorusChange();

private:
    void FormCreate();
};

// Right-channel delay of the Simple Chorus for a slider position: SliderFactor x 1800, rounded half
// to even (the line then serves at most kLineWrap samples of it). 0 for a position the law refuses.
int32_t simple_chorus_length(int32_t position);
// The delay the right channel hears for a stored length: at most the line's kLineWrap.
int32_t simple_chorus_heard(int32_t length);

}  // namespace vx
