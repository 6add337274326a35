#include "MultiTortions.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/ini.h"
#include "engine/program_folder.h"
#include "engine/units.h"
#include "laws.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vx {

namespace {

constexpr double kDesignRate = 48000.0;
// Thresholds of the four buttons under the threshold row ("-40 dB" sets 35: so it was laid out).
constexpr int kThresholdButtonPositions[5] = {30, 35, 40, 50, 70};

// A float as the general number format shows it: 50 as "50", 0.5 as "0.5".
std::string general_text(double v) {
    char b[40];
    std::snprintf(b, sizeof b, "%.15g", v);
    return b;
}

// "s0" .. "s15", the keys of a slider row.
std::string row_key(int k) {
    char b[8];
    std::snprintf(b, sizeof b, "s%d", k);
    return b;
}

// A box's text as a whole number; false for anything but optional '-' and digits that fit.
bool text_integer(const std::string& t, long long& out) {
    if (t.empty() || t.size() > 18) return false;
    size_t i = t[0] == '-' ? 1 : 0;
    if (i == t.size()) return false;
    for (size_t j = i; j < t.size(); ++j)
        if (t[j] < '0' || t[j] > '9') return false;
    out = std::strtoll(t.c_str(), nullptr, 10);
    return true;
}

}  // namespace

float plus_threshold(int32_t position) {
    return static_cast<float>(std::exp(static_cast<double>(99 - position) * 0.1050223));
}

void MultiBank::clear_memories() {
    for (int j = 0; j < kPlusBands; ++j) {
        bp_x1[j] = bp_x2[j] = bp_y1[j] = bp_y2[j] = band_out[j] = 0.0f;
        eq_x1[j] = eq_x2[j] = eq_y1[j] = eq_y2[j] = eq_out[j] = 0.0f;
    }
    mix = 0.0;
}

bool MultiBank::memories_finite() const {
    bool ok = std::isfinite(mix);
    for (int j = 0; j < kPlusBands; ++j)
        ok = ok && std::isfinite(bp_x1[j]) && std::isfinite(bp_x2[j]) && std::isfinite(bp_y1[j]) &&
             std::isfinite(bp_y2[j]) && std::isfinite(band_out[j]) && std::isfinite(eq_x1[j]) &&
             std::isfinite(eq_x2[j]) && std::isfinite(eq_y1[j]) && std::isfinite(eq_y2[j]) && std::isfinite(eq_out[j]);
    return ok;
}

// --- editor -----------------------------------------------------------------------------------

TMultiTortion_form::TMultiTortion_form() : Form("Distortion Plus", 713, 619) {
    for (int k = 0; k < kPlusBands; ++k) {
        ScrollBar[k] = std::make_unique<Slider>("ScrollBar" + std::to_string(k), 0, 100, 50, 1, 1,
                                                Slider::Orientation::Vertical);
        ScrollBar[k]->on_change = [this, k] { ScrollBarChange(k); };
    }
    for (int n = 1; n <= 32; ++n) {
        auto s = std::make_unique<Slider>("spSkinScrollBar" + std::to_string(n), 0, 100, 50, 1, 1,
                                          Slider::Orientation::Vertical);
        Slider* raw = s.get();
        if (n <= 16)
            s->on_change = [this, n] { spSkinScrollBarChange(n); };
        else
            s->on_change = [this, raw] { spSkinScrollBar17Change(*raw); };
        spSkinScrollBar[n] = std::move(s);
    }
    const char* captions[12] = {"",       "reset right", "reset left", "- 30 dB",       "-40 dB",       "-50 dB",
                                "-60 dB", "-70 dB",      "Show freq dsp", "Save freq dsp", "Show freq EQ", "Save freq EQ"};
    for (int b = 1; b <= 11; ++b)
        spSkinButton[b] = std::make_unique<Button>("spSkinButton" + std::to_string(b), captions[b]);
    spSkinButton[1]->on_click = [this] { spSkinButton1Click(); };
    spSkinButton[2]->on_click = [this] { spSkinButton2Click(); };
    spSkinButton[3]->on_click = [this] { spSkinButton3Click(); };
    spSkinButton[4]->on_click = [this] { spSkinButton4Click(); };
    spSkinButton[5]->on_click = [this] { spSkinButton5Click(); };
    spSkinButton[6]->on_click = [this] { spSkinButton6Click(); };
    spSkinButton[7]->on_click = [this] { spSkinButton7Click(); };
    spSkinButton[8]->on_click = [this] { spSkinButton8Click(); };
    spSkinButton[9]->on_click = [this] { spSkinButton9Click(); };
    spSkinButton[10]->on_click = [this] { spSkinButton10Click(); };
    spSkinButton[11]->on_click = [this] { spSkinButton9Click(); };
    for (int e = 1; e <= 64; ++e) {
        auto box = std::make_unique<TextBox>("spSkinEdit" + std::to_string(e), std::to_string((e - 1) % 16));
        TextBox* raw = box.get();
        box->key_filter = [this, raw](char& key) { return spSkinEdit1KeyPress(*raw, key); };
        box->on_change = [this, raw] { spSkinEdit1Change(*raw); };
        spSkinEdit[e] = std::move(box);
    }
    for (int c = 1; c <= 16; ++c) {
        spSkinCheckRadioBox[c] = std::make_unique<CheckBox>("spSkinCheckRadioBox" + std::to_string(c), " Off", false);
        spSkinCheckRadioBox[c]->on_click = [this] { spSkinCheckRadioBox1Click(); };
    }
    ScrollBar_gain_In.label = "Drive";
    ScrollBar_gain_Out.label = "Level";
    ScrollBar_gain_In.on_change = [this] { ScrollBar_gain_InChange(); };
    ScrollBar_gain_Out.on_change = [this] { ScrollBar_gain_OutChange(); };
    // Each shows the value its handler stored: a new instance limits at 200 whatever the
    // threshold row shows. The threshold row is a level on the 16-bit scale.
    ScrollBar_gain_In.unit_text = [this] { return gain_text(gain_in); };
    ScrollBar_gain_Out.unit_text = [this] { return gain_text(gain_out); };
    for (int k = 0; k < kPlusBands; ++k) {
        ScrollBar[k]->unit_text = [this, k] { return gain_text(eq_gain0[k]); };
        spSkinScrollBar[k + 1]->unit_text = [this, k] { return gain_text(eq_gain1[k]); };
        spSkinScrollBar[k + 17]->unit_text = [this, k] { return dbfs_text(porog[k]); };
    }
    CheckBox_Standard.on_click = [this] { CheckBox_StandardClick(); };
    CheckBox_True.on_click = [this] { CheckBox_TrueClick(); };
    CheckBox_Filter2.on_click = [this] { CheckBox_Filter2Click(); };
    Gang.on_click = [this] { GangClick(); };
    spSkinHeaderControl1.set_section(0, "0");
    spSkinHeaderControl1.set_section(1, "0 ");
    spSkinHeaderControl1.set_section(2, "0 dB");
    spSkinHeaderControl1.set_section(3, "0 Hz");
    lay_out();
    add(Curve_Shapers);
    Curve_Shapers.set_source([this] { return shaper_series(); });
    after_each_change(*this, [this] { Curve_Shapers.invalidate(); });
    FormCreate();
}

// On screen: the three slider rows one above the other, band under band, each column named by
// its band's centre; beside them Drive, Level, the switches, and the band table (frequencies and
// Filter 2 per band); the status line across the bottom.
void TMultiTortion_form::lay_out() {
    const char* const row_names[3] = {"Guitar Equalizer Left (Mono)  ", "Guitar Equalizer Right   ",
                                      "True threshold (0 dB .. -100 dB)"};
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < kPlusBands; ++k) {
            Slider& s = r == 0 ? *ScrollBar[k] : *spSkinScrollBar[1 + k + 16 * (r - 1)];
            s.label = std::to_string(100 * k + 50);
            s.group = row_names[r];
            s.bounds = {16 + 38 * k, 24 + 190 * r, 17, 120};
            add(s);
        }
    }
    for (int b = 3; b <= 7; ++b) {
        spSkinButton[b]->group = row_names[2];
        spSkinButton[b]->bounds = {16 + 76 * (b - 3), 540, 70, 24};
        add(*spSkinButton[b]);
    }

    const char* const main_group = "Drive, Level and shapers";
    ScrollBar_gain_In.group = ScrollBar_gain_Out.group = main_group;
    ScrollBar_gain_In.bounds = {640, 24, 260, 17};
    ScrollBar_gain_Out.bounds = {640, 50, 260, 17};
    ScrollBar_gain_In.hint = "Input gain: x1/11 .. x11, x1 in the middle";
    ScrollBar_gain_Out.hint = "Output gain: x1/11 .. x11, x1 in the middle";
    add(ScrollBar_gain_In);
    add(ScrollBar_gain_Out);
    struct Placed { Control* c; int left, top; };
    const Placed switches[] = {{&CheckBox_Standard, 640, 80},       {&CheckBox_True, 740, 80},
                               {&CheckBox_Filter2, 840, 80},        {&Gang, 640, 106},
                               {spSkinButton[2].get(), 740, 106},   {spSkinButton[1].get(), 840, 106}};
    for (const Placed& p : switches) {
        p.c->group = main_group;
        p.c->bounds = {p.left, p.top, 90, 22};
        add(*p.c);
    }
    CheckBox_Standard.hint = "Fold-back above 200 in every band";
    CheckBox_True.hint = "Limit every band above its threshold (bottom row)";
    CheckBox_Filter2.hint = "A second band-pass an octave up, in the bands switched on in the table";
    Gang.hint = "The upper row drags the middle row";

    const char* const table_group = "Bands (Hz) and Filter 2";
    const char* const heads[6] = {"band", "centre", "width", "F2 centre", "F2 width", "Filter 2"};
    const int col_left[6] = {640, 690, 760, 830, 900, 970};
    for (int c = 0; c < 6; ++c) {
        labels_[static_cast<size_t>(c)] = std::make_unique<Label>("band_table_head" + std::to_string(c), heads[c]);
        Label& l = *labels_[static_cast<size_t>(c)];
        l.group = table_group;
        l.bounds = {col_left[c], 150, 60, 18};
        add(l);
    }
    for (int k = 0; k < kPlusBands; ++k) {
        const int top = 172 + 24 * k;
        labels_[static_cast<size_t>(6 + k)] = std::make_unique<Label>("band_table_row" + std::to_string(k), std::to_string(k));
        Label& l = *labels_[static_cast<size_t>(6 + k)];
        l.group = table_group;
        l.bounds = {col_left[0], top, 40, 20};
        add(l);
        for (int c = 0; c < 4; ++c) {
            TextBox& box = *spSkinEdit[1 + k + 16 * c];
            box.group = table_group;
            box.bounds = {col_left[1 + c], top, 60, 20};
            add(box);
        }
        CheckBox& on = *spSkinCheckRadioBox[k + 1];
        on.group = table_group;
        on.bounds = {col_left[5], top, 60, 20};
        on.hint = "Filter 2 of this band (right channel and mono)";
        add(on);
    }
    const int button_left[4] = {col_left[1], col_left[2], col_left[3], col_left[4]};
    for (int b = 8; b <= 11; ++b) {
        Button& btn = *spSkinButton[b];
        btn.group = table_group;
        btn.bounds = {button_left[b - 8], 560, 64, 24};
        add(btn);
    }
    spSkinButton[8]->hint = "Show the band centres and widths";
    spSkinButton[9]->hint = spSkinButton[11]->hint = "Keep the numbers of the first two columns (the filters stay as built)";
    spSkinButton[10]->hint = "Show the Filter 2 centres and widths";

    spSkinHeaderControl1.bounds = {0, 599, 1040, 20};
    add(spSkinHeaderControl1);
}

void TMultiTortion_form::FormCreate() {
    shown_once = 0;
    gain_in = 1.0f;
    gain_out = 1.0f;
    use_standard = false;
    use_true = false;
    use_filter2 = 0;
    true_slope = 0.01f;
    for (int j = 0; j < kPlusBands; ++j) {
        porog[j] = 200.0f;
        eq_gain0[j] = 1.0f;
        eq_gain1[j] = 1.0f;
        eq_on[j] = false;
    }
    gang = true;
    init_mb_dsp(48000.0f);
    init_EQ_dsp(48000.0f);
    init_mb_dsp_1(48000.0f);

    IniFile ini(settings_path());
    for (int k = 0; k < kPlusBands; ++k) {
        ScrollBar[k]->hint = "  " + std::to_string(static_cast<long>(std::nearbyint(bank0.bp_fc[k]))) + " Hz  ";
        ScrollBar[k]->set_position(ini.read_int("EQL", row_key(k), 50));
    }
    for (int k = 0; k < kPlusBands; ++k) {
        spSkinScrollBar[k + 1]->hint = "  " + std::to_string(static_cast<long>(std::nearbyint(bank1.bp_fc[k]))) + " Hz  ";
        spSkinScrollBar[k + 1]->set_position(ini.read_int("EQR", row_key(k), 50));
    }
    ScrollBar_gain_In.set_position(ini.read_int("Other", "Drive", 50));
    ScrollBar_gain_Out.set_position(ini.read_int("Other", "Level", 50));
    Gang.set_checked(!(ini.read_int("Other", "Gang", 1) < 1));
    CheckBox_Standard.set_checked(ini.read_int("Other", "Standard", 1) != 0);
    CheckBox_True.set_checked(ini.read_int("Other", "True", 0) != 0);
    CheckBox_Filter2.set_checked(ini.read_int("Other", "Filter2", 0) != 0);
    last_text_ = "0";
}

std::string TMultiTortion_form::settings_path() const { return (program_home() / "MTEQ.ini").string(); }

bool TMultiTortion_form::FormClose() {
    if (settings_read_only()) return true;
    IniFile ini(settings_path());
    for (int k = 0; k < kPlusBands; ++k) ini.write_int("EQL", row_key(k), ScrollBar[k]->position());
    for (int k = 0; k < kPlusBands; ++k)
        ini.write_int("EQR", row_key(k), spSkinScrollBar[k + 1]->position());
    ini.write_int("Other", "Drive", ScrollBar_gain_In.position());
    ini.write_int("Other", "Level", ScrollBar_gain_Out.position());
    ini.write_int("Other", "Standard", CheckBox_Standard.checked() ? 1 : 0);
    ini.write_int("Other", "True", CheckBox_True.checked() ? 1 : 0);
    ini.write_int("Other", "Filter2", CheckBox_Filter2.checked() ? 1 : 0);
    // Written whole under another name and renamed: a failure leaves the old file as it was.
    if (!ini.save().empty()) {
        report_settings_problem("Unable to write to " + settings_path());
        return false;
    }
    return true;
}

std::optional<float> plus_band_gain(int32_t position) { return SliderFactor(100 - position); }

void TMultiTortion_form::ScrollBarChange(int k) {
    const int p = ScrollBar[k]->position();
    if (auto f = plus_band_gain(p)) eq_gain0[k] = *f;
    if (gang) spSkinScrollBar[k + 1]->set_position(p);
}

void TMultiTortion_form::spSkinScrollBarChange(int n) {
    if (auto f = plus_band_gain(spSkinScrollBar[n]->position())) eq_gain1[n - 1] = *f;
}

void TMultiTortion_form::spSkinScrollBar17Change(const Slider& sender) {
    const int n = std::atoi(sender.name().c_str() + std::strlen("spSkinScrollBar"));
    const int band = n - 17;
    if (band < 0 || band >= kPlusBands) return;
    const int p = sender.position();
    porog[band] = plus_threshold(p);
    spSkinHeaderControl1.set_section(0, "Slider " + std::to_string(band));
    spSkinHeaderControl1.set_section(1, "porog " + std::to_string(static_cast<long long>(std::nearbyint(porog[band].load()))));
    spSkinHeaderControl1.set_section(2, std::to_string(-p) + " dB  ");
    spSkinHeaderControl1.set_section(3, general_text(bank0.bp_fc[band]) + " Hz  ");
}

void TMultiTortion_form::ScrollBar_gain_InChange() {
    if (auto f = SliderFactor(ScrollBar_gain_In.position())) gain_in = *f;
}

void TMultiTortion_form::ScrollBar_gain_OutChange() {
    if (auto f = SliderFactor(ScrollBar_gain_Out.position())) gain_out = *f;
}

void TMultiTortion_form::CheckBox_StandardClick() { use_standard = CheckBox_Standard.checked(); }
void TMultiTortion_form::CheckBox_TrueClick() { use_true = CheckBox_True.checked(); }
void TMultiTortion_form::CheckBox_Filter2Click() { use_filter2 = CheckBox_Filter2.checked() ? 1 : 0; }
void TMultiTortion_form::GangClick() { gang = Gang.checked(); }

void TMultiTortion_form::spSkinButton1Click() {
    for (int n = 1; n <= 16; ++n) spSkinScrollBar[n]->set_position(50);
}

void TMultiTortion_form::spSkinButton2Click() {
    for (int k = 0; k < kPlusBands; ++k) ScrollBar[k]->set_position(50);
}

void TMultiTortion_form::set_threshold_row(int position) {
    for (int n = 17; n <= 32; ++n) spSkinScrollBar[n]->set_position(position);
}

void TMultiTortion_form::spSkinButton3Click() { set_threshold_row(kThresholdButtonPositions[0]); }
void TMultiTortion_form::spSkinButton4Click() { set_threshold_row(kThresholdButtonPositions[1]); }
void TMultiTortion_form::spSkinButton5Click() { set_threshold_row(kThresholdButtonPositions[2]); }
void TMultiTortion_form::spSkinButton6Click() { set_threshold_row(kThresholdButtonPositions[3]); }
void TMultiTortion_form::spSkinButton7Click() { set_threshold_row(kThresholdButtonPositions[4]); }

void TMultiTortion_form::spSkinButton8Click() {
    for (int k = 1; k <= 16; ++k) {
        spSkinEdit[k]->set_text(general_text(bank0.bp_fc[k - 1]));
        spSkinEdit[k + 16]->set_text(general_text(bank0.bp_bw[k - 1]));
    }
}

void TMultiTortion_form::spSkinButton9Click() {
    for (int k = 1; k <= 16; ++k) {
        long long v = 0;
        if (text_integer(spSkinEdit[k]->text(), v)) bank0.bp_fc[k - 1] = static_cast<float>(v);
        if (text_integer(spSkinEdit[k + 16]->text(), v)) bank0.bp_bw[k - 1] = static_cast<float>(v);
    }
}

void TMultiTortion_form::spSkinButton10Click() {
    for (int k = 1; k <= 16; ++k) {
        spSkinEdit[k + 32]->set_text(general_text(bank0.eq_fc[k - 1]));
        spSkinEdit[k + 48]->set_text(general_text(bank0.eq_bw[k - 1]));
    }
}

bool TMultiTortion_form::spSkinEdit1KeyPress(TextBox& sender, char& key) {
    if (key != 8 && (key < '0' || key > '9')) return false;
    last_text_ = sender.text();
    return true;
}

void TMultiTortion_form::spSkinEdit1Change(TextBox& sender) {
    std::string t = sender.text();
    if (t.empty()) t = "0";
    long long v = 0;
    if (!text_integer(t, v) || v >= 22050) {
        t = last_text_;
        if (!text_integer(t, v)) v = 0;
    }
    t = std::to_string(v);
    last_text_ = t;
    // Runs this handler once more only if the text changes, and then it changes nothing.
    sender.set_text(t);
}

void TMultiTortion_form::spSkinCheckRadioBox1Click() {
    for (int c = 1; c <= 16; ++c) {
        CheckBox& box = *spSkinCheckRadioBox[c];
        eq_on[c - 1] = box.checked();
        box.set_caption(box.checked() ? "On" : "Off");
    }
}

// --- parameters ---------------------------------------------------------------------------------

namespace {
void put_byte(int32_t* block, int index, uint8_t v) { reinterpret_cast<uint8_t*>(block)[index] = v; }
uint8_t byte_at(const int32_t* block, int index) { return reinterpret_cast<const uint8_t*>(block)[index]; }
}  // namespace

void TMultiTortion_form::get_parameters(int32_t* block) {
    block[0] = ScrollBar_gain_In.position();
    block[1] = ScrollBar_gain_Out.position();
    put_byte(block, 8, Gang.checked() ? 1 : 0);
    put_byte(block, 9, CheckBox_Standard.checked() ? 1 : 0);
    put_byte(block, 10, CheckBox_True.checked() ? 1 : 0);
    put_byte(block, 11, CheckBox_Filter2.checked() ? 1 : 0);
    for (int k = 0; k < kPlusBands; ++k) put_byte(block, 12 + k, static_cast<uint8_t>(ScrollBar[k]->position()));
    for (int k = 0; k < kPlusBands; ++k)
        put_byte(block, 29 + k, static_cast<uint8_t>(spSkinScrollBar[k + 1]->position()));
}

void TMultiTortion_form::put_parameters(const int32_t* block) {
    ScrollBar_gain_In.set_position(block[0]);
    ScrollBar_gain_Out.set_position(block[1]);
    Gang.set_checked(byte_at(block, 8) == 1);
    CheckBox_Standard.set_checked(byte_at(block, 9) == 1);
    CheckBox_True.set_checked(byte_at(block, 10) == 1);
    CheckBox_Filter2.set_checked(byte_at(block, 11) == 1);
    for (int k = 0; k < kPlusBands; ++k) ScrollBar[k]->set_position(byte_at(block, 12 + k));
    for (int k = 0; k < kPlusBands; ++k) spSkinScrollBar[k + 1]->set_position(byte_at(block, 29 + k));
}

// --- band design ----------------------------------------------------------------------------------

void TMultiTortion_form::init_mb_dsp(float rate) {
    MultiBank& b = bank0;
    for (int j = 0; j < kPlusBands; ++j) {
        b.bp_fc[j] = static_cast<float>(100 * j + 50);
        b.bp_bw[j] = j == 0 ? 50.0f : 180.0f;
        const BandPassCoefficients c = band_pass_design(b.bp_fc[j], b.bp_bw[j], rate);
        b.bp_a0[j] = c.a0;
        b.bp_a1[j] = c.a1;
        b.bp_a2[j] = c.a2;
    }
}

void TMultiTortion_form::init_EQ_dsp(float rate) {
    MultiBank& b = bank0;
    for (int j = 0; j < kPlusBands; ++j) {
        b.eq_fc[j] = static_cast<float>(2.0 * b.bp_fc[j]);
        b.eq_bw[j] = static_cast<float>(2.0 * b.bp_bw[j]);
        const BandPassCoefficients c = band_pass_design(b.eq_fc[j], b.eq_bw[j], rate);
        b.eq_a0[j] = c.a0;
        b.eq_a1[j] = c.a1;
        b.eq_a2[j] = c.a2;
    }
}

void TMultiTortion_form::init_mb_dsp_1(float rate) {
    MultiBank& b = bank1;
    for (int j = 0; j < kPlusBands; ++j) {
        b.bp_fc[j] = static_cast<float>(100 * j + 50);
        b.bp_bw[j] = j == 0 ? 50.0f : 180.0f;
        const BandPassCoefficients c = band_pass_design(b.bp_fc[j], b.bp_bw[j], rate);
        b.bp_a0[j] = c.a0;
        b.bp_a1[j] = c.a1;
        b.bp_a2[j] = c.a2;
        b.eq_fc[j] = static_cast<float>(2.0 * b.bp_fc[j]);
        b.eq_bw[j] = static_cast<float>(2.0 * b.bp_bw[j]);
    }
}

// --- processing -----------------------------------------------------------------------------------

namespace {

// The 16 bands of a bank side by side, in vectors of W doubles: 4 with AVX2, 2 otherwise.
// Each lane does the same IEEE operations in the same order as a band of the plain loop, so the
// results are the same bits. Every helper is inlined into the kernels, so no vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"
template <int W> struct V;
template <> struct V<8> {
    typedef double d __attribute__((vector_size(64)));
    typedef float f __attribute__((vector_size(32)));
    typedef long long m __attribute__((vector_size(64)));
};
template <> struct V<2> {
    typedef double d __attribute__((vector_size(16)));
    typedef float f __attribute__((vector_size(8)));
    typedef long long m __attribute__((vector_size(16)));
};
template <> struct V<4> {
    typedef double d __attribute__((vector_size(32)));
    typedef float f __attribute__((vector_size(16)));
    typedef long long m __attribute__((vector_size(32)));
};

template <int W> [[gnu::always_inline]] inline typename V<W>::d stored(typename V<W>::d x) {
    return __builtin_convertvector(__builtin_convertvector(x, typename V<W>::f), typename V<W>::d);
}

// clang refuses the 256-bit argument outside an AVX function; its generic conversion is the same.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// The generic conversion of four lanes goes two by two; one instruction each way does it.
__attribute__((target("avx"))) inline V<4>::d stored_avx(V<4>::d x) {
    return reinterpret_cast<V<4>::d>(_mm256_cvtps_pd(_mm256_cvtpd_ps(reinterpret_cast<__m256d>(x))));
}
template <> [[gnu::always_inline]] inline V<4>::d stored<4>(V<4>::d x) { return stored_avx(x); }
template <> [[gnu::always_inline]] inline V<2>::d stored<2>(V<2>::d x) {
    return reinterpret_cast<V<2>::d>(_mm_cvtps_pd(_mm_cvtpd_ps(reinterpret_cast<__m128d>(x))));
}
#endif

struct Shared {
    float gin, gout;
    double L, k, k_half, k_eighth, slope, keep;
};

// A bank's state in registers for the length of a block.
template <int W>
struct Lanes {
    static constexpr int P = kPlusBands / W;
    using D = typename V<W>::d;
    using M = typename V<W>::m;
    D a0[P], a1[P], a2[P], y1[P], y2[P];
    double x1, x2;
    D e0[P], e1[P], e2[P], ey1[P], ey2[P], ex1[P], ex2[P];
    D eout[P], band[P];
    M on[P], pass[P];
    bool any_on[P];
    D T[P], Tpos[P], g[P];
    double mix;
};

template <int W>
void load_lanes(Lanes<W>& r, const MultiBank& b, bool next_band_filter2, const relaxed<float>* gains,
                const relaxed<float>* porog, const relaxed<bool>* eq_on) {
    for (int h = 0; h < Lanes<W>::P; ++h) r.any_on[h] = false;
    for (int j = 0; j < kPlusBands; ++j) {
        const int h = j / W, l = j % W;
        r.a0[h][l] = b.bp_a0[j];
        r.a1[h][l] = b.bp_a1[j];
        r.a2[h][l] = b.bp_a2[j];
        r.y1[h][l] = b.bp_y1[j];
        r.y2[h][l] = b.bp_y2[j];
        r.ey1[h][l] = b.eq_y1[j];
        r.ey2[h][l] = b.eq_y2[j];
        r.ex1[h][l] = b.eq_x1[j];
        r.ex2[h][l] = b.eq_x2[j];
        r.eout[h][l] = b.eq_out[j];
        r.band[h][l] = b.band_out[j];
        r.T[h][l] = porog[j];
        r.Tpos[h][l] = std::max(static_cast<double>(porog[j]), 0.0);
        r.g[h][l] = gains[j];
        bool on;
        if (next_band_filter2) {
            // Each band runs the next band's band-pass; the top two are never written.
            on = j + 1 < kPlusBands - 1;
            r.e0[h][l] = on ? b.bp_a0[j + 1] : 1.0;
            r.e1[h][l] = on ? b.bp_a1[j + 1] : 0.0;
            r.e2[h][l] = on ? b.bp_a2[j + 1] : 0.0;
            r.pass[h][l] = 0;
        } else {
            on = eq_on[j];
            r.e0[h][l] = b.eq_a0[j];
            r.e1[h][l] = b.eq_a1[j];
            r.e2[h][l] = b.eq_a2[j];
            r.pass[h][l] = -1;
        }
        r.on[h][l] = on ? -1 : 0;
        r.any_on[h] = r.any_on[h] || on;
    }
    r.x1 = b.bp_x1[0];
    r.x2 = b.bp_x2[0];
    r.mix = b.mix;
}

template <int W>
void store_lanes(const Lanes<W>& r, MultiBank& b) {
    for (int j = 0; j < kPlusBands; ++j) {
        const int h = j / W, l = j % W;
        b.bp_y1[j] = static_cast<float>(r.y1[h][l]);
        b.bp_y2[j] = static_cast<float>(r.y2[h][l]);
        b.bp_x1[j] = static_cast<float>(r.x1);
        b.bp_x2[j] = static_cast<float>(r.x2);
        b.eq_y1[j] = static_cast<float>(r.ey1[h][l]);
        b.eq_y2[j] = static_cast<float>(r.ey2[h][l]);
        b.eq_x1[j] = static_cast<float>(r.ex1[h][l]);
        b.eq_x2[j] = static_cast<float>(r.ex2[h][l]);
        b.eq_out[j] = static_cast<float>(r.eout[h][l]);
        b.band_out[j] = static_cast<float>(r.band[h][l]);
    }
    b.mix = r.mix;
}

// The two shapers of a band, on vector lanes or on one double (the editor's picture), before the
// value is stored as float32.
// Standard: positive side, first case that holds from the top. Whatever it changes ends at 0 or
// above, which the negative side leaves alone; so both sides are one choice and one store.
template <class D>
[[gnu::always_inline]] inline D fold_back(D u, const Shared& c) {
    D s = u >= c.L ? c.L - c.k * u : u;
    s = u >= 16000.0 ? c.k_half * (u - 16000.0) : s;
    s = u >= 48000.0 ? c.k_eighth * (u - 48000.0) + c.L : s;
    s = u >= 180000.0 ? D{} + c.L : s;
    s = u < -c.L ? -c.L - c.k * u : s;
    s = u < -16000.0 ? c.k_half * (u + 16000.0) : s;
    s = u < -48000.0 ? c.k_eighth * (u + 48000.0) - c.L : s;
    s = u < -180000.0 ? D{} - c.L : s;
    return s;
}

// True: with T' = max(T, 0), "u >= 0 and u >= T" is u >= T', and "u < 0 and -u > T" is -u > T'.
template <class D>
[[gnu::always_inline]] inline D true_limit(D u, D T, D Tpos, const Shared& c) {
    D s = u >= Tpos ? c.slope * u + c.keep * T : u;
    // Rounding is symmetric, so negating after it is negating before.
    s = -u > Tpos ? -(c.slope * -u + c.keep * T) : s;
    return s;
}

// One sample v (after Drive) through a bank; leaves the 16 weighted bands in `prod`, in band order.
template <int W, bool Standard, bool True, bool Filter2>
[[gnu::always_inline]] inline void bank_step(Lanes<W>& r, double v, const Shared& c, double* __restrict prod) {
    using D = typename V<W>::d;
    const double t = v - r.x2;
    r.x2 = r.x1;
    r.x1 = v;
    for (int h = 0; h < Lanes<W>::P; ++h) {
        const D y = stored<W>(((t - r.a1[h] * r.y1[h]) - r.a2[h] * r.y2[h]) / r.a0[h]);
        r.y2[h] = r.y1[h];
        r.y1[h] = y;
        D u = y;
        if (Standard) u = stored<W>(fold_back(u, c));
        if (True) u = stored<W>(true_limit(u, r.T[h], r.Tpos[h], c));
        r.band[h] = u;
        D src = u;
        if (Filter2) {
            if (r.any_on[h]) {
                const D y2 = stored<W>((((u - r.ex2[h]) - r.e1[h] * r.ey1[h]) - r.e2[h] * r.ey2[h]) / r.e0[h]);
                const auto on = r.on[h];
                r.ey2[h] = on ? r.ey1[h] : r.ey2[h];
                r.ey1[h] = on ? y2 : r.ey1[h];
                r.ex2[h] = on ? r.ex1[h] : r.ex2[h];
                r.ex1[h] = on ? u : r.ex1[h];
                r.eout[h] = on ? y2 : (r.pass[h] ? u : r.eout[h]);
            } else {
                r.eout[h] = r.pass[h] ? u : r.eout[h];
            }
            src = r.eout[h];
        }
        const D p = src * r.g[h];  // exact: two float32 values
        __builtin_memcpy(prod + h * W, &p, sizeof p);
    }
}

// The mix of each sample, band 0 first, rounded to float32, then Level; out[i * stride].
// Samples do not depend on each other here, so their sums overlap.
[[gnu::always_inline]] inline void mix_out(const double* __restrict prod, int32_t m, float* out, int stride,
                                           float gout, double& last_mix) {
    double mix = last_mix;
    for (int32_t i = 0; i < m; ++i) {
        const double* p = prod + i * kPlusBands;
        mix = 0.0;
        for (int j = 0; j < kPlusBands; ++j) mix = mix + p[j];
        const float o = static_cast<float>(mix) * gout;
        // Only a non-finite input gets here non-finite; the bank is cleared after the block.
        out[i * stride] = std::isfinite(o) ? o : 0.0f;
    }
    last_mix = mix;
}

// The state a bank carries from frame to frame (what else it holds follows from it and the input).
template <int W>
[[gnu::always_inline]] inline bool same_state(const Lanes<W>& a, const Lanes<W>& b) {
    return std::memcmp(a.y1, b.y1, sizeof a.y1) == 0 &&
           std::memcmp(a.y2, b.y2, sizeof a.y2) == 0 && std::memcmp(a.ey1, b.ey1, sizeof a.ey1) == 0 &&
           std::memcmp(a.ey2, b.ey2, sizeof a.ey2) == 0 && std::memcmp(a.ex1, b.ex1, sizeof a.ex1) == 0 &&
           std::memcmp(a.ex2, b.ex2, sizeof a.ex2) == 0 && std::memcmp(a.eout, b.eout, sizeof a.eout) == 0 &&
           std::bit_cast<uint64_t>(a.x1) == std::bit_cast<uint64_t>(b.x1) &&
           std::bit_cast<uint64_t>(a.x2) == std::bit_cast<uint64_t>(b.x2);
}

// After a signal, silence leaves the filters circling through a few values far below the smallest
// normal number, where every operation is slow. Only then is the cycle looked for.
template <int W>
[[gnu::always_inline]] inline bool settled_low(const Lanes<W>& r) {
    using D = typename V<W>::d;
    constexpr double kLow = 0x1p-100;
    bool low = std::fabs(r.x1) < kLow && std::fabs(r.x2) < kLow;
    for (int h = 0; h < Lanes<W>::P; ++h) {
        for (const D* v : {&r.y1[h], &r.y2[h], &r.ey1[h], &r.ey2[h], &r.ex1[h], &r.ex2[h], &r.eout[h]}) {
            const D d = *v;
            for (int l = 0; l < W; ++l) low = low && std::fabs(d[l]) < kLow;
        }
    }
    return low;
}

// True when every input the bank would see, x[i * stride] x gin, is +0.0.
[[gnu::always_inline]] inline bool silent(const float* x, int stride, int32_t n, float gin) {
    uint32_t any = 0;
    for (int32_t i = 0; i < n; ++i) any |= std::bit_cast<uint32_t>(x[i * stride] * gin);
    return any == 0;
}

// Frames from..n-1 of one bank, x[i * stride] in and out, a chunk of weighted bands at a time.
template <int W, bool Standard, bool True, bool Filter2>
[[gnu::always_inline]] inline void run_bank(Lanes<W>& r, float* x, int stride, int32_t from, int32_t n, const Shared& c,
                                            double* scratch) {
    for (int32_t at = from; at < n; at += kMixChunk) {
        const int32_t m = std::min(kMixChunk, n - at);
        for (int32_t i = 0; i < m; ++i)
            bank_step<W, Standard, True, Filter2>(r, x[(at + i) * stride] * c.gin, c, scratch + i * kPlusBands);
        mix_out(scratch, m, x + at * stride, stride, c.gout, r.mix);
    }
}

// A silent block from a settled state, frame by frame until the state comes back to where the block
// started: from there the frames repeat with that period, so their outputs are copies, and only the
// frames after the last whole period are run again. A cycle longer than kMaxPeriod is not looked
// for; the block then goes on the usual way.
template <int W, bool Standard, bool True, bool Filter2>
[[gnu::always_inline]] inline void run_quiet(Lanes<W>& r, float* out, int stride, int32_t n, const Shared& c,
                                             double* prod) {
    constexpr int32_t kMaxPeriod = 64;
    const Lanes<W> start = r;
    const int32_t search = std::min(n, kMaxPeriod);
    int32_t period = 0;
    for (int32_t i = 0; i < search && period == 0; ++i) {
        bank_step<W, Standard, True, Filter2>(r, 0.0, c, prod);
        mix_out(prod, 1, out + i * stride, stride, c.gout, r.mix);
        if (same_state(r, start)) period = i + 1;
    }
    if (period == 0) {
        run_bank<W, Standard, True, Filter2>(r, out, stride, search, n, c, prod);
        return;
    }
    const int32_t repeated = period + (n - period) / period * period;
    for (int32_t i = period; i < repeated; ++i) out[i * stride] = out[(i - period) * stride];
    for (int32_t i = repeated; i < n; ++i) {
        bank_step<W, Standard, True, Filter2>(r, 0.0, c, prod);
        mix_out(prod, 1, out + i * stride, stride, c.gout, r.mix);
    }
}

template <int W, bool Standard, bool True, bool Filter2>
[[gnu::always_inline]] inline void run_mono(Lanes<W>& r, float* s, int32_t n, const Shared& c, double* scratch) {
    if (settled_low(r) && silent(s, 1, n, c.gin))
        run_quiet<W, Standard, True, Filter2>(r, s, 1, n, c, scratch);
    else
        run_bank<W, Standard, True, Filter2>(r, s, 1, 0, n, c, scratch);
}

// Left through bank 1 and right through bank 0, a frame at a time: the banks share nothing, so
// this is the left pass followed by the right pass, and the two chains overlap.
template <int W, bool Standard, bool True, bool Filter2>
[[gnu::always_inline]] inline void run_stereo(Lanes<W>& left, Lanes<W>& right, float* x, int32_t n, const Shared& c,
                                              double* scratch) {
    double* const sl = scratch;
    double* const sr = scratch + kMixChunk * kPlusBands;
    if (settled_low(left) && settled_low(right) && silent(x, 2, n, c.gin) && silent(x + 1, 2, n, c.gin)) {
        run_quiet<W, Standard, True, Filter2>(left, x, 2, n, c, sl);
        run_quiet<W, Standard, True, Filter2>(right, x + 1, 2, n, c, sr);
        return;
    }
    for (int32_t at = 0; at < n; at += kMixChunk) {
        const int32_t m = std::min(kMixChunk, n - at);
        float* const f = x + 2 * at;
        if constexpr (W == 8) {
            for (int32_t i = 0; i < m; ++i) {
                bank_step<W, Standard, True, Filter2>(left, f[2 * i] * c.gin, c, sl + i * kPlusBands);
                bank_step<W, Standard, True, Filter2>(right, f[2 * i + 1] * c.gin, c, sr + i * kPlusBands);
            }
        } else {
            // Narrower registers: one bank's state at a time is what fits.
            for (int32_t i = 0; i < m; ++i)
                bank_step<W, Standard, True, Filter2>(left, f[2 * i] * c.gin, c, sl + i * kPlusBands);
            for (int32_t i = 0; i < m; ++i)
                bank_step<W, Standard, True, Filter2>(right, f[2 * i + 1] * c.gin, c, sr + i * kPlusBands);
        }
        mix_out(sl, m, f, 2, c.gout, left.mix);
        mix_out(sr, m, f + 1, 2, c.gout, right.mix);
    }
}

// One channel (right == nullptr) or both, with the switches as template arguments.
template <int W>
[[gnu::always_inline]] inline void run(Lanes<W>& a, Lanes<W>* b, float* x, int32_t n, const Shared& c, int flags,
                                       double* scratch) {
#define VX_PLUS_CASE(F, S, T, E)                                  \
    case F:                                                       \
        if (b)                                                    \
            run_stereo<W, S, T, E>(a, *b, x, n, c, scratch);      \
        else                                                      \
            run_mono<W, S, T, E>(a, x, n, c, scratch);            \
        break;
    switch (flags) {
        VX_PLUS_CASE(0, false, false, false)
        VX_PLUS_CASE(1, true, false, false)
        VX_PLUS_CASE(2, false, true, false)
        VX_PLUS_CASE(3, true, true, false)
        VX_PLUS_CASE(4, false, false, true)
        VX_PLUS_CASE(5, true, false, true)
        VX_PLUS_CASE(6, false, true, true)
        default: VX_PLUS_CASE(7, true, true, true)
    }
#undef VX_PLUS_CASE
}

#if defined(__x86_64__) && defined(__GNUC__)
#define VX_PLUS_TARGET(t) __attribute__((target(t)))
#else
#define VX_PLUS_TARGET(t)
#endif

template <int W>
[[gnu::always_inline]] inline void process_with(MultiBank& bank0, MultiBank* bank1, float* x, int32_t n, const Shared& c,
                                                int flags, double* scratch, const relaxed<float>* g0,
                                                const relaxed<float>* g1, const relaxed<float>* porog,
                                                const relaxed<bool>* eq_on) {
    Lanes<W> r0;
    load_lanes<W>(r0, bank0, false, g0, porog, eq_on);
    if (bank1) {
        Lanes<W> r1;
        load_lanes<W>(r1, *bank1, true, g1, porog, eq_on);
        run<W>(r1, &r0, x, n, c, flags, scratch);
        store_lanes<W>(r1, *bank1);
    } else {
        run<W>(r0, nullptr, x, n, c, flags, scratch);
    }
    store_lanes<W>(r0, bank0);
}

// The kernels, built for AVX2 and for the base instruction set. The same operations on both: the
// same bits, which the tests check by running both. No wider path: what CI cannot run goes untested.
using ProcessWith = void (*)(MultiBank&, MultiBank*, float*, int32_t, const Shared&, int, double*,
                             const relaxed<float>*, const relaxed<float>*, const relaxed<float>*, const relaxed<bool>*);

VX_PLUS_TARGET("arch=x86-64-v3") __attribute__((flatten))
void process_v3(MultiBank& b0, MultiBank* b1, float* x, int32_t n, const Shared& c, int flags, double* s,
                const relaxed<float>* g0, const relaxed<float>* g1, const relaxed<float>* p, const relaxed<bool>* on) {
    process_with<4>(b0, b1, x, n, c, flags, s, g0, g1, p, on);
}

void process_base(MultiBank& b0, MultiBank* b1, float* x, int32_t n, const Shared& c, int flags, double* s,
                  const relaxed<float>* g0, const relaxed<float>* g1, const relaxed<float>* p, const relaxed<bool>* on) {
    process_with<2>(b0, b1, x, n, c, flags, s, g0, g1, p, on);
}

ProcessWith kernel_for(bool vector) { return vector ? process_v3 : process_base; }


Shared shared_of(float fold_level, float gin, float gout, float slope) {
    Shared c;
    c.gin = gin;
    c.gout = gout;
    c.L = fold_level;
    const float k = static_cast<float>(static_cast<double>(fold_level) / 16000.0);
    c.k = k;
    c.k_half = 0.5 * c.k;
    c.k_eighth = 0.125 * c.k;
    c.slope = slope;
    c.keep = 1.0 - c.slope;
    return c;
}

}  // namespace

bool plus_vector_available() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi2");
#else
    return false;
#endif
}

int TMultiTortion_form::flags() const {
    return (use_standard ? 1 : 0) | (use_true ? 2 : 0) | (use_filter2 == 1 ? 4 : 0);
}

void TMultiTortion_form::mb_dsp(float* s, int32_t n) {
    if (n <= 0) return;
    kernel_for(vector_path)(bank0, nullptr, s, n, shared_of(bank0.fold_level, 1.0f, 1.0f, true_slope), flags(), mix_scratch, eq_gain0,
           eq_gain1, porog, eq_on);
    if (!bank0.memories_finite()) bank0.clear_memories();
}

// Bank 1 alone: run as the left channel of a stereo pass whose right channel is a copy of bank 0
// that is thrown away.
void TMultiTortion_form::mb_dsp_1(float* s, int32_t n) {
    for (int32_t at = 0; at < n; at += kMixChunk) {
        const int32_t m = std::min(kMixChunk, n - at);
        float pair[2 * kMixChunk];
        for (int32_t i = 0; i < m; ++i) pair[2 * i] = s[at + i], pair[2 * i + 1] = 0.0f;
        MultiBank spare = bank0;
        kernel_for(vector_path)(spare, &bank1, pair, m, shared_of(bank1.fold_level, 1.0f, 1.0f, true_slope), flags(), mix_scratch,
               eq_gain0, eq_gain1, porog, eq_on);
        for (int32_t i = 0; i < m; ++i) s[at + i] = pair[2 * i];
    }
    if (!bank1.memories_finite()) bank1.clear_memories();
}

void TMultiTortion_form::MultiTortion(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    const Shared c = shared_of(bank0.fold_level, gain_in, gain_out, true_slope);
    kernel_for(vector_path)(bank0, channelCount == 1 ? nullptr : &bank1, buffer, frameCount, c, flags(), mix_scratch, eq_gain0,
           eq_gain1, porog, eq_on);
    if (channelCount != 1 && !bank1.memories_finite()) bank1.clear_memories();
    if (!bank0.memories_finite()) bank0.clear_memories();
}

std::vector<Curve::Series> TMultiTortion_form::shaper_series() const {
    const Shared c = shared_of(bank0.fold_level, 1.0f, 1.0f, true_slope);
    const double T = porog[0], Tpos = std::max(T, 0.0);
    Curve::Series fold{use_standard ? "Standard" : "Standard (off)", Curve::Style::Line, ramp_inputs(), {}};
    Curve::Series limit{use_true ? "True" : "True (off)", Curve::Style::Line, ramp_inputs(), {}};
    for (double u : fold.x) {
        fold.y.push_back(static_cast<float>(fold_back(u, c)));
        limit.y.push_back(static_cast<float>(true_limit(u, T, Tpos, c)));
    }
    return {std::move(fold), std::move(limit)};
}

VX_REGISTER_KIND(5, TMultiTortion_form, MultiTortion)

}  // namespace vx
