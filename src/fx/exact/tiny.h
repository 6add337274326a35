// Exact arithmetic for values below the normal range. A subnormal operand or result makes the
// processor take a microcode assist on every load, store and conversion (a hundred cycles or
// more each), which is what a filter ringing down after the signal runs into. These routines give
// the same results bit for bit without ever forming a subnormal in a register.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "laws.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vx::exact {

// --- doubles, scaled by 2^1074 ------------------------------------------------------------------
// Scaled by 2^1074 a subnormal double is a whole number. The extended format reaches far below
// 2^-1074, so no extended operation on the unscaled values underflows, and each operation on the
// scaled values gives the scaled image of its result exactly. Only the rounding to double differs
// below 2^-1022 (a fixed grid of 2^-1074 there), and round_scaled does that one explicitly.
constexpr long double kUp = 0x1p1074L;
constexpr long double kDown = 0x1p-1074L;

inline bool is_subnormal_or_zero(double d) { return (std::bit_cast<uint64_t>(d) & 0x7FF0000000000000ull) == 0; }

// d x 2^1074, exactly.
inline long double scaled(double d) {
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    if ((bits & 0x7FF0000000000000ull) == 0) {  // its bits count units of 2^-1074
        const long double m = static_cast<long double>(static_cast<int64_t>(bits & 0x000FFFFFFFFFFFFFull));
        return (bits >> 63) != 0 ? -m : m;
    }
    return static_cast<long double>(d) * kUp;
}

// The scaled image of the double that s x 2^-1074 rounds to (nearest, ties to even).
inline long double round_scaled(long double s) {
    if (std::fabs(s) < 0x1p52L) {
        // The sum's last place is 1: one rounding to the nearest whole number, ties to even (the
        // constant is even), by magnitude, so the sign (also of a zero) is that of s.
        constexpr long double kWhole = 0x1.8p63L;
        const long double r = (std::fabs(s) + kWhole) - kWhole;
        return std::signbit(s) ? -r : r;
    }
    return static_cast<long double>(static_cast<double>(s * kDown)) * kUp;  // normal range: as ever
}

// The double of a value round_scaled returned (exact).
inline double unscaled(long double r) {
    if (std::fabs(r) <= 0x1p52L) {  // 2^52 units are the smallest normal's bits
        const uint64_t m = static_cast<uint64_t>(std::fabs(r));
        return std::bit_cast<double>(m | (std::signbit(r) ? 0x8000000000000000ull : 0ull));
    }
    return static_cast<double>(r * kDown);
}

// static_cast<float>(v x level) for a subnormal or zero v and a finite level below 2^64: the
// product lies far below the float range and rounds to a zero of the product's sign.
inline bool tiny_product_is_zero(double v, double level) {
    return is_subnormal_or_zero(v) && std::fabs(level) < 0x1p64;
}
inline float zero_of_product(double v, double level) {
    return std::signbit(v) != std::signbit(level) ? -0.0f : 0.0f;
}
inline float to_float_times(double v, double level) {
    if (tiny_product_is_zero(v, level)) return zero_of_product(v, level);
    return static_cast<float>(v * level);
}


// FourPoleLowpass on scaled memories (each the scaled image of the double it stands for).
struct ScaledFourPole {
    long double in, out1, out2, out3, out4, in1, in2, in3, in4;

    explicit ScaledFourPole(const FourPoleLowpass& p)
        : in(scaled(p.in)), out1(scaled(p.out1)), out2(scaled(p.out2)), out3(scaled(p.out3)), out4(scaled(p.out4)),
          in1(scaled(p.in1)), in2(scaled(p.in2)), in3(scaled(p.in3)), in4(scaled(p.in4)) {}

    void store(FourPoleLowpass& p) const {
        p.in = unscaled(in), p.out1 = unscaled(out1), p.out2 = unscaled(out2), p.out3 = unscaled(out3);
        p.out4 = unscaled(out4), p.in1 = unscaled(in1), p.in2 = unscaled(in2), p.in3 = unscaled(in3);
        p.in4 = unscaled(in4);
    }

    // FourPoleLowpass::step, operation for operation; returns the scaled out4.
    long double step(double x, double f, double fb) {
        const long double lf = f;
        in = round_scaled(scaled(x) - out4 * static_cast<long double>(fb));
        in = round_scaled(((0.35013L * (lf * lf)) * (lf * lf)) * in);
        const long double g = 1.0L - lf;
        out1 = round_scaled((0.3L * in1 + in) + g * out1);
        in1 = in;
        out2 = round_scaled((0.3L * in2 + out1) + g * out2);
        in2 = out1;
        out3 = round_scaled((0.3L * in3 + out2) + g * out3);
        in3 = out2;
        out4 = round_scaled((0.3L * in4 + out3) + g * out4);
        in4 = out3;
        return out4;
    }

    // static_cast<float>(out4 x level), out4 being the double this stands for.
    float output(double level) const {
        if (std::fabs(out4) <= 0x1p52L && std::fabs(level) < 0x1p64)
            return std::signbit(out4) != std::signbit(level) ? -0.0f : 0.0f;
        return static_cast<float>(unscaled(out4) * level);
    }

    // out4 is below `limit` in magnitude (scaled: limit x 2^1074).
    bool below(long double scaled_limit) const { return std::fabs(out4) < scaled_limit; }
};

// FourPoleLowpass::step on scaled memories: the same results for any memories, without assists.
inline double four_pole_step_scaled(FourPoleLowpass& p, double x, double f, double fb) {
    ScaledFourPole s(p);
    s.step(x, f, fb);
    s.store(p);
    return p.out4;
}

// The deep end of a ringing: every memory a whole number of units of 2^-1074 below 2^20 of them,
// silence coming in. In units of 2^-1074 (exact doubles), each value of the step is computed in
// double within 2^-28 of what the extended arithmetic gets; a value that lies at least that far
// from a halfway point (and from zero, where the sign of a zero would be at stake) rounds to the
// same whole number either way. Anything closer is left to the scaled extended step.
struct TinyFourPole {
    double in, out1, out2, out3, out4, in1, in2, in3, in4;

    static constexpr uint64_t kLimit = uint64_t{1} << 20;
    static bool fits(double d) { return (std::bit_cast<uint64_t>(d) & 0x7FFFFFFFFFFFFFFFull) < kLimit; }
    static bool fits(const FourPoleLowpass& p) {
        return fits(p.in) + fits(p.out1) + fits(p.out2) + fits(p.out3) + fits(p.out4) + fits(p.in1) + fits(p.in2) +
                   fits(p.in3) + fits(p.in4) ==
               9;
    }
    static double units(double d) {  // d a subnormal or zero
        const uint64_t b = std::bit_cast<uint64_t>(d);
        return std::copysign(static_cast<double>(static_cast<int64_t>(b & 0x000FFFFFFFFFFFFFull)), d);
    }
    static double of_units(double u) {
        const uint64_t m = static_cast<uint64_t>(std::fabs(u));
        return std::bit_cast<double>(m | (std::bit_cast<uint64_t>(u) & 0x8000000000000000ull));
    }

    explicit TinyFourPole(const FourPoleLowpass& p)
        : in(units(p.in)), out1(units(p.out1)), out2(units(p.out2)), out3(units(p.out3)), out4(units(p.out4)),
          in1(units(p.in1)), in2(units(p.in2)), in3(units(p.in3)), in4(units(p.in4)) {}
    void store(FourPoleLowpass& p) const {
        p.in = of_units(in), p.out1 = of_units(out1), p.out2 = of_units(out2), p.out3 = of_units(out3);
        p.out4 = of_units(out4), p.in1 = of_units(in1), p.in2 = of_units(in2), p.in3 = of_units(in3);
        p.in4 = of_units(in4);
    }

    // The nearest whole number (ties to even, the sign of v kept on a zero); ok is cleared where
    // the extended value might round otherwise. exact_zero: v is an exact zero of exact terms.
    static double whole(double v, bool& ok, bool exact_zero = false) {
        constexpr double kShift = 0x1.8p52;
        const double r = std::copysign((v + kShift) - kShift, v);
        const double a = std::fabs(v);
        ok &= a < 0x1p20 && std::fabs(v - r) <= 0.5 - 0x1p-16 && (r != 0.0 || a >= 0x1p-16 || exact_zero);
        return r;
    }

    // FourPoleLowpass::step for an input x of zero and 2^-8 <= f < 2 (where 1 - f is exact in
    // extended precision, and so close to the double's). False leaves the memories as they were.
    bool step(double x, double f, double fb) {
        if (!(x == 0.0 && f >= 0x1p-8 && f < 2.0 && std::fabs(fb) < 0x1p8)) return false;
        bool ok = true;
        const double k = (0.35013 * (f * f)) * (f * f);
        const double g = 1.0 - f;
        // x - out4 fb, then k x that: products only, so a zero has the extended sign as well.
        const double a = whole(x - out4 * fb, ok, true);
        const double b = whole(k * a, ok, true);
        auto pole = [&](double in_k, double u, double out) {
            const bool zero = in_k == 0.0 && u == 0.0 && out == 0.0;
            // u, the value just computed, joins last: the rest is known a step early. (Sums of
            // zeros and the errors of these few roundings do not depend on the order.)
            return whole(u + (0.3 * in_k + g * out), ok, zero);
        };
        const double o1 = pole(in1, b, out1);
        const double o2 = pole(in2, o1, out2);
        const double o3 = pole(in3, o2, out3);
        const double o4 = pole(in4, o3, out4);
        if (!ok) return false;
        in = in1 = b;
        out1 = in2 = o1;
        out2 = in3 = o2;
        out3 = in4 = o3;
        out4 = o4;
        return true;
    }
};

// FourPoleLowpass::step for memories in the subnormal range: whole units where it can vouch for
// them, the scaled extended step elsewhere.
inline double four_pole_step_deep(FourPoleLowpass& p, double x, double f, double fb) {
    if (TinyFourPole::fits(p)) {
        TinyFourPole t(p);
        if (t.step(x, f, fb)) {
            t.store(p);
            return p.out4;
        }
    }
    return four_pole_step_scaled(p, x, f, fb);
}

// A memory in the subnormal range (where the plain step would crawl).
inline bool has_subnormal(const FourPoleLowpass& p) {
    const double v[9] = {p.in, p.out1, p.out2, p.out3, p.out4, p.in1, p.in2, p.in3, p.in4};
    bool any = false;
    for (double d : v) {
        const uint64_t b = std::bit_cast<uint64_t>(d);
        any |= (b & 0x7FF0000000000000ull) == 0 && (b << 1) != 0;
    }
    return any;
}

// FourPoleLowpass::step, the plain way unless a memory is subnormal.
inline double four_pole_step(FourPoleLowpass& p, double x, double f, double fb) {
    if (__builtin_expect(has_subnormal(p), 0)) return four_pole_step_deep(p, x, f, fb);
    return p.step(x, f, fb);
}

// --- floats held in doubles -------------------------------------------------------------------
// The float32 value of v (as static_cast<float>), widened again, for any double v. Below the
// float's normal range the rounding is to the grid of 2^-149, done by a sum whose last place is
// 2^-149; the conversion instructions would take an assist there.
inline double float_rounded(double v) {
    if (std::fabs(v) < 0x1p-126) {
        constexpr double kGrid = 0x1.8p-97;
        const double r = (std::fabs(v) + kGrid) - kGrid;
        return std::signbit(v) ? -r : r;
    }
    return static_cast<double>(static_cast<float>(v));
}

// v as an opaque double: the compiler must take it as it is, and cannot go back to a float it was
// widened from (whose x87 load would take an assist when subnormal).
inline double opaque(double v) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    asm("" : "+x"(v));
#endif
    return v;
}

// Some of the n floats at v is subnormal (its exponent field zero, and not a zero).
inline bool has_subnormal_float(const float* v, int32_t n) {
    uint32_t any = 0;
    int32_t i = 0;
#if defined(__SSE2__)
    // four at a time: a block's scan stays a small part of the block
    const __m128i exponent = _mm_set1_epi32(0x7F800000), magnitude = _mm_set1_epi32(0x7FFFFFFF), zero = _mm_setzero_si128();
    __m128i found = zero;
    for (; i + 4 <= n; i += 4) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        const __m128i no_exponent = _mm_cmpeq_epi32(_mm_and_si128(b, exponent), zero);
        const __m128i is_zero = _mm_cmpeq_epi32(_mm_and_si128(b, magnitude), zero);
        found = _mm_or_si128(found, _mm_andnot_si128(is_zero, no_exponent));
    }
    any = static_cast<uint32_t>(_mm_movemask_epi8(found));
#endif
    for (; i < n; ++i) {
        const uint32_t b = std::bit_cast<uint32_t>(v[i]);
        any |= static_cast<uint32_t>((b & 0x7F800000u) == 0) & static_cast<uint32_t>((b & 0x7FFFFFFFu) != 0);
    }
    return any != 0;
}

// Two lanes of float_rounded (GNU vectors: one SSE2 register on x86-64).
typedef double Pair __attribute__((vector_size(16)));
inline Pair float_rounded(Pair v) {
    typedef float PairF __attribute__((vector_size(8)));
    typedef long long PairI __attribute__((vector_size(16)));
    const PairI sign = reinterpret_cast<PairI>(v) & PairI{INT64_MIN, INT64_MIN};
    const Pair a = reinterpret_cast<Pair>(reinterpret_cast<PairI>(v) & ~PairI{INT64_MIN, INT64_MIN});
    const PairI tiny = a < Pair{0x1p-126, 0x1p-126};
    // (the tiny lanes cleared first: their conversion would take the assist)
    const Pair cleared = reinterpret_cast<Pair>(reinterpret_cast<PairI>(v) & ~tiny);
    const Pair big = __builtin_convertvector(__builtin_convertvector(cleared, PairF), Pair);
    const Pair grid = Pair{0x1.8p-97, 0x1.8p-97};
    const Pair small = reinterpret_cast<Pair>(reinterpret_cast<PairI>((a + grid) - grid) | sign);
    return reinterpret_cast<Pair>((reinterpret_cast<PairI>(small) & tiny) | (reinterpret_cast<PairI>(big) & ~tiny));
}

// static_cast<double>(f), without loading a subnormal float into the floating-point unit.
inline double widened(float f) {
    // Bits only, on either side: a compiler may evaluate both sides of a choice, and a conversion of
    // the subnormal float would take the assist.
    const uint32_t b = std::bit_cast<uint32_t>(f);
    const uint64_t sign = static_cast<uint64_t>(b >> 31) << 63;
    const uint32_t e = (b >> 23) & 0xFFu, m = b & 0x007FFFFFu;
    if (e == 0) {
        const double v = static_cast<double>(static_cast<int32_t>(m)) * 0x1p-149;  // exact
        return std::bit_cast<double>(std::bit_cast<uint64_t>(v) | sign);
    }
    // the exponent rebased; infinities and NaNs keep the top one (a NaN made quiet, as converted)
    const uint64_t exponent = e == 0xFFu ? 0x7FFu : e + 896u;
    const uint64_t quiet = e == 0xFFu && m != 0 ? uint64_t{1} << 51 : 0;
    return std::bit_cast<double>(sign | exponent << 52 | static_cast<uint64_t>(m) << 29 | quiet);
}

// The float32 of a double that already holds a float32 value (or an infinity or a NaN), without
// forming a subnormal float in a register of the floating-point unit. Bits only, as widened.
inline float as_float(double v) {
    const uint64_t d = std::bit_cast<uint64_t>(v);
    const uint32_t sign = static_cast<uint32_t>(d >> 63) << 31;
    const uint32_t e = static_cast<uint32_t>(d >> 52) & 0x7FFu;
    if (e < 1023 - 126) {  // below 2^-126: whole units of 2^-149
        const uint32_t units = static_cast<uint32_t>(std::fabs(v) * 0x1p149);
        return std::bit_cast<float>(units | sign);
    }
    if (e == 0x7FFu) return std::bit_cast<float>(sign | 0x7F800000u | static_cast<uint32_t>((d >> 29) & 0x007FFFFFu) |
                                                 ((d & 0x000FFFFFFFFFFFFFull) != 0 ? 0x00400000u : 0u));
    return std::bit_cast<float>(sign | (e - 896u) << 23 | static_cast<uint32_t>((d >> 29) & 0x007FFFFFu));
}

// static_cast<float>(v) for any double, without a subnormal operand or result in a register: a
// subnormal double is far below the float range, and a result below the float's normal range is
// rounded to its grid and built from its bits.
inline float to_float(double v) {
    if (is_subnormal_or_zero(v)) return std::signbit(v) ? -0.0f : 0.0f;
    if (__builtin_expect(std::fabs(v) < 0x1p-126, 0)) return as_float(float_rounded(v));
    return static_cast<float>(v);
}

}  // namespace vx::exact
