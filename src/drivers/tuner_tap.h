// The input as it enters the rack, for the tuner. The capture thread copies every block, before
// any effect, mixed to one channel, into a ring; the user-interface thread reads the newest
// samples from it. Neither side allocates, locks or waits: a reader that the writer overtook while
// it copied is told so and tries again later. Also the tuner's output mute, applied by the capture
// thread after the rack.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace vx {

class InputTap {
public:
    static constexpr int32_t kCapacity = 1 << 15;  // samples: 0.68 s at 48000 Hz
    static constexpr int32_t kMaxRead = kCapacity / 2;

    InputTap() = default;
    InputTap(const InputTap&) = delete;
    InputTap& operator=(const InputTap&) = delete;

    // Capture thread: one block of interleaved frames on the 16-bit scale.
    void push(const float* interleaved, int32_t frames, int32_t channels, int32_t sample_rate);
    // Copies the newest n samples (1..kMaxRead), oldest first, into out. False when fewer than n
    // have arrived since the last reset, or when the writer overtook the copy.
    bool read_newest(float* out, int32_t n) const;
    // Samples written since the last reset, and the rate they came at (0 before the first block).
    int64_t written() const { return end_.load(std::memory_order_acquire); }
    int32_t sample_rate() const { return rate_.load(std::memory_order_relaxed); }
    // Forgets what was written; only while no capture runs.
    void reset();

private:
    std::array<std::atomic<float>, kCapacity> ring_{};
    // The writer announces how far it is about to write (begin_) before writing, and publishes
    // what it has written (end_) after.
    std::atomic<int64_t> begin_{0};
    std::atomic<int64_t> end_{0};
    std::atomic<int32_t> rate_{0};
};

// The program's one tap, fed by the capture thread.
InputTap& input_tap();

// While set, the capture thread silences every block after the rack, before the output.
void set_output_mute(bool on);
bool output_muted();

}  // namespace vx
