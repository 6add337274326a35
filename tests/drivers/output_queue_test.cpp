// The output queue: 16-bit conversion, priming, underruns, drops and added silence, capacity, and a
// real producer and consumer on two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "drivers/output_queue.h"

namespace vx {
namespace {

TEST(OutputQueue, SixteenBitConversionRoundsHalfToEvenAndSaturates) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float in;
        int16_t out;
    } cases[] = {
        {0.5f, 0},         {1.5f, 2},          {2.5f, 2},          {-0.5f, 0},       {-1.5f, -2},
        {-2.5f, -2},       {1234.4f, 1234},    {32767.4f, 32767},  {32767.5f, 32767}, {40000.0f, 32767},
        {-32768.0f, -32768}, {-32768.7f, -32768}, {-1e9f, -32768}, {inf, 32767},      {-inf, -32768},
        {std::nanf(""), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(to_int16(c.in), c.out) << c.in;
}

// A queue on the heap (it is large) with 4-frame stereo blocks.
struct Q {
    explicit Q(int32_t channels = 2, int32_t capacity = 1000, int32_t prime = 2) {
        q->reset(channels, 4, capacity, prime);
    }
    // Pushes one block whose every sample is v.
    bool push(float v, int32_t channels = 2) {
        std::vector<float> b(static_cast<size_t>(4 * channels), v);
        return q->push(b.data(), 4, channels);
    }
    // Pulls one block; returns the first sample and checks the block is uniform.
    int16_t pull(OutputQueue::Pull expected) {
        std::vector<int16_t> out(static_cast<size_t>(4 * q->channels()), 77);
        EXPECT_EQ(q->pull(out.data(), 4), expected);
        for (int16_t s : out) EXPECT_EQ(s, out[0]);
        return out[0];
    }
    std::unique_ptr<OutputQueue> q = std::make_unique<OutputQueue>();
};

TEST(OutputQueue, PrimesWithTwoBlocksAndPrimesAgainAfterAnUnderrun) {
    Q t;
    EXPECT_EQ(t.pull(OutputQueue::Pull::Waiting), 0);
    t.push(10);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Waiting), 0);
    EXPECT_EQ(t.q->queued_bytes(), 4 * 2 * 2);
    t.push(20);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 10);
    EXPECT_TRUE(t.q->playing());
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 20);
    EXPECT_EQ(t.q->underruns(), 0);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Underrun), 0);
    EXPECT_EQ(t.q->underruns(), 1);
    EXPECT_FALSE(t.q->playing());
    t.push(30);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Waiting), 0);  // waiting is not another underrun
    EXPECT_EQ(t.q->underruns(), 1);
    t.push(40);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 30);
}

TEST(OutputQueue, QueuedBytesFollowPartialPulls) {
    Q t;
    for (float v : {1.0f, 2.0f, 3.0f}) t.push(v);
    EXPECT_EQ(t.q->queued_frames(), 12);
    EXPECT_EQ(t.q->queued_bytes(), 48);
    int16_t out[2 * 6];
    EXPECT_EQ(t.q->pull(out, 6), OutputQueue::Pull::Played);  // one block and a half
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[2 * 4], 2);
    EXPECT_EQ(t.q->queued_frames(), 6);
    EXPECT_EQ(t.q->pull(out, 2), OutputQueue::Pull::Played);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(t.q->queued_frames(), 4);
}

TEST(OutputQueue, SkipDropsOneBlockAndInsertPlaysOneBlockOfSilence) {
    Q t;
    for (float v : {1.0f, 2.0f, 3.0f, 4.0f, 5.0f}) t.push(v);
    t.q->request_skip();
    EXPECT_EQ(t.q->queued_frames(), 20);  // carried out by the consumer
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 2);
    EXPECT_EQ(t.q->skipped(), 1);
    t.q->request_insert();
    EXPECT_EQ(t.q->queued_frames(), 16);  // the added silence counts at once
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 0);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 3);
    // Two drops at once; then more drops than blocks: the queue empties, nothing is left owed.
    t.q->request_skip();
    t.q->request_skip();
    EXPECT_EQ(t.pull(OutputQueue::Pull::Underrun), 0);
    EXPECT_EQ(t.q->skipped(), 3);
    t.q->request_skip();
    EXPECT_EQ(t.pull(OutputQueue::Pull::Waiting), 0);
    EXPECT_EQ(t.q->skipped(), 3);
    for (float v : {6.0f, 7.0f}) t.push(v);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 6);
}

TEST(OutputQueue, FullQueueLosesTheNewBlock) {
    Q t(2, 8);
    EXPECT_TRUE(t.push(1));
    EXPECT_TRUE(t.push(2));
    EXPECT_FALSE(t.push(3));
    EXPECT_EQ(t.q->overflows(), 1);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 1);
    EXPECT_TRUE(t.push(4));
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 2);
    EXPECT_EQ(t.pull(OutputQueue::Pull::Played), 4);
}

TEST(OutputQueue, ChannelCountsMeetAndLongBlocksAreSplit) {
    Q mono(1);
    std::vector<float> stereo{100, 300, 100, 301, 100, 302, 100, 303};
    mono.q->push(stereo.data(), 4, 2);
    mono.q->push(stereo.data(), 4, 2);
    int16_t m[4];
    mono.q->pull(m, 4);
    EXPECT_EQ(std::vector<int16_t>(m, m + 4), (std::vector<int16_t>{200, 200, 201, 202}));  // 200.5 to 200

    Q st(2);
    st.push(-7, 1);
    st.push(9, 1);
    EXPECT_EQ(st.pull(OutputQueue::Pull::Played), -7);

    auto big = std::make_unique<OutputQueue>();
    big->reset(2, 512, 1 << 20, 1);
    std::vector<float> b(2 * 1000, 5.0f);
    EXPECT_TRUE(big->push(b.data(), 1000, 2));
    EXPECT_EQ(big->queued_frames(), 1000);
    std::vector<int16_t> out(2 * 1000);
    EXPECT_EQ(big->pull(out.data(), 1000), OutputQueue::Pull::Played);
    EXPECT_EQ(out.back(), 5);
    EXPECT_EQ(big->queued_frames(), 0);
}

TEST(OutputQueue, ProducerAndConsumerOnTwoThreadsLoseNothing) {
    constexpr int kBlocks = 20000;
    constexpr int kFrames = 64;
    auto q = std::make_unique<OutputQueue>();
    q->reset(2, kFrames, kFrames * 600, 1);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::vector<float> b(2 * kFrames);
        for (int id = 1; id <= kBlocks; ++id) {
            while (q->queued_frames() > kFrames * 500) std::this_thread::yield();
            for (float& s : b) s = static_cast<float>(id);
            EXPECT_TRUE(q->push(b.data(), kFrames, 2));
            if (id % 97 == 0) std::this_thread::yield();
        }
        done.store(true);
    });
    std::vector<int16_t> out(2 * kFrames);
    int expected = 1;
    int silent_pulls = 0;
    while (expected <= kBlocks) {
        // Pulls of 48 frames cut across the 64-frame blocks.
        const OutputQueue::Pull p = q->pull(out.data(), 48);
        for (int i = 0; i < 2 * 48; i += 2) {
            const int v = out[static_cast<size_t>(i)];
            ASSERT_EQ(v, out[static_cast<size_t>(i) + 1]);
            if (v == 0) continue;  // silence of an underrun or of waiting
            if (v == expected + 1) ++expected;
            ASSERT_EQ(v, expected) << "a block was lost, repeated or reordered";
        }
        if (p != OutputQueue::Pull::Played) ++silent_pulls;
        if (expected == kBlocks && q->queued_frames() == 0 && done.load()) break;
    }
    producer.join();
    EXPECT_EQ(expected, kBlocks);
    EXPECT_EQ(q->overflows(), 0);
    EXPECT_EQ(q->skipped(), 0);
}

}  // namespace
}  // namespace vx
