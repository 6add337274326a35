// Samples that come from files, before they enter the rack.
#pragma once

#include <cmath>
#include <cstdint>

namespace vx {

// A sample that is not a number, or that is infinite on the engine's 16-bit scale, has no sound to
// give and would poison every filter memory after it: it becomes silence. Returns how many did.
inline int64_t silence_non_finite(float* s, int64_t n) {
    int64_t bad = 0;
    for (int64_t i = 0; i < n; ++i) {
        if (!std::isfinite(s[i])) {
            s[i] = 0.0f;
            ++bad;
        }
    }
    return bad;
}

}  // namespace vx
