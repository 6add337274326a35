// Delay: a multi-tap echo without feedback. Each output sample is the dry input plus five echoes of
// the input at D, 2D .. 5D samples, each echo quieter than the one before by the decay ratio, all
// scaled by the output gain; after the fifth echo the sound is gone. In stereo the right channel's
// echoes come half a delay time earlier (D/2, 3D/2 .. 9D/2), so echoes alternate between the sides;
// "Ping pong" replaces that offset by a slow sweep of every tap over 0..600 samples (a triangle of
// 154112 samples), so the echoes drift in time and pitch. Latency: none (the dry signal passes at once).
// Controls:
//   ScrollBar_Delay_Time     "Delay"      0..100, D = position x 520 samples (0 .. 52000)
//   ScrollBar_Delay_Decay    "Decay"      0..100, level ratio of one echo to the one before, position / 100
//   ScrollBar_Delay_Gain     "Gain"       0..100, output gain of dry plus echoes, position / 100
//   ScrollBar_Delay_I_Gain   "Echo Gain"  1..100, level of the first echo, position / 100
//   CheckRadioBox_Small_Flanger "Ping pong"  on: every tap of both channels swept, no right-channel offset
// Times are counted in samples, whatever the sample rate.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/effect_unit.h"
#include "engine/forms.h"
#include "pictures.h"
#include "exact/certify.h"

namespace vx {

class TDelay_form : public Form {
public:
    TDelay_form();

    void create_defaults() {}
    void Delay(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    static constexpr int32_t kStore = 268000;      // circular part of a line
    static constexpr int32_t kLineWords = 269001;  // the rest stays 0.0 and serves swept reads past the end
    static constexpr int32_t kWork = 2049;         // frames per pass; longer blocks are taken in pieces
    static constexpr int32_t kMaxDelay = 52000;
    static constexpr int32_t kSweepTop = 600;

    struct Channel {
        float line[kLineWords] = {};
        int32_t write_pos = 0;
        int32_t read_pos = 0;
        int32_t sweep_offset = 0;
        int32_t sweep_count = 0;
        int32_t sweep_dir = 1;
        float work[kWork] = {};
    };
    Channel L;  // mono and left
    Channel R;  // right

    // The per-channel routines over the first frameCount samples of L.work / R.work.
    void Delay_RT(int32_t frameCount, int32_t D);
    void Delay_RT1(int32_t frameCount, int32_t D);

    Slider ScrollBar_Delay_Time{"ScrollBar_Delay_Time", 0, 100, 25, 1, 10};
    Slider ScrollBar_Delay_Decay{"ScrollBar_Delay_Decay", 0, 100, 40, 1, 10};
    Slider ScrollBar_Delay_Gain{"ScrollBar_Delay_Gain", 0, 100, 60, 1, 10};
    Slider ScrollBar_Delay_I_Gain{"ScrollBar_Delay_I_Gain", 1, 100, 45, 1, 10};
    CheckBox CheckRadioBox_Small_Flanger{"CheckRadioBox_Small_Flanger", "  Ping pong", false};
    // The dry signal and the five taps of each channel: a bar at each time (ms) with its gain.
    Curve Curve_Taps{"Curve_Taps", "Dry and taps", "the dry signal and the five taps as bars: time in ms and gain, left and right",
                     {"ms", 0.0, 1000.0}, {"gain", 0.0, 1.0}};
    std::vector<Curve::Series> tap_series();
    FormTimer Timer_Rate{500};

    // Written by the handlers, read by the audio thread.
    relaxed<int32_t> delay_samples{0};
    relaxed<float> decay{0.0f};
    relaxed<float> echo_gain{0.0f};
    relaxed<float> tap_gain[6] = {};
    // Odd while the handlers rewrite tap_gain: a block never takes half an old set and half a new
    // one (it keeps the set it had instead).
    std::atomic<uint32_t> tap_gain_writing{0};
    relaxed<float> out_gain{0.0f};
    relaxed<int32_t> sweep_on{0};

    // Where the processor has AVX2, the unswept taps run eight to a register (the same bits); tests
    // switch it off to compare the two paths.
    bool vector_path = exact::has_avx2();

    void ScrollBar_Delay_TimeChange();
    void ScrollBar_Delay_DecayChange();
    void ScrollBar_Delay_GainChange();
    void ScrollBar_Delay_I_GainChange();
    void CheckRadioBox_Small_FlangerClick();

private:
    int32_t taps_rate_ = 0;  // the rate Curve_Taps was computed at
    void FormCreate();
    // Both the Decay and the Echo Gain handler: the tap gains from both sliders' positions.
    void recompute_tap_gains();
    template <bool Right>
    void run(Channel& c, int32_t n, int32_t D);
    // The audio thread's copy of the tap gains, taken whole at the start of each block.
    float taps_[5] = {};
    void take_tap_gains();
};

// The laws of the sliders: D in samples for a Delay position, and position / 100 as float32 (Decay,
// Gain, Echo Gain).
int32_t delay_time_samples(int32_t position);
float delay_percent_law(int32_t position);

// One tap added to an accumulator: acc + sample x gain in extended precision, rounded to float32.
float delay_tap_add(float acc, float sample, float gain);

}  // namespace vx
