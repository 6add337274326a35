// varnomix-preset and varnomix-render --preset as a user runs them: real files, exit status,
// output, and renders compared sample for sample.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/chain_file.h"
#include "audio_file.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

std::vector<uint8_t> bytes_of(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class PresetTool : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("vx-preset-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs a tool; its standard output in `out`, its standard error in `err`.
    int run(const std::string& tool, const std::string& args) {
        const std::string cmd = std::string(VX_BIN_DIR) + "/" + tool + " " + args + " >" + q((dir / "out.txt").string()) +
                                " 2>" + q((dir / "err.txt").string());
        const int st = std::system(cmd.c_str());
        const auto o = bytes_of(dir / "out.txt"), e = bytes_of(dir / "err.txt");
        out.assign(o.begin(), o.end());
        err.assign(e.begin(), e.end());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    int preset(const std::string& args) { return run("varnomix-preset", args); }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    // A record written as it stands.
    std::string raw(const std::string& name, const ChainFile& rec) {
        EXPECT_EQ(write_chain_file(path(name), rec), "");
        return path(name);
    }

    fs::path dir;
    std::string out, err;
};

const std::string kChain =
    "--fx Gain --set 1:ScrollBar_Gain_Left=80 --set 1:CheckRadioBox_Air=0 --fx 'noise gate' "
    "--set 2:ScrollBar_Porog_Max=30 --fx Delay --set 3:ScrollBar_Delay_Time=1 --set 3:ScrollBar_Delay_Decay=70 "
    "--fx wah --set 4:ScrollBar_Speed=150 --off 4 --fx 'Distortion (Soft/Hard)' --set 5:ScrollBar_Gain_In=75";

TEST_F(PresetTool, BuildThenShowRoundTrips) {
    const std::string pre = path("chain.pre");
    ASSERT_EQ(preset("build " + q(pre) + " " + kChain), 0) << err;
    EXPECT_EQ(fs::file_size(pre), 13188u);
    ASSERT_EQ(preset("show " + q(pre)), 0) << err;
    for (const char* line : {"version 303\n", "slot  1  Gain  On\n", "    ScrollBar_Gain_Left  slider  0..100  position 80",
                             "    CheckRadioBox_Air  checkbox  0..1  unchecked", "slot  2  noise gate  On\n",
                             "    ScrollBar_Porog_Max  slider  4..100  position 30", "slot  3  Delay  On\n",
                             "    ScrollBar_Delay_Decay  slider  0..100  position 70", "slot  4  wah  Off\n",
                             "    ScrollBar_Speed  slider  1..199  position 150", "slot  5  Distortion (Soft/Hard)  On\n",
                             "    ScrollBar_Gain_In  slider  0..100  position 75", "slot 16  --- select ---  Off\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("words"), std::string::npos);

    // --words: the stored words 0..72 of every slot, as the record holds them.
    ASSERT_EQ(preset("show " + q(pre) + " --words"), 0) << err;
    ChainFile rec;
    ASSERT_TRUE(read_chain_file(pre, rec));
    std::string first = "    words  0.. 7:";
    for (int w = 0; w < 8; ++w) first += " " + std::to_string(rec.blocks[0][w]);
    std::string last = "    words 72..72: " + std::to_string(rec.blocks[15][72]) + "\n";
    EXPECT_NE(out.find(first + "\n"), std::string::npos) << first << "\n" << out;
    EXPECT_NE(out.find(last), std::string::npos);
    size_t lines = 0;
    for (size_t at = 0; (at = out.find("    words ", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 16u * 10u);

    // The same chain from an argument file, one option a line, builds the same bytes; and a build
    // may start from a chain file.
    std::ofstream(path("args.txt")) << "# a chain\n--fx Gain\n--set 1:ScrollBar_Gain_Left=80\n\n--set 1:CheckRadioBox_Air=0\n"
                                       "--fx noise gate\n--set 2:ScrollBar_Porog_Max=30\n--fx Delay\n"
                                       "--set 3:ScrollBar_Delay_Time=1\n--set 3:ScrollBar_Delay_Decay=70\n--fx wah\n"
                                       "--set 4:ScrollBar_Speed=150\n--off 4\n--fx Distortion (Soft/Hard)\n"
                                       "--set 5:ScrollBar_Gain_In=75\n";
    ASSERT_EQ(preset("build " + q(path("again.pre")) + " " + q("@" + path("args.txt"))), 0) << err;
    EXPECT_EQ(bytes_of(path("again.pre")), bytes_of(pre));
    ASSERT_EQ(preset("build " + q(path("more.pre")) + " --preset " + q(pre) + " --set 3:ScrollBar_Delay_Time=9 --fx Gain"), 0)
        << err;
    ASSERT_EQ(preset("show " + q(path("more.pre"))), 0) << err;
    EXPECT_NE(out.find("    ScrollBar_Delay_Time  slider  0..100  position 9"), std::string::npos) << out;
    EXPECT_NE(out.find("slot  6  Gain  On\n"), std::string::npos) << out;
}

TEST_F(PresetTool, OlderFilesShowTheirKindsRenumbered) {
    ChainFile rec;
    rec.version = 302;
    rec.kind[0] = 1;  // "Gain" in the older numbering
    rec.onoff[0] = 1;
    ASSERT_EQ(preset("show " + q(raw("old.pre", rec))), 0) << err;
    EXPECT_NE(out.find("version 302 (older numbering"), std::string::npos) << out;
    EXPECT_NE(out.find("slot  1  Gain  On\n"), std::string::npos) << out;
}

TEST_F(PresetTool, DamagedFilesAndBadArgumentsFailClearly) {
    const std::string good = path("good.pre");
    ASSERT_EQ(preset("build " + q(good) + " --fx Gain"), 0) << err;
    std::vector<uint8_t> b = bytes_of(good);
    auto write_bytes = [&](const std::string& name, const std::vector<uint8_t>& v) {
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(v.data()), static_cast<long>(v.size()));
        return path(name);
    };
    const std::string shorter = write_bytes("short.pre", std::vector<uint8_t>(b.begin(), b.end() - 1));
    std::vector<uint8_t> longer_bytes = b;
    longer_bytes.push_back(0);
    const std::string longer = write_bytes("long.pre", longer_bytes);
    const std::string fifo = path("fifo.pre");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ChainFile strange;
    strange.version = 303;
    strange.kind[6] = 99;
    ChainFile old_strange;
    old_strange.version = 302;
    old_strange.kind[0] = 14;  // passes the older table unchanged
    struct Case {
        std::string args, says;
    };
    const Case cases[] = {
        {"show " + q(shorter), "13187 bytes; a chain file is exactly 13188 bytes"},
        {"show " + q(longer), "13189 bytes"},
        {"show " + q(path("missing.pre")), "no such file"},
        {"show " + q(raw("strange.pre", strange)), "slot 7 names effect kind 99, outside 0..13"},
        {"show " + q(raw("old.pre", old_strange)), "slot 1 names effect kind 14, outside 0..13"},
        {"show " + q(good) + " --bytes", "--words"},
        {"build " + q(path("x.pre")) + " --fx Wobble", "unknown effect kind"},
        {"build " + q(path("x.pre")) + " --fx Gain --set 1:Nope=1", "no control"},
        // A slider would clamp quietly and build a rack nobody asked for.
        {"build " + q(path("x.pre")) + " --fx Gain --set 1:ScrollBar_Gain_Left=-5", "value -5 is outside 0..100"},
        {"build " + q(path("x.pre")) + " --fx Gain --set 1:ScrollBar_Gain_Left=101", "value 101 is outside 0..100"},
        // A FIFO or a folder is refused before anything reads it.
        {"show " + q(fifo), "not a regular file"},
        {"build " + q(path("x.pre")) + " --preset " + q(fifo), "not a regular file"},
        {"show " + q(dir.string()), "not a regular file"},
        {"build " + q(path("x.pre")) + " --block 7", "unknown option"},
        {"build " + q(path("x.pre")) + " --preset " + q(shorter), "13188"},
        {"build " + q(path("x.pre")) + " " + q("@" + path("none.txt")), "argument file"},
        {"build " + q(path("no/x.pre")) + " --fx Gain", "cannot write"},
        {"frobnicate", "expected show or build"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(preset(c.args), 2) << c.args;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.args << " said: " << err;
    }
    EXPECT_FALSE(fs::exists(path("x.pre")));
    EXPECT_EQ(run("varnomix-render", "--quiet --preset " + q(shorter) + " in.wav out.wav"), 2);
    EXPECT_NE(err.find("13188"), std::string::npos) << err;
    EXPECT_EQ(run("varnomix-render", "--quiet --preset " + q(fifo) + " in.wav out.wav"), 2);
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    EXPECT_EQ(run("varnomix-render", "--quiet --fx Gain --set 1:ScrollBar_Gain_Left=-5 in.wav out.wav"), 2);
    EXPECT_NE(err.find("outside 0..100"), std::string::npos) << err;
}

TEST_F(PresetTool, RenderingAPresetSoundsLikeTheSameChainGivenAsOptions) {
    AudioData in;
    in.sample_rate = 48000;
    in.channels = 2;
    for (int i = 0; i < 48000; ++i) {
        const float env = i % 12000 < 6000 ? 1.0f : 0.001f;  // notes and rests, for the gate
        in.samples.push_back(env * static_cast<float>(((i * 37) % 2001) - 1000) * 6.0f);
        in.samples.push_back(env * static_cast<float>(((i * 91) % 1001) - 500) * 9.0f);
    }
    const std::string wav = path("in.wav");
    ASSERT_EQ(write_wav(wav, in, false), "");
    const std::string pre = path("chain.pre");
    ASSERT_EQ(preset("build " + q(pre) + " " + kChain), 0) << err;

    struct Pair {
        std::string direct, through_preset;
    };
    const Pair pairs[] = {
        {kChain, "--preset " + q(pre)},
        {kChain + " --set 1:ScrollBar_Gain_Left=20 --fx Gain", "--preset " + q(pre) + " --set 1:ScrollBar_Gain_Left=20 --fx Gain"},
    };
    for (const Pair& p : pairs) {
        ASSERT_EQ(run("varnomix-render", "--quiet " + p.direct + " " + q(wav) + " " + q(path("a.wav"))), 0) << err;
        ASSERT_EQ(run("varnomix-render", "--quiet " + p.through_preset + " " + q(wav) + " " + q(path("b.wav"))), 0) << err;
        // The samples, not the bytes: a float file's PEAK chunk carries the second it was written.
        AudioData a, b;
        ASSERT_EQ(read_audio(path("a.wav"), a), "");
        ASSERT_EQ(read_audio(path("b.wav"), b), "");
        EXPECT_EQ(a.samples.size(), b.samples.size());
        EXPECT_TRUE(a.samples == b.samples) << p.through_preset;
    }
    // And the chain does something: it is not the dry signal.
    EXPECT_NE(bytes_of(path("a.wav")), bytes_of(wav));
}

TEST_F(PresetTool, FactoryPresetsAreBuiltIntoTheProgramFolder) {
    const fs::path folder = fs::path(VX_BIN_DIR) / "PRESETS";
    ASSERT_EQ(preset("show " + q((folder / "F9 - High Gain Distortion Noise Gate.pre").string())), 0) << err;
    for (const char* line : {"slot  1  noise gate  On\n", "slot  2  Distortion (Soft/Hard)  On\n",
                             "slot  3  EQ (8 bands) + Filters  On\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    int fkeys = 0;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name.size() > 4 && name.ends_with(".pre")) {
            EXPECT_EQ(preset("show " + q(e.path().string())), 0) << name << ": " << err;
            fkeys += name[0] == 'F';
        }
    }
    EXPECT_GE(fkeys, 4);
}

// "F10 - Ping Pong Delay" bounces a mono guitar between the sides: the right side answers half a
// delay time before the left.
TEST_F(PresetTool, PingPongPresetAlternatesTheSides) {
    AudioData in;
    in.sample_rate = 48000;
    in.channels = 2;
    in.samples.assign(2 * 24000, 0.0f);
    in.samples[0] = in.samples[1] = 10000.0f;
    ASSERT_EQ(write_wav(path("click.wav"), in, false), "");
    const fs::path f10 = fs::path(VX_BIN_DIR) / "PRESETS" / "F10 - Ping Pong Delay.pre";
    ASSERT_EQ(run("varnomix-render", "--quiet --preset " + q(f10.string()) + " " + q(path("click.wav")) + " " +
                                         q(path("echo.wav"))),
              0)
        << err;
    AudioData out;
    ASSERT_EQ(read_audio(path("echo.wav"), out), "");
    ASSERT_EQ(out.samples.size(), in.samples.size());
    const int d = 35 * 520;  // the preset's delay time in samples
    auto at = [&](int frame, int ch) { return std::abs(out.samples[static_cast<size_t>(2 * frame + ch)]); };
    EXPECT_GT(at(d / 2, 1), 100.0f);
    EXPECT_LT(at(d / 2, 0), 1.0f);
    EXPECT_GT(at(d, 0), 100.0f);
    EXPECT_LT(at(d, 1), 1.0f);
}

}  // namespace
}  // namespace vx
