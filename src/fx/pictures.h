// What the effects' pictures share: the axes they are drawn on, and the slow ramp over the 16-bit
// sample scale on which a distortion's transfer curve is taken from its own processing.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/forms.h"

namespace vx {

// Frequency 20 Hz .. 20 kHz on a logarithmic scale.
Curve::Axis frequency_axis();
// Samples on the 16-bit scale, -32768 .. 32767; `fit`: widened to hold louder outputs.
Curve::Axis sample_axis(std::string label, bool fit = false);

// n frequencies spaced evenly on the log axis, 20 Hz first, 20 kHz last.
std::vector<double> log_frequencies(int n);

// The ramp: held at -32768 for kRampHold samples (so that band splits settle), then rising evenly to
// +32767 over kRampLength samples; the curve takes kRampPoints of them, the first and the last
// included. At 0.5 a sample it is slow against every band split the kinds offer.
constexpr int32_t kRampHold = 8192;
constexpr int32_t kRampLength = 131072;
constexpr int kRampPoints = 257;
// The ramp's value at sample i (i < 0: the hold), and the sample index of point k.
float ramp_value(int32_t i);
int32_t ramp_point(int k);

// Runs a kind's processing over the ramp, the same ramp in every channel, in blocks of up to 512
// frames: process(buffer, frames) with `channels` interleaved. Returns per channel the outputs at
// the ramp's points.
std::vector<std::vector<double>> ramp_outputs(int channels, const std::function<void(float*, int32_t)>& process);
// The inputs at the ramp's points.
std::vector<double> ramp_inputs();

// The four-pole resonant low-pass (FourPoleLowpass::step, which is linear) at z^-1 = w, for its f and
// fb: four stages (1 + 0.3 z^-1) / (1 - (1 - f) z^-1) inside the loop closed through one sample.
std::complex<double> four_pole_response(double f, double fb, std::complex<double> w);
// z^-1 at `hz` for `rate`.
std::complex<double> unit_delay(double hz, double rate);
// |h| in dB, at least -240.
double decibels(std::complex<double> h);

// A transfer curve: input and output on the 16-bit scale.
Curve transfer_curve(std::string name, std::string caption, std::string what);

}  // namespace vx
