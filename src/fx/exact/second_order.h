// The second-order sections of the equalizer's high-pass and shelf: the plain step in extended
// precision, and a block of one or two channels in SSE2 doubles whose every sample the
// certification (certify.h) vouches for, or which is taken again the plain way. Memory is a set of
// float32 memories x0 x1 x2 y0 y1 y2.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "exact/certify.h"
#include "exact/tiny.h"

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

// The float32 of s x 2^-149 for an extended s: below the float's normal range (a whole number of
// units of 2^-149) it is rounded to the nearest whole number, ties to even, and built from its bits.
inline float float_of_scaled(long double s) {
    if (std::fabs(s) < 0x1p23L) {
        constexpr long double kWhole = 0x1.8p63L;  // a sum whose last place is 1
        // (a whole number below 2^24: exact as a double, whose conversion needs no mode switch)
        const double r = static_cast<double>((std::fabs(s) + kWhole) - kWhole);
        return std::bit_cast<float>(static_cast<uint32_t>(r) | (std::signbit(s) ? 0x80000000u : 0u));
    }
    return static_cast<float>(s * 0x1p-149L);
}

#if defined(__SSE2__)
// The shelf's output for a block with floats below the normal range (see biquad_block).
[[gnu::noinline]] inline void shelf_output_careful(float* at, __m128d y, __m128d x, float gain, int stride) {
    const __m128d g2 = _mm_set1_pd(static_cast<double>(gain));
    const __m128d zero = _mm_setzero_pd(), tiny_float = _mm_set1_pd(0x1p-126);
    const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    // y0 x gain + x0: the product of two floats is exact in double, so the double sum is one
    // rounding of the exact value, as in the Delay's taps (float_sum_uncertain). A lane it
    // cannot vouch for (a sum on a halfway point, or below float32's normal range, where the
    // x87 loads and store of subnormal floats would each take a microcode assist) is summed
    // in extended precision on the doubles, which are made opaque lest the compiler load the
    // floats they were widened from, and rounded on the float grid by float_of_scaled.
    const __m128d product = _mm_mul_pd(y, g2);
    const __m128d sum = _mm_add_pd(product, x);
    const __m128i bits = _mm_castpd_si128(sum);
    const __m128i mid = _mm_cmpeq_epi32(_mm_and_si128(bits, _mm_set1_epi64x(0x1FFFFFFF)), _mm_set1_epi64x(0x10000000));
    // A halfway point the sum is exactly (no rounding: its error is zero) is the extended
    // sum's too: only a rounded one counts. (The low half of each lane decides: moved up to
    // where movemask looks.)
    const __m128d back = _mm_sub_pd(sum, product);
    const __m128d error = _mm_add_pd(_mm_sub_pd(product, _mm_sub_pd(sum, back)), _mm_sub_pd(x, back));
    const int midpoint = _mm_movemask_pd(_mm_castsi128_pd(_mm_shuffle_epi32(mid, 0xA0))) &
                         _mm_movemask_pd(_mm_cmpneq_pd(error, zero));
    const int tiny = _mm_movemask_pd(_mm_and_pd(_mm_cmplt_pd(_mm_and_pd(sum, abs_mask), tiny_float), _mm_cmpneq_pd(sum, zero)));
    const __m128 sum_f = _mm_cvtpd_ps(sum);
    if (stride == 2)
        _mm_storel_pi(reinterpret_cast<__m64*>(at), sum_f);
    else
        _mm_store_ss(at, sum_f);
    if (__builtin_expect(((midpoint | tiny) & (stride == 2 ? 3 : 1)) != 0, 0)) {
        double out[2], xs[2];
        _mm_storeu_pd(out, y);
        _mm_storeu_pd(xs, x);
        for (int lane = 0; lane < stride; ++lane)
            if (((midpoint | tiny) >> lane) & 1)
                at[lane] = float_of_scaled((static_cast<long double>(opaque(out[lane])) * gain + opaque(xs[lane])) * 0x1p149L);
    }
}

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
// (Inlined into each caller, where whether there is a gain is known.)
template <class Memory>
[[gnu::always_inline]] inline void biquad_block(Memory& first, Memory* second, float* buffer, int32_t frames, float A0, float A1,
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
    __m128d x1 = _mm_set_pd(widened(mem[1]->x1), widened(mem[0]->x1)), x2 = _mm_set_pd(widened(mem[1]->x2), widened(mem[0]->x2));
    __m128d y1 = _mm_set_pd(widened(mem[1]->y1), widened(mem[0]->y1)), y2 = _mm_set_pd(widened(mem[1]->y2), widened(mem[0]->y2));
    const int stride = stereo ? 2 : 1;
    // The shelf's output in a block with a float below the normal range, in its input or its
    // memories (a ringing after a signal), is formed without the x87 (see below). A ringing that
    // first gets there within a block is caught by the next.
    auto memory_tiny = [](const Memory& m) {
        const float v[4] = {m.x1, m.x2, m.y1, m.y2};
        return has_subnormal_float(v, 4);
    };
    const bool careful = gain != nullptr && (has_subnormal_float(buffer, frames * stride) || memory_tiny(*mem[0]) ||
                                             memory_tiny(*mem[1]));
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
                Memory m{0.0f, as_float(x1s[lane]), as_float(x2s[lane]), 0.0f, as_float(y1s[lane]), as_float(y2s[lane])};
                lane_y[lane] = biquad_step(m, as_float(xs[lane]), A0, A1, A2);
            }
            y = _mm_loadu_pd(lane_y);
        }
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        if (gain != nullptr && !careful) {
            double out[2], xs[2];
            _mm_storeu_pd(out, y);
            _mm_storeu_pd(xs, x);
            for (int lane = 0; lane < stride; ++lane)
                at[lane] = static_cast<float>(static_cast<long double>(static_cast<float>(out[lane])) * *gain +
                                              static_cast<float>(xs[lane]));
        } else if (gain != nullptr) {
            shelf_output_careful(at, y, x, *gain, stride);
        } else {
            double out[2];
            _mm_storeu_pd(out, y);
            for (int lane = 0; lane < stride; ++lane) at[lane] = static_cast<float>(out[lane]);
        }
    }
    double v[2];
    for (int lane = 0; lane < 2; ++lane) {
        Memory& m = *mem[lane];
        _mm_storeu_pd(v, x1);
        m.x0 = m.x1 = as_float(v[lane]);
        _mm_storeu_pd(v, x2);
        m.x2 = as_float(v[lane]);
        _mm_storeu_pd(v, y1);
        m.y0 = m.y1 = as_float(v[lane]);
        _mm_storeu_pd(v, y2);
        m.y2 = as_float(v[lane]);
    }
}
#endif

}  // namespace vx::exact
