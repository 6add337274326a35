#include "test_signal.h"

#include <algorithm>
#include <cmath>

namespace vx {

namespace {

struct Note {
    double start_s;
    double midi;
    double level;
};

// A riff in E minor: a low open string, then a pentatonic run and a two-note chord.
constexpr Note kRiff[] = {
    {0.00, 40, 1.0}, {0.50, 43, 0.8}, {0.75, 45, 0.8}, {1.00, 47, 0.9}, {1.25, 50, 0.8},
    {1.50, 52, 1.0}, {2.00, 50, 0.7}, {2.25, 47, 0.7}, {2.50, 45, 0.8}, {3.00, 40, 1.0},
    {3.00, 47, 0.6}, {3.00, 52, 0.5},
};
constexpr double kPhraseSeconds = 4.0;

uint32_t next_random(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state;
}

// One plucked string: a noise burst circulating in a delay line with a two-point average.
void pluck(std::vector<double>& out, int32_t rate, const Note& n, uint32_t seed) {
    const double hz = 440.0 * std::pow(2.0, (n.midi - 69.0) / 12.0);
    const size_t period = static_cast<size_t>(std::max(2.0, std::round(rate / hz)));
    std::vector<double> line(period);
    uint32_t s = seed;
    for (double& v : line) v = (static_cast<double>(next_random(s) >> 8) / 8388608.0 - 1.0) * n.level;
    // A softer attack than raw noise, like a pick instead of a blade.
    for (size_t i = 1; i < period; ++i) line[i] = 0.5 * (line[i] + line[i - 1]);
    const size_t begin = static_cast<size_t>(n.start_s * rate);
    const size_t length = static_cast<size_t>(2.5 * rate);
    const double decay = 0.996;
    size_t idx = 0;
    for (size_t t = 0; t < length && begin + t < out.size(); ++t) {
        const size_t nxt = (idx + 1) % period;
        const double y = line[idx];
        line[idx] = decay * 0.5 * (line[idx] + line[nxt]);
        idx = nxt;
        out[begin + t] += y;
    }
}

}  // namespace

std::vector<float> make_test_phrase(int32_t sampleRate, double seconds) {
    if (sampleRate <= 0 || !(seconds > 0.0)) return {};
    const size_t phrase_len = static_cast<size_t>(kPhraseSeconds * sampleRate);
    std::vector<double> phrase(phrase_len, 0.0);
    uint32_t seed = 12345u;
    for (const Note& n : kRiff) pluck(phrase, sampleRate, n, next_random(seed));

    double peak = 0.0;
    for (double v : phrase) peak = std::max(peak, std::fabs(v));
    const double target = 32768.0 * std::pow(10.0, -12.0 / 20.0);
    const double scale = peak > 0.0 ? target / peak : 0.0;

    const size_t total = static_cast<size_t>(std::min(seconds * sampleRate, 3600.0 * sampleRate));
    std::vector<float> out(total);
    for (size_t i = 0; i < total; ++i) out[i] = static_cast<float>(phrase[i % phrase_len] * scale);
    return out;
}

}  // namespace vx
