// A guitar-like phrase made here, for demos and for the live engine's "Test signal" input:
// plucked strings (Karplus-Strong) playing a short riff, mono, on the engine's 16-bit scale with
// peaks near -12 dBFS. Deterministic: the same rate and length give the same samples.
#pragma once

#include <cstdint>
#include <vector>

namespace vx {

// The phrase lasts 4 seconds; `seconds` shorter cuts it, longer repeats it.
std::vector<float> make_test_phrase(int32_t sampleRate, double seconds = 4.0);

}  // namespace vx
