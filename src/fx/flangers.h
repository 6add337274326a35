// Flanger / Chorus: adds to the guitar a copy of itself taken from a short delay line whose delay
// sweeps up and down in a slow triangle between about 1 and 301 samples, with part of that copy fed
// back into the line: the jet-plane whoosh of a flanger, deeper as the feedback rises. Each channel
// has its own line and sweep; "Gang" locks the right sweep speed to the left one. "Chorus" passes the
// swept copy through a further fixed delay of 167..19800 samples before it is heard and fed back,
// which turns the sweep into a doubled, detuned second voice. Latency: none (the dry signal passes at
// once). Controls:
//   ScrollBar_Flanger_Level    "Level"          1..100, gain of the swept copy, position / 50 (x0.02 .. x2)
//   ScrollBar_Flanger_Speed    "Sweep Speed"    1..100, left (and mono) sweep, position x 0.0002 samples
//                                               of delay per sample (a triangle of 600 / speed samples)
//   ScrollBar_Flanger_Speed_R  right sweep      1..100, as the left; follows the left while ganged
//   CheckRadioBox_Gang         on: the right sweep takes the left one's speed
//   ScrollBar_Flanger_Tone     "Flanger Tone"   0..48, feedback position / 50 (0 .. 0.96)
//   ScrollBar_ChorusTone       "Chorus Tone"    1..100, chorus delay SliderFactor x 1800 samples
//                                               (167 at 1, 1800 at 50, 19800 at 100)
//   RadioBox_Chorus            on: the chorus delay is in the path
// Times are counted in samples, whatever the sample rate. A new instance sweeps at 0.0075 per
// sample (a triangle of 80000 samples), not at the 0.002 its speed sliders show, until one is moved.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/effect_unit.h"
#include "engine/forms.h"

namespace vx {

class Tflanger_form : public Form {
public:
    Tflanger_form();

    void create_defaults() {}
    void flanger(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    // One channel in place over `frameCount` contiguous samples: L (mono, left) and R (right).
    // (flanger runs both stereo channels in one pass, with the same results.)
    void Flanger_RT(int32_t frameCount, float* samples);
    void Flanger_RT1(int32_t frameCount, float* samples);
    // One step of chorus delay k (0 = L, 1 = R): stores value, returns the one that leaves.
    float delay_d(int32_t k, float value);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    static constexpr int32_t kLine = 4096;
    static constexpr int32_t kChorusWords = 20001;
    static constexpr int32_t kChorusFilled = 15000;  // entries that start at 1.0
    static constexpr float kSweepTop = 300.0f;

    struct Channel {
        float line[kLine] = {};
        int32_t write_pos = 301;
        float phase = 0.0f;  // fractional read position in line
        int32_t idx0 = 1, idx1 = 0;
        float sweep = 0.001f;  // how far the delay is shortened from 301 samples
        // Signed: its sign is the sweep's direction. Handlers write it and the processing flips it.
        std::atomic<float> speed{0.0075f};
        relaxed<float> feedback{0.5f};
        float last_tap = 0.0f;
        float chorus_line[kChorusWords];
        int32_t chorus_pos = 1;
        relaxed<int32_t> chorus_len{1800};
    };
    Channel L;  // mono and left
    Channel R;  // right

    relaxed<float> level{0.5f};
    relaxed<bool> chorus_on{false};
    // Stereo blocks run both channels side by side in vector registers where the processor has
    // them, with the same results; tests switch it off to compare.
    bool vector_path = false;

    Slider ScrollBar_Flanger_Level{"ScrollBar_Flanger_Level", 1, 100, 25, 1, 10};
    Slider ScrollBar_Flanger_Speed{"ScrollBar_Flanger_Speed", 1, 100, 10, 1, 10};
    Slider ScrollBar_Flanger_Speed_R{"ScrollBar_Flanger_Speed_R", 1, 100, 10, 1, 10};
    CheckBox CheckRadioBox_Gang{"CheckRadioBox_Gang", "  Gang", true};
    Slider ScrollBar_Flanger_Tone{"ScrollBar_Flanger_Tone", 0, 48, 25, 1, 4};
    Slider ScrollBar_ChorusTone{"ScrollBar_ChorusTone", 1, 100, 50, 1, 10};
    CheckBox RadioBox_Chorus{"RadioBox_Chorus", "  Chorus", false};

    void ScrollBar_Flanger_LevelChange();
    void ScrollBar_Flanger_SpeedChange();
    void ScrollBar_Flanger_Speed_RChange();
    void CheckRadioBox_GangClick();
    void ScrollBar_Flanger_ToneChange();
    void ScrollBar_ChorusToneChange();
    void RadioBox_ChorusClick();

private:
    void FormCreate();
};

// Level and feedback for a slider position: position / 50 (extended), as float32.
float flanger_ratio(int32_t position);
// Sweep speed for a speed slider position: position x 0.0002 (extended), as float32.
float flanger_speed(int32_t position);
// Chorus delay for a Chorus Tone position: SliderFactor x 1800, rounded half to even; 0 for a
// position the law refuses.
int32_t flanger_chorus_length(int32_t position);

}  // namespace vx
