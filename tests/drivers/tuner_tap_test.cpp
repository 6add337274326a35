// The tuner's tap: a capture thread writing while the interface thread reads the newest samples.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "drivers/tuner_tap.h"

namespace vx {
namespace {

TEST(InputTap, MixesToOneChannelAndGivesTheNewestSamplesInOrder) {
    auto tap = std::make_unique<InputTap>();
    std::vector<float> out(4);
    EXPECT_FALSE(tap->read_newest(out.data(), 4));  // nothing yet
    const float stereo[] = {1, 3, 5, 7, 9, 11};
    tap->push(stereo, 3, 2, 44100);
    EXPECT_EQ(tap->sample_rate(), 44100);
    EXPECT_FALSE(tap->read_newest(out.data(), 4));
    ASSERT_TRUE(tap->read_newest(out.data(), 3));
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], 6.0f);
    EXPECT_EQ(out[2], 10.0f);
    EXPECT_FALSE(tap->read_newest(out.data(), 0));
    EXPECT_FALSE(tap->read_newest(out.data(), InputTap::kMaxRead + 1));
    tap->reset();
    EXPECT_EQ(tap->written(), 0);
    EXPECT_EQ(tap->sample_rate(), 0);
}

// Every copy the reader accepts is a run of consecutive samples, however the two threads meet.
TEST(InputTap, ReaderNeverAcceptsATornCopy) {
    auto tap = std::make_unique<InputTap>();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<float> block(512);
        float next = 0.0f;
        for (int b = 0; b < 20000; ++b) {
            for (float& v : block) {
                v = next;
                next = next + 1.0f == 1 << 22 ? 0.0f : next + 1.0f;
            }
            tap->push(block.data(), 512, 1, 48000);
        }
        done.store(true);
    });
    std::vector<float> out(InputTap::kMaxRead);
    long accepted = 0, torn = 0;
    while (!done.load()) {
        if (!tap->read_newest(out.data(), static_cast<int32_t>(out.size()))) continue;
        ++accepted;
        for (size_t i = 1; i < out.size(); ++i)
            if (out[i] != out[i - 1] + 1.0f && out[i] != 0.0f) {
                ++torn;
                break;
            }
    }
    writer.join();
    EXPECT_EQ(torn, 0) << accepted << " copies accepted";
    ASSERT_TRUE(tap->read_newest(out.data(), 16));
}

}  // namespace
}  // namespace vx
