// Distortion (Simple): a two-band distortion. A one-pole low-pass splits each sample into a low band
// and the rest; each band is shaped on its own, the bands are added again and an output level
// scales the whole block. Latency: none.
//   Mono:   a threshold limiter with a slope above the threshold (default), a power-law soft clip
//           (x^0.85, only from a stored block) or, with Soft Limiter on, a capacitor-and-diode
//           circuit that acts as a 16 Hz high-pass which pulls loud swings back hard; the limiter
//           and the power law smooth each band with a one-pole low-pass afterwards.
//   Stereo: a hard clip at +-threshold (default) or, with Soft Limiter on, a x^0.707 soft clip;
//           each channel has its own band split.
// Controls of the editor page (0..100, each stored for the page to show again):
//   Page_porog    "Threshold"    threshold N x sqrt(N), rounded: 0..1000 on the 16-bit sample scale
//   Page_gain     "Level"        output x11 at 0, x1 at 50, x1/11 at 100
//   Page_color    "Color"        mono band-split coefficient N / 100 (0.001..0.999, higher: lower corner)
//   Page_colorl   "Color left"   left band-split coefficient sqrt(N / 100) (0.001..0.999)
//   Page_colorr   "Color right"  right band-split coefficient sqrt(N / 100) (0.001..0.999)
// Further controls (the "Advanced" group), q(p) = sqrt(p / 100) kept within 0.001..0.999:
//   ScrollBar_Limiter_Porog  1..5000   threshold on the 16-bit sample scale
//   ScrollBar_Koeff          0..100    mono and left band-split coefficient q
//   ScrollBar_koeff_R        0..100    right band-split coefficient q; mono slope above the threshold 0.2 q
//   ScrollBar_FNC_1          0..100    mono low band smoothing coefficient q
//   ScrollBar_FNC_2          1..100    mono high band smoothing coefficient q
//   CheckBox_soft_limiter    on: circuit (mono) / x^0.707 (stereo)
// A new instance processes with threshold 500, level x1, every split at 0.98, slope 0 (hard clip),
// smoothing 0.1 and 0.71, whatever the controls show; a control takes over its field once moved.
// A restored block sets the fields and leaves every control where it was.
#pragma once

#include <cstdint>
#include <string>

#include "engine/effect_unit.h"
#include "engine/forms.h"
#include "pictures.h"

namespace vx {

class Tlimiter_form : public Form {
public:
    Tlimiter_form();

    void create_defaults();
    void limiter(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    // One step of the circuit; returns the output sample.
    float Rotalumis(float x);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    // The one place where a page title ("porog =N", "gain =N", ...) becomes a setting; the page
    // sliders below come through here too.
    void Page_TitleChange(const std::string& title);

    Slider Page_porog{"Page_porog", 0, 100, 0, 1, 10};
    Slider Page_gain{"Page_gain", 0, 100, 0, 1, 10};
    Slider Page_color{"Page_color", 0, 100, 0, 1, 10};
    Slider Page_colorl{"Page_colorl", 0, 100, 0, 1, 10};
    Slider Page_colorr{"Page_colorr", 0, 100, 0, 1, 10};

    Slider ScrollBar_Limiter_Porog{"ScrollBar_Limiter_Porog", 1, 5000, 500, 1, 100};
    Slider ScrollBar_Koeff{"ScrollBar_Koeff", 0, 100, 0, 1, 10};
    Slider ScrollBar_koeff_R{"ScrollBar_koeff_R", 0, 100, 0, 1, 10};
    Slider ScrollBar_FNC_1{"ScrollBar_FNC_1", 0, 100, 0, 1, 10};
    Slider ScrollBar_FNC_2{"ScrollBar_FNC_2", 1, 100, 1, 1, 10};
    CheckBox CheckBox_soft_limiter{"CheckBox_soft_limiter", "Soft Limiter", false, true};
    // Input to output on a slow ramp, mono and stereo, from a private instance's processing.
    Curve Curve_Transfer = transfer_curve("Curve_Transfer", "Transfer curve",
                                          "input to output on the 16-bit scale, mono and stereo (slow ramp)");

    // Settings; the handlers write these while the audio thread reads them.
    relaxed<float> threshold{0.0f};
    relaxed<float> out_gain{0.0f};
    relaxed<float> split_coef{0.0f};
    relaxed<float> split_coef_L{0.0f};
    relaxed<float> split_coef_R{0.0f};
    relaxed<float> knee_slope{0.0f};
    relaxed<float> low_smooth{0.0f};
    relaxed<float> high_smooth{0.0f};
    relaxed<int32_t> shape_mode{0};  // 1 soft, 2 mono power law, anything else limiter
    // What the page shows; the processing never reads these.
    int32_t editor_values[5] = {};

    // Only the audio thread touches these.
    float split_state = 0.0f;
    float low_state = 0.0f;
    float high_state = 0.0f;
    float split_state_L = 0.0f;
    float split_state_R = 0.0f;
    double cap_voltage = 0.0;

    void ScrollBar_Limiter_PorogChange();
    void ScrollBar_KoeffChange();
    void ScrollBar_koeff_RChange();
    void ScrollBar_FNC_1Change();
    void ScrollBar_FNC_2Change();
    void CheckBox_soft_limiterClick();
    // The points of Curve_Transfer.
    std::vector<Curve::Series> transfer_series();

    // Frames per pass over the scratch bands; longer blocks are taken in pieces.
    static constexpr int32_t kScratch = 512;

protected:
    void FormShow() override;

private:
    void FormCreate();
    void page_slider_moved(int index);
    void mono(float* x, int32_t n, int32_t mode);
    void stereo(float* x, int32_t n, int32_t mode);
    void circuit(float* x, int32_t n);
    // Bands of one pass: lo/hi per channel, the powers' results, and the samples they could not
    // certify.
    float band_lo[2][kScratch] = {};
    float band_hi[2][kScratch] = {};
    float shaped[kScratch] = {};
    int32_t unsure[kScratch] = {};
    // The page sliders follow editor_values at the first show without sending titles.
    bool showing_page_ = false;
};

// q(p): sqrt(p / 100) as float32, then above 0.999 -> 0.999, below 0.001 -> 0.001.
float limiter_coef_of_position(int32_t position);

// The page's laws for a position n (0..100): threshold nearbyint(n x sqrt(n)), level SliderFactor(100 - n),
// mono split n / 100 kept within 0.001..0.999.
float limiter_page_threshold(int32_t n);
float limiter_page_level(int32_t n);
float limiter_page_color(int32_t n);
// The Advanced threshold for its position, and the mono slope above it for the right split coefficient.
float limiter_threshold(int32_t position);
float limiter_slope(float right_coef);

// The mono limiter on one band value: above T the slope is s, below -T likewise.
float limiter_limit(float v, float T, float s);

// The circuit's current for the voltage e across its resistor: e / 100000 below
// 500, above it ((|e| - 500)^1.85 / 100000 + 0.005) with the sign of e; 0 for e not a number.
float circuit_current(double e);

// v^e for the shaping (e = 0.707 or 0.85, extended precision), odd: -(-v)^e below 0; 0 stays 0.
float limiter_power(float v, long double e);

// The same for n values at once. Most are computed fast in double and certified to round to the
// float32 that the extended-precision power rounds to; those that cannot be are computed exactly.
// Returns how many needed the exact path.
int32_t limiter_powers(const float* in, float* out, int32_t* unsure, int32_t n, long double e);

}  // namespace vx
