// The one certification of this folder. A fast computation gives a candidate and a bound on how
// far the true value (the one the extended arithmetic rounds) may lie from it. Rounding is
// monotonic: when both ends of that interval round to the same narrower value, so does the true
// value, and the candidate's rounding is the result. Anything too close to call is recomputed
// the plain way by the caller.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vx::exact {

// --- to float32 -----------------------------------------------------------------------------------
// approx within reach of the true value (reach covering the double roundings of approx -+ reach).
inline bool certain_float(double approx, double reach) {
    return static_cast<float>(approx - reach) == static_cast<float>(approx + reach);
}

// A double s that is one rounding of an exact value (a float plus an exact float product) rounds to
// the float the extended sum rounds to, unless it lies exactly on a halfway point between two
// floats (the one case where the two roundings in a row differ), or below the normal float range.
// Bit tests only, so that vector loops keep them cheap. Non-zero: recompute.
inline uint64_t float_sum_uncertain(double s) {
    const uint64_t bits = std::bit_cast<uint64_t>(s);
    const uint64_t magnitude = bits & 0x7FFFFFFFFFFFFFFFull;
    const uint64_t midpoint = (bits & 0x1FFFFFFFull) == 0x10000000ull;
    const uint64_t tiny = magnitude - 1 < 0x380FFFFFFFFFFFFFull;  // 0 < |s| < 2^-126
    return midpoint | tiny;
}

// The double sum a + p (doubles that are a float and an exact float product), moved off a float
// halfway point to the side the extended sum lies on: its float32 is the extended sum's. Bit tests
// and an exact two-sum, so that vector loops take it where quiet passages put many sums on halfway
// points. Non-zero in `uncertain`: the error is so small that the extended rounding may land on the
// halfway point itself (below 2^-62 of the sum, a 2^3 margin), or the sum is below the normal float
// range; recompute.
inline double float_sum_settled(double a, double p, uint64_t& uncertain) {
    const double s = a + p;
    const double v = s - a;
    const double e = (a - (s - v)) + (p - v);  // s + e = a + p, exactly
    const uint64_t bits = std::bit_cast<uint64_t>(s);
    const uint64_t magnitude = bits & 0x7FFFFFFFFFFFFFFFull;
    const uint64_t halfway = static_cast<uint64_t>((bits & 0x1FFFFFFFull) == 0x10000000ull);
    const uint64_t off = static_cast<uint64_t>(e != 0.0) & halfway;
    const uint64_t close = static_cast<uint64_t>(std::fabs(e) * 0x1p62 < std::fabs(s));
    uncertain |= (off & close) | static_cast<uint64_t>(magnitude - 1 < 0x380FFFFFFFFFFFFFull);
    // one last place towards e: up in magnitude when e has the sum's sign
    const uint64_t same = static_cast<uint64_t>(std::signbit(e) == std::signbit(s));
    return std::bit_cast<double>(bits + off * (same * 2 - 1));
}

// static_cast<float> of the extended sum a + p, for doubles a and p whose double sum float_sum_uncertain
// flagged. The double sum s and its exact error e (s + e = a + p) settle it: off a halfway point
// (on the float grid, also below the normal range) both roundings of a + p fall on the same side;
// on one, the extended sum is s itself when e is within half its last place, and otherwise lies on
// e's side. Quiet passages (small whole numbers times a gain) land on halfway points often, and the
// extended arithmetic would cost tens of cycles a sum. False: not settled (not finite).
inline bool resolved_float_sum(double a, double p, float& out) {
    const double s = a + p;
    const double v = s - a;
    const double e = (a - (s - v)) + (p - v);  // exact (two-sum)
    if (!std::isfinite(s) || !std::isfinite(e)) return false;
    const double mag = std::fabs(s);
    const double binade = std::bit_cast<double>(std::bit_cast<uint64_t>(mag) & 0x7FF0000000000000ull);
    // Half the float grid's step at s: 2^-24 of its binade, 2^-150 below the normal range.
    const double half_step = mag < 0x1p-126 ? 0x1p-150 : binade * 0x1p-24;
    const double t = mag / half_step;  // exact: a power of two
    const bool halfway = t == std::floor(t) && std::fmod(t, 2.0) == 1.0;
    double r = s;
    if (halfway && e != 0.0) {
        // Half the extended format's last place at s (below s when s is a power of two, the only
        // halfway point of the grid below 2^-149 is one, and e leads down).
        const bool down = std::signbit(e) != std::signbit(s);
        const double half_last = binade * (mag == binade && down ? 0x1p-65 : 0x1p-64);
        if (std::fabs(e) > half_last) r = std::nextafter(s, std::copysign(HUGE_VAL, e));
    }
    // r to float without forming a subnormal float from an operation
    if (std::fabs(r) < 0x1p-126) {
        constexpr double kGrid = 0x1.8p-97;  // its last place is 2^-149
        const double q = (std::fabs(r) + kGrid) - kGrid;
        const uint32_t units = static_cast<uint32_t>(q * 0x1p149);
        out = std::bit_cast<float>(units | (std::signbit(r) ? 0x80000000u : 0u));
    } else {
        out = static_cast<float>(r);
    }
    return true;
}

#if defined(__SSE2__)
// certain_float for two lanes: a mask of the lanes whose ends round alike.
inline int certain_float(__m128d approx, __m128d reach) {
    const __m128i lo = _mm_castps_si128(_mm_cvtpd_ps(_mm_sub_pd(approx, reach)));
    const __m128i hi = _mm_castps_si128(_mm_cvtpd_ps(_mm_add_pd(approx, reach)));
    return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(lo, hi))) & 3;
}
#endif

}  // namespace vx::exact

// --- vector kernels -----------------------------------------------------------------------------
// Built for AVX2 by function attributes that gcc and clang both take, and run only where the
// processor has it (has_avx2).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VX_EXACT_AVX2 1
#endif

namespace vx::exact {

// The processor has AVX2. The kinds keep their own switch, which the tests turn off to
// compare the paths.
inline bool has_avx2() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#else
    return false;
#endif
}

}  // namespace vx::exact

#if VX_EXACT_AVX2
namespace vx::exact {

// float_sum_settled for four lanes; `uncertain` collects the lanes to recompute. AVX2 alone (no FMA),
// as the Delay's vector path asks.
__attribute__((target("avx2"))) inline __m256d float_sum_settled(__m256d a, __m256d p, __m256i& uncertain) {
    using W = __m256d;
    const W sign = _mm256_set1_pd(-0.0);
    const W s = _mm256_add_pd(a, p);
    const W v = _mm256_sub_pd(s, a);
    const W e = _mm256_add_pd(_mm256_sub_pd(a, _mm256_sub_pd(s, v)), _mm256_sub_pd(p, v));
    const __m256i halfway = _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_castpd_si256(s), _mm256_set1_epi64x(0x1FFFFFFF)),
                                               _mm256_set1_epi64x(0x10000000));
    // On a halfway point, e x 2^29 moves the sum up to half a float step towards e: past the halfway
    // point, and at most onto the float on e's side (a whole last place of s is 2^-29 of a float step).
    const W he = _mm256_and_pd(_mm256_castsi256_pd(halfway), e);
    // (elsewhere s itself: -0 + 0 would lose the sign of a zero)
    const W r = _mm256_blendv_pd(s, _mm256_add_pd(s, _mm256_mul_pd(he, _mm256_set1_pd(0x1p29))), _mm256_castsi256_pd(halfway));
    const W zero = _mm256_setzero_pd();
    const W size = _mm256_andnot_pd(sign, s);
    const W t = _mm256_mul_pd(_mm256_andnot_pd(sign, he), _mm256_set1_pd(0x1p62));
    const W close = _mm256_and_pd(_mm256_cmp_pd(t, size, _CMP_LT_OQ), _mm256_cmp_pd(t, zero, _CMP_GT_OQ));
    const W tiny = _mm256_and_pd(_mm256_cmp_pd(size, _mm256_set1_pd(0x1p-126), _CMP_LT_OQ),
                                 _mm256_cmp_pd(s, zero, _CMP_NEQ_OQ));
    uncertain = _mm256_or_si256(uncertain, _mm256_castpd_si256(_mm256_or_pd(close, tiny)));
    return r;
}

}  // namespace vx::exact
#endif
