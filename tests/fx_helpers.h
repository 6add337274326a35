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
