// The four-pole low-pass (FourPoleLowpass::step) of two channels side by side, in AVX2 + FMA,
// with the extended arithmetic's results bit for bit. Each assignment of the recurrence is an
// extended-precision expression rounded to double. Here it is computed as the correctly rounded
// double of its exact value (fused multiply-add and error-free sums), which is what the extended
// arithmetic gives too unless the exact value lies within the extended roundings' reach of a
// halfway point between two doubles. That is certified for every value (certify.h); a value too
// close to call (a few in a thousand) is computed the plain way.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "exact/certify.h"
#include "exact/tiny.h"
#include "laws.h"

namespace vx::exact {

// f and fb of each frame, left and right side by side.
struct PoleCoefficients {
    const double (*f)[2];
    const double (*fb)[2];
};

// hi + lo == v exactly: lo holds the 11 bits of the extended value that a double cannot.
inline void split(long double v, double& hi, double& lo) {
    hi = static_cast<double>(v);
    lo = static_cast<double>(v - hi);
}

}  // namespace vx::exact

#if VX_EXACT_AVX2
VX_EXACT_AVX2_BEGIN
namespace vx::exact {

struct PairState {
    V in, o1, o2, o3, o4, i1, i2, i3, i4;
};

inline PairState pair_of(const FourPoleLowpass& l, const FourPoleLowpass& r) {
    return PairState{_mm_set_pd(r.in, l.in), _mm_set_pd(r.out1, l.out1), _mm_set_pd(r.out2, l.out2),
                     _mm_set_pd(r.out3, l.out3), _mm_set_pd(r.out4, l.out4), _mm_set_pd(r.in1, l.in1),
                     _mm_set_pd(r.in2, l.in2), _mm_set_pd(r.in3, l.in3), _mm_set_pd(r.in4, l.in4)};
}

inline void unpair(const PairState& s, int l, FourPoleLowpass& lp) {
    lp.in = lane(s.in, l), lp.out1 = lane(s.o1, l), lp.out2 = lane(s.o2, l), lp.out3 = lane(s.o3, l);
    lp.out4 = lane(s.o4, l), lp.in1 = lane(s.i1, l), lp.in2 = lane(s.i2, l), lp.in3 = lane(s.i3, l);
    lp.in4 = lane(s.i4, l);
}

// The extended constants, each as two doubles that add up to it exactly.
struct Split {
    V hi, lo;
    explicit Split(long double v) {
        double h, l;
        split(v, h, l);
        hi = _mm_set1_pd(h), lo = _mm_set1_pd(l);
    }
};

// An extended rounding moves a value by at most 2^-64 of it; the bounds below add that up for

// Filters n frames: out = float(out4 x level), as FourPoleLowpass::step and exact::to_float_times
// give it. Stereo: the lanes are the left and right samples of a frame; mono: both lanes filter the
// same sample (the second lane's state is thrown away) and the first is kept. Values handed back
// to the plain computation are counted in recomputed.
// Beside: work of the caller's that runs a step each frame beside the recurrences (whose latency
// leaves most of the processor's units idle); a frame of the deep path skips its step.
struct NothingBeside {
    void operator()() const {}
};
template <bool Stereo, class Beside = NothingBeside>
void four_pole_pairs(int32_t n, float* x, PairState& st, PoleCoefficients c, float level, int64_t& recomputed,
                     Beside&& beside = Beside{}) {
    const Split c035(0.35013L), c03(0.3L);
    const V one = _mm_set1_pd(1.0), zero = _mm_setzero_pd(), reach = _mm_set1_pd(kReach), reach4 = _mm_set1_pd(4 * kReach),
            reach6 = _mm_set1_pd(6 * kReach);
    const V lv = _mm_set1_pd(static_cast<double>(level));
    PairState s = st;
    for (int32_t i = 0; i < n; ++i) {
        const V f = _mm_load_pd(c.f[i]);
        const V fb = _mm_load_pd(c.fb[i]);
        const V q = _mm_mul_pd(f, f);
        const V qe = _mm_fmsub_pd(f, f, q);
        int ok;

        // 0.35013 f^4 and 1 - f as pairs of doubles, within 2^-100 of their exact values. The
        // extended arithmetic rounds them (the first four times, the second where f is out of
        // range) before it uses them; the bounds below allow for that.
        const V ff_lo = qe;
        const V f4 = _mm_mul_pd(q, q);
        const V f4_lo = _mm_add_pd(_mm_fmsub_pd(q, q, f4), _mm_mul_pd(_mm_add_pd(q, q), ff_lo));
        const V kh = _mm_mul_pd(c035.hi, f4);
        const V kl = _mm_add_pd(_mm_fmsub_pd(c035.hi, f4, kh), _mm_add_pd(_mm_mul_pd(c035.hi, f4_lo), _mm_mul_pd(c035.lo, f4)));
        const V gh = _mm_sub_pd(one, f);
        const V gz = _mm_sub_pd(gh, one);
        const V gl = _mm_add_pd(_mm_sub_pd(one, _mm_sub_pd(gh, gz)), _mm_sub_pd(_mm_sub_pd(zero, f), gz));
        // 1 - f is exact in extended precision for 2^-8 <= f < 2 (as the sweep's range keeps it);
        // outside, its rounding counts too.
        const V g_exact = _mm_and_pd(_mm_cmpge_pd(f, _mm_set1_pd(0x1p-8)), _mm_cmplt_pd(f, _mm_set1_pd(2.0)));
        const V g_reach = _mm_blendv_pd(reach4, reach, g_exact);

        // (whole-register conversions: a scalar one would wait for the register's last use)
        const V xv = Stereo ? _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2 * i))))
                            : _mm_cvtps_pd(_mm_set1_ps(x[i]));

        // A filter ringing down into the subnormal range, where every value would be handed
        // back: the plain recurrence takes the frame at once.
        if (__builtin_expect(_mm_movemask_pd(_mm_cmplt_pd(vabs(s.o4), _mm_set1_pd(0x1p-900))) != 0, 0)) {
            // Without subnormal registers, for as long as a lane stays down there.
            FourPoleLowpass poles[2];
            unpair(s, 0, poles[0]);
            unpair(s, 1, poles[1]);
            auto deep = [](double d) { return (std::bit_cast<uint64_t>(d) << 1) < (uint64_t{1023 - 900} << 53); };
            const double lvl = static_cast<double>(level);
            const float zero_out = std::signbit(lvl) ? -0.0f : 0.0f;  // for an output of +0 units
            const bool whole_units = std::fabs(lvl) < 0x1p64;
            int32_t j = i;
            while (j < n) {
                // Silence on ringing of a few units: whole units, kept as such from frame to frame.
                if (whole_units && exact::TinyFourPole::fits(poles[0]) && (!Stereo || exact::TinyFourPole::fits(poles[1]))) {
                    exact::TinyFourPole tl(poles[0]), tr(Stereo ? poles[1] : poles[0]);
                    for (; j < n; ++j) {
                        exact::TinyFourPole nl = tl;
                        if (!nl.step(x[Stereo ? 2 * j : j], c.f[j][0], c.fb[j][0])) break;
                        if (Stereo) {
                            exact::TinyFourPole nr = tr;
                            if (!nr.step(x[2 * j + 1], c.f[j][1], c.fb[j][1])) break;
                            tr = nr;
                            x[2 * j + 1] = std::signbit(tr.out4) ? -zero_out : zero_out;
                        }
                        tl = nl;
                        x[Stereo ? 2 * j : j] = std::signbit(tl.out4) ? -zero_out : zero_out;
                    }
                    tl.store(poles[0]);
                    if (Stereo) tr.store(poles[1]);
                    if (j >= n) break;
                }
                bool leave;
                if (Stereo) {
                    const double l = exact::four_pole_step_deep(poles[0], x[2 * j], c.f[j][0], c.fb[j][0]);
                    const double r = exact::four_pole_step_deep(poles[1], x[2 * j + 1], c.f[j][1], c.fb[j][1]);
                    x[2 * j] = exact::to_float_times(l, lvl);
                    x[2 * j + 1] = exact::to_float_times(r, lvl);
                    leave = !deep(l) && !deep(r);
                } else {
                    // (mono: both lanes carry the same filter)
                    const double l = exact::four_pole_step_deep(poles[0], x[j], c.f[j][0], c.fb[j][0]);
                    x[j] = exact::to_float_times(l, lvl);
                    leave = !deep(l);
                }
                ++j;
                if (leave) break;
            }
            i = j - 1;
            s = pair_of(poles[0], poles[Stereo ? 1 : 0]);
            continue;
        }

        beside();
        // in = x - out4 x fb
        V a = _mm_fnmadd_pd(s.o4, fb, xv);
        {
            const V p = _mm_mul_pd(s.o4, fb);
            const V pe = _mm_fmsub_pd(s.o4, fb, p);
            const V sum = sub_(xv, p);
            const V bb = sub_(sum, xv);
            const V se = add_(sub_(xv, sub_(sum, bb)), sub_(sub_(zero, p), bb));
            const V res = sub_(add_(sub_(sum, a), se), pe);
            ok = certain(a, res, bound(reach, binade(p), bound(reach, binade(a))));  // product, difference
            if (__builtin_expect(ok != 3, 0))
                // (the fallbacks take copies: references would keep the values in memory)
                a = recompute(a, ok, [xv, o4 = s.o4, fb](int l) {
                    return static_cast<double>(static_cast<long double>(lane(xv, l)) -
                                               static_cast<long double>(lane(o4, l)) * lane(fb, l));
                }, recomputed);
        }
        // in = ((0.35013 x (f x f)) x (f x f)) x in
        V b = _mm_fmadd_pd(kh, a, _mm_mul_pd(kl, a));
        {
            const V t = _mm_mul_pd(kl, a);
            const V p = _mm_mul_pd(kh, a);
            const V pe = _mm_fmsub_pd(kh, a, p);
            const V res = add_(add_(sub_(p, b), pe), t);
            // f x f (used twice), 0.35013 x that, x f x f again, then the product: five
            // relative roundings
            ok = certain(b, res, bound(reach6, vabs(b)));
            if (__builtin_expect(ok != 3, 0))
                b = recompute(b, ok, [f, a](int l) {
                    const long double lf = lane(f, l);
                    return static_cast<double>(((0.35013L * (lf * lf)) * (lf * lf)) * lane(a, l));
                }, recomputed);
        }
        // out = (0.3 x in_k + u) + (1 - f) x out, for the four poles in turn. All but u is known
        // early; u joins with one sum and the sum's error.
        auto pole = [&](V u, V in_k, V out) {
            const V ah = _mm_mul_pd(c03.hi, in_k);
            const V al = _mm_add_pd(_mm_fmsub_pd(c03.hi, in_k, ah), _mm_mul_pd(c03.lo, in_k));
            const V bh = _mm_mul_pd(gh, out);
            const V bl = _mm_add_pd(_mm_fmsub_pd(gh, out, bh), _mm_mul_pd(gl, out));
            const V ch = _mm_add_pd(ah, bh);
            const V cz = _mm_sub_pd(ch, ah);
            const V cl = _mm_add_pd(_mm_add_pd(_mm_sub_pd(ah, _mm_sub_pd(ch, cz)), _mm_sub_pd(bh, cz)), _mm_add_pd(al, bl));
            // The error of ch + u, exact: the short form with the larger term first, both ways
            // round, and the right one chosen.
            const V sum = _mm_add_pd(ch, u);
            const V e_ch_first = _mm_sub_pd(u, _mm_sub_pd(sum, ch));
            const V e_u_first = _mm_sub_pd(ch, _mm_sub_pd(sum, u));
            const V e = _mm_blendv_pd(e_u_first, e_ch_first, _mm_cmpge_pd(vabs(ch), vabs(u)));
            V r = _mm_add_pd(sum, _mm_add_pd(e, cl));
            const V res = add_(add_(sub_(sum, r), e), cl);
            // 0.3 x in_k, adding u (an intermediate: bounded by its size), 1 - f where it is not
            // exact, (1 - f) x out, the sum
            const V delta = bound(reach, binade(ah), bound(reach, vabs(add_(ah, u)), bound(g_reach, binade(bh), bound(reach, binade(r)))));
            const int good = certain(r, res, delta);
            if (__builtin_expect(good != 3, 0))
                r = recompute(r, good, [f, in_k, u, out](int l) {
                    const long double g = 1.0L - lane(f, l);
                    return static_cast<double>((0.3L * lane(in_k, l) + lane(u, l)) + g * lane(out, l));
                }, recomputed);
            return r;
        };
        const V o1 = pole(b, s.i1, s.o1);
        const V o2 = pole(o1, s.i2, s.o2);
        const V o3 = pole(o2, s.i3, s.o3);
        const V o4 = pole(o3, s.i4, s.o4);
        s = PairState{b, o1, o2, o3, o4, b, o1, o2, o3};

        const __m128 y = _mm_cvtpd_ps(_mm_mul_pd(o4, lv));
        if (Stereo)
            _mm_storel_pi(reinterpret_cast<__m64*>(x + 2 * i), y);
        else
            _mm_store_ss(x + i, y);
    }
    st = s;
}

}  // namespace vx::exact
VX_EXACT_AVX2_END
#endif
