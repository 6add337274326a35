// The capture thread and the output device's thread must not touch the heap while they run:
// allocations are counted while a built-in device pair plays.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "alloc_counter.h"
#include "drivers/builtin_devices.h"
#include "drivers/dsound.h"
#include "drivers/waves.h"
#include "engine/effects.h"

namespace vx {
namespace {

TEST(RealTimeDrivers, RunningDevicesAllocateNothing) {
    effects_startup();
    waves_startup();
    dsound_startup();
    set_builtin_clock_manual(true);
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
    step_builtin_clock(std::chrono::milliseconds(20));
    const int32_t before = block_counter();
    counting.store(true);
    // Only the two device threads work meanwhile; this thread steps their clock.
    step_builtin_clock(std::chrono::seconds(1));
    counting.store(false);
    const int32_t blocks = block_counter() - before;
    stop_and_close_wave_in();
    CloseDSound();
    set_builtin_clock_manual(false);
    EXPECT_EQ(blocks, 375);  // every 128-frame period of the second
    EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
}  // namespace vx
