// What every benchmark of an effect kind shares: 48000 Hz, 480-frame blocks, a loud noise block, and
// the cost reported per frame (per stereo frame in stereo).
#pragma once

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/effects.h"
#include "engine/test_signal.h"

namespace vx::bench {

constexpr int kRate = 48000;
constexpr int kFrames = 480;

// Deterministic noise of `channels` x kFrames samples, peaking near `amplitude` on the 16-bit scale.
inline std::vector<float> noise_block(int channels, uint32_t seed, float amplitude = 12000.0f) {
    std::vector<float> v(static_cast<size_t>(channels) * kFrames);
    for (auto& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f) * amplitude;
    }
    return v;
}

// ns per frame, and seconds of audio processed per second of processing.
inline void report(benchmark::State& state) {
    const double frames = static_cast<double>(state.iterations()) * kFrames;
    state.counters["ns_per_frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["rt_factor"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
    state.SetItemsProcessed(static_cast<int64_t>(frames));
}

// Runs an instance of `kind` block after block on the same noise, or on silence after 2000 blocks of
// it (a kind that slows down on tiny numbers shows there), then frees the instance.
inline void run_instance(benchmark::State& state, EffectKind kind, EffectInstance inst, int channels,
                         bool silence_after_signal) {
    const EffectRegistry& reg = get_registry();
    const std::vector<float> fresh = noise_block(channels, 3);
    std::vector<float> buf = fresh;
    if (silence_after_signal) {
        for (int i = 0; i < 2000; ++i) {
            std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
            reg.process[kind](kFrames, kRate, channels, buf.data(), inst);
        }
    }
    for (auto _ : state) {
        if (silence_after_signal)
            std::memset(buf.data(), 0, buf.size() * sizeof(float));
        else
            std::memcpy(buf.data(), fresh.data(), buf.size() * sizeof(float));
        reg.process[kind](kFrames, kRate, channels, buf.data(), inst);
        benchmark::DoNotOptimize(buf.data());
    }
    report(state);
    force_destroy_instance(inst);
}

// The built-in phrase, the same in every channel, a whole number of blocks, in whole numbers as a
// 16-bit file of it gives them: quiet passages and notes dying away, as a render of it meets them.
inline std::vector<float> phrase_signal(int channels) {
    const std::vector<float> mono = make_test_phrase(kRate, 4.0);
    std::vector<float> v;
    v.reserve(mono.size() / kFrames * kFrames * static_cast<size_t>(channels));
    for (size_t i = 0; i < mono.size() / kFrames * kFrames; ++i)
        for (int c = 0; c < channels; ++c) v.push_back(std::nearbyint(mono[i]));
    return v;
}

// Noise fading by a constant ratio, block after block, from the 16-bit scale to far below the normal
// float range (and silence) in 400 blocks: the very quiet floats an upstream effect hands on as a
// note dies away.
inline std::vector<float> decaying_signal(int channels) {
    constexpr int kBlocks = 400;
    std::vector<float> v;
    v.reserve(static_cast<size_t>(kBlocks) * kFrames * channels);
    for (int b = 0; b < kBlocks; ++b) {
        const std::vector<float> block = noise_block(channels, 7 + static_cast<uint32_t>(b), 1.0f);
        const double level = 12000.0 * std::pow(2.0, -170.0 * b / kBlocks);
        for (float x : block) v.push_back(static_cast<float>(x * level));
    }
    return v;
}

// Runs an instance of `kind` on `signal` (whole blocks), round and round, then frees the instance.
inline void run_on_signal(benchmark::State& state, EffectKind kind, EffectInstance inst, int channels,
                          const std::vector<float>& signal) {
    const EffectRegistry& reg = get_registry();
    const size_t block = static_cast<size_t>(channels) * kFrames;
    std::vector<float> buf(block);
    size_t at = 0;
    for (auto _ : state) {
        std::memcpy(buf.data(), signal.data() + at, block * sizeof(float));
        reg.process[kind](kFrames, kRate, channels, buf.data(), inst);
        benchmark::DoNotOptimize(buf.data());
        at = at + block == signal.size() ? 0 : at + block;
    }
    report(state);
    force_destroy_instance(inst);
}

}  // namespace vx::bench
