// varnomix-render as a user runs it: real files in, real files out, exit status checked.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "audio_file.h"
#include "chain_builder.h"
#include "sound_file.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

class Render : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("vx-render-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    int run(const std::string& args) {
        const std::string cmd = std::string(VX_BIN_DIR) + "/varnomix-render --quiet " + args + " 2>" +
                                (dir / "stderr.txt").string();
        const int st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::string err() {
        AudioData unused;
        FILE* f = std::fopen((dir / "stderr.txt").c_str(), "r");
        std::string s;
        if (f) {
            char b[512];
            while (size_t n = std::fread(b, 1, sizeof b, f)) s.append(b, n);
            std::fclose(f);
        }
        return s;
    }
    // A stereo float file with a known signal on both channels.
    std::string stereo_float(const std::string& name, size_t frames = 5000) {
        AudioData d;
        d.sample_rate = 44100;
        d.channels = 2;
        for (size_t i = 0; i < frames; ++i) {
            d.samples.push_back(static_cast<float>((static_cast<int>(i * 37) % 2001) - 1000) * 3.25f);
            d.samples.push_back(static_cast<float>((static_cast<int>(i * 91) % 1001) - 500) * 7.5f);
        }
        const std::string p = (dir / name).string();
        EXPECT_EQ(write_wav(p, d, false), "");
        return p;
    }
    AudioData read(const std::string& p) {
        AudioData d;
        EXPECT_EQ(read_audio(p, d), "");
        return d;
    }
    fs::path dir;
};

TEST_F(Render, NewGainKeepsLeftAndInvertsRight) {
    const auto in = stereo_float("in.wav");
    const auto out = (dir / "out.wav").string();
    ASSERT_EQ(run("--fx Gain " + in + " " + out), 0) << err();
    const AudioData a = read(in), b = read(out);
    ASSERT_EQ(a.samples.size(), b.samples.size());
    EXPECT_EQ(b.sample_rate, 44100);
    for (size_t i = 0; i < a.samples.size(); i += 2) {
        ASSERT_EQ(std::bit_cast<uint32_t>(b.samples[i]), std::bit_cast<uint32_t>(a.samples[i]));
        ASSERT_EQ(b.samples[i + 1], -a.samples[i + 1]);
    }
}

TEST_F(Render, SetLeftTo100MultipliesByEleven) {
    const auto in = stereo_float("in.wav");
    const auto out = (dir / "out.wav").string();
    ASSERT_EQ(run("--fx Gain --set 1:ScrollBar_Gain_Left=100 --block 7 " + in + " " + out), 0) << err();
    const AudioData a = read(in), b = read(out);
    for (size_t i = 0; i < a.samples.size(); i += 2) ASSERT_EQ(b.samples[i], a.samples[i] * 11.0f);
}

TEST_F(Render, BlockSizeDoesNotChangeGain) {
    const auto in = stereo_float("in.wav");
    std::vector<AudioData> outs;
    for (const char* block : {"1", "7", "480", "512"}) {
        const auto out = (dir / (std::string("out") + block + ".wav")).string();
        ASSERT_EQ(run(std::string("--fx 13 --set 1:RadioBox_SimpleChorus=1 --set 1:ScrollBar_SimpleChorus=0 --block ") +
                      block + " " + in + " " + out), 0) << err();
        outs.push_back(read(out));
    }
    for (auto& o : outs) EXPECT_EQ(o.samples, outs[0].samples);
}

TEST_F(Render, MonoAsStereoAndPcm16) {
    AudioData m;
    m.sample_rate = 22050;
    m.channels = 1;
    for (int i = 0; i < 1000; ++i) m.samples.push_back(static_cast<float>(i * 30 - 15000));
    const auto in = (dir / "mono.wav").string();
    ASSERT_EQ(write_wav(in, m, true), "");
    const auto out = (dir / "out.wav").string();
    // x 11 clamps at the 16-bit limits; 1/11 rounds half to even.
    ASSERT_EQ(run("--channels 2 --pcm16 --fx Gain --set 1:ScrollBar_Gain_Left=100 --set 1:CheckRadioBox_Air=0 "
                  "--set 1:ScrollBar_Gain_Right=0 " + in + " " + out), 0) << err();
    const AudioData b = read(out);
    ASSERT_EQ(b.channels, 2);
    ASSERT_EQ(b.samples.size(), 2000u);
    const float eleventh = static_cast<float>(1.0 / 11.0);
    for (size_t i = 0; i < 1000; ++i) {
        const float x = m.samples[i];
        const double l = std::nearbyint(static_cast<double>(x * 11.0f));
        EXPECT_EQ(b.samples[2 * i], static_cast<float>(std::clamp(l, -32768.0, 32767.0)));
        EXPECT_EQ(b.samples[2 * i + 1], static_cast<float>(std::nearbyint(static_cast<double>(x * eleventh))));
    }
}

// The tool streams a long file in pieces: the blocks still fall where one pass over the whole file
// puts them, so a Delay, whose echoes cross the pieces, sounds as the runner makes it in memory.
TEST_F(Render, LongFileRendersAsOnePass) {
    const auto in = stereo_float("long.wav", 40001);
    const AudioData dry = read(in);
    for (int block : {7, 480, 512}) {
        SCOPED_TRACE(block);
        const auto out = (dir / "long-out.wav").string();
        ASSERT_EQ(run("--block " + std::to_string(block) + " --fx Delay --set 1:ScrollBar_Delay_Time=20 " + in + " " + out), 0)
            << err();
        std::vector<float> want = dry.samples;
        {
            OfflineChain chain;
            ASSERT_EQ(chain.add_effect("Delay"), "");
            ASSERT_EQ(chain.set_control("1:ScrollBar_Delay_Time=20"), "");
            chain.load();
            for (size_t at = 0; at < want.size() / 2; at += static_cast<size_t>(block)) {
                const auto n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(block), want.size() / 2 - at));
                ChainRunner(n, 44100, 2, want.data() + 2 * at);
            }
        }
        EXPECT_EQ(read(out).samples, want);
    }
}

// A float file may hold samples that are not numbers, or that overflow once on the engine's scale:
// they play as silence, the rest of the file is processed as it is, and the user is told.
TEST_F(Render, SamplesThatAreNotNumbersPlayAsSilence) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> file(2000);
    for (size_t i = 0; i < file.size(); ++i) file[i] = 0.5f * static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
    file[100] = std::numeric_limits<float>::quiet_NaN();
    file[101] = inf;
    file[700] = -inf;
    file[1501] = 1e38f;  // finite in the file, infinite times 32768
    const std::string in = (dir / "poisoned.wav").string();
    ASSERT_TRUE(test::write_sound_file(in, 48000, 2, file));
    for (const char* kind : {"Distortion (Soft/Hard)", "Reverberator", "wah"}) {
        SCOPED_TRACE(kind);
        const auto out = (dir / "out.wav").string();
        ASSERT_EQ(run(std::string("--fx \"") + kind + "\" " + in + " " + out), 0) << err();
        EXPECT_NE(err().find("4 samples"), std::string::npos) << err();
        const AudioData got = read(out);
        ASSERT_EQ(got.samples.size(), file.size());
        for (float v : got.samples) ASSERT_TRUE(std::isfinite(v));
    }
}

TEST_F(Render, BadInputFailsCleanly) {
    const auto in = stereo_float("in.wav", 100);
    const auto out = (dir / "out.wav").string();
    std::string seventeen;
    for (int i = 0; i < 17; ++i) seventeen += "--fx Gain ";
    struct Case { std::string args; std::string says; };
    const Case cases[] = {
        {(dir / "missing.wav").string() + " " + out, "cannot read"},
        {"--fx Wobble " + in + " " + out, "unknown effect kind"},
        {"--fx 14 " + in + " " + out, "unknown effect kind"},
        {"--fx Gain --set 1ScrollBar_Gain_Left=3 " + in + " " + out, "malformed"},
        {"--fx Gain --set 1:Nope=3 " + in + " " + out, "no control"},
        {"--fx Gain --set 1:ScrollBar_Gain_Left=x " + in + " " + out, "not a whole number"},
        {"--fx Gain --set 17:ScrollBar_Gain_Left=3 " + in + " " + out, "out of range"},
        {"--fx Gain --set 2:ScrollBar_Gain_Left=3 " + in + " " + out, "empty"},
        {"--off 0 " + in + " " + out, "out of range"},
        {seventeen + in + " " + out, "more than 16"},
        {"--block 513 " + in + " " + out, "--block"},
        {"--channels 1 " + in + " " + out, "stereo file"},
        {"--bogus " + in + " " + out, "unknown option"},
        {in, "expected INPUT and OUTPUT"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.args), 2) << c.args;
        EXPECT_NE(err().find(c.says), std::string::npos) << c.args << " said: " << err();
        EXPECT_FALSE(fs::exists(out)) << c.args;
    }
    // A file that is not audio.
    const auto junk = (dir / "junk.wav").string();
    FILE* f = std::fopen(junk.c_str(), "w");
    std::fputs("not a wave file", f);
    std::fclose(f);
    EXPECT_EQ(run(junk + " " + out), 2);
    EXPECT_FALSE(fs::exists(out));
    // An output folder that does not exist: nothing left behind, a clear message.
    EXPECT_EQ(run(in + " " + (dir / "no" / "out.wav").string()), 2);
    EXPECT_NE(err().find("cannot write"), std::string::npos);
    for (auto& e : fs::directory_iterator(dir)) EXPECT_EQ(e.path().string().find(".part-"), std::string::npos);
}

TEST_F(Render, ListsKindsAndControls) {
    ASSERT_EQ(std::system((std::string(VX_BIN_DIR) + "/varnomix-render --list-kinds > " + (dir / "k.txt").string()).c_str()), 0);
    ASSERT_EQ(std::system((std::string(VX_BIN_DIR) + "/varnomix-render --controls Gain > " + (dir / "c.txt").string()).c_str()), 0);
    auto slurp = [](const fs::path& p) {
        std::string s;
        FILE* f = std::fopen(p.c_str(), "r");
        char b[512];
        while (size_t n = std::fread(b, 1, sizeof b, f)) s.append(b, n);
        std::fclose(f);
        return s;
    };
    EXPECT_NE(slurp(dir / "k.txt").find("13  Gain"), std::string::npos);
    const std::string c = slurp(dir / "c.txt");
    EXPECT_NE(c.find("ScrollBar_Gain_Left  slider  0..100  position 50"), std::string::npos) << c;
    EXPECT_NE(c.find("CheckRadioBox_Air  checkbox  0..1  checked"), std::string::npos) << c;
    // Each slider's value in its unit follows its position.
    EXPECT_NE(c.find("ScrollBar_Gain_Left  slider  0..100  position 50  0.0 dB (x1)"), std::string::npos) << c;
    ASSERT_EQ(std::system((std::string(VX_BIN_DIR) + "/varnomix-render --controls Delay > " + (dir / "d.txt").string()).c_str()), 0);
    const std::string d = slurp(dir / "d.txt");
    EXPECT_NE(d.find("ScrollBar_Delay_Time  slider  0..100  position 75  812.5 ms (39000 samples)  \"Delay \""),
              std::string::npos)
        << d;
}

}  // namespace
}  // namespace vx
