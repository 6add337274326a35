// Helpers shared by the effect tests: make an instance of a kind and run blocks through it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/effects.h"

namespace vx::test {

// Owns one instance made through the registry, as a rack slot would.
class Instance {
public:
    explicit Instance(EffectKind k) : kind_(k), cell_(get_registry().create[k]()) {}
    ~Instance() { force_destroy_instance(cell_); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    template <class T> T& as() { return *static_cast<T*>(cell_->form); }
    EffectInstance cell() const { return cell_; }

    // Processes `buf` in place in blocks of `block` frames.
    void process(std::vector<float>& buf, int channels, int block = 480, int rate = 48000) {
        const int frames = static_cast<int>(buf.size()) / channels;
        for (int at = 0; at < frames; at += block) {
            const int n = frames - at < block ? frames - at : block;
            get_registry().process[kind_](n, rate, channels, buf.data() + static_cast<size_t>(at) * channels, cell_);
        }
    }
    ParameterBlock get() {
        ParameterBlock b{};
        get_registry().params[kind_](b.data(), cell_, 0);
        return b;
    }
    void put(ParameterBlock b) { get_registry().params[kind_](b.data(), cell_, 1); }

private:
    EffectKind kind_;
    EffectInstance cell_;
};

// The four-pole low-pass written out plainly from its recurrence (extended arithmetic, every
// assignment stored as float64), to check the equalizer and the wah against. Returns out4.
struct ReferenceFourPole {
    double in = 0, o1 = 0, o2 = 0, o3 = 0, o4 = 0, i1 = 0, i2 = 0, i3 = 0, i4 = 0;
    double step(float x, double f, double fb) {
        const long double F = f;
        in = x;
        in = static_cast<double>(in - o4 * static_cast<long double>(fb));
        in = static_cast<double>(((0.35013L * (F * F)) * (F * F)) * in);
        o1 = static_cast<double>((0.3L * i1 + in) + (1.0L - F) * o1);
        i1 = in;
        o2 = static_cast<double>((0.3L * i2 + o1) + (1.0L - F) * o2);
        i2 = o1;
        o3 = static_cast<double>((0.3L * i3 + o2) + (1.0L - F) * o3);
        i3 = o2;
        o4 = static_cast<double>((0.3L * i4 + o3) + (1.0L - F) * o4);
        i4 = o3;
        return o4;
    }
};

// Deterministic test noise on the 16-bit scale.
inline std::vector<float> noise(size_t count, uint32_t seed = 1, float amplitude = 10000.0f) {
    std::vector<float> v(count);
    for (auto& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * amplitude;
    }
    return v;
}

}  // namespace vx::test
