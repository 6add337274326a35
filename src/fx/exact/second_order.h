// The second-order sections of the equalizer's high-pass and shelf: the plain step in extended
// precision, and a block of one or two channels in SSE2 doubles whose every sample the
// certification (certify.h) vouches for, or which is taken again the plain way. Memory is a set of
// float32 memories x0 x1 x2 y0 y1 y2.
#pragma once

#include <cstdint>

#include "exact/certify.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vx::exact {

// y0 = (x0 - 2 x1 + x2 - (A1 y1 + A2 y2)) / A0 in extended precision, stored as float32.
template <class Memory>
inline float biquad_step(Memory& m, float x, float A0, float A1, float A2) {
    m.x0 = x;
    const long double n = ((static_cast<long double>(m.x0) - (static_cast<long double>(m.x1) + m.x1)) + m.x2) -
                          (static_cast<long double>(A1) * m.y1 + static_cast<long double>(A2) * m.y2);
    m.y0 = static_cast<float>(n / A0);
    m.x2 = m.x1;
    m.x1 = m.x0;
    m.y2 = m.y1;
    m.y1 = m.y0;
    return m.y0;
}

#if defined(__SSE2__)
// The second-order filters of the high-pass and the shelf on one or two channels (lane 0: mono or
// left, lane 1: right), with the results the extended-precision step gives, sample for sample.
// The quotient by A0 sits on the recurrence and costs most of the time in extended precision, so
// each sample is first estimated in double as X / A0 - (A2 / A0) y2 - (A1 / A0) y1. The estimate
// differs from the extended result by less than 7 x 2^-53 x M, M = the sum of the magnitudes of
// the terms; E = 2^-48 x M is far wider. Float rounding is monotonic, so when q - E and q + E
// round to the same float32, the extended result rounds to it as well. Any sample where they do
// not (or where M is 0, since the sign of an all-zero sum depends on the order of the terms) is
// computed again exactly; that is rare outside digital silence.
// Shelf (gain != nullptr): the output is y0 x gain + x0, in extended precision.
template <class Memory>
void biquad_block(Memory& first, Memory* second, float* buffer, int32_t frames, float A0, float A1,
                  float A2, const float* gain) {
    const bool stereo = second != nullptr;
    Memory spare{};
    Memory* mem[2] = {&first, stereo ? second : &spare};
    const int lanes_mask = stereo ? 3 : 1;
    const __m128d r = _mm_set1_pd(1.0 / static_cast<double>(A0));
    const __m128d b1 = _mm_set1_pd(static_cast<double>(A1) / static_cast<double>(A0));
    const __m128d b2 = _mm_set1_pd(static_cast<double>(A2) / static_cast<double>(A0));
    const __m128d two = _mm_set1_pd(2.0);
    const __m128d width = _mm_set1_pd(0x1p-48);
    const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    const __m128d zero = _mm_setzero_pd();
    __m128d x1 = _mm_set_pd(mem[1]->x1, mem[0]->x1), x2 = _mm_set_pd(mem[1]->x2, mem[0]->x2);
    __m128d y1 = _mm_set_pd(mem[1]->y1, mem[0]->y1), y2 = _mm_set_pd(mem[1]->y2, mem[0]->y2);
    const int stride = stereo ? 2 : 1;
    for (int32_t i = 0; i < frames; ++i) {
        float* at = buffer + static_cast<size_t>(i) * stride;
        const __m128d x = _mm_set_pd(stereo ? at[1] : 0.0f, at[0]);
        const __m128d X = _mm_add_pd(_mm_sub_pd(x, _mm_mul_pd(two, x1)), x2);
        const __m128d p2 = _mm_mul_pd(b2, y2);
        const __m128d p1 = _mm_mul_pd(b1, y1);
        const __m128d q = _mm_sub_pd(_mm_sub_pd(_mm_mul_pd(X, r), p2), p1);
        const __m128d inputs = _mm_add_pd(_mm_add_pd(_mm_and_pd(x, abs_mask), _mm_mul_pd(two, _mm_and_pd(x1, abs_mask))),
                                          _mm_and_pd(x2, abs_mask));
        const __m128d M = _mm_add_pd(_mm_add_pd(_mm_mul_pd(inputs, r), _mm_and_pd(p1, abs_mask)), _mm_and_pd(p2, abs_mask));
        const __m128d E = _mm_mul_pd(M, width);
        const __m128 y_f = _mm_cvtpd_ps(q);
        const int ok = _mm_movemask_pd(_mm_cmpgt_pd(M, zero)) & certain_float(q, E);
        __m128d y = _mm_cvtps_pd(y_f);
        if ((ok & lanes_mask) != lanes_mask) {
            double lane_y[2];
            _mm_storeu_pd(lane_y, y);
            double xs[2], x1s[2], x2s[2], y1s[2], y2s[2];
            _mm_storeu_pd(xs, x);
            _mm_storeu_pd(x1s, x1);
            _mm_storeu_pd(x2s, x2);
            _mm_storeu_pd(y1s, y1);
            _mm_storeu_pd(y2s, y2);
            for (int lane = 0; lane < 2; ++lane) {
                if ((ok >> lane) & 1) continue;
                Memory m{0.0f, static_cast<float>(x1s[lane]), static_cast<float>(x2s[lane]), 0.0f,
                               static_cast<float>(y1s[lane]), static_cast<float>(y2s[lane])};
                lane_y[lane] = biquad_step(m, static_cast<float>(xs[lane]), A0, A1, A2);
            }
            y = _mm_loadu_pd(lane_y);
        }
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        double out[2];
        _mm_storeu_pd(out, y);
        if (gain != nullptr) {
            double xs[2];
            _mm_storeu_pd(xs, x);
            for (int lane = 0; lane < stride; ++lane)
                at[lane] = static_cast<float>(static_cast<long double>(static_cast<float>(out[lane])) * *gain + static_cast<float>(xs[lane]));
        } else {
            for (int lane = 0; lane < stride; ++lane) at[lane] = static_cast<float>(out[lane]);
        }
    }
    double v[2];
    for (int lane = 0; lane < 2; ++lane) {
        Memory& m = *mem[lane];
        _mm_storeu_pd(v, x1);
        m.x0 = m.x1 = static_cast<float>(v[lane]);
        _mm_storeu_pd(v, x2);
        m.x2 = static_cast<float>(v[lane]);
        _mm_storeu_pd(v, y1);
        m.y0 = m.y1 = static_cast<float>(v[lane]);
        _mm_storeu_pd(v, y2);
        m.y2 = static_cast<float>(v[lane]);
    }
}
#endif

}  // namespace vx::exact
