// Noise gate: lets a played note through at full gain and pulls the hum and hiss between notes
// down to a suppressed level. An envelope follower feeds two counters: more than 10 samples above
// the opening threshold open the gate, more than 1000 below the closing threshold close it, and in
// between the gate keeps what it was doing (hysteresis). The gain rises with weight 0.1 per sample
// and falls with 0.01. A stereo stream is gated as one interleaved stream: both channels share one
// envelope and one gain. Latency: none. Controls:
//   ScrollBar_Gain_In      0..100, input factor, SliderFactor law (50 = x1, 0 = x1/11, 100 = x11)
//   ScrollBar_Porog_Max    4..100, opening threshold exp((p - 1) x 0.1050223) on the 16-bit sample
//                          scale (1.37 .. 32768, about 0.91 dB a step; the label's dB is nominal)
//   ScrollBar_min_porog    4..100, closing threshold, the same law
//   ScrollBar_Supress      0..100, gain of the closed gate 0.1 x SliderFactor(100 - p): 1.1 .. 0.00909
//   ScrollBar_Gain_Out     0..100, output factor, SliderFactor law
// A new instance starts from thresholds 1000 and 100, not from what the sliders' positions give.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/effect_unit.h"
#include "engine/forms.h"

namespace vx {

class Tnoise_gate_form : public Form {
public:
    Tnoise_gate_form();

    void create_defaults() {}
    void noise_gate(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    // Gates `count` consecutive samples of one stream in place, each first scaled by in_factor and
    // afterwards by out_factor.
    void noise_gate_0(int32_t count, float* samples, float in_factor = 1.0f, float out_factor = 1.0f);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    Slider ScrollBar_Gain_In{"ScrollBar_Gain_In", 0, 100, 50, 1, 1};
    Label Label_Porog_Max{"Label_Porog_Max", "Pass signals greater than -33 dB    "};
    Slider ScrollBar_Porog_Max{"ScrollBar_Porog_Max", 4, 100, 67, 1, 1};
    Label Label_porog_min{"Label_porog_min", "Supress noise smaller than -55 dB  "};
    Slider ScrollBar_min_porog{"ScrollBar_min_porog", 4, 100, 45, 1, 1};
    Slider ScrollBar_Supress{"ScrollBar_Supress", 0, 100, 50, 1, 1};
    Slider ScrollBar_Gain_Out{"ScrollBar_Gain_Out", 0, 100, 50, 1, 1};

    // Written by the handlers, read by the processing.
    relaxed<float> input_factor{0.0f};
    relaxed<float> output_factor{0.0f};
    relaxed<float> open_threshold{0.0f};
    relaxed<float> close_threshold{0.0f};
    relaxed<float> suppressed_gain{0.0f};
    // Only the processing touches these after FormCreate.
    int32_t open_counter = 0;
    int32_t close_counter = 0;
    float gain = 0.0f;
    float release_coefficient = 0.0f;
    float attack_coefficient = 0.0f;
    float envelope = 0.0f;
    float open_hold = 0.0f;
    float close_hold = 0.0f;
    float target_gain = 0.0f;  // FormCreate leaves it at 0: a new gate starts by closing

    void ScrollBar_Gain_InChange();
    void ScrollBar_Porog_MaxChange();
    void ScrollBar_min_porogChange();
    void ScrollBar_SupressChange();
    void ScrollBar_Gain_OutChange();

private:
    void FormCreate();
};

// Threshold for a slider position: exp((p - 1) x 0.1050223), in extended precision, as float32.
float gate_threshold(int32_t position);
// Gain of the closed gate for a Noise Supression position: 0.1 x SliderFactor(100 - p); nothing for a
// position the law refuses.
std::optional<float> gate_suppressed_gain(int32_t position);
// The threshold labels' captions for a slider position.
std::string open_threshold_caption(int32_t position);
std::string close_threshold_caption(int32_t position);

}  // namespace vx
