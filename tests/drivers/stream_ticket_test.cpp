// A stream left alone after its sound server vanished must never run beside the new one: its
// ticket, once retired, lets no call reach the owner, and retiring waits out a call already inside.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "drivers/portaudio_backend.h"

namespace vx {
namespace {

TEST(StreamTicket, RetiredTicketReachesNoOwnerAndRetiringWaitsForACallInside) {
    int owner = 0;
    pa::StreamTicket ticket(&owner);
    std::atomic<bool> inside{false}, release{false}, retired{false};
    int calls = 0;
    std::thread stream([&] {
        EXPECT_TRUE(ticket.call([&](void* o) {
            EXPECT_EQ(o, &owner);
            ++calls;
            inside = true;
            while (!release.load()) std::this_thread::yield();
        }));
    });
    while (!inside.load()) std::this_thread::yield();
    std::thread ui([&] {
        ticket.retire();
        retired = true;
    });
    // However long this takes, retiring cannot end while the call is inside.
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_FALSE(retired.load());
    release = true;
    stream.join();
    ui.join();
    EXPECT_TRUE(retired.load());
    EXPECT_FALSE(ticket.call([&](void*) { ++calls; }));
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vx
