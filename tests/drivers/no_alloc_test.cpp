// The capture thread and the output device's thread must not touch the heap while they run:
// allocations are counted while a built-in device pair plays, the tuner's tap and mute included.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "drivers/builtin_devices.h"
#include "drivers/dsound.h"
#include "drivers/tuner_tap.h"
#include "drivers/waves.h"
#include "engine/effects.h"
#include "sound_file.h"

namespace vx {
namespace {

TEST(RealTimeDrivers, RunningDevicesAllocateNothing) {
    namespace fs = std::filesystem;
    const fs::path wav = fs::temp_directory_path() / ("vx-rt-input-" + std::to_string(::getpid()) + ".wav");
    {
        std::vector<short> tone(3000);
        for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<short>(8000.0 * std::sin(0.05 * i));
        ASSERT_TRUE(test::write_sound_file(wav.string(), 44100, 1, tone));
    }
    for (const char* input : {kTestSignalName, kWavInputName}) {
        effects_startup();
        waves_startup();
        dsound_startup();
        set_builtin_clock_manual(true);
        set_wav_input_path(wav.string());
        const WaveInDeviceList* in = get_waveIn_device_list();
        int32_t index = -1;
        for (int32_t i = 0; i <= in->last; ++i)
            if (std::string(in->names[i]) == input) index = i;
        ASSERT_GE(index, 0) << input;
        select_waveIn_device(index);
        WaveOutDeviceList out;
        ASSERT_EQ(get_wdm_wavout_device_list(&out), 1);
        setup_stereo(2);
        setup_freq_22_44(48000);
        setup_b_size(128);
        ASSERT_EQ(select_wdm_waveOut_device(out.count - 2), 1);  // Null output
        ASSERT_EQ(WinMain1(nullptr), 0);
        setup_and_start_wave_In(48000, 2, 128, &ChainRunner, &out_to_dsound);
        ASSERT_STREQ(get_waveIn_error(), "") << input;
        set_output_mute(std::string(input) == kWavInputName);
        step_builtin_clock(std::chrono::milliseconds(20));
        const int32_t before = block_counter();
        counting.store(true);
        // Only the two device threads work meanwhile; this thread steps their clock.
        step_builtin_clock(std::chrono::seconds(1));
        counting.store(false);
        const int32_t blocks = block_counter() - before;
        const int64_t tapped = input_tap().written();
        stop_and_close_wave_in();
        CloseDSound();
        set_builtin_clock_manual(false);
        EXPECT_EQ(blocks, 375) << input;  // every 128-frame period of the second
        EXPECT_EQ(allocations.load(), 0) << input;
        // The tuner's tap got every block, whole.
        EXPECT_GE(tapped, 128 * 375) << input;
        EXPECT_EQ(tapped % 128, 0) << input;
        EXPECT_EQ(input_tap().written(), 0) << "a stopped engine leaves nothing to read";
        set_output_mute(false);
    }
    waves_startup();
    fs::remove(wav);
}

}  // namespace
}  // namespace vx
