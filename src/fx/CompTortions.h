// Compressor-distortion: each channel loses its low band (the signal minus a one-pole low-pass of
// itself) and then passes a look-ahead compressor whose envelope is the mean magnitude over a short
// sliding window, with the gain law (g^d + K) / (g^2 + K). A long window is a soft-knee compressor;
// a short one makes the gain follow the waveform, and at one sample it is a pure waveshaper.
// Latency: (h - 1) / 2 samples for a window of h samples, so 0 .. 50 (7 for a new instance).
// Controls:
//   ScrollBar_Drive       "Drive"       0..100, input factor, SliderFactor law (50 = x1, 0 = x1/11, 100 = x11)
//   ScrollBar_Sharp       "Sharp"       1..50, knee K = (51 - p) x 1e7 (5e8 softest .. 1e7 hardest)
//   ScrollBar_Distortion  "Distortion"  0..100, exponent d = 2 - p / 100 (2 = level kept, 1 = level held flat)
//   SkinScroll_Level      "Level"       0..100, output factor, SliderFactor law
//   ScrollBar_Popravka    "Crunch"      0..100, factor on the envelope, SliderFactor law
//   ScrollBar_Softness2   "Softness"    0..50, window h = 101 - 2p samples (0 = 101, 50 = 1)
//   ScrollBar_Color       "Color"       1..100, low-pass coefficient sqrt(p / 100), kept within
//                                       0.001..0.999 (right puts more of the signal into the low band)
// A new instance processes with K = 6e7 and color 0.98 while the sliders show 48 and 70; a field
// follows its slider once the slider is moved.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/effect_unit.h"
#include "engine/forms.h"
#include "pictures.h"

namespace vx {

class TCompTortion_form : public Form {
public:
    TCompTortion_form();

    void create_defaults() {}
    void CompTortion(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    // One-pole low-pass of y[0..n-1] in place, with coefficient c and the channel's memory m.
    static void FNC(float* y, int32_t n, float c, float& m);
    // b^e with integral exponents multiplied out and the others as exp(e ln b).
    static double Power(double b, double e);
    // Knee constant for a Sharp position: (51 - p) x 1e7, as float32.
    static float sharp_of_position(int32_t position);
    // Window h in samples for a Softness position: 101 - 2p.
    static int32_t window_of_position(int32_t position);
    // Exponent for a Distortion position: (100 - p) / 100 + 1, as float32.
    static float exponent_of_position(int32_t position);
    // Low-pass coefficient for a Color position: sqrt(p / 100) as float32, kept within 0.001..0.999.
    static float color_of_position(int32_t position);

    static constexpr int32_t kRing = 501;
    static constexpr int32_t kFloor = 50;  // lowest envelope: keeps g, and so the gain law, away from 0

    Slider ScrollBar_Drive{"ScrollBar_Drive", 0, 100, 50, 1, 10};
    Slider ScrollBar_Sharp{"ScrollBar_Sharp", 1, 50, 48, 1, 5};
    Slider ScrollBar_Distortion{"ScrollBar_Distortion", 0, 100, 75, 1, 10};
    Slider SkinScroll_Level{"SkinScroll_Level", 0, 100, 50, 1, 10};
    Slider ScrollBar_Popravka{"ScrollBar_Popravka", 0, 100, 50, 1, 10};
    Slider ScrollBar_Softness2{"ScrollBar_Softness2", 0, 50, 43, 1, 5};
    Slider ScrollBar_Color{"ScrollBar_Color", 1, 100, 70, 1, 10};
    // The static gain law: output for an input held at each level (the envelope full of it), from the
    // processing's own passes.
    Curve Curve_Law = transfer_curve("Curve_Law", "Static gain law",
                                     "output for an input held at each level, on the 16-bit scale (after the low band is dropped)");
    // Outputs for inputs held at the levels in[0..n-1] (16-bit scale, after the low band is dropped).
    void static_law(const float* in, float* out, int32_t n) const;

    // Written by the handlers, read by the processing.
    relaxed<float> gain_in{0.0f};
    relaxed<float> gain_out{0.0f};
    relaxed<float> sharp_k{0.0f};
    relaxed<float> dist_exp{0.0f};
    relaxed<float> crunch{0.0f};
    relaxed<int32_t> window{0};
    relaxed<float> color{0.0f};

    // Only the audio thread touches these once the instance exists. A new window reaches them through
    // window_request, so that a block never sees indices or envelopes half rewritten.
    float lp_mem_L = 0.0f, lp_mem_R = 0.0f;
    float env_L = 0.0f, env_R = 0.0f;
    float ring_L[kRing] = {};
    float ring_R[kRing] = {};
    int32_t wr_L = 0, mid_L = 0, old_L = 0;
    int32_t wr_R = 0, mid_R = 0, old_R = 0;
    // Per channel, for a block in pieces of at most kScratch frames: the envelope (then the value the
    // gain law is taken of), the output, and the power of the gain law.
    static constexpr int32_t kScratch = 2049;
    float law_in[2][kScratch] = {};
    float tap[2][kScratch] = {};
    double power[2][kScratch] = {};
    // Per channel, the ring laid out in time order with the new samples after it, so that a block
    // reads its window at fixed distances instead of wrapping three indices every sample.
    float line[2][kRing + kScratch] = {};

    void ScrollBar_DriveChange();
    void ScrollBar_SharpChange();
    void ScrollBar_DistortionChange();
    void SkinScroll_LevelChange();
    void ScrollBar_PopravkaChange();
    void ScrollBar_Softness2Change();
    void ScrollBar_ColorChange();

private:
    void FormCreate();
    // Restarts the indices of both channels for a window of h samples, envelopes at `envelope`.
    void restart_window(int32_t h, float envelope);
    // The new window the Softness handler asks for (0: none); the audio thread takes it at the start
    // of its next block.
    std::atomic<int32_t> window_request{0};
};

}  // namespace vx
