#include "pictures.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vx {

Curve::Axis frequency_axis() { return {"Hz", 20.0, 20000.0, Curve::Scale::Log}; }

Curve::Axis sample_axis(std::string label, bool fit) {
    return {std::move(label), -32768.0, 32768.0, Curve::Scale::Linear, fit};
}

std::vector<double> log_frequencies(int n) {
    std::vector<double> f(static_cast<size_t>(std::max(n, 2)));
    const double last = static_cast<double>(f.size() - 1);
    for (size_t i = 0; i < f.size(); ++i) f[i] = 20.0 * std::pow(1000.0, static_cast<double>(i) / last);
    return f;
}

float ramp_value(int32_t i) {
    if (i <= 0) return -32768.0f;
    if (i >= kRampLength - 1) return 32767.0f;
    return static_cast<float>(-32768.0 + 65535.0 * static_cast<double>(i) / (kRampLength - 1));
}

int32_t ramp_point(int k) {
    return static_cast<int32_t>(std::llround(static_cast<double>(k) * (kRampLength - 1) / (kRampPoints - 1)));
}

std::vector<double> ramp_inputs() {
    std::vector<double> in(kRampPoints);
    for (int k = 0; k < kRampPoints; ++k) in[static_cast<size_t>(k)] = ramp_value(ramp_point(k));
    return in;
}

std::vector<std::vector<double>> ramp_outputs(int channels, const std::function<void(float*, int32_t)>& process) {
    constexpr int32_t kBlock = 512;
    std::vector<std::vector<double>> out(static_cast<size_t>(channels), std::vector<double>(kRampPoints));
    std::vector<float> buf(static_cast<size_t>(kBlock * channels));
    int next = 0;
    for (int32_t at = -kRampHold; at < kRampLength; at += kBlock) {
        const int32_t n = std::min(kBlock, kRampLength - at);
        for (int32_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c) buf[static_cast<size_t>(i * channels + c)] = ramp_value(at + i);
        process(buf.data(), n);
        for (; next < kRampPoints && ramp_point(next) < at + n; ++next) {
            const int32_t i = ramp_point(next) - at;
            for (int c = 0; c < channels; ++c)
                out[static_cast<size_t>(c)][static_cast<size_t>(next)] = buf[static_cast<size_t>(i * channels + c)];
        }
    }
    return out;
}

std::complex<double> four_pole_response(double f, double fb, std::complex<double> w) {
    const double c = 0.35013 * (f * f) * (f * f);
    const std::complex<double> stage = (1.0 + 0.3 * w) / (1.0 - (1.0 - f) * w);
    const std::complex<double> four = stage * stage * stage * stage;
    return c * four / (1.0 + c * fb * w * four);
}

std::complex<double> unit_delay(double hz, double rate) {
    return std::polar(1.0, -2.0 * std::numbers::pi * hz / (rate > 0.0 ? rate : 48000.0));
}

double decibels(std::complex<double> h) { return 20.0 * std::log10(std::max(std::abs(h), 1e-12)); }

Curve transfer_curve(std::string name, std::string caption, std::string what) {
    return Curve(std::move(name), std::move(caption), std::move(what), sample_axis("input"), sample_axis("output", true));
}

}  // namespace vx
