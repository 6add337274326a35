#include "output_queue.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vx {

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
}

int16_t to_int16(float sample) {
    if (!(sample == sample)) return 0;
    const float c = std::clamp(sample, -32768.0f, 32767.0f);
    return static_cast<int16_t>(std::nearbyint(c));
}

void OutputQueue::reset(int32_t channels, int32_t block_frames, int32_t capacity_frames, int32_t prime_blocks) {
    channels_ = std::clamp(channels, 1, kMaxChannels);
    block_frames_ = std::clamp(block_frames, 1, kMaxBlockFrames);
    capacity_frames_ = std::max<int64_t>(capacity_frames, block_frames_);
    prime_frames_ = static_cast<int64_t>(std::max(prime_blocks, 1)) * block_frames_;
    head_.store(0);
    tail_.store(0);
    queued_frames_.store(0);
    silence_frames_.store(0);
    skip_requests_.store(0);
    underruns_.store(0);
    skipped_.store(0);
    overflows_.store(0);
    playing_.store(false);
    front_offset_ = 0;
}

int64_t OutputQueue::queued_frames() const { return queued_frames_.load(relaxed) + silence_frames_.load(relaxed); }

bool OutputQueue::push(const float* samples, int32_t frames, int32_t channels) {
    if (samples == nullptr || frames <= 0) return true;
    channels = std::clamp(channels, 1, kMaxChannels);
    bool all = true;
    for (int32_t at = 0; at < frames; at += kMaxBlockFrames) {
        const int32_t n = std::min(kMaxBlockFrames, frames - at);
        all = push_one(samples + static_cast<size_t>(at) * channels, n, channels) && all;
    }
    return all;
}

bool OutputQueue::push_one(const float* samples, int32_t frames, int32_t channels) {
    const uint32_t head = head_.load(relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= kSlots ||
        queued_frames_.load(relaxed) + frames > capacity_frames_) {
        overflows_.fetch_add(1, relaxed);
        return false;
    }
    Slot& s = slots_[head % kSlots];
    s.frames = frames;
    int16_t* out = s.samples;
    if (channels == channels_) {
        for (int32_t i = 0; i < frames * channels; ++i) out[i] = to_int16(samples[i]);
    } else if (channels == 1) {
        for (int32_t i = 0; i < frames; ++i) out[2 * i] = out[2 * i + 1] = to_int16(samples[i]);
    } else {
        for (int32_t i = 0; i < frames; ++i)
            out[i] = to_int16(static_cast<float>(0.5 * (static_cast<double>(samples[2 * i]) + samples[2 * i + 1])));
    }
    head_.store(head + 1, std::memory_order_release);
    queued_frames_.fetch_add(frames, relaxed);
    return true;
}

void OutputQueue::drop_front() {
    const uint32_t tail = tail_.load(relaxed);
    const Slot& s = slots_[tail % kSlots];
    queued_frames_.fetch_sub(s.frames - front_offset_, relaxed);
    front_offset_ = 0;
    tail_.store(tail + 1, std::memory_order_release);
}

OutputQueue::Pull OutputQueue::pull(int16_t* out, int32_t frames) {
    if (frames <= 0) return playing() ? Pull::Played : Pull::Waiting;
    // Asked-for drops first: they come from the latency watchdog and the user.
    for (int32_t n = skip_requests_.exchange(0, relaxed); n > 0; --n) {
        if (tail_.load(relaxed) == head_.load(std::memory_order_acquire)) break;
        drop_front();
        skipped_.fetch_add(1, relaxed);
    }
    const size_t total = static_cast<size_t>(frames) * channels_;
    if (!playing()) {
        if (queued_frames() < prime_frames_) {
            std::memset(out, 0, total * sizeof(int16_t));
            return Pull::Waiting;
        }
        playing_.store(true, relaxed);
    }
    int32_t written = 0;
    while (written < frames) {
        int16_t* dst = out + static_cast<size_t>(written) * channels_;
        const int64_t silence = silence_frames_.load(relaxed);
        if (silence > 0) {
            const int32_t k = static_cast<int32_t>(std::min<int64_t>(silence, frames - written));
            std::memset(dst, 0, static_cast<size_t>(k) * channels_ * sizeof(int16_t));
            silence_frames_.fetch_sub(k, relaxed);
            written += k;
            continue;
        }
        const uint32_t tail = tail_.load(relaxed);
        if (tail == head_.load(std::memory_order_acquire)) {
            std::memset(dst, 0, static_cast<size_t>(frames - written) * channels_ * sizeof(int16_t));
            underruns_.fetch_add(1, relaxed);
            playing_.store(false, relaxed);
            return Pull::Underrun;
        }
        const Slot& s = slots_[tail % kSlots];
        const int32_t k = std::min(s.frames - front_offset_, frames - written);
        std::memcpy(dst, s.samples + static_cast<size_t>(front_offset_) * channels_,
                    static_cast<size_t>(k) * channels_ * sizeof(int16_t));
        front_offset_ += k;
        written += k;
        queued_frames_.fetch_sub(k, relaxed);
        if (front_offset_ >= s.frames) {
            front_offset_ = 0;
            tail_.store(tail + 1, std::memory_order_release);
        }
    }
    return Pull::Played;
}

void OutputQueue::request_skip() { skip_requests_.fetch_add(1, relaxed); }

void OutputQueue::request_insert() { silence_frames_.fetch_add(block_frames_, relaxed); }

}  // namespace vx
