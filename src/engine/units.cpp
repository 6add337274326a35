#include "units.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "effects.h"

namespace vx {

namespace {

std::string format(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// At most one decimal, none where the value is whole.
std::string one_decimal(double v) {
    const double r = std::nearbyint(v * 10.0) / 10.0;
    return format(r == std::nearbyint(r) ? "%.0f" : "%.1f", r);
}

}  // namespace

std::string ms_text(double samples, int32_t rate) {
    if (rate <= 0) rate = 48000;
    const double ms = samples * 1000.0 / rate;
    // Two decimals where a sample is a noticeable part of a millisecond's tenth.
    return format(ms < 10.0 ? "%.2f ms" : "%.1f ms", ms);
}

std::string period_text(double samples, int32_t rate) {
    if (rate <= 0) rate = 48000;
    const double seconds = samples / rate;
    if (seconds < 1.0) return ms_text(samples, rate);
    return format(seconds < 10.0 ? "%.2f s" : "%.1f s", seconds);
}

std::string samples_text(double samples, int32_t rate) {
    const double whole = std::nearbyint(samples);
    const std::string count = whole == samples ? format("%.0f", samples) : format("%.1f", samples);
    return ms_text(samples, rate) + " (" + count + (whole == 1.0 ? " sample)" : " samples)");
}

std::string hz_text(double hz) {
    if (!std::isfinite(hz)) return "-";
    if (hz >= 1000.0) return format(hz >= 10000.0 ? "%.1f kHz" : "%.2f kHz", hz / 1000.0);
    if (hz >= 100.0) return format("%.0f Hz", hz);
    if (hz >= 10.0) return format("%.1f Hz", hz);
    return format("%.2f Hz", hz);
}

std::string gain_text(double factor) {
    const double a = std::fabs(factor);
    const std::string x = format("x%.3g", factor);
    if (!(a > 0.0)) return "-inf dB (" + x + ")";
    const double db = 20.0 * std::log10(a);
    const double shown = std::nearbyint(db * 10.0) / 10.0;
    return format(shown > 0.0 ? "+%.1f dB" : "%.1f dB", shown == 0.0 ? 0.0 : shown) + " (" + x + ")";
}

std::string plain_number(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    std::string t = buf;
    if (t.find('.') != std::string::npos) {
        while (t.back() == '0') t.pop_back();
        if (t.back() == '.') t.pop_back();
    }
    return t;
}

std::string factor_text(double factor) { return "x" + plain_number(factor, 5); }

std::string resonance_text(double res) { return format("x%.1f", res); }

std::string ratio_text(double ratio) { return ratio > 0.0 ? format("%.1f:1", ratio) : std::string("limit"); }

std::string dbfs_text(double level) {
    if (!(level > 0.0)) return "-inf dBFS";
    const double db = std::nearbyint(20.0 * std::log10(level / kFullScale) * 10.0) / 10.0;
    return format(db > 0.0 ? "+%.1f dBFS" : "%.1f dBFS", db == 0.0 ? 0.0 : db);
}

std::string percent_text(double ratio) { return one_decimal(ratio * 100.0) + " %"; }

std::string one_pole_corner_text(double c, int32_t rate) {
    if (rate <= 0) rate = 48000;
    // A filter that never falls to -3 dB below half the rate passes the whole band.
    const std::string above = "above " + hz_text(rate / 2.0);
    if (c <= 0.0) return above;
    if (c >= 1.0) return "0 Hz";
    // |H| = 1/sqrt(2) where cos w = 1 - (1 - c)^2 / (2 c).
    const double cw = 1.0 - (1.0 - c) * (1.0 - c) / (2.0 * c);
    if (cw <= -1.0) return above;
    return hz_text(std::acos(cw) * rate / (2.0 * std::numbers::pi));
}

}  // namespace vx
