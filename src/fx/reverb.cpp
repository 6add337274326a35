#include "reverb.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "engine/effects.h"
#include "engine/units.h"
#include "laws.h"

namespace vx {

Treverb_form::Treverb_form() : Form("Reverberator", 520, 250) {
    Slider* grid[4][3] = {
        {&ScrollBar_Gain_Mono, &ScrollBar_Gain_Left, &ScrollBar_Gain_Right},
        {&ScrollBar_Mono_Delay, &ScrollBar_Left_Delay, &ScrollBar_Right_Delay},
        {&ScrollBar_Mono_Decay, &ScrollBar_Left_Decay, &ScrollBar_Right_Decay},
        {&ScrollBar_Mono_Brightness, &ScrollBar_Left_Brightness, &ScrollBar_Right_Brightness},
    };
    const char* columns[3] = {"Mono", "Left", "Right"};
    const char* rows[4] = {"Gain", "Delay", "Decay", "Brightness"};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) {
            Slider* s = grid[r][c];
            s->label = r == 3 ? std::string("Brightness") : std::string(columns[c]) + " " + rows[r];
            s->group = columns[c];
            s->bounds = {16 + c * 168, 28 + r * 52, 152, 17};
        }
    }
    ScrollBar_Gain_Mono.hint = "Reverb level; moves Left and Right too";
    ScrollBar_Mono_Delay.hint = "Samples before the reverb starts; moves Left and Right too";
    ScrollBar_Mono_Decay.hint = "Length of the tail; moves Left and Right too";
    ScrollBar_Mono_Brightness.hint = "Treble of the reverb (both sides)";
    ScrollBar_Left_Brightness.hint = "Damping of the repeats (both sides)";
    ScrollBar_Right_Brightness.set_visible(false);
    // Column by column, so that each column's group holds its own sliders.
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 4; ++r) add(*grid[r][c]);

    ScrollBar_Gain_Mono.on_change = [this] { ScrollBar_Gain_MonoChange(); };
    ScrollBar_Gain_Left.on_change = [this] { ScrollBar_Gain_LeftChange(); };
    ScrollBar_Gain_Right.on_change = [this] { ScrollBar_Gain_RightChange(); };
    ScrollBar_Mono_Delay.on_change = [this] { ScrollBar_Mono_DelayChange(); };
    ScrollBar_Left_Delay.on_change = [this] { ScrollBar_Left_DelayChange(); };
    ScrollBar_Right_Delay.on_change = [this] { ScrollBar_Right_DelayChange(); };
    ScrollBar_Mono_Decay.on_change = [this] { ScrollBar_Mono_DecayChange(); };
    ScrollBar_Left_Decay.on_change = [this] { ScrollBar_Left_DecayChange(); };
    ScrollBar_Right_Decay.on_change = [this] { ScrollBar_Right_DecayChange(); };
    ScrollBar_Mono_Brightness.on_change = [this] { ScrollBar_Mono_BrightnessChange(); };
    ScrollBar_Left_Brightness.on_change = [this] { ScrollBar_Left_BrightnessChange(); };
    ScrollBar_Right_Brightness.on_change = [this] { ScrollBar_Right_BrightnessChange(); };
    // Under the three columns.
    Curve_Decay.bounds = {16, 240, 488, 200};
    add(Curve_Decay);
    // Rendering a second of reverb is too much for every step of a drag: the picture waits until the
    // sliders rest.
    // Nor is it rendered before someone looks at it.
    Curve_Decay.set_source([this] { return decay_series(); });
    after_each_change(*this, [this] { decay_wait_ = kDecayRest; });
    Timer_Decay.on_timer = [this] {
        if (decay_wait_ == 0 && display_rate() != decay_rate_ && !Curve_Decay.stale()) decay_wait_ = 1;
        if (decay_wait_ > 0 && --decay_wait_ == 0) Curve_Decay.invalidate();
    };
    // Each shows the value its handler stored (index 0 mono, 1 left, 2 right): a new instance runs
    // its own tone and damping until a slider moves.
    Slider* gains[3] = {&ScrollBar_Gain_Mono, &ScrollBar_Gain_Left, &ScrollBar_Gain_Right};
    Slider* delays[3] = {&ScrollBar_Mono_Delay, &ScrollBar_Left_Delay, &ScrollBar_Right_Delay};
    Slider* decays[3] = {&ScrollBar_Mono_Decay, &ScrollBar_Left_Decay, &ScrollBar_Right_Decay};
    for (int j = 0; j < 3; ++j) {
        gains[j]->unit_text = [this, j] { return gain_text(wet_gain[j]); };
        delays[j]->unit_text = [this, j] { return samples_text(post_len[j], display_rate()); };
        decays[j]->unit_text = [this, j] { return percent_text(decay[j]); };
    }
    // Both brightness laws set the coefficient c of a one-pole low-pass: its corner is what one hears.
    ScrollBar_Mono_Brightness.unit_text = [this] { return one_pole_corner_text(tone_coef[0], display_rate()); };
    ScrollBar_Left_Brightness.unit_text = [this] { return one_pole_corner_text(damp1, display_rate()); };
    FormCreate();
}

// The wet part (output minus the impulse) of a private instance's response, its energy per window
// against the impulse's.
std::vector<Curve::Series> Treverb_form::decay_series() {
    decay_rate_ = std::max(1, display_rate());
    const int32_t frames = decay_rate_;  // one second
    const int32_t window = std::max<int32_t>(1, decay_rate_ * kDecayWindowMs / 1000);
    constexpr float kImpulse = 32767.0f;
    std::vector<Curve::Series> out;
    for (int channels : {1, 2}) {
        auto copy = private_copy(*this);
        // The damping is not part of the stored settings.
        copy->damp1 = damp1.load();
        copy->damp2 = damp2.load();
        std::vector<float> buf(static_cast<size_t>(frames) * channels, 0.0f);
        for (int c = 0; c < channels; ++c) buf[static_cast<size_t>(c)] = kImpulse;
        for (int32_t at = 0; at < frames; at += 512) {
            const int32_t n = std::min<int32_t>(512, frames - at);
            copy->rever(n, decay_rate_, channels, buf.data() + static_cast<size_t>(at) * channels);
        }
        for (int c = 0; c < channels; ++c) buf[static_cast<size_t>(c)] -= kImpulse;
        for (int c = 0; c < channels; ++c) {
            Curve::Series s{channels == 1 ? "mono" : c == 0 ? "left" : "right", Curve::Style::Line, {}, {}};
            for (int32_t w0 = 0; w0 + window <= frames; w0 += window) {
                double e = 0.0;
                for (int32_t i = w0; i < w0 + window; ++i) {
                    const double v = buf[static_cast<size_t>(i) * channels + c];
                    e += v * v;
                }
                s.x.push_back((w0 + window / 2.0) * 1000.0 / decay_rate_);
                s.y.push_back(e > 0.0 ? std::max(-240.0, 10.0 * std::log10(e / (double{kImpulse} * kImpulse))) : -240.0);
            }
            out.push_back(std::move(s));
        }
    }
    return out;
}

// The sliders keep the form's positions; the processing starts from values of its own.
void Treverb_form::FormCreate() {
    shown_once = 0;
    for (int k = 0; k < kCombsL; ++k) bankL.comb_len[k] = kLengthsL[k];
    for (int k = 0; k < kCombsR; ++k) bankR.comb_len[k] = kLengthsR[k];
    tone_coef[0] = 0.75f;
    tone_coef[1] = 0.75f;
    tone_coef[2] = 0.0f;
    for (auto& d : decay) d = 0.75f;
    for (auto& len : post_len) len = kMinPost;
    damp1 = 0.05f;
    damp2 = 0.95f;
    std::fill_n(postML.post_line, 5000, 0.0f);
    std::fill_n(postR.post_line, 5000, 0.0f);
}

void Treverb_form::create_defaults() {
    for (auto& g : wet_gain) g = 1.0f;
}

// --- Handlers -------------------------------------------------------------------------------------

float reverb_percent(int32_t position) { return static_cast<float>(static_cast<long double>(position) / 100.0L); }

float reverb_root_percent(int32_t position) {
    return static_cast<float>(std::sqrt(static_cast<long double>(position) / 100.0L));
}

void Treverb_form::ScrollBar_Gain_MonoChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_Mono.position())) wet_gain[0] = *f;
    ScrollBar_Gain_Left.set_position(ScrollBar_Gain_Mono.position());
    ScrollBar_Gain_Right.set_position(ScrollBar_Gain_Mono.position());
}

void Treverb_form::ScrollBar_Gain_LeftChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_Left.position())) wet_gain[1] = *f;
}

void Treverb_form::ScrollBar_Gain_RightChange() {
    if (auto f = SliderFactor(ScrollBar_Gain_Right.position())) wet_gain[2] = *f;
}

void Treverb_form::ScrollBar_Mono_DelayChange() {
    post_len[0] = ScrollBar_Mono_Delay.position();
    ScrollBar_Left_Delay.set_position(ScrollBar_Mono_Delay.position());
    ScrollBar_Right_Delay.set_position(ScrollBar_Mono_Delay.position());
}

void Treverb_form::ScrollBar_Left_DelayChange() { post_len[1] = ScrollBar_Left_Delay.position(); }

void Treverb_form::ScrollBar_Right_DelayChange() { post_len[2] = ScrollBar_Right_Delay.position(); }

void Treverb_form::ScrollBar_Mono_DecayChange() {
    decay[0] = reverb_percent(ScrollBar_Mono_Decay.position());
    ScrollBar_Left_Decay.set_position(ScrollBar_Mono_Decay.position());
    ScrollBar_Right_Decay.set_position(ScrollBar_Mono_Decay.position());
}

void Treverb_form::ScrollBar_Left_DecayChange() { decay[1] = reverb_percent(ScrollBar_Left_Decay.position()); }

void Treverb_form::ScrollBar_Right_DecayChange() { decay[2] = reverb_percent(ScrollBar_Right_Decay.position()); }

void Treverb_form::ScrollBar_Mono_BrightnessChange() {
    const float c = reverb_root_percent(ScrollBar_Mono_Brightness.position());
    for (auto& t : tone_coef) t = c;
}

void Treverb_form::ScrollBar_Left_BrightnessChange() {
    const float d = reverb_root_percent(ScrollBar_Left_Brightness.position());
    damp1 = d;
    damp2 = static_cast<float>(1.0L - d);
}

// --- Processing -----------------------------------------------------------------------------------

namespace {

using Taps = float[Treverb_form::kChunk];

// One side of a pass: its combs, its wet stage and the values read for this block.
struct Side {
    float (*line)[Treverb_form::kCombWords];
    int32_t* pos;
    const int32_t* len;
    float* filt;
    Taps* taps;
    float* dry;
    float* wet;
    float* tone_state;
    double fb;
    double c;
};

// Up to the shortest comb length, a comb's outputs for a pass are entries already in its line.
template <int K>
inline void read_combs(const Side& s, int32_t n) {
    for (int k = 0; k < K; ++k) {
        const int32_t p = s.pos[k];
        const int32_t first = std::min(n, s.len[k] - p);
        std::memcpy(s.taps[k], s.line[k] + p, sizeof(float) * static_cast<size_t>(first));
        std::memcpy(s.taps[k] + first, s.line[k], sizeof(float) * static_cast<size_t>(n - first));
    }
}

// The comb outputs summed in comb order, then scaled by 0.2. A sum of two float32 rounded in double
// and then to float32 is the float32 sum, so the additions run in float32.
template <int K>
inline void sum_combs(const Side& s, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        float sum = 0.0f;
        for (int k = 0; k < K; ++k) sum = s.taps[k][i] + sum;
        s.wet[i] = static_cast<float>(0.2 * static_cast<double>(sum));
    }
}

typedef float v8f __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));

// 4 x 4 blocks transposed within each 128-bit half.
[[gnu::always_inline]] inline void transpose4x2(v8f& a0, v8f& a1, v8f& a2, v8f& a3) {
    const v8f t0 = __builtin_shufflevector(a0, a1, 0, 8, 1, 9, 4, 12, 5, 13);
    const v8f t1 = __builtin_shufflevector(a0, a1, 2, 10, 3, 11, 6, 14, 7, 15);
    const v8f t2 = __builtin_shufflevector(a2, a3, 0, 8, 1, 9, 4, 12, 5, 13);
    const v8f t3 = __builtin_shufflevector(a2, a3, 2, 10, 3, 11, 6, 14, 7, 15);
    a0 = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
    a1 = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
    a2 = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
    a3 = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
}

// Eight samples of eight rows (from column i) as one vector per sample. Each vector is put
// together from two half rows as it is loaded, so only the 4 x 4 steps shuffle.
[[gnu::always_inline]] inline void rows_to_columns(Taps* rows, int32_t i, v8f c[8]) {
    for (int h = 0; h < 2; ++h) {
        for (int k = 0; k < 4; ++k) {
            v4f lo, hi;
            std::memcpy(&lo, rows[k] + i + 4 * h, sizeof lo);
            std::memcpy(&hi, rows[k + 4] + i + 4 * h, sizeof hi);
            c[4 * h + k] = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
        }
        transpose4x2(c[4 * h], c[4 * h + 1], c[4 * h + 2], c[4 * h + 3]);
    }
}

// The way back: one vector per sample into eight rows, stored half a row at a time.
[[gnu::always_inline]] inline void columns_to_rows(v8f c[8], Taps* rows, int32_t i) {
    for (int h = 0; h < 2; ++h) {
        transpose4x2(c[4 * h], c[4 * h + 1], c[4 * h + 2], c[4 * h + 3]);
        for (int k = 0; k < 4; ++k) {
            const v4f lo = __builtin_shufflevector(c[4 * h + k], c[4 * h + k], 0, 1, 2, 3);
            const v4f hi = __builtin_shufflevector(c[4 * h + k], c[4 * h + k], 4, 5, 6, 7);
            std::memcpy(rows[k] + i + 4 * h, &lo, sizeof lo);
            std::memcpy(rows[k + 4] + i + 4 * h, &hi, sizeof hi);
        }
    }
}

// One step for eight combs side by side, from their outputs y (float32) at one sample:
// filt = y x damp2 + filt x damp1 in double, stored as float32 (flo/fhi hold the stored values
// widened); out is what each comb stores, filt x feedback + input, rounded to float32.
[[gnu::always_inline]] inline void comb8(const float* y, v4d& flo, v4d& fhi, const v4d& d1, const v4d& d2,
                                         const v4d& fb, double x, v8f& out) {
    v4f y4[2];
    std::memcpy(y4, y, sizeof y4);
    const v4d ylo = __builtin_convertvector(y4[0], v4d);
    const v4d yhi = __builtin_convertvector(y4[1], v4d);
    flo = __builtin_convertvector(__builtin_convertvector(ylo * d2 + flo * d1, v4f), v4d);
    fhi = __builtin_convertvector(__builtin_convertvector(yhi * d2 + fhi * d1, v4f), v4d);
    const v4f slo = __builtin_convertvector(flo * fb + x, v4f);
    const v4f shi = __builtin_convertvector(fhi * fb + x, v4f);
    out = __builtin_shufflevector(slo, shi, 0, 1, 2, 3, 4, 5, 6, 7);
}

// The damping low-pass of 16 combs (rows 0..15 of taps, two groups of eight), the values they
// store, and the wet one-pole low-pass of one or two sides, sample by sample in one loop so that
// the recursions overlap. The combs run side by side: eight samples at a time, their outputs are
// turned into one vector per sample, and the values to store turned back into taps, row by row.
template <bool TwoTones>
[[gnu::always_inline]] inline void recurse(Taps* taps, float filt[2][8], double d1s, double d2s, const Side& a,
                                           const Side& b, int32_t n) {
    const v4d d1 = {d1s, d1s, d1s, d1s}, d2 = {d2s, d2s, d2s, d2s};
    const v4d fb[2] = {{a.fb, a.fb, a.fb, a.fb}, {b.fb, b.fb, b.fb, b.fb}};
    const float* dry[2] = {a.dry, b.dry};
    v4d f[2][2];
    for (int g = 0; g < 2; ++g)
        for (int h = 0; h < 2; ++h)
            f[g][h] = v4d{filt[g][4 * h], filt[g][4 * h + 1], filt[g][4 * h + 2], filt[g][4 * h + 3]};
    float ta = *a.tone_state, tb = *b.tone_state;
    const double ca = a.c, ua = 1.0 - a.c, cb = b.c, ub = 1.0 - b.c;
    for (int32_t i = 0; i < n; i += 8) {
        const int32_t m = std::min<int32_t>(8, n - i);
        alignas(32) float y[2][8][8];
        v8f r[2][8];
        for (int g = 0; g < 2; ++g) {
            rows_to_columns(taps + 8 * g, i, r[g]);
            std::memcpy(y[g], r[g], sizeof y[g]);
        }
        for (int j = 0; j < m; ++j) {
            for (int g = 0; g < 2; ++g) comb8(y[g][j], f[g][0], f[g][1], d1, d2, fb[g], dry[g][i + j], r[g][j]);
            ta = static_cast<float>(ca * ta + ua * a.wet[i + j]);
            a.wet[i + j] = ta;
            if constexpr (TwoTones) {
                tb = static_cast<float>(cb * tb + ub * b.wet[i + j]);
                b.wet[i + j] = tb;
            }
        }
        for (int g = 0; g < 2; ++g) columns_to_rows(r[g], taps + 8 * g, i);
    }
    for (int g = 0; g < 2; ++g)
        for (int k = 0; k < 8; ++k) filt[g][k] = static_cast<float>(f[g][k / 4][k % 4]);
    *a.tone_state = ta;
    if constexpr (TwoTones) *b.tone_state = tb;
}

// Every comb stores, where it read, the values recurse left in its row of taps.
template <int K>
inline void write_combs(const Side& s, int32_t n) {
    for (int k = 0; k < K; ++k) {
        const int32_t p = s.pos[k];
        const int32_t first = std::min(n, s.len[k] - p);
        std::memcpy(s.line[k] + p, s.taps[k], sizeof(float) * static_cast<size_t>(first));
        std::memcpy(s.line[k], s.taps[k] + first, sizeof(float) * static_cast<size_t>(n - first));
        s.pos[k] = p + n >= s.len[k] ? p + n - s.len[k] : p + n;
    }
}

// One pass of the combs and the tone low-pass over n frames.
VX_VECTOR_CLONES
void mono_pass(const Side& a, Taps* taps, double d1, double d2, int32_t n) {
    constexpr int K = Treverb_form::kCombsL;
    // Rows 12..15 fill the second group's spare lanes.
    for (int k = K; k < 16; ++k) std::fill_n(taps[k], n, 0.0f);
    read_combs<K>(a, n);
    sum_combs<K>(a, n);
    float filt[2][8] = {};
    std::copy_n(a.filt, K, &filt[0][0]);
    recurse<false>(taps, filt, d1, d2, a, a, n);
    std::copy_n(&filt[0][0], K, a.filt);
    write_combs<K>(a, n);
}

VX_VECTOR_CLONES
void stereo_pass(const Side& a, const Side& b, Taps* taps, double d1, double d2, int32_t n) {
    constexpr int K = Treverb_form::kCombsR;
    read_combs<K>(a, n);
    sum_combs<K>(a, n);
    read_combs<K>(b, n);
    sum_combs<K>(b, n);
    float filt[2][8];
    std::copy_n(a.filt, K, filt[0]);
    std::copy_n(b.filt, K, filt[1]);
    recurse<true>(taps, filt, d1, d2, a, b, n);
    std::copy_n(filt[0], K, a.filt);
    std::copy_n(filt[1], K, b.filt);
    write_combs<K>(a, n);
    write_combs<K>(b, n);
}

// Beyond this, the combs' sums could leave the float range.
constexpr float kSafeInput = 1e30f;

// The buffer's channels into dry; false if a sample is not safely finite.
template <int Sides>
[[gnu::always_inline]] inline bool take_channels(float (*__restrict dry)[Treverb_form::kChunk],
                                                 const float* __restrict block, int32_t n) {
    bool ok = true;
    for (int32_t i = 0; i < n; ++i) {
        for (int s = 0; s < Sides; ++s) {
            dry[s][i] = block[Sides * i + s];
            ok &= std::fabs(dry[s][i]) <= kSafeInput;
        }
    }
    return ok;
}

VX_VECTOR_CLONES
bool take_mono(float (*dry)[Treverb_form::kChunk], const float* block, int32_t n) { return take_channels<1>(dry, block, n); }

VX_VECTOR_CLONES
bool take_stereo(float (*dry)[Treverb_form::kChunk], const float* block, int32_t n) { return take_channels<2>(dry, block, n); }

// The pure delay: each sample is exchanged with the line entry at the position. A position beyond
// a length that has just become shorter is used once more and then starts again at 0.
void post_delay(Treverb_form::Post& p, float* w, int32_t len, int32_t n) {
    for (int32_t i = 0; i < n;) {
        const int32_t run = p.post_pos < len ? std::min(n - i, len - p.post_pos) : 1;
        std::swap_ranges(w + i, w + i + run, p.post_line + p.post_pos);
        i += run;
        p.post_pos += run;
        if (p.post_pos >= len) p.post_pos = 0;
    }
}

// The wet signals times their gains added to the dry ones, back into the buffer.
template <int Sides>
[[gnu::always_inline]] inline void mix_channels(float* __restrict block, const float (*__restrict wet)[Treverb_form::kChunk],
                                                const float (*__restrict dry)[Treverb_form::kChunk], const double* gain,
                                                int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        for (int s = 0; s < Sides; ++s)
            block[Sides * i + s] =
                static_cast<float>(static_cast<double>(wet[s][i]) * gain[s] + static_cast<double>(dry[s][i]));
}

VX_VECTOR_CLONES
void mix_mono(float* block, const float (*wet)[Treverb_form::kChunk], const float (*dry)[Treverb_form::kChunk],
              const double* gain, int32_t n) {
    mix_channels<1>(block, wet, dry, gain, n);
}

VX_VECTOR_CLONES
void mix_stereo(float* block, const float (*wet)[Treverb_form::kChunk], const float (*dry)[Treverb_form::kChunk],
                const double* gain, int32_t n) {
    mix_channels<2>(block, wet, dry, gain, n);
}

}  // namespace

void Treverb_form::rever(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    const float d1f = damp1;
    const double d1 = d1f;
    const double d2 = static_cast<float>(1.0 - d1);
    const bool stereo = channelCount != 1;
    const int sides = stereo ? 2 : 1;
    Side side[2];
    int32_t len[2];
    double gain[2];
    for (int s = 0; s < sides; ++s) {
        const bool right = s == 1;
        const int which = stereo ? 1 + s : 0;  // mono reads the M fields, stereo L and R
        side[s] = Side{right ? bankR.comb_line : bankL.comb_line,
                       right ? bankR.comb_pos : bankL.comb_pos,
                       right ? bankR.comb_len : bankL.comb_len,
                       right ? bankR.comb_filt : bankL.comb_filt,
                       scratch_.taps + (right ? 8 : 0),
                       scratch_.dry[s],
                       scratch_.wet[s],
                       right ? &postR.tone_state : &postML.tone_state,
                       static_cast<double>(right ? decay[2].load() : decay[1].load()),
                       static_cast<double>(tone_coef[which].load())};
        len[s] = std::clamp(post_len[which].load(), kMinPost, kMaxPost);
        gain[s] = wet_gain[which];
    }
    bool ok = true;
    for (int32_t at = 0; at < frameCount; at += kChunk) {
        const int32_t n = std::min(kChunk, frameCount - at);
        float* block = buffer + static_cast<ptrdiff_t>(at) * sides;
        ok &= stereo ? take_stereo(scratch_.dry, block, n) : take_mono(scratch_.dry, block, n);
        if (stereo)
            stereo_pass(side[0], side[1], scratch_.taps, d1, d2, n);
        else
            mono_pass(side[0], scratch_.taps, d1, d2, n);
        for (int s = 0; s < sides; ++s) post_delay(s == 1 ? postR : postML, scratch_.wet[s], len[s], n);
        if (stereo)
            mix_stereo(block, scratch_.wet, scratch_.dry, gain, n);
        else
            mix_mono(block, scratch_.wet, scratch_.dry, gain, n);
    }
    // A non-finite or huge input may have left non-finite values in the memories.
    if (!ok) [[unlikely]]
        clear_non_finite();
}

void Treverb_form::clear_non_finite() {
    auto clean = [](float* v, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (!std::isfinite(v[i])) v[i] = 0.0f;
    };
    clean(&bankL.comb_line[0][0], sizeof bankL.comb_line / sizeof(float));
    clean(&bankR.comb_line[0][0], sizeof bankR.comb_line / sizeof(float));
    clean(bankL.comb_filt, kCombsL);
    clean(bankR.comb_filt, kCombsR);
    for (Post* p : {&postML, &postR}) {
        clean(&p->tone_state, 1);
        clean(p->post_line, kPostWords);
    }
}

// --- Parameter block ------------------------------------------------------------------------------

void Treverb_form::get_parameters(int32_t* block) {
    for (int j = 0; j < 3; ++j) {
        block[0 + j] = float_word(wet_gain[j]);
        block[6 + j] = float_word(decay[j]);
        block[12 + j] = float_word(tone_coef[j]);
        block[18 + j] = post_len[j];
    }
    block[3] = ScrollBar_Gain_Mono.position();
    block[4] = ScrollBar_Gain_Left.position();
    block[5] = ScrollBar_Gain_Right.position();
    block[9] = ScrollBar_Mono_Decay.position();
    block[10] = ScrollBar_Left_Decay.position();
    block[11] = ScrollBar_Right_Decay.position();
    block[15] = ScrollBar_Mono_Brightness.position();
    block[16] = ScrollBar_Left_Brightness.position();
    block[17] = ScrollBar_Right_Brightness.position();
    block[21] = ScrollBar_Mono_Delay.position();
    block[22] = ScrollBar_Left_Delay.position();
    block[23] = ScrollBar_Right_Delay.position();
}

void Treverb_form::put_parameters(const int32_t* block) {
    const float gain_lo = *SliderFactor(0), gain_hi = *SliderFactor(100);
    for (int j = 0; j < 3; ++j) restore_float(wet_gain[j], block[j], gain_lo, gain_hi);
    ScrollBar_Gain_Mono.set_position(block[3]);
    ScrollBar_Gain_Left.set_position(block[4]);
    ScrollBar_Gain_Right.set_position(block[5]);

    for (int j = 0; j < 3; ++j) restore_float(decay[j], block[6 + j], reverb_percent(5), reverb_percent(99));
    ScrollBar_Mono_Decay.set_position(block[9]);
    ScrollBar_Left_Decay.set_position(block[10]);
    ScrollBar_Right_Decay.set_position(block[11]);

    // 0.0 is the right side's value in a new instance.
    for (int j = 0; j < 3; ++j) restore_float(tone_coef[j], block[12 + j], 0.0f, 1.0f);
    ScrollBar_Mono_Brightness.set_position(block[15]);
    ScrollBar_Left_Brightness.set_position(block[16]);
    ScrollBar_Right_Brightness.set_position(block[17]);

    for (int j = 0; j < 3; ++j) post_len[j] = std::clamp(block[18 + j], kMinPost, kMaxPost);
    ScrollBar_Mono_Delay.set_position(block[21]);
    ScrollBar_Left_Delay.set_position(block[22]);
    ScrollBar_Right_Delay.set_position(block[23]);
    decay_wait_ = kDecayRest;
}

VX_REGISTER_KIND(7, Treverb_form, rever)

}  // namespace vx
