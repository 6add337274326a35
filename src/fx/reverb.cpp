#include "reverb.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

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
    FormCreate();
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

namespace {

float percent(int32_t position) { return static_cast<float>(static_cast<long double>(position) / 100.0L); }

float root_percent(int32_t position) {
    return static_cast<float>(std::sqrt(static_cast<long double>(position) / 100.0L));
}

}  // namespace

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
    decay[0] = percent(ScrollBar_Mono_Decay.position());
    ScrollBar_Left_Decay.set_position(ScrollBar_Mono_Decay.position());
    ScrollBar_Right_Decay.set_position(ScrollBar_Mono_Decay.position());
}

void Treverb_form::ScrollBar_Left_DecayChange() { decay[1] = percent(ScrollBar_Left_Decay.position()); }

void Treverb_form::ScrollBar_Right_DecayChange() { decay[2] = percent(ScrollBar_Right_Decay.position()); }

void Treverb_form::ScrollBar_Mono_BrightnessChange() {
    const float c = root_percent(ScrollBar_Mono_Brightness.position());
    for (auto& t : tone_coef) t = c;
}

void Treverb_form::ScrollBar_Left_BrightnessChange() {
    const float d = root_percent(ScrollBar_Left_Brightness.position());
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

// The comb outputs summed in comb order, in float32, then scaled by 0.2.
template <int K>
inline void sum_combs(const Side& s, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        float sum = 0.0f;
        for (int k = 0; k < K; ++k) sum = s.taps[k][i] + sum;
        s.wet[i] = static_cast<float>(0.2 * static_cast<double>(sum));
    }
}

// The damping low-pass of every comb and the wet one-pole low-pass, sample by sample; both sides
// run in the same loop so that their recursions overlap. Each comb's filter values replace its
// outputs in taps.
template <int KA, int KB>
inline void recurse(const Side& a, const Side& b, double d1, double d2, int32_t n) {
    float fa[KA > 0 ? KA : 1], fb[KB > 0 ? KB : 1];
    for (int k = 0; k < KA; ++k) fa[k] = a.filt[k];
    for (int k = 0; k < KB; ++k) fb[k] = b.filt[k];
    float ta = *a.tone_state, tb = KB > 0 ? *b.tone_state : 0.0f;
    const double ca = a.c, ua = 1.0 - a.c;
    const double cb = KB > 0 ? b.c : 0.0, ub = 1.0 - cb;
    for (int32_t i = 0; i < n; ++i) {
        for (int k = 0; k < KA; ++k) {
            fa[k] = static_cast<float>(static_cast<double>(a.taps[k][i]) * d2 + static_cast<double>(fa[k]) * d1);
            a.taps[k][i] = fa[k];
        }
        for (int k = 0; k < KB; ++k) {
            fb[k] = static_cast<float>(static_cast<double>(b.taps[k][i]) * d2 + static_cast<double>(fb[k]) * d1);
            b.taps[k][i] = fb[k];
        }
        ta = static_cast<float>(ca * ta + ua * a.wet[i]);
        a.wet[i] = ta;
        if constexpr (KB > 0) {
            tb = static_cast<float>(cb * tb + ub * b.wet[i]);
            b.wet[i] = tb;
        }
    }
    for (int k = 0; k < KA; ++k) a.filt[k] = fa[k];
    for (int k = 0; k < KB; ++k) b.filt[k] = fb[k];
    *a.tone_state = ta;
    if constexpr (KB > 0) *b.tone_state = tb;
}

// Every comb stores its filter value x feedback + input where it read.
template <int K>
inline void write_combs(const Side& s, int32_t n) {
    for (int k = 0; k < K; ++k) {
        int32_t p = s.pos[k];
        const float* f = s.taps[k];
        for (int32_t i = 0; i < n;) {
            const int32_t run = std::min(n - i, s.len[k] - p);
            float* to = s.line[k] + p;
            for (int32_t m = 0; m < run; ++m)
                to[m] = static_cast<float>(static_cast<double>(f[i + m]) * s.fb + static_cast<double>(s.dry[i + m]));
            i += run;
            p += run;
            if (p >= s.len[k]) p = 0;
        }
        s.pos[k] = p;
    }
}

template <int KA, int KB>
[[gnu::always_inline]] inline void pass(const Side& a, const Side& b, double d1, double d2, int32_t n) {
    read_combs<KA>(a, n);
    sum_combs<KA>(a, n);
    if constexpr (KB > 0) {
        read_combs<KB>(b, n);
        sum_combs<KB>(b, n);
    }
    recurse<KA, KB>(a, b, d1, d2, n);
    write_combs<KA>(a, n);
    if constexpr (KB > 0) write_combs<KB>(b, n);
}

VX_VECTOR_CLONES
void mono_pass(const Side& a, double d1, double d2, int32_t n) { pass<Treverb_form::kCombsL, 0>(a, a, d1, d2, n); }

VX_VECTOR_CLONES
void stereo_pass(const Side& a, const Side& b, double d1, double d2, int32_t n) {
    pass<Treverb_form::kCombsR, Treverb_form::kCombsR>(a, b, d1, d2, n);
}

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

// Beyond this, the combs' sums could leave the float range.
constexpr float kSafeInput = 1e30f;

bool safe(const float* x, int32_t n) {
    bool ok = true;
    for (int32_t i = 0; i < n; ++i) ok &= std::fabs(x[i]) <= kSafeInput;
    return ok;
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
    for (int s = 0; s < sides; ++s) {
        const bool right = s == 1;
        const int which = stereo ? 1 + s : 0;
        side[s] = Side{right ? bankR.comb_line : bankL.comb_line,
                       right ? bankR.comb_pos : bankL.comb_pos,
                       right ? bankR.comb_len : bankL.comb_len,
                       right ? bankR.comb_filt : bankL.comb_filt,
                       scratch_.taps + (right ? kCombsL : 0),
                       scratch_.dry[s],
                       scratch_.wet[s],
                       right ? &postR.tone_state : &postML.tone_state,
                       static_cast<double>(right ? decay[2].load() : decay[1].load()),
                       static_cast<double>(tone_coef[which].load())};
    }
    int32_t len[2];
    float gain[2];
    for (int s = 0; s < sides; ++s) {
        const int which = stereo ? 1 + s : 0;
        len[s] = std::clamp(post_len[which].load(), kMinPost, kMaxPost);
        gain[s] = wet_gain[which];
    }
    bool ok = true;
    for (int32_t at = 0; at < frameCount; at += kChunk) {
        const int32_t n = std::min(kChunk, frameCount - at);
        float* block = buffer + static_cast<ptrdiff_t>(at) * sides;
        for (int s = 0; s < sides; ++s)
            for (int32_t i = 0; i < n; ++i) scratch_.dry[s][i] = block[i * sides + s];
        for (int s = 0; s < sides; ++s) ok &= safe(scratch_.dry[s], n);
        if (stereo)
            stereo_pass(side[0], side[1], d1, d2, n);
        else
            mono_pass(side[0], d1, d2, n);
        for (int s = 0; s < sides; ++s) {
            post_delay(s == 1 ? postR : postML, scratch_.wet[s], len[s], n);
            const double g = gain[s];
            const float* w = scratch_.wet[s];
            const float* x = scratch_.dry[s];
            for (int32_t i = 0; i < n; ++i)
                block[i * sides + s] = static_cast<float>(static_cast<double>(w[i]) * g + static_cast<double>(x[i]));
        }
    }
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

namespace {

// A stored float is kept within what the sliders can give; a non-finite one leaves the field alone.
void restore_float(relaxed<float>& field, int32_t word, float lo, float hi) {
    const float v = word_float(word);
    if (std::isfinite(v)) field = std::clamp(v, lo, hi);
}

}  // namespace

void Treverb_form::put_parameters(const int32_t* block) {
    const float gain_lo = *SliderFactor(0), gain_hi = *SliderFactor(100);
    for (int j = 0; j < 3; ++j) restore_float(wet_gain[j], block[j], gain_lo, gain_hi);
    ScrollBar_Gain_Mono.set_position(block[3]);
    ScrollBar_Gain_Left.set_position(block[4]);
    ScrollBar_Gain_Right.set_position(block[5]);

    for (int j = 0; j < 3; ++j) restore_float(decay[j], block[6 + j], percent(5), percent(99));
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
}

VX_REGISTER_KIND(7, Treverb_form, rever)

}  // namespace vx
