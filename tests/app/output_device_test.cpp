// The real output unit where the panel relies on it: the alternative path of the fallback entry
// holds for one START only (unless the settings asked for it before any list was read), and the
// "WAV file output" says when its file could not be written whole.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "drivers/builtin_devices.h"
#include "drivers/dsound.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

std::vector<std::string> output_list() {
    WaveOutDeviceList list;
    std::vector<std::string> names;
    if (get_wdm_wavout_device_list(&list) == 0) return names;
    for (int32_t i = 0; i < list.count; ++i) names.emplace_back(list.names[i]);
    return names;
}

int32_t index_of(const std::vector<std::string>& names, const char* name) {
    return static_cast<int32_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

void set_up_output() {
    setup_stereo(2);
    setup_freq_22_44(48000);
    setup_latency(750);
    setup_b_size(480);
    setup_bits_per_sample(16);
}

class OutputDevice : public ::testing::Test {
protected:
    void SetUp() override { dsound_startup(); }
    void TearDown() override { dsound_startup(); }
};

TEST_F(OutputDevice, TheFallbackPathLastsUntilTheOutputCloses) {
    const std::vector<std::string> listed = output_list();
    const int32_t null_output = index_of(listed, kNullOutputName);
    ASSERT_LT(null_output, static_cast<int32_t>(listed.size()));

    // START on the fallback entry, whether or not this machine has a default output.
    set_up_output();
    setup_ks_prefered();
    const std::vector<std::string> fallback = output_list();
    EXPECT_LE(fallback.size(), 1u);
    if (!fallback.empty() && select_wdm_waveOut_device(0) != 0 && WinMain1(nullptr) == 0) CloseDSound();
    CloseDSound();

    // The listed entries mean what the selector shows again.
    set_up_output();
    ASSERT_EQ(select_wdm_waveOut_device(null_output), 1);
    ASSERT_EQ(WinMain1(nullptr), 0) << get_waveOut_error();
    CloseDSound();
    EXPECT_EQ(output_list(), listed);
}

TEST_F(OutputDevice, AlternativePathAskedBeforeTheFirstListHoldsForTheRun) {
    setup_ks_prefered();  // as "usefastwdm" does at the first show
    const std::vector<std::string> first = output_list();
    EXPECT_LE(first.size(), 1u);
    CloseDSound();
    EXPECT_EQ(output_list(), first);
}

// A full disk, made by a file size limit: the write falls short, the unit says so and writes no more.
TEST_F(OutputDevice, WavFileOutputReportsAShortWrite) {
    const fs::path dir = fs::temp_directory_path() / ("vx-wavout-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path wav = dir / "out.wav";
    set_wav_output_path(wav.string());
    set_builtin_clock_speed(8.0);
    set_up_output();
    ASSERT_EQ(select_wdm_waveOut_device(index_of(output_list(), kWavOutputName)), 1);

    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 16384;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ASSERT_EQ(WinMain1(nullptr), 0) << get_waveOut_error();
    EXPECT_STREQ(get_waveOut_error(), "");
    const std::vector<float> block(480 * 2, 1000.0f);
    // Waits for the event, however long the loaded machine takes to play 16 KiB.
    for (int i = 0; i < 20000 && std::string(get_waveOut_error()).empty(); ++i) {
        out_to_dsound(block.data(), 480, 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::string why = get_waveOut_error();
    CloseDSound();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    set_builtin_clock_speed(1.0);
    EXPECT_NE(why.find(wav.string()), std::string::npos) << why;
    EXPECT_NE(why.find("not in the file"), std::string::npos) << why;
    EXPECT_LE(fs::file_size(wav), 16384u);
    fs::remove_all(dir);
    set_wav_output_path("temp/live-output.wav");
}

}  // namespace
}  // namespace vx
