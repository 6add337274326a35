#include "flangers.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/effects.h"
#include "engine/units.h"
#include "laws.h"

namespace vx {

namespace {

constexpr int32_t kMask = Tflanger_form::kLine - 1;
constexpr float kLine_f = static_cast<float>(Tflanger_form::kLine);

// What the controls can produce; a restored word is kept within it.
const float kLevelMin = static_cast<float>(1.0L / 50.0L);
const float kLevelMax = 2.0f;
const float kFeedbackMax = static_cast<float>(48.0L / 50.0L);
const float kSpeedMin = flanger_speed(1);
const float kSpeedMax = flanger_speed(100);

// A channel's running state, held in registers for one block.
struct Run {
    int32_t wp, idx0, idx1, cpos, clen;
    float phase, sweep, speed, last;
    double fb;
    float check;  // stays 0 while every value written is finite, NaN otherwise
};

Run begin(Tflanger_form::Channel& c) {
    Run r;
    r.wp = c.write_pos & kMask;
    r.idx0 = c.idx0 & kMask;
    r.idx1 = c.idx1 & kMask;
    r.cpos = c.chorus_pos >= 0 && c.chorus_pos < Tflanger_form::kChorusWords ? c.chorus_pos : 0;
    r.clen = std::clamp<int32_t>(c.chorus_len, 1, Tflanger_form::kChorusWords);
    r.phase = c.phase;
    r.sweep = c.sweep;
    r.speed = c.speed.load(std::memory_order_relaxed);
    r.last = c.last_tap;
    r.fb = c.feedback;
    r.check = 0.0f;
    return r;
}

void clear_memories(Tflanger_form::Channel& c) {
    std::fill(std::begin(c.line), std::end(c.line), 0.0f);
    std::fill(std::begin(c.chorus_line), std::end(c.chorus_line), 0.0f);
    c.last_tap = 0.0f;
}

void finish(Tflanger_form::Channel& c, const Run& r, float speed_at_start) {
    c.write_pos = r.wp;
    c.idx0 = r.idx0;
    c.idx1 = r.idx1;
    c.chorus_pos = r.cpos;
    c.phase = r.phase;
    c.sweep = r.sweep;
    c.last_tap = r.last;
    // A handler that stored a speed during the block keeps it: only the block's own turns are
    // written back, and only over the value the block started from.
    if (r.speed != speed_at_start)
        c.speed.compare_exchange_strong(speed_at_start, r.speed, std::memory_order_relaxed);
    if (r.check != 0.0f || !std::isfinite(r.last)) [[unlikely]]
        clear_memories(c);
}

// One sample of one channel; returns the output sample.
template <bool Chorus>
inline float step(Tflanger_form::Channel& c, Run& r, float x, double level) {
    const float w = static_cast<float>(r.fb * r.last + x);
    c.line[r.wp] = w;
    const float a = c.line[r.idx1];
    const float b = c.line[r.idx0];
    const float frac = r.phase - static_cast<float>(r.idx0);  // exact: the phase less its whole part
    float t = static_cast<float>((static_cast<double>(a) - b) * frac + b);
    const float q = w - t;
    r.check += q - q;
    if constexpr (Chorus) {
        const float out = c.chorus_line[r.cpos];
        c.chorus_line[r.cpos] = t;
        if (++r.cpos >= r.clen) r.cpos = 0;
        t = out;
    }
    r.last = t;
    r.wp = (r.wp + 1) & kMask;

    r.sweep += r.speed;
    // Each end sets the direction that leads back inside, rather than turning whatever is there:
    // a speed stored just after a turn would otherwise turn at every sample and hold the sweep at
    // the end. In an undisturbed sweep both give the same turns.
    if (r.sweep > Tflanger_form::kSweepTop) r.speed = -std::fabs(r.speed);
    if (r.sweep < 0.0f) r.speed = std::fabs(r.speed);
    r.phase = static_cast<float>(static_cast<double>(r.phase) + 1.0 + r.speed);
    if (r.phase >= kLine_f) r.phase -= kLine_f;
    if (r.phase < 0.0f) r.phase += kLine_f;
    r.idx0 = static_cast<int32_t>(r.phase) & kMask;
    r.idx1 = (r.idx0 + 1) & kMask;
    return static_cast<float>(x + static_cast<double>(t) * level);
}

template <bool Chorus>
void run_one(Tflanger_form::Channel& c, float* samples, int32_t n, double level) {
    Run r = begin(c);
    const float speed0 = r.speed;
    for (int32_t i = 0; i < n; ++i) samples[i] = step<Chorus>(c, r, samples[i], level);
    finish(c, r, speed0);
}

// Both channels of a stereo block in one pass: the two sweeps' chains of roundings overlap.
template <bool Chorus>
void run_pair(Tflanger_form::Channel& cl, Tflanger_form::Channel& cr, float* buffer, int32_t n, double level) {
    Run l = begin(cl);
    Run r = begin(cr);
    const float speed_l = l.speed;
    const float speed_r = r.speed;
    for (int32_t i = 0; i < n; ++i) {
        float* const frame = buffer + 2 * static_cast<ptrdiff_t>(i);
        frame[0] = step<Chorus>(cl, l, frame[0], level);
        frame[1] = step<Chorus>(cr, r, frame[1], level);
    }
    finish(cl, l, speed_l);
    finish(cr, r, speed_r);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define VX_FLANGER_VECTOR 1

// The same steps with the left channel in lane 0 and the right one in lane 1: every operation is
// the one of step(), on two values at once, so each result is the same float. The turns of the
// sweep and the wrap of the read position are rare and taken lane by lane.
template <bool Chorus>
__attribute__((target("avx2"))) void run_pair_vector(Tflanger_form::Channel& cl, Tflanger_form::Channel& cr,
                                                     float* buffer, int32_t n, double level) {
    Run l = begin(cl);
    Run r = begin(cr);
    const float speed_l = l.speed;
    const float speed_r = r.speed;

    __m128 phase = _mm_setr_ps(l.phase, r.phase, 0.0f, 0.0f);
    __m128d phase_d = _mm_cvtps_pd(phase);
    __m128 sweep = _mm_setr_ps(l.sweep, r.sweep, 0.0f, 0.0f);
    __m128 speed = _mm_setr_ps(l.speed, r.speed, 0.0f, 0.0f);
    __m128d speed_d = _mm_cvtps_pd(speed);
    __m128 last = _mm_setr_ps(l.last, r.last, 0.0f, 0.0f);
    __m128 check = _mm_setzero_ps();
    const __m128d fb = _mm_setr_pd(l.fb, r.fb);
    const __m128d lv = _mm_set1_pd(level);
    const __m128d one = _mm_set1_pd(1.0);
    const __m128 top = _mm_set1_ps(Tflanger_form::kSweepTop);
    const __m128 end = _mm_set1_ps(kLine_f);
    const __m128i mask = _mm_set1_epi32(kMask);
    alignas(16) int32_t idx[4] = {l.idx0, r.idx0, l.idx1, r.idx1};  // idx0 L, R, idx1 L, R
    __m128 idx0f = _mm_setr_ps(static_cast<float>(l.idx0), static_cast<float>(r.idx0), 0.0f, 0.0f);
    float* const line_l = cl.line;
    float* const line_r = cr.line;
    int32_t wp_l = l.wp, wp_r = r.wp;

    for (int32_t i = 0; i < n; ++i) {
        float* const frame = buffer + 2 * static_cast<ptrdiff_t>(i);
        const __m128d x = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(frame))));
        const __m128 w = _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(fb, _mm_cvtps_pd(last)), x));
        line_l[wp_l] = _mm_cvtss_f32(w);
        line_r[wp_r] = _mm_cvtss_f32(_mm_movehdup_ps(w));
        const __m128 a = _mm_insert_ps(_mm_load_ss(line_l + idx[2]), _mm_load_ss(line_r + idx[3]), 0x10);
        const __m128 b = _mm_insert_ps(_mm_load_ss(line_l + idx[0]), _mm_load_ss(line_r + idx[1]), 0x10);
        const __m128 frac = _mm_sub_ps(phase, idx0f);
        const __m128d bd = _mm_cvtps_pd(b);
        __m128 t = _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(a), bd), _mm_cvtps_pd(frac)), bd));
        const __m128 q = _mm_sub_ps(w, t);
        check = _mm_add_ps(check, _mm_sub_ps(q, q));
        if constexpr (Chorus) {
            const float out_l = cl.chorus_line[l.cpos];
            cl.chorus_line[l.cpos] = _mm_cvtss_f32(t);
            if (++l.cpos >= l.clen) l.cpos = 0;
            const float out_r = cr.chorus_line[r.cpos];
            cr.chorus_line[r.cpos] = _mm_cvtss_f32(_mm_movehdup_ps(t));
            if (++r.cpos >= r.clen) r.cpos = 0;
            t = _mm_setr_ps(out_l, out_r, 0.0f, 0.0f);
        }
        last = t;
        wp_l = (wp_l + 1) & kMask;
        wp_r = (wp_r + 1) & kMask;

        sweep = _mm_add_ps(sweep, speed);
        // Past the top, or below 0 (the sign bit; a -0.0 only takes the careful way for nothing).
        if (_mm_movemask_ps(_mm_or_ps(_mm_cmpgt_ps(sweep, top), sweep)) & 3) [[unlikely]] {
            alignas(16) float s[4], v[4];
            _mm_store_ps(s, sweep);
            _mm_store_ps(v, speed);
            for (int k = 0; k < 2; ++k) {
                if (s[k] > Tflanger_form::kSweepTop) v[k] = -std::fabs(v[k]);
                if (s[k] < 0.0f) v[k] = std::fabs(v[k]);
            }
            speed = _mm_load_ps(v);
            speed_d = _mm_cvtps_pd(speed);
        }
        phase = _mm_cvtpd_ps(_mm_add_pd(_mm_add_pd(phase_d, one), speed_d));
        if (_mm_movemask_ps(_mm_or_ps(_mm_cmpge_ps(phase, end), phase)) & 3) [[unlikely]] {
            alignas(16) float p[4];
            _mm_store_ps(p, phase);
            for (int k = 0; k < 2; ++k) {
                if (p[k] >= kLine_f) p[k] -= kLine_f;
                if (p[k] < 0.0f) p[k] += kLine_f;
            }
            phase = _mm_load_ps(p);
        }
        phase_d = _mm_cvtps_pd(phase);
        const __m128i i0 = _mm_and_si128(_mm_cvttps_epi32(phase), mask);
        const __m128i i1 = _mm_and_si128(_mm_add_epi32(i0, _mm_set1_epi32(1)), mask);
        _mm_store_si128(reinterpret_cast<__m128i*>(idx), _mm_unpacklo_epi64(i0, i1));
        idx0f = _mm_cvtepi32_ps(i0);

        const __m128 out = _mm_cvtpd_ps(_mm_add_pd(x, _mm_mul_pd(_mm_cvtps_pd(t), lv)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(frame), _mm_castps_si128(out));
    }

    alignas(16) float v[4];
    _mm_store_ps(v, phase);
    l.phase = v[0], r.phase = v[1];
    _mm_store_ps(v, sweep);
    l.sweep = v[0], r.sweep = v[1];
    _mm_store_ps(v, speed);
    l.speed = v[0], r.speed = v[1];
    _mm_store_ps(v, last);
    l.last = v[0], r.last = v[1];
    _mm_store_ps(v, check);
    l.check = v[0], r.check = v[1];
    l.idx0 = idx[0], r.idx0 = idx[1], l.idx1 = idx[2], r.idx1 = idx[3];
    l.wp = wp_l, r.wp = wp_r;
    finish(cl, l, speed_l);
    finish(cr, r, speed_r);
}

bool vector_path_available() { return __builtin_cpu_supports("avx2"); }
#else
bool vector_path_available() { return false; }
#endif

}  // namespace

float flanger_speed(int32_t position) { return static_cast<float>(position * 0.0002L); }

int32_t flanger_chorus_length(int32_t position) {
    auto f = SliderFactor(position);
    if (!f) return 0;
    return static_cast<int32_t>(std::nearbyint(static_cast<double>(*f) * 1800.0));
}

Tflanger_form::Tflanger_form() : Form("Flanger", 330, 340) {
    ScrollBar_Flanger_Level.label = "Level ";
    ScrollBar_Flanger_Speed.label = "Swep Speed (mono / Left)   ";
    ScrollBar_Flanger_Speed_R.label = "Sweep Speed (Right)   ";
    ScrollBar_Flanger_Tone.label = "Flanger Tone ";
    ScrollBar_ChorusTone.label = "Chorus Tone   ";
    ScrollBar_Flanger_Level.hint = "Level of the swept copy";
    ScrollBar_Flanger_Speed.hint = "Sweep speed of the left channel (and of mono)";
    ScrollBar_Flanger_Speed_R.hint = "Sweep speed of the right channel";
    CheckRadioBox_Gang.hint = "The right sweep follows the left one";
    ScrollBar_Flanger_Tone.hint = "Feedback";
    ScrollBar_ChorusTone.hint = "Chorus delay, 167 to 19800 samples";
    RadioBox_Chorus.hint = "Delay the swept copy further";
    ScrollBar_Flanger_Level.group = ScrollBar_Flanger_Tone.group = "Flanger";
    ScrollBar_Flanger_Speed.group = ScrollBar_Flanger_Speed_R.group = CheckRadioBox_Gang.group = "Sweep";
    ScrollBar_ChorusTone.group = RadioBox_Chorus.group = "Chorus";

    ScrollBar_Flanger_Level.bounds = {16, 24, 298, 17};
    ScrollBar_Flanger_Speed.bounds = {16, 72, 298, 17};
    ScrollBar_Flanger_Speed_R.bounds = {16, 120, 298, 17};
    CheckRadioBox_Gang.bounds = {16, 148, 120, 20};
    ScrollBar_Flanger_Tone.bounds = {16, 196, 298, 17};
    ScrollBar_ChorusTone.bounds = {16, 244, 298, 17};
    RadioBox_Chorus.bounds = {16, 272, 120, 20};

    add(ScrollBar_Flanger_Level);
    add(ScrollBar_Flanger_Speed);
    add(ScrollBar_Flanger_Speed_R);
    add(CheckRadioBox_Gang);
    add(ScrollBar_Flanger_Tone);
    add(ScrollBar_ChorusTone);
    add(RadioBox_Chorus);

    ScrollBar_Flanger_Level.on_change = [this] { ScrollBar_Flanger_LevelChange(); };
    ScrollBar_Flanger_Speed.on_change = [this] { ScrollBar_Flanger_SpeedChange(); };
    ScrollBar_Flanger_Speed_R.on_change = [this] { ScrollBar_Flanger_Speed_RChange(); };
    CheckRadioBox_Gang.on_click = [this] { CheckRadioBox_GangClick(); };
    ScrollBar_Flanger_Tone.on_change = [this] { ScrollBar_Flanger_ToneChange(); };
    ScrollBar_ChorusTone.on_change = [this] { ScrollBar_ChorusToneChange(); };
    RadioBox_Chorus.on_click = [this] { RadioBox_ChorusClick(); };
    // Each shows the value its handler stored: a new instance sweeps at 0.0075 until a speed moves,
    // and a ganged right sweep runs at the left one's speed whatever its own slider shows.
    ScrollBar_Flanger_Level.unit_text = [this] { return gain_text(level); };
    ScrollBar_Flanger_Tone.unit_text = [this] { return percent_text(L.feedback); };
    // A sweep runs 300 samples of delay up and down again: one turn takes 600 / speed samples (the
    // sign of a speed is the direction it runs in now).
    auto sweep_text = [](const std::atomic<float>& speed) {
        return period_text(600.0 / std::fabs(speed.load(std::memory_order_relaxed)), display_rate()) + " a sweep";
    };
    ScrollBar_Flanger_Speed.unit_text = [this, sweep_text] { return sweep_text(L.speed); };
    ScrollBar_Flanger_Speed_R.unit_text = [this, sweep_text] { return sweep_text(R.speed); };
    ScrollBar_ChorusTone.unit_text = [this] { return samples_text(L.chorus_len, display_rate()); };
    FormCreate();
}

// The sliders keep the form's positions; the processing starts from its own values.
void Tflanger_form::FormCreate() {
    shown_once = 0;
    for (Channel* c : {&L, &R}) {
        std::fill(std::begin(c->line), std::end(c->line), 0.0f);
        c->write_pos = 301;
        c->phase = 0.0f;
        c->idx0 = 1;
        c->idx1 = 0;
        c->sweep = 0.001f;
        c->speed.store(0.0075f, std::memory_order_relaxed);
        c->feedback = 0.5f;
        c->last_tap = 0.0f;
        // The first pass through the chorus delay returns this fill, not silence.
        std::fill(c->chorus_line, c->chorus_line + kChorusFilled, 1.0f);
        std::fill(c->chorus_line + kChorusFilled, std::end(c->chorus_line), 0.0f);
        c->chorus_pos = 1;
        c->chorus_len = 1800;
    }
    level = 0.5f;
    chorus_on = false;
    vector_path = vector_path_available();
}

void Tflanger_form::flanger(int32_t frameCount, int32_t, int32_t channelCount, float* buffer) {
    if (frameCount <= 0) return;
    if (channelCount == 1) {
        Flanger_RT(frameCount, buffer);
        return;
    }
    const double lv = level;
    const bool chorus = chorus_on;
#if VX_FLANGER_VECTOR
    if (vector_path) {
        if (chorus)
            run_pair_vector<true>(L, R, buffer, frameCount, lv);
        else
            run_pair_vector<false>(L, R, buffer, frameCount, lv);
        return;
    }
#endif
    if (chorus)
        run_pair<true>(L, R, buffer, frameCount, lv);
    else
        run_pair<false>(L, R, buffer, frameCount, lv);
}

void Tflanger_form::Flanger_RT(int32_t frameCount, float* samples) {
    if (frameCount <= 0) return;
    if (chorus_on)
        run_one<true>(L, samples, frameCount, level);
    else
        run_one<false>(L, samples, frameCount, level);
}

void Tflanger_form::Flanger_RT1(int32_t frameCount, float* samples) {
    if (frameCount <= 0) return;
    if (chorus_on)
        run_one<true>(R, samples, frameCount, level);
    else
        run_one<false>(R, samples, frameCount, level);
}

float Tflanger_form::delay_d(int32_t k, float value) {
    Channel& c = k == 0 ? L : R;
    if (c.chorus_pos < 0 || c.chorus_pos >= kChorusWords) c.chorus_pos = 0;
    const float r = c.chorus_line[c.chorus_pos];
    c.chorus_line[c.chorus_pos] = value;
    if (++c.chorus_pos >= c.chorus_len) c.chorus_pos = 0;
    return r;
}

float flanger_ratio(int32_t position) { return static_cast<float>(position / 50.0L); }

void Tflanger_form::ScrollBar_Flanger_LevelChange() { level = flanger_ratio(ScrollBar_Flanger_Level.position()); }

void Tflanger_form::ScrollBar_Flanger_SpeedChange() {
    if (CheckRadioBox_Gang.checked()) ScrollBar_Flanger_Speed_R.set_position(ScrollBar_Flanger_Speed.position());
    L.speed.store(flanger_speed(ScrollBar_Flanger_Speed.position()), std::memory_order_relaxed);
    if (CheckRadioBox_Gang.checked()) R.speed.store(L.speed.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void Tflanger_form::ScrollBar_Flanger_Speed_RChange() {
    R.speed.store(flanger_speed(ScrollBar_Flanger_Speed_R.position()), std::memory_order_relaxed);
    if (CheckRadioBox_Gang.checked()) R.speed.store(L.speed.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

// Takes the left sweep's speed as it is now, direction included.
void Tflanger_form::CheckRadioBox_GangClick() {
    if (CheckRadioBox_Gang.checked()) R.speed.store(L.speed.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void Tflanger_form::ScrollBar_Flanger_ToneChange() {
    const float fb = flanger_ratio(ScrollBar_Flanger_Tone.position());
    L.feedback = fb;
    R.feedback = fb;
}

void Tflanger_form::ScrollBar_ChorusToneChange() {
    const int32_t len = flanger_chorus_length(ScrollBar_ChorusTone.position());
    if (len == 0) return;
    L.chorus_len = len;
    R.chorus_len = len;
}

void Tflanger_form::RadioBox_ChorusClick() { chorus_on = RadioBox_Chorus.checked(); }

void Tflanger_form::get_parameters(int32_t* block) {
    block[0] = float_word(level);
    block[1] = float_word(L.speed.load(std::memory_order_relaxed));
    block[2] = float_word(R.speed.load(std::memory_order_relaxed));
    block[3] = float_word(L.feedback);
    block[4] = float_word(R.feedback);
    block[5] = 117117;
    block[6] = ScrollBar_ChorusTone.position();
    put_bool_byte(block[7], RadioBox_Chorus.checked());
    block[8] = ScrollBar_Flanger_Level.position();
    block[9] = ScrollBar_Flanger_Speed.position();
    block[10] = ScrollBar_Flanger_Speed_R.position();
    block[11] = ScrollBar_Flanger_Tone.position();
}

namespace {

// The direction is kept; the size is one the speed sliders (or a new instance) can give.
void restore_speed(std::atomic<float>& field, int32_t word) {
    const float v = word_float(word);
    if (!std::isfinite(v)) return;
    const float size = std::clamp(std::fabs(v), kSpeedMin, kSpeedMax);
    field.store(std::signbit(v) && v != 0.0f ? -size : size, std::memory_order_relaxed);
}

}  // namespace

void Tflanger_form::put_parameters(const int32_t* block) {
    restore_float(level, block[0], kLevelMin, kLevelMax);
    restore_speed(L.speed, block[1]);
    restore_speed(R.speed, block[2]);
    restore_float(L.feedback, block[3], 0.0f, kFeedbackMax);
    restore_float(R.feedback, block[4], 0.0f, kFeedbackMax);
    ScrollBar_Flanger_Level.set_position(block[8]);
    ScrollBar_Flanger_Speed.set_position(block[9]);
    ScrollBar_Flanger_Speed_R.set_position(block[10]);
    ScrollBar_Flanger_Tone.set_position(block[11]);
    if (block[5] == 117117) {
        ScrollBar_ChorusTone.set_position(block[6]);
        RadioBox_Chorus.set_checked(bool_byte(block[7]));
    }
}

VX_REGISTER_KIND(9, Tflanger_form, flanger)

}  // namespace vx
