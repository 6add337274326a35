// The four-pole low-pass (FourPoleLowpass::step) over a block, with per-frame coefficients, bit
// for bit: the extended arithmetic itself, whose chain of dependent steps and roundings no exact
// emulation in vector registers ran faster, and the deep end of a ringing in whole units.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "exact/tiny.h"
#include "laws.h"

namespace vx::exact {

// f and fb of each frame, left and right side by side (lane 0, 1).
struct PoleCoefficients {
    const double (*f)[2];
    const double (*fb)[2];
    double f_at(int32_t i, int lane) const { return f[i][lane]; }
    double fb_at(int32_t i, int lane) const { return fb[i][lane]; }
};
// One f and fb for every frame and both channels.
struct SteadyCoefficients {
    double f, fb;
    double f_at(int32_t, int) const { return f; }
    double fb_at(int32_t, int) const { return fb; }
};

// Frames i.. of a ringing down in the subnormal range, without subnormal registers, for as long as
// a channel stays down there: whole units while the memories fit, the scaled extended step
// otherwise. poles: left and right (mono: the first). Returns the first frame not taken.
template <bool Stereo, class Coefficients>
int32_t four_pole_deep(int32_t i, int32_t n, float* x, FourPoleLowpass (&poles)[2], Coefficients c, float level) {
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
                if (!nl.step(x[Stereo ? 2 * j : j], c.f_at(j, 0), c.fb_at(j, 0))) break;
                if (Stereo) {
                    exact::TinyFourPole nr = tr;
                    if (!nr.step(x[2 * j + 1], c.f_at(j, 1), c.fb_at(j, 1))) break;
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
            const double l = exact::four_pole_step_deep(poles[0], x[2 * j], c.f_at(j, 0), c.fb_at(j, 0));
            const double r = exact::four_pole_step_deep(poles[1], x[2 * j + 1], c.f_at(j, 1), c.fb_at(j, 1));
            x[2 * j] = exact::to_float_times(l, lvl);
            x[2 * j + 1] = exact::to_float_times(r, lvl);
            leave = !deep(l) && !deep(r);
        } else {
            // (mono: both lanes carry the same filter)
            const double l = exact::four_pole_step_deep(poles[0], x[j], c.f_at(j, 0), c.fb_at(j, 0));
            x[j] = exact::to_float_times(l, lvl);
            leave = !deep(l);
        }
        ++j;
        if (leave) break;
    }
    return j;
}

// FourPoleLowpass::step over n frames, out = float(out4 x level), as exact::four_pole_step and
// to_float_times give it: the extended steps themselves while no memory is subnormal (their only
// slow case), whole units down there. poles: left and right (mono: the first).
template <bool Stereo, class Coefficients>
void four_pole_block(int32_t n, float* x, FourPoleLowpass (&poles)[2], Coefficients c, float level) {
    // Local copies: the compiler need not fear that a store into the buffer changes them.
    FourPoleLowpass left = poles[0], right = poles[1];
    for (int32_t i = 0; i < n; ++i) {
        if (__builtin_expect(has_subnormal(left) || (Stereo && has_subnormal(right)), 0)) {
            FourPoleLowpass deep[2] = {left, right};
            i = four_pole_deep<Stereo>(i, n, x, deep, c, level) - 1;
            left = deep[0];
            if (Stereo) right = deep[1];
            continue;
        }
        // (inputs widened by their bits: a subnormal float loaded as such would take an assist)
        float& l = x[Stereo ? 2 * i : i];
        l = to_float_times(left.step(widened(l), c.f_at(i, 0), c.fb_at(i, 0)), level);
        if (Stereo) x[2 * i + 1] = to_float_times(right.step(widened(x[2 * i + 1]), c.f_at(i, 1), c.fb_at(i, 1)), level);
    }
    poles[0] = left;
    if (Stereo) poles[1] = right;
}

}  // namespace vx::exact

