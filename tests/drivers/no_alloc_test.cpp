// The capture thread and the output device's thread must not touch the heap while they run. The
// global allocator is replaced here to count allocations while a built-in device pair plays.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "drivers/builtin_devices.h"
#include "drivers/dsound.h"
#include "drivers/waves.h"
#include "engine/effects.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t n) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vx {
namespace {

TEST(RealTimeDrivers, RunningDevicesAllocateNothing) {
    effects_startup();
    waves_startup();
    dsound_startup();
    set_builtin_clock_speed(8.0);
    const WaveInDeviceList* in = get_waveIn_device_list();
    select_waveIn_device(in->last);  // the test signal
    WaveOutDeviceList out;
    ASSERT_EQ(get_wdm_wavout_device_list(&out), 1);
    setup_stereo(2);
    setup_freq_22_44(48000);
    setup_b_size(128);
    ASSERT_EQ(select_wdm_waveOut_device(out.count - 2), 1);  // Null output
    ASSERT_EQ(WinMain1(nullptr), 0);
    setup_and_start_wave_In(48000, 2, 128, &ChainRunner, &out_to_dsound);
    ASSERT_STREQ(get_waveIn_error(), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int32_t before = block_counter();
    counting.store(true);
    // Only the two device threads run meanwhile; this thread sleeps.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    counting.store(false);
    const int32_t blocks = block_counter() - before;
    stop_and_close_wave_in();
    CloseDSound();
    set_builtin_clock_speed(1.0);
    EXPECT_GT(blocks, 100);
    EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
}  // namespace vx
