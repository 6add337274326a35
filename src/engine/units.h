// Values in the units a guitarist reads: the text a slider shows beside its position. Every kind
// formats here the value its handler stored by its law, so that all editors write milliseconds,
// hertz and decibels alike.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

// Full scale of the engine's 16-bit sample scale.
inline constexpr double kFullScale = 32768.0;

// "812.5 ms (39000 samples)": a count of samples as time at `rate`, then the count itself.
std::string samples_text(double samples, int32_t rate);
// "812.5 ms": a time given in samples, at `rate`.
std::string ms_text(double samples, int32_t rate);
// "6.25 s" or "812.5 ms": the period of a slow cycle given in samples, at `rate`.
std::string period_text(double samples, int32_t rate);
// "62.5 Hz", "440 Hz", "1.55 kHz".
std::string hz_text(double hz);
// "+6.0 dB (x2)", "-20.8 dB (x0.0909)", "-inf dB (x0)": an amplitude factor.
std::string gain_text(double factor);
// "0.71": a plain number with at most `decimals` decimals, trailing zeros dropped.
std::string plain_number(double v, int decimals);
// "x1.0006": a factor as it is, up to five decimals.
std::string factor_text(double factor);
// "x3.0": a resonance (feedback) factor.
std::string resonance_text(double res);
// "4.0:1", "limit" for 0 (no growth at all): a compression ratio.
std::string ratio_text(double ratio);
// "-30.3 dBFS": a level on the 16-bit scale, in dB below full scale.
std::string dbfs_text(double level);
// "40 %": a ratio (0.4).
std::string percent_text(double ratio);
// The corner frequency of a one-pole low-pass y = c y + (1 - c) x at `rate` (its -3 dB point), as
// text; "0 Hz" for c = 1 (the filter holds), "above 24.0 kHz" where it passes the whole band.
std::string one_pole_corner_text(double c, int32_t rate);

}  // namespace vx
