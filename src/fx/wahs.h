// Wah: an automatic wah pedal. A resonant four-pole low-pass sweeps its cut-off up and down
// exponentially between a start and a stop point, so the tone opens and closes on its own, then
// an output level. The right channel of a stereo stream uses 1.1 times the left channel's filter
// frequency at the same sweep position, which widens the sound. Latency: none. Controls:
//   ScrollBar_Fc           1..190, start (lower turning point), normalised cut-off p / 200
//   ScrollBar_deviation    1..190, stop (upper turning point), p / 200
//   ScrollBar_res          1..39, resonance p / 10
//   ScrollBar_Speed        1..199, cut-off factor per sweep step 1 + p x 0.000006 (rising) and its
//                          reciprocal (falling); a step is a sample in mono, a frame in stereo
//   ScrollBar_Level        1..100, output factor, SliderFactor law (50 = x1, 1 = x1/10.8, 100 = x11)
//   CheckRadioBox_Sweep_OnOff  off: the cut-off stays where it is
// The filter's f is held below the point where its resonance would grow without bound (the right
// channel's 1.1 x f passes it at high stop settings); below that point nothing changes.
// A new instance sweeps by 1.0001 per step (not the 1.0006 of the Speed slider's position) from
// 0.1 between 0.05 and 0.25, with resonance 3.
#pragma once

#include <cstdint>

#include "engine/effect_unit.h"
#include "engine/forms.h"
#include "laws.h"
#include "pictures.h"

namespace vx {

// The frequency in Hz at which the filter's loop turns the phase by half a cycle, where its resonance
// peaks: the cut-off the picture shows for a normalised cut-off, resonance and rate.
double wah_cutoff_hz(double cutoff, double res, double rate);

class Twah_form : public Form {
public:
    Twah_form();

    void create_defaults() {}
    void wah(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    // One channel of a block, sweeping and filtering in place: mono, stereo left, stereo right.
    // (wah runs both stereo channels in one pass with the same results.)
    void filter_fnc_1(int32_t count, float* samples);
    void filter_fnc_2(int32_t frames, float* buffer);
    void filter_fnc_3(int32_t frames, float* buffer);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    Slider ScrollBar_Fc{"ScrollBar_Fc", 1, 190, 10, 1, 1};
    Slider ScrollBar_deviation{"ScrollBar_deviation", 1, 190, 50, 1, 1};
    Slider ScrollBar_res{"ScrollBar_res", 1, 39, 30, 1, 1};
    Slider ScrollBar_Speed{"ScrollBar_Speed", 1, 199, 100, 1, 1};
    Slider ScrollBar_Level{"ScrollBar_Level", 1, 100, 50, 1, 1};
    CheckBox CheckRadioBox_Sweep_OnOff{"CheckRadioBox_Sweep_OnOff", "Sweep On/Off", true};
    // The sweep range on a frequency axis, the cut-off where the engine has it and the filter's
    // response there (left channel; the right one sits 1.1 times higher).
    Curve Curve_Sweep{"Curve_Sweep", "Sweep",
                      "the sweep range in Hz, the current cut-off (moving while the engine runs) and the filter's response there",
                      frequency_axis(), {"dB", -48.0, 30.0}};
    std::vector<Curve::Series> sweep_series();
    // The cut-off (normalised) at the end of the last block, for the picture.
    relaxed<double> shown_cutoff{0.1};
    // Draws the cut-off again when it moved.
    FormTimer Timer_Sweep{100};

    // Written by the handlers, read by the processing once per block.
    relaxed<float> level{0.0f};
    relaxed<double> res{0.0};
    relaxed<bool> sweep_on{false};
    relaxed<float> start{0.0f};
    relaxed<float> stop{0.0f};
    relaxed<float> up_factor{0.0f};
    relaxed<float> down_factor{0.0f};
    // Only the processing touches these after FormCreate.
    double cutoff_left = 0.0;
    double cutoff_right = 0.0;
    FourPoleLowpass state_left;
    FourPoleLowpass state_right;
    float step_left = 0.0f;
    float step_right = 0.0f;

    // One chunk's filter coefficients f and fb per frame (from the sweep's cut-off of each frame),
    // left and right side by side.
    static constexpr int32_t kChunk = 128;
    struct Coefficients {
        alignas(64) double f[kChunk][2];
        alignas(64) double fb[kChunk][2];
    };

    void ScrollBar_FcChange();
    void ScrollBar_deviationChange();
    void ScrollBar_resChange();
    void ScrollBar_SpeedChange();
    void ScrollBar_LevelChange();
    void CheckRadioBox_Sweep_OnOffClick();

private:
    double drawn_cutoff_ = -1.0;  // where Curve_Sweep last showed the cut-off
    int32_t drawn_rate_ = 0;
    void FormCreate();
    void settle_memories();
    // Channels 1: mono; 0: one channel of a stereo buffer (Right picks which); 2: both.
    template <int Channels, bool Right>
    void run(int32_t frames, float* buffer, double& cutoff, float& step);

    Coefficients coef{};
};

// A turning point (start, stop) for its slider position: position / 200, as float32; a normalised
// cut-off (1 = half the rate).
float wah_turning_point(int32_t position);
// Resonance for a ScrollBar_res position: position / 10.
double wah_resonance(int32_t position);
// Rising sweep factor for a ScrollBar_Speed position: 1 + p x 0.000006 (extended), as float32.
float wah_up_factor(int32_t position);
// Falling factor: the reciprocal of the stored rising one, as float32.
float wah_down_factor(float up);

}  // namespace vx
