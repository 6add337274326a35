// Distortion Plus: a multi-band distortion. After Drive, each channel is split by 16 band-pass
// filters 100 Hz apart (centres 50, 150 .. 1550 Hz, designed at 48000 Hz, so at another rate every
// band moves by rate / 48000); each band may be folded back (Standard), limited (True) and filtered
// again an octave up (Filter 2), and the bands are summed with a gain each. Level follows.
// A mono stream and the right channel of a stereo one run through bank 0 (the upper equalizer row),
// the left channel through bank 1 (the middle row). With Filter 2 on, bank 1 filters each band with
// the next band's band-pass and drops its two highest bands: stored presets sound by that.
// Latency: none. Controls:
//   ScrollBar0 .. ScrollBar15              0..100, band gain of bank 0: x11 at the top (0), x1 at 50,
//                                          x1/11 at the bottom (100); with Gang it drags the row below
//   spSkinScrollBar1 .. spSkinScrollBar16  0..100, band gain of bank 1, the same law
//   spSkinScrollBar17 .. spSkinScrollBar32 0..100, True threshold of band 0..15 on the 16-bit sample
//                                          scale: exp((99 - p) x 0.1050223), 32768 at 0, 1 at 99
//                                          (a new instance limits at 200 whatever the sliders show)
//   ScrollBar_gain_In  "Drive"   0..100, input gain x1/11 .. x11, 50 = x1
//   ScrollBar_gain_Out "Level"   0..100, output gain x1/11 .. x11, 50 = x1
//   Standard (fold-back above 200), True (limiter, slope 0.01 above the threshold), Filter 2, Gang
//   64 frequency boxes and the band boxes of Filter 2 (bank 0); the boxes show and keep numbers only,
//   the filters keep the frequencies they were designed with.
// "MTEQ.ini" in the program folder: read when an instance is made, written when its window closes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/effect_unit.h"
#include "engine/forms.h"
#include "pictures.h"

namespace vx {

constexpr int kPlusBands = 16;
constexpr int32_t kMixChunk = 64;  // frames whose weighted bands are kept before they are summed

// One bank of 16 band-pass filters with its Filter 2 stage. Filter memories are the audio thread's;
// frequencies are the editor's (the coefficients never change after creation).
struct MultiBank {
    int32_t count = kPlusBands;
    float fold_level = 200.0f;
    float bp_fc[kPlusBands] = {}, bp_bw[kPlusBands] = {};
    float bp_a0[kPlusBands] = {}, bp_a1[kPlusBands] = {}, bp_a2[kPlusBands] = {};
    float bp_x1[kPlusBands] = {}, bp_x2[kPlusBands] = {}, bp_y1[kPlusBands] = {}, bp_y2[kPlusBands] = {};
    float band_out[kPlusBands] = {};
    float eq_fc[kPlusBands] = {}, eq_bw[kPlusBands] = {};
    float eq_a0[kPlusBands] = {}, eq_a1[kPlusBands] = {}, eq_a2[kPlusBands] = {};
    float eq_x1[kPlusBands] = {}, eq_x2[kPlusBands] = {}, eq_y1[kPlusBands] = {}, eq_y2[kPlusBands] = {};
    float eq_out[kPlusBands] = {};
    double mix = 0.0;

    // Zeroes every memory; only for memories that went non-finite.
    void clear_memories();
    bool memories_finite() const;
};

// Threshold of a True slider position, as float32.
float plus_threshold(int32_t position);
// Band gain for a band slider position: SliderFactor(100 - p), x11 at the top.
std::optional<float> plus_band_gain(int32_t position);
// Whether this processor runs the AVX2 + FMA kernel (same bits as the plain one).
bool plus_vector_available();

class TMultiTortion_form : public Form {
public:
    TMultiTortion_form();

    void create_defaults() {}
    void MultiTortion(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    // Band designs at `rate` (always 48000 from FormCreate).
    void init_mb_dsp(float rate);
    void init_EQ_dsp(float rate);
    void init_mb_dsp_1(float rate);
    // One channel in place through bank 0 or bank 1, without Drive and Level.
    void mb_dsp(float* s, int32_t n);
    void mb_dsp_1(float* s, int32_t n);

    MultiBank bank0, bank1;

    // Processing fields the handlers write and the audio thread reads.
    relaxed<float> gain_in{1.0f};
    relaxed<float> gain_out{1.0f};
    relaxed<bool> use_standard{false};
    relaxed<bool> use_true{false};
    relaxed<int32_t> use_filter2{0};
    relaxed<float> porog[kPlusBands];
    float true_slope = 0.01f;
    relaxed<float> eq_gain0[kPlusBands];
    relaxed<float> eq_gain1[kPlusBands];
    relaxed<bool> eq_on[kPlusBands];
    bool gang = true;
    // The weighted bands of up to kMixChunk frames of each channel; the audio thread's.
    alignas(64) double mix_scratch[2 * kMixChunk * kPlusBands] = {};
    // The AVX2 kernel where the processor has it; tests turn it off to check both give the same bits.
    bool vector_path = plus_vector_available();

    // --- controls ---
    // Upper row (bank 0), middle row (bank 1) and threshold row: spSkinScrollBar[1..32], [0] unused.
    std::array<std::unique_ptr<Slider>, kPlusBands> ScrollBar;
    std::array<std::unique_ptr<Slider>, 33> spSkinScrollBar;
    Slider ScrollBar_gain_In{"ScrollBar_gain_In", 0, 100, 50, 1, 1};
    Slider ScrollBar_gain_Out{"ScrollBar_gain_Out", 0, 100, 50, 1, 1};
    CheckBox CheckBox_Standard{"CheckBox_Standard", "  Standard", false};
    CheckBox CheckBox_True{"CheckBox_True", "  True", false};
    CheckBox CheckBox_Filter2{"CheckBox_Filter2", "  Filter 2", false};
    CheckBox Gang{"Gang", "  Gang   ", true};
    // spSkinButton[1..11], [0] unused.
    std::array<std::unique_ptr<Button>, 12> spSkinButton;
    Header spSkinHeaderControl1{"spSkinHeaderControl1", 4};
    // spSkinEdit[1..64]: band centres, band widths, Filter 2 centres, Filter 2 widths; [0] unused.
    std::array<std::unique_ptr<TextBox>, 65> spSkinEdit;
    // spSkinCheckRadioBox[1..16]: Filter 2 of each band of bank 0; [0] unused.
    std::array<std::unique_ptr<CheckBox>, 17> spSkinCheckRadioBox;
    // The two shapers of a band, input to output, as the bank's kernel computes them.
    Curve Curve_Shapers = transfer_curve("Curve_Shapers", "Band shapers",
                                         "band input to output on the 16-bit scale: Standard fold-back and True limiter (band 1)");
    // The points of Curve_Shapers.
    std::vector<Curve::Series> shaper_series() const;

    // --- handlers ---
    void ScrollBarChange(int k);              // ScrollBar0Change .. ScrollBar15Change
    void spSkinScrollBarChange(int n);        // spSkinScrollBar1Change .. spSkinScrollBar16Change
    void spSkinScrollBar17Change(const Slider& sender);  // every threshold slider
    void ScrollBar_gain_InChange();
    void ScrollBar_gain_OutChange();
    void CheckBox_StandardClick();
    void CheckBox_TrueClick();
    void CheckBox_Filter2Click();
    void GangClick();
    void spSkinButton1Click();   // reset right
    void spSkinButton2Click();   // reset left
    void spSkinButton3Click();   // "- 30 dB" .. "-70 dB": buttons 3..7
    void spSkinButton4Click();
    void spSkinButton5Click();
    void spSkinButton6Click();
    void spSkinButton7Click();
    void spSkinButton8Click();   // Show freq dsp
    void spSkinButton9Click();   // Save freq dsp, Save freq EQ
    void spSkinButton10Click();  // Show freq EQ
    bool spSkinEdit1KeyPress(TextBox& sender, char& key);
    void spSkinEdit1Change(TextBox& sender);
    void spSkinCheckRadioBox1Click();

    // The text last accepted by a frequency box, shared by all of them.
    const std::string& last_accepted_text() const { return last_text_; }
    // Where this instance reads and writes its band settings.
    std::string settings_path() const;

protected:
    bool FormClose() override;

private:
    void FormCreate();
    void set_threshold_row(int position);
    int flags() const;
    // Adds the layout aids (row labels); not part of the processing.
    void lay_out();

    std::string last_text_ = "0";
    std::array<std::unique_ptr<Label>, 22> labels_;
};

}  // namespace vx
