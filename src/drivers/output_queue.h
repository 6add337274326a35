// The output queue between the capture thread and the output device: a lock-free ring of 16-bit
// blocks with exactly one producer (out_to_dsound, on the capture thread) and one consumer (the
// output device's thread or callback). The user-interface thread only asks for a block to be
// dropped or a block of silence to be added; the consumer carries both out, so every index of the
// ring keeps a single writer.
//
// The consumer starts playing once `prime_blocks` blocks are queued, like a sound card that starts
// with its buffer filled. When it finds the queue empty while playing, it plays silence, counts an
// underrun and waits to be primed again.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace vx {

class OutputQueue {
public:
    static constexpr int kSlots = 1024;
    static constexpr int kMaxBlockFrames = 512;
    static constexpr int kMaxChannels = 2;

    OutputQueue() = default;
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Empties the queue and clears the counters. Only while neither side runs.
    // capacity_frames: the most output held; a block that would go beyond it is lost (counted).
    void reset(int32_t channels, int32_t block_frames, int32_t capacity_frames, int32_t prime_blocks = 2);

    // Producer. Converts a block of `channels` interleaved samples on the 16-bit scale to 16 bits
    // (nearest, halves to even, saturated; the queue's channel count wins: mono is copied to both
    // sides, stereo is averaged to mono) and queues it. False if it did not fit.
    bool push(const float* samples, int32_t frames, int32_t channels);

    enum class Pull { Waiting, Played, Underrun };
    // Consumer: fills frames x channels() samples. Waiting: not primed, all silence.
    Pull pull(int16_t* out, int32_t frames);

    // Any thread: the consumer drops one queued block, or plays one block of silence first.
    void request_skip();
    void request_insert();

    int32_t channels() const { return channels_; }
    int32_t block_frames() const { return block_frames_; }
    // Frames waiting to be played, the silence asked for by request_insert included.
    int64_t queued_frames() const;
    // The same in bytes of 16-bit samples, all channels.
    int64_t queued_bytes() const { return queued_frames() * channels_ * 2; }
    bool playing() const { return playing_.load(std::memory_order_relaxed); }
    int32_t underruns() const { return underruns_.load(std::memory_order_relaxed); }
    int32_t skipped() const { return skipped_.load(std::memory_order_relaxed); }
    int32_t overflows() const { return overflows_.load(std::memory_order_relaxed); }

private:
    struct Slot {
        int32_t frames = 0;
        int16_t samples[kMaxBlockFrames * kMaxChannels];
    };
    bool push_one(const float* samples, int32_t frames, int32_t channels);
    void drop_front();

    std::array<Slot, kSlots> slots_{};
    alignas(64) std::atomic<uint32_t> head_{0};  // next slot the producer fills
    alignas(64) std::atomic<uint32_t> tail_{0};  // slot the consumer reads
    std::atomic<int64_t> queued_frames_{0};
    std::atomic<int64_t> silence_frames_{0};
    std::atomic<int32_t> skip_requests_{0};
    std::atomic<int32_t> underruns_{0};
    std::atomic<int32_t> skipped_{0};
    std::atomic<int32_t> overflows_{0};
    std::atomic<bool> playing_{false};
    int32_t channels_ = 2;
    int32_t block_frames_ = 256;
    int64_t capacity_frames_ = 48000;
    int64_t prime_frames_ = 512;
    int32_t front_offset_ = 0;  // consumer only: frames of the front slot already played
};

// One sample on the 16-bit scale as a 16-bit integer: nearest, halves to even, saturated; NaN is 0.
int16_t to_int16(float sample);

}  // namespace vx
