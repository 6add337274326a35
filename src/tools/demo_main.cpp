// varnomix-demo: writes the demo backing track that the build lays into the program folder, so that
// a new player has something to play. Four bars of drums and bass in A minor at 96 beats a minute,
// made by a few lines of synthesis: a swept sine kick, a noise-and-tone snare, differentiated-noise
// hi-hats, and a low-passed sawtooth bass. 16-bit stereo at 48000 Hz; it loops without a seam.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "audio_file.h"

namespace {

constexpr int kRate = 48000;
constexpr double kBpm = 96.0;
constexpr int kBars = 4;
constexpr int kStepsPerBar = 16;
constexpr double kPi = 3.14159265358979323846;

struct Noise {
    uint32_t state = 12345;
    double next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 8388608.0 - 1.0;
    }
};

// Adds `voice` (a function of the time since its start, in seconds) to both channels from frame
// `at` on, for `seconds`; the track wraps, so a tail at the end rings into the start.
template <class Voice>
void add(std::vector<double>& l, std::vector<double>& r, size_t at, double seconds, double left, double right,
         Voice voice) {
    const size_t n = static_cast<size_t>(seconds * kRate);
    for (size_t i = 0; i < n; ++i) {
        const double v = voice(static_cast<double>(i) / kRate);
        const size_t f = (at + i) % l.size();
        l[f] += left * v;
        r[f] += right * v;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: varnomix-demo OUTPUT.wav\n");
        return 2;
    }
    const double step_seconds = 60.0 / kBpm / 4.0;
    const size_t step_frames = static_cast<size_t>(std::lround(step_seconds * kRate));
    const size_t total = step_frames * kStepsPerBar * kBars;
    std::vector<double> left(total, 0.0), right(total, 0.0);
    Noise noise;

    // i - VI - III - VII in A minor: A, F, C, G.
    const double roots[kBars] = {55.0, 43.654, 65.406, 48.999};
    for (int bar = 0; bar < kBars; ++bar) {
        for (int s = 0; s < kStepsPerBar; ++s) {
            const size_t at = (static_cast<size_t>(bar) * kStepsPerBar + s) * step_frames;
            if (s == 0 || s == 8 || (bar % 2 == 1 && s == 10)) {
                add(left, right, at, 0.45, 1.0, 1.0, [](double t) {
                    // The pitch falls from 130 to 45 Hz; the phase is the integral of the frequency.
                    const double phase = 2 * kPi * (45.0 * t + 85.0 * 0.03 * (1.0 - std::exp(-t / 0.03)));
                    return 0.9 * std::sin(phase) * std::exp(-t / 0.18);
                });
            }
            if (s == 4 || s == 12) {
                add(left, right, at, 0.3, 0.9, 0.8, [&noise](double t) {
                    return (0.35 * noise.next() * std::exp(-t / 0.07) +
                            0.3 * std::sin(2 * kPi * 185.0 * t) * std::exp(-t / 0.05));
                });
            }
            if (s % 2 == 0) {
                const double level = s % 4 == 2 ? 0.16 : 0.09;
                double previous = 0.0;
                add(left, right, at, 0.08, 0.6, 1.0, [&noise, &previous, level](double t) {
                    const double x = noise.next();
                    const double y = x - previous;  // keeps the hiss, drops the body
                    previous = x;
                    return level * y * std::exp(-t / 0.02);
                });
            }
            if (s % 2 == 0) {
                // Eighth notes on the root, up an octave on the last two of the bar.
                const double f = roots[bar] * (s >= 12 ? 2.0 : 1.0);
                const double length = 2 * step_seconds * 0.9;
                double low = 0.0;
                add(left, right, at, length, 1.0, 1.0, [f, length, &low](double t) {
                    const double saw = 2.0 * (f * t - std::floor(f * t + 0.5));
                    low += 0.08 * (saw - low);  // one-pole low-pass
                    const double attack = std::min(1.0, t / 0.004);
                    const double release = std::min(1.0, (length - t) / 0.02);
                    return 0.55 * low * attack * std::max(0.0, release) * (0.75 + 0.25 * std::exp(-t / 0.1));
                });
            }
        }
    }

    double peak = 0.0;
    for (size_t i = 0; i < total; ++i) peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    const double scale = peak > 0.0 ? 22000.0 / peak : 0.0;
    vx::AudioData out;
    out.sample_rate = kRate;
    out.channels = 2;
    out.samples.resize(2 * total);
    for (size_t i = 0; i < total; ++i) {
        out.samples[2 * i] = static_cast<float>(left[i] * scale);
        out.samples[2 * i + 1] = static_cast<float>(right[i] * scale);
    }
    if (const std::string e = vx::write_wav(argv[1], out, true); !e.empty()) {
        std::fprintf(stderr, "varnomix-demo: %s\n", e.c_str());
        return 1;
    }
    return 0;
}
