// EQ (8 bands) + Filters: a graphic equalizer, then up to five switchable filters.
// The equalizer runs nine parallel band-pass filters per channel (62 Hz .. 8 kHz, designed at
// 48000 Hz, so at another rate the bands move by rate / 48000), weights each band, sums them, smooths
// the sum with a one-pole treble cut and scales it by an output gain. The filters follow in a fixed
// order: a resonant high-pass, a four-pole resonant low-pass, a high shelf, a fifth-order low-pass
// that imitates a guitar speaker, and, for mono streams only, a fifth-order low cut.
// Latency: none. Controls (the equalizer's vertical sliders grow a gain towards position 0):
//   ScrollBar_EQ8G, ScrollBar_EQ8GR          0..100, output gain 0.1 x 11 .. 0.1 / 11, 50 = 0.1
//   ScrollBar_EQ8_125 .. _80, _125s .. _80s  0..100, band weight 112 .. 0.926; 50 = 12, 51 = 10 (x1)
//   ScrollBar_EQ8_FNC_LM, ScrollBar_EQ8_FNC_R 0..100, treble cut d = sqrt(position / 100), 0.001 .. 0.999
//   Gang: the left sliders drag the right ones; Reset (left/right), Copy left/right; Equalizer on/off
//   ScrollBar_LPF_1        high-pass cut-off 50..500 Hz      ScrollBar_Q        resonance 1..10
//   ScrollBar_fnc_FC       low-pass cut-off 1..99 (fc %)      ScrollBar_fnc_res  resonance 1..39 (tenths)
//   ScrollBar_Shelf_fvc_F  shelf frequency 1..100 x 50 Hz     ScrollBar_Shelf_fvc_G  shelf gain 1..100 (tenths)
//   ScrollBar_fnc_2000     speaker low-pass 0..5 (-3 dB at 0.0472 .. 0.1055 x rate)
//   CheckRadioBox_Filter_Notch  low cut, -3 dB at 0.00158 x rate (mono streams only)
#pragma once

#include <cstdint>

#include "engine/effect_unit.h"
#include "engine/forms.h"
#include "laws.h"
#include "pictures.h"

namespace vx {

constexpr int kEqBands = 9;

// Band table shared by both banks: centre and width in Hz.
constexpr float kEqCentreHz[kEqBands] = {62, 125, 250, 425, 850, 1700, 3400, 5500, 8000};
constexpr float kEqBandwidthHz[kEqBands] = {40, 100, 200, 400, 800, 1200, 2000, 4000, 3500};

// Weight of a band for the handler's a = 101 - position: 10 x ((a - 50)/5 + 1) from 50 up, its
// reciprocal mirror below.
float eq8_band_weight(int32_t a);
// Output gain of a bank for a slider position.
float eq8_output_gain(int32_t position);
// Treble-cut coefficient for a slider position, kept within 0.001 .. 0.999.
float eq8_treble_cut(int32_t position);

// The filters' laws for their slider positions: high-pass cut-off in Hz (at the design rate), the
// four-pole's normalised cut-off (position / 100) and resonance (position / 10), the shelf's
// frequency (position x 50 Hz, at the design rate) and gain (position / 10).
float eq8_high_pass_hz(int32_t position);
double eq8_low_pass_fc(int32_t position);
double eq8_low_pass_res(int32_t position);
float eq8_shelf_hz(int32_t position);
float eq8_shelf_gain(int32_t position);
// The -3 dB point of speaker row 0..5 as a fraction of the rate, from its coefficients.
double eq8_speaker_corner(int32_t row);

// One of the two banks of nine band-pass filters.
struct EqBank {
    int32_t band_count = kEqBands;
    relaxed<float> output_gain{0.1f};
    relaxed<float> weights[kEqBands];
    float centre_hz[kEqBands] = {};
    float bandwidth_hz[kEqBands] = {};
    float a0[kEqBands] = {}, a1[kEqBands] = {}, a2[kEqBands] = {};
    float x0[kEqBands] = {}, x1[kEqBands] = {}, x2[kEqBands] = {};
    float y0[kEqBands] = {}, y1[kEqBands] = {}, y2[kEqBands] = {};
    double sum = 0.0;
};

// Coefficients of a second-order recurrence (high-pass A0..A2, shelf B0..B2).
struct SecondOrderSet {
    float A0 = 1.0f, A1 = 0.0f, A2 = 0.0f;
};

// Memories of a second-order recurrence on float32 samples (high-pass and shelf).
struct BiquadMemory {
    float x0 = 0, x1 = 0, x2 = 0, y0 = 0, y1 = 0, y2 = 0;
};

// Memories of a fifth-order recurrence (speaker low-pass and low cut).
struct FifthOrderMemory {
    double xv[6] = {};
    double yv[6] = {};
};

// Speaker low-pass rows: GAIN, then c0..c4.
struct SpeakerRow {
    double gain;
    double c[5];
};
extern const SpeakerRow kSpeakerRows[6];

class TEQ8_form : public Form {
public:
    TEQ8_form();

    void create_defaults();
    void EQ8_dsp(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer);
    void get_parameters(int32_t* block);
    void put_parameters(const int32_t* block);

    void init_pre_EQ_dsp(float rate);
    void init_post_EQ_dsp(float rate);
    void pre_EQ_setup(int32_t band, int32_t a);
    void post_EQ_setup(int32_t band, int32_t a);
    void recalc_a_fvc_1(float rate, float cutoff_hz);
    void recalc_a_fvcs_1(float rate);

    // Block filters, in place over `count` samples (mono) or frames (left / right of a stereo block).
    void filter_fvc_1(float* buffer, int32_t count);
    void filter_fvc_2(float* buffer, int32_t count);
    void filter_fvc_3(float* buffer, int32_t count);
    void filter_fnc_1(float* buffer, int32_t count);
    void filter_fnc_2(float* buffer, int32_t count);
    void filter_fnc_3(float* buffer, int32_t count);
    void filter_fvcs_1(float* buffer, int32_t count);
    void filter_fvcs_2(float* buffer, int32_t count);
    void filter_fvcs_3(float* buffer, int32_t count);
    void filter_fnc_2000(float* buffer, int32_t count);
    void filter_fnc_2000_L(float* buffer, int32_t count);
    void filter_fnc_2000_R(float* buffer, int32_t count);
    void filter_notch(float* buffer, int32_t count);

    // --- controls, in screen order ---
    Slider ScrollBar_EQ8G{"ScrollBar_EQ8G", 0, 100, 50, 2, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_125{"ScrollBar_EQ8_125", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_250{"ScrollBar_EQ8_250", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_450{"ScrollBar_EQ8_450", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_850{"ScrollBar_EQ8_850", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_17{"ScrollBar_EQ8_17", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_34{"ScrollBar_EQ8_34", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_50{"ScrollBar_EQ8_50", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_80{"ScrollBar_EQ8_80", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_FNC_LM{"ScrollBar_EQ8_FNC_LM", 0, 100, 0, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8GR{"ScrollBar_EQ8GR", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_125s{"ScrollBar_EQ8_125s", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_250s{"ScrollBar_EQ8_250s", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_450s{"ScrollBar_EQ8_450s", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_850s{"ScrollBar_EQ8_850s", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_17s{"ScrollBar_EQ8_17s", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_34s{"ScrollBar_EQ8_34s", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_50s{"ScrollBar_EQ8_50s", 0, 100, 50, 1, 5, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_80s{"ScrollBar_EQ8_80s", 0, 100, 50, 1, 1, Slider::Orientation::Vertical};
    Slider ScrollBar_EQ8_FNC_R{"ScrollBar_EQ8_FNC_R", 0, 100, 0, 1, 5, Slider::Orientation::Vertical};
    Button Reset_Left{"Reset_Left", "Reset (left)"};
    Button Reset_Right{"Reset_Right", "Reset (right)"};
    Button Copy_Left_to_Right{"Copy_Left_to_Right", "Copy Left to Right"};
    Button Copy_Right_to_Left{"Copy_Right_to_Left", "Copy Right to Left"};
    CheckBox CheckRadioBox_EQ8_OnOff{"CheckRadioBox_EQ8_OnOff", "  Equalizer", true};
    CheckBox Gang{"Gang", "  Gang", true};

    CheckBox CheckRadioBox_FVC_OnOff{"CheckRadioBox_FVC_OnOff", " Hi Pass Filter  ", false};
    Slider ScrollBar_LPF_1{"ScrollBar_LPF_1", 50, 500, 100};
    Slider ScrollBar_Q{"ScrollBar_Q", 1, 10, 1};
    CheckBox CheckRadioBox_FNC_OnOff{"CheckRadioBox_FNC_OnOff", " Low Pass Filter  ", false};
    Slider ScrollBar_fnc_FC{"ScrollBar_fnc_FC", 1, 99, 10};
    Slider ScrollBar_fnc_res{"ScrollBar_fnc_res", 1, 39, 10};
    CheckBox CheckRadioBox_Shelf{"CheckRadioBox_Shelf", "  Shelf Filter", false};
    Slider ScrollBar_Shelf_fvc_F{"ScrollBar_Shelf_fvc_F", 1, 100, 50};
    Slider ScrollBar_Shelf_fvc_G{"ScrollBar_Shelf_fvc_G", 1, 100, 1};
    CheckBox CheckRadioBox_fnc_2000_OnOff{"CheckRadioBox_fnc_2000_OnOff", " Low Pass Filter", false};
    Slider ScrollBar_fnc_2000{"ScrollBar_fnc_2000", 0, 5, 0};
    CheckBox CheckRadioBox_Filter_Notch{"CheckRadioBox_Filter_Notch", "Cut off low freq", false};
    // Magnitude response of each channel: its bank and the filters switched on, from the coefficients
    // in use, at the rate of the last block.
    Curve Curve_Response{"Curve_Response", "Frequency response",
                         "magnitude response in dB over 20 Hz .. 20 kHz of the mono, left and right channel",
                         frequency_axis(), {"dB", -48.0, 30.0}};
    // Checks now and then whether the engine's rate moved the response.
    FormTimer Timer_Response{500};
    // The gain in dB at `hz` of one channel: 0 mono, 1 stereo left, 2 stereo right.
    double response_db(int channel, double hz) const;
    std::vector<Curve::Series> response_series();

    // The ten sliders of each side in the order Reset, Copy and the block use: gain, bands 1..8, treble cut.
    Slider* const left_sliders[10] = {&ScrollBar_EQ8G,    &ScrollBar_EQ8_125, &ScrollBar_EQ8_250, &ScrollBar_EQ8_450,
                                      &ScrollBar_EQ8_850, &ScrollBar_EQ8_17,  &ScrollBar_EQ8_34,  &ScrollBar_EQ8_50,
                                      &ScrollBar_EQ8_80,  &ScrollBar_EQ8_FNC_LM};
    Slider* const right_sliders[10] = {&ScrollBar_EQ8GR,    &ScrollBar_EQ8_125s, &ScrollBar_EQ8_250s, &ScrollBar_EQ8_450s,
                                       &ScrollBar_EQ8_850s, &ScrollBar_EQ8_17s,  &ScrollBar_EQ8_34s,  &ScrollBar_EQ8_50s,
                                       &ScrollBar_EQ8_80s,  &ScrollBar_EQ8_FNC_R};

    // --- equalizer state ---
    EqBank left_bank;   // mono streams and the left channel
    EqBank right_bank;
    relaxed<float> sample_rate{48000.0f};  // of the last block; only the resonance redesign reads it
    relaxed<float> smooth_d_mono{0.0f}, smooth_d_left{0.0f}, smooth_d_right{0.0f};
    float smooth_s_mono = 0.0f, smooth_s_left = 0.0f, smooth_s_right = 0.0f;
    relaxed<bool> eq_on{true};

    // --- filter state ---
    relaxed<bool> hp_on{false}, lp_on{false}, shelf_on{false}, speaker_on{false}, low_cut_on{false};

    // A coefficient set crosses to the audio thread as one word, the inputs of its design: a block
    // uses the whole old set or the whole new one, never a mix (a mixed set can put a pole outside
    // the unit circle). The audio thread designs a set again when the word changes.
    relaxed<float> hp_cutoff_hz{100.0f};
    relaxed<float> hp_k{1.41f};
    int32_t hp_q = 1;                 // ScrollBar_Q's position behind hp_k
    relaxed<uint64_t> hp_design{0};   // design rate, cut-off and resonance; see recalc_a_fvc_1
    BiquadMemory hp_M, hp_L;  // M: mono and stereo right; L: stereo left

    relaxed<float> shelf_hz{2500.0f};
    relaxed<float> shelf_k{1.41f};
    relaxed<uint64_t> shelf_design{0};  // design rate and shelf frequency
    relaxed<float> shelf_gain{1.0f};
    BiquadMemory shelf_M, shelf_L;

    relaxed<double> lp_fc{0.1};
    relaxed<double> lp_res{3.0};
    double lp_f = 0.0, lp_fb = 0.0;  // of the current block
    FourPoleLowpass lp_A, lp_B;      // A: mono and stereo left; B: stereo right

    relaxed<int32_t> speaker_row{0};  // the row of kSpeakerRows in use, read once per block
    FifthOrderMemory speaker_A, speaker_B;

    double low_cut_gain = 1.019684607;
    FifthOrderMemory low_cut;

    // The sets as published (any thread may ask).
    SecondOrderSet hp_coefficients() const;
    SecondOrderSet shelf_coefficients() const;

    // --- handlers ---
    void ScrollBar_EQ8GChange();
    void ScrollBar_EQ8GRChange();
    void ScrollBar_EQ8_FNC_LMChange();
    void ScrollBar_EQ8_FNC_RChange();
    // Band sliders 1..8 of either side.
    void ScrollBar_EQ8_bandChange(bool right, int32_t band);
    void Reset_LeftClick();
    void Reset_RightClick();
    void Copy_Left_to_RightClick();
    void Copy_Right_to_LeftClick();
    void CheckRadioBox_EQ8_OnOffClick();
    void CheckRadioBox_FVC_OnOffClick();
    void ScrollBar_LPF_1Change();
    void ScrollBar_QChange();
    void CheckRadioBox_FNC_OnOffClick();
    void ScrollBar_fnc_FCChange();
    void ScrollBar_fnc_resChange();
    void CheckRadioBox_ShelfClick();
    void ScrollBar_Shelf_fvc_FChange();
    void ScrollBar_Shelf_fvc_GChange();
    void CheckRadioBox_fnc_2000_OnOffClick();
    void ScrollBar_fnc_2000Change();
    void CheckRadioBox_Filter_NotchClick();

private:
    float response_rate_ = 0.0f;  // the rate Curve_Response was computed at
    // The sliders' values in units, from the same laws the handlers store.
    void set_unit_texts();
    void FormCreate();
    // The audio thread's sets and the words they were designed from.
    SecondOrderSet hp_set, shelf_set;
    uint64_t hp_set_design = 0, shelf_set_design = 0;
    void take_designs();
    // Memories that stopped being numbers start again from rest.
    void settle_memories();
    void init_bank(EqBank& bank, float rate);
    void load_speaker_row(int32_t row);
    void eq_mono(float* buffer, int32_t frames);
    void eq_stereo(float* buffer, int32_t frames);
    // Tiny: the bands ring below float32's normal range, taken without subnormal registers.
    template <bool Tiny> void eq_mono_run(float* buffer, int32_t frames);
    template <bool Tiny> void eq_stereo_run(float* buffer, int32_t frames);
    bool bank_rings_tiny(const EqBank& bank, float smooth) const;
    // Per-sample steps of each filter on one memory set, with the block's settings.
    auto high_pass_step(BiquadMemory& m);
    auto shelf_step(BiquadMemory& m);
    auto four_pole_step(FourPoleLowpass& p);
    auto speaker_step(FifthOrderMemory& m);
    // High-pass and shelf over a whole block, mono or both stereo channels.
    void high_pass_block(float* buffer, int32_t frames, bool mono);
    void shelf_block(float* buffer, int32_t frames, bool mono);
    void four_pole_block(float* buffer, int32_t frames, bool mono);
};

}  // namespace vx
