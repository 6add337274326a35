// --record of varnomix-render and varnomix --nogui: a take written from a slot's recorder, the
// player playing the program folder's demo, and no settings file left behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/chain_file.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

class RecordOption : public ::testing::Test {
protected:
    void SetUp() override {
        home = fs::temp_directory_path() / ("vx-record-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(home / "PRESETS");
        // The demo the player finds: 100 stereo frames of 16-bit PCM, all samples 1000.
        std::vector<uint8_t> wav = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                    16, 0, 0, 0, 1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0xEE, 2, 0,
                                    4, 0, 16, 0, 'd', 'a', 't', 'a', 0x90, 1, 0, 0};
        for (int i = 0; i < 200; ++i) wav.insert(wav.end(), {0xE8, 0x03});
        write(home / "demo1.wav", wav);
    }
    void TearDown() override { fs::remove_all(home); }

    static void write(const fs::path& p, const std::vector<uint8_t>& b) {
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    static std::vector<uint8_t> bytes(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    int run(const std::string& program, const std::string& args) {
        const std::string cmd = std::string(VX_BIN_DIR) + "/" + program + " --home '" + home.string() + "' " + args + " 2>&1";
        out.clear();
        FILE* p = ::popen(cmd.c_str(), "r");
        if (p == nullptr) return -1;
        char b[512];
        while (size_t n = std::fread(b, 1, sizeof b, p)) out.append(b, n);
        const int st = ::pclose(p);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    fs::path home;
    std::string out;
};

TEST_F(RecordOption, RenderRecordsTheSignalAtItsSlot) {
    // Silence in, 1000 frames: the take is the looped demo, as 16-bit samples.
    std::vector<uint8_t> in = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                               16, 0, 0, 0, 1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0xEE, 2, 0,
                               4, 0, 16, 0, 'd', 'a', 't', 'a', 0xA0, 0x0F, 0, 0};
    in.resize(in.size() + 4000, 0);
    write(home / "in.wav", in);
    const std::string files = "'" + (home / "in.wav").string() + "' '" + (home / "out.wav").string() + "'";
    const fs::path take = home / "take.wav";
    ASSERT_EQ(run("varnomix-render", "--quiet --fx 'Playback wav file' --fx 'Record wav' --record '2:" +
                                         take.string() + "' " + files),
              0)
        << out;
    const std::vector<uint8_t> t = bytes(take);
    ASSERT_EQ(t.size(), 44u + 4000u);
    EXPECT_EQ(t[40] | t[41] << 8, 4000);
    for (size_t i = 44; i < t.size(); i += 2) ASSERT_EQ(t[i] | t[i + 1] << 8, 1000) << i;
    EXPECT_FALSE(fs::exists(home / "playback.ini"));

    // A slot without a recorder is refused before anything is written.
    EXPECT_EQ(run("varnomix-render", "--quiet --fx Gain --record '1:" + (home / "no.wav").string() + "' " + files), 2);
    EXPECT_NE(out.find("holds no \"Record wav\""), std::string::npos) << out;
    EXPECT_EQ(run("varnomix-render", "--quiet --fx 'Record wav' --record 17:x.wav " + files), 2);
    EXPECT_FALSE(fs::exists(home / "no.wav"));
}

TEST_F(RecordOption, HeadlessRunSavesTheTakeAtTheStop) {
    ChainFile rec;
    rec.version = kChainFileVersion;
    rec.kind[0] = 11;
    rec.kind[1] = 12;
    rec.onoff[0] = rec.onoff[1] = 1;
    const fs::path pre = home / "PRESETS" / "rec.pre";
    ASSERT_EQ(write_chain_file(pre.string(), rec), "");
    const fs::path take = home / "live.wav";
    ASSERT_EQ(run("varnomix", "--nogui --input 'Test signal' --output 'Null output' --seconds 0.5 --preset '" +
                                  pre.string() + "' --record '2:" + take.string() + "'"),
              0)
        << out;
    EXPECT_NE(out.find("recorded: slot 2"), std::string::npos) << out;
    const std::vector<uint8_t> t = bytes(take);
    ASSERT_GT(t.size(), 44u);
    EXPECT_EQ(t[22], 2);  // stereo
    EXPECT_EQ(t.size() - 44u, static_cast<size_t>(t[40] | t[41] << 8 | t[42] << 16 | t[43] << 24));
    EXPECT_FALSE(fs::exists(home / "playback.ini"));
    EXPECT_FALSE(fs::exists(home / "face.ini"));

    EXPECT_EQ(run("varnomix", "--nogui --input 'Test signal' --output 'Null output' --seconds 0.2 --preset '" +
                                  pre.string() + "' --record '1:" + (home / "no.wav").string() + "'"),
              2);
    EXPECT_NE(out.find("holds no \"Record wav\""), std::string::npos) << out;
}

}  // namespace
}  // namespace vx
