#include "tuner_tap.h"

namespace vx {

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
std::atomic<bool> mute{false};
}  // namespace

void InputTap::push(const float* in, int32_t frames, int32_t channels, int32_t sample_rate) {
    if (frames <= 0 || channels <= 0) return;
    const int64_t start = end_.load(relaxed);
    begin_.store(start + frames, relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    const float scale = 1.0f / static_cast<float>(channels);
    for (int32_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (int32_t c = 0; c < channels; ++c) sum += in[static_cast<int64_t>(i) * channels + c];
        ring_[static_cast<size_t>((start + i) & (kCapacity - 1))].store(sum * scale, relaxed);
    }
    rate_.store(sample_rate, relaxed);
    end_.store(start + frames, std::memory_order_release);
}

bool InputTap::read_newest(float* out, int32_t n) const {
    if (n <= 0 || n > kMaxRead) return false;
    const int64_t end = end_.load(std::memory_order_acquire);
    if (end < n) return false;
    const int64_t first = end - n;
    for (int32_t i = 0; i < n; ++i) out[i] = ring_[static_cast<size_t>((first + i) & (kCapacity - 1))].load(relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    // Whatever the writer announced since may have landed on the oldest samples copied.
    return begin_.load(relaxed) - first <= kCapacity;
}

void InputTap::reset() {
    begin_.store(0);
    end_.store(0);
    rate_.store(0);
}

InputTap& input_tap() {
    static InputTap tap;
    return tap;
}

void set_output_mute(bool on) { mute.store(on, relaxed); }
bool output_muted() { return mute.load(relaxed); }

}  // namespace vx
