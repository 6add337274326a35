// Distortion (Soft/Hard): a two-band waveshaper. Each channel is split by a one-pole low-pass into a
// low band and the rest; both bands go through the same odd, two-slope curve whose knee is blended
// by an arctangent (hard corner to soft bend), and are summed again. Latency: none. Controls:
//   ScrollBar_Gain_In    "Drive"   0..100, SliderFactor law on the input (50 = x1)
//   ScrollBar_Gain_Out   "Level"   0..100, SliderFactor law on the output (50 = x1)
//   ScrollBar_Tone1_k4   "Tone 1"  5000..30000, knee output level (16-bit sample scale)
//   ScrollBar_Tone2_k3   "Tone 2"  50..1000, knee input level (16-bit sample scale)
//   ScrollBar_Smooth_k2  "Smooth"  1..40, knee sharpness 0.2 / position (1 hardest, 40 softest)
//   ScrollBar_Color_M/N  "Color"   1..100, low-pass coefficient sqrt(position / 100) of the left /
//                                  right channel, kept within 0.001..0.999
// A new instance processes with the knee at 1000 -> 10000, sharpness 0.1 and both colors 0.98, whatever
// the sliders show; a slider takes over its field once it is moved.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/effect_unit.h"
#include "engine/forms.h"
#include "pictures.h"

namespace vx {

class TDistortion1_form : public Form {
public:
    TDistortion1_form();

    void create_defaults() {}
    void distortion1(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    // One-pole low-pass of y[0..n-1] in place, with coefficient c and the channel's memory m.
    static void FNC(float* y, int32_t n, float c, float& m);
    // The transfer curve over y[0..n-1] in place: knee at (A, B), sharpness d, top of range to e x 32767.
    static void distortion(float* y, int32_t n, int32_t A, int32_t B, float d, float e);

    // The curve with its setup done once: the two lines, their blend and the scaling. A value y maps
    // to finish(y, atan(arg(y))); the two halves let a block take its arctangents in one pass.
    struct Curve {
        Curve(int32_t A, int32_t B, float d, float e);
        double arg(float y) const { return (static_cast<double>(y >= 0.0f ? y : -y) - a) * dd; }
        float finish(float y, double atan_of_arg) const;
        // The blend of the two lines for an arctangent, and the rest of the curve given that blend.
        static float weight(double atan_of_arg);
        float finish_weighted(float y, float w) const;
        float operator()(float y) const;
        double a, dd, k_span;
        float k_lo, k_hi, c_hi, S, O;
    };

    Slider ScrollBar_Gain_In{"ScrollBar_Gain_In", 0, 100, 50, 1, 10};
    Slider ScrollBar_Gain_Out{"ScrollBar_Gain_Out", 0, 100, 50, 1, 10};
    Slider ScrollBar_Tone1_k4{"ScrollBar_Tone1_k4", 5000, 30000, 15000, 100, 1000};
    Slider ScrollBar_Tone2_k3{"ScrollBar_Tone2_k3", 50, 1000, 500, 10, 50};
    Slider ScrollBar_Smooth_k2{"ScrollBar_Smooth_k2", 1, 40, 10, 1, 5};
    Slider ScrollBar_Color_M{"ScrollBar_Color_M", 1, 100, 70, 1, 10};
    Slider ScrollBar_Color_N{"ScrollBar_Color_N", 1, 100, 70, 1, 10};
    // Input to output on a slow ramp, left (and mono) and right, from a private instance's processing.
    vx::Curve Curve_Transfer = transfer_curve("Curve_Transfer", "Transfer curve",
                                              "input to output on the 16-bit scale, left/mono and right (slow ramp)");

    // Processing state; the handlers write these while the audio thread reads them.
    relaxed<float> out_scale{0.0f};
    relaxed<float> smooth{0.0f};
    relaxed<int32_t> knee_in{0};
    relaxed<int32_t> knee_out{0};
    relaxed<float> gain_in{0.0f};
    relaxed<float> gain_out{0.0f};
    relaxed<float> color_L{0.0f};
    relaxed<float> color_R{0.0f};
    // Only the audio thread touches these.
    float lp_mem_L = 0.0f;
    float lp_mem_R = 0.0f;
    static constexpr int32_t kPiece = 256;  // frames per pass; longer blocks are taken in pieces
    float band_hi[2 * kPiece] = {};
    float band_lo[2 * kPiece] = {};
    double args[4 * kPiece] = {};
    float blend[4 * kPiece] = {};

    void ScrollBar_Gain_InChange();
    void ScrollBar_Gain_OutChange();
    void ScrollBar_Tone1_k4Change();
    void ScrollBar_Tone2_k3Change();
    void ScrollBar_Smooth_k2Change();
    void ScrollBar_Color_MChange();
    void ScrollBar_Color_NChange();
    // The points of Curve_Transfer.
    std::vector<vx::Curve::Series> transfer_series();

private:
    void FormCreate();
    void settle_memories();
    // n frames of Channels interleaved channels, in place.
    template <int Channels>
    void run(float* v, int32_t n, const Curve& curve);
    template <int Channels>
    bool run_settled(float* v, int32_t n, const Curve& curve);
};

// Knee sharpness for a Smooth position: 0.2 / position, as float32.
float smooth_of_position(int32_t position);
// The arctangent the block pass starts from (within 2^-40 of std::atan), for the tests that hold it to that.
double atan_for_curve(double x);
// Low-pass coefficient for a Color position: sqrt(position / 100) as float32, kept within 0.001..0.999.
float color_of_position(int32_t position);

}  // namespace vx
