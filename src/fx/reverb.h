// Reverberator: adds a room tail to the guitar. The input feeds a bank of parallel feedback combs
// (12 in mono; 8 per side in stereo, the right side a few samples longer or shorter so the two tails
// differ), each with a low-pass in its loop that dulls every repeat; the comb sum, scaled by 0.2,
// passes a one-pole low-pass and a pure pre-delay and is added to the dry signal. The dry signal
// passes at once (latency 0); the first reflection comes 1116 + pre-delay samples later.
// Controls (Mono moves Left and Right to its own position):
//   ScrollBar_Gain_Mono/_Left/_Right            0..100, wet level, SliderFactor law (50 = x1)
//   ScrollBar_Mono_Delay/_Left_/_Right_Delay    10..4999, pre-delay in samples
//   ScrollBar_Mono_Decay/_Left_/_Right_Decay    5..99, comb feedback, position / 100
//   ScrollBar_Mono_Brightness                   1..100, wet low-pass coefficient sqrt(position / 100);
//                                               100 holds the wet signal at its last value
//   ScrollBar_Left_Brightness                   0..100, damping in the combs, sqrt(position / 100);
//                                               0 = no damping, 100 = the damping filters freeze
//   ScrollBar_Right_Brightness                  0..100, hidden, does nothing
// Mono streams use the Mono gain, delay and tone with the Left decay. A new instance starts with
// wet gains 1.0, tone coefficients 0.75 / 0.75 / 0.0 (the right side unfiltered) and damping 0.05,
// whatever its sliders show. Lengths are in samples at any sample rate.
#pragma once

#include <cstdint>

#include "engine/effect_unit.h"
#include "engine/forms.h"
#include "pictures.h"

namespace vx {

class Treverb_form : public Form {
public:
    Treverb_form();

    void create_defaults();
    void rever(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    static constexpr int32_t kCombWords = 2501;
    static constexpr int32_t kPostWords = 5001;
    static constexpr int32_t kMinPost = 10;
    static constexpr int32_t kMaxPost = 4999;
    static constexpr int32_t kCombsL = 12;
    static constexpr int32_t kCombsR = 8;
    static constexpr int32_t kLengthsL[kCombsL] = {1116, 1188, 1277, 1356, 1422, 1491,
                                                   1557, 1617, 1669, 1747, 1811, 1901};
    static constexpr int32_t kLengthsR[kCombsR] = {1117, 1187, 1279, 1327, 1423, 1489, 1559, 1613};

    template <int N>
    struct CombBank {
        float comb_line[N][kCombWords] = {};
        int32_t comb_pos[N] = {};
        int32_t comb_len[N] = {};
        float comb_filt[N] = {};
    };
    CombBank<kCombsL> bankL;  // mono (all 12) and left (0..7)
    CombBank<kCombsR> bankR;  // right

    // Wet output stage; M and L share one.
    struct Post {
        float tone_state = 0.0f;
        float post_line[kPostWords] = {};
        int32_t post_pos = 0;
    };
    Post postML;
    Post postR;

    Slider ScrollBar_Gain_Mono{"ScrollBar_Gain_Mono", 0, 100, 50, 1, 10};
    Slider ScrollBar_Gain_Left{"ScrollBar_Gain_Left", 0, 100, 50, 1, 10};
    Slider ScrollBar_Gain_Right{"ScrollBar_Gain_Right", 0, 100, 50, 1, 10};
    Slider ScrollBar_Mono_Delay{"ScrollBar_Mono_Delay", kMinPost, kMaxPost, 10, 1, 100};
    Slider ScrollBar_Left_Delay{"ScrollBar_Left_Delay", kMinPost, kMaxPost, 10, 1, 100};
    Slider ScrollBar_Right_Delay{"ScrollBar_Right_Delay", kMinPost, kMaxPost, 10, 1, 100};
    Slider ScrollBar_Mono_Decay{"ScrollBar_Mono_Decay", 5, 99, 75, 1, 10};
    Slider ScrollBar_Left_Decay{"ScrollBar_Left_Decay", 5, 99, 75, 1, 10};
    Slider ScrollBar_Right_Decay{"ScrollBar_Right_Decay", 5, 99, 75, 1, 10};
    Slider ScrollBar_Mono_Brightness{"ScrollBar_Mono_Brightness", 1, 100, 75, 1, 10};
    Slider ScrollBar_Left_Brightness{"ScrollBar_Left_Brightness", 0, 100, 75, 1, 10};
    Slider ScrollBar_Right_Brightness{"ScrollBar_Right_Brightness", 0, 100, 75, 1, 10};

    // Written by the handlers, read by the audio thread. Index 0 mono, 1 left, 2 right.
    relaxed<float> wet_gain[3] = {};
    relaxed<float> tone_coef[3] = {};
    relaxed<int32_t> post_len[3] = {};
    relaxed<float> decay[3] = {};  // [0] saved and restored only; the mono path runs on the left decay
    relaxed<float> damp1{0.0f};
    relaxed<float> damp2{0.0f};

    void ScrollBar_Gain_MonoChange();
    void ScrollBar_Gain_LeftChange();
    void ScrollBar_Gain_RightChange();
    void ScrollBar_Mono_DelayChange();
    void ScrollBar_Left_DelayChange();
    void ScrollBar_Right_DelayChange();
    void ScrollBar_Mono_DecayChange();
    void ScrollBar_Left_DecayChange();
    void ScrollBar_Right_DecayChange();
    void ScrollBar_Mono_BrightnessChange();
    void ScrollBar_Left_BrightnessChange();
    void ScrollBar_Right_BrightnessChange() {}

    // The decay of the tail: energy over time of an impulse response that a private instance renders
    // (1 s), mono, left and right. Stale again once the sliders have rested for kDecayRest ticks.
    Curve Curve_Decay{"Curve_Decay", "Decay of the tail",
                      "energy in dB over time (ms) of the reverb's impulse response (1 s), mono, left and right",
                      {"ms", 0.0, 1000.0}, {"dB", -100.0, 0.0}};
    FormTimer Timer_Decay{100};
    static constexpr int kDecayRest = 3;
    static constexpr int32_t kDecayWindowMs = 20;
    std::vector<Curve::Series> decay_series();

    // Frames per pass: less than the shortest comb, so a pass reads no comb entry it writes.
    static constexpr int32_t kChunk = 512;
    struct Scratch {
        float dry[2][kChunk];
        float wet[2][kChunk];
        // Comb outputs, then the values the combs store: rows 0..11 the mono combs, or rows 0..7
        // the left and 8..15 the right ones.
        alignas(32) float taps[16][kChunk];
    };

private:
    int decay_wait_ = 0;  // ticks until Curve_Decay is drawn again (0: none pending)
    int32_t decay_rate_ = 0;
    void FormCreate();
    Scratch scratch_;
    // Clears every non-finite memory; called after a block whose input could have made one.
    void clear_non_finite();
};

// The laws of the sliders: position / 100 (Decay) and sqrt(position / 100) (Brightness), both in
// extended precision, as float32.
float reverb_percent(int32_t position);
float reverb_root_percent(int32_t position);

}  // namespace vx
