// The tools read the program folder's settings files (--home DIR, else $VARNOMIX_HOME) and never
// write them: a render leaves the desktop program's settings as they were.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "audio_file.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

class HomeSettings : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("vx-home-settings-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "empty");
        fs::create_directories(dir / "set");
        AudioData d;
        d.sample_rate = 48000;
        d.channels = 2;
        for (int i = 0; i < 6000; ++i) {
            d.samples.push_back(static_cast<float>(12000.0 * std::sin(i * 0.0654)));
            d.samples.push_back(static_cast<float>(9000.0 * std::sin(i * 0.1309 + 1.0)));
        }
        in = (dir / "in.wav").string();
        ASSERT_EQ(write_wav(in, d, false), "");
    }
    void TearDown() override { fs::remove_all(dir); }

    int render(const std::string& args, const std::string& env = "") {
        const std::string cmd = env + " " + std::string(VX_BIN_DIR) + "/varnomix-render --quiet " + args + " 2>" +
                                (dir / "stderr.txt").string();
        const int st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    std::vector<float> out(const std::string& name) {
        AudioData d;
        EXPECT_EQ(read_audio((dir / name).string(), d), "");
        return d.samples;
    }
    static std::string text(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::string q(const fs::path& p) const { return "'" + p.string() + "'"; }

    fs::path dir;
    std::string in;
};

TEST_F(HomeSettings, RenderReadsMteqIniFromHomeAndNeverWritesIt) {
    const std::string settings = "[Other]\nStandard=0\nLevel=0\n[EQL]\ns3=10\n";
    std::ofstream(dir / "set" / "MTEQ.ini") << settings;
    const auto before = fs::last_write_time(dir / "set" / "MTEQ.ini");
    const std::string fx = "--fx 'Distortorton Plus' ";

    ASSERT_EQ(render(fx + "--home " + q(dir / "set") + " " + q(in) + " " + q(dir / "home.wav")), 0) << text(dir / "stderr.txt");
    ASSERT_EQ(render(fx + q(in) + " " + q(dir / "env.wav"), "VARNOMIX_HOME=" + q(dir / "set")), 0);
    // The same settings given as controls, from a folder without the file (the file has no EQR, so
    // the middle row comes back to 50 after the gang dragged it).
    ASSERT_EQ(render(fx + "--home " + q(dir / "empty") +
                     " --set 1:CheckBox_Standard=0 --set 1:ScrollBar_gain_Out=0 --set 1:ScrollBar3=10 --set 1:spSkinScrollBar4=50 " + q(in) + " " +
                     q(dir / "controls.wav")),
              0);
    ASSERT_EQ(render(fx + "--home " + q(dir / "empty") + " " + q(in) + " " + q(dir / "default.wav")), 0);

    const auto home = out("home.wav"), env = out("env.wav"), controls = out("controls.wav"), plain = out("default.wav");
    ASSERT_EQ(home.size(), 12000u);
    EXPECT_EQ(home, controls);
    EXPECT_EQ(env, controls);
    EXPECT_NE(home, plain);

    EXPECT_EQ(text(dir / "set" / "MTEQ.ini"), settings);
    EXPECT_EQ(fs::last_write_time(dir / "set" / "MTEQ.ini"), before);
    EXPECT_TRUE(fs::is_empty(dir / "empty"));
}

}  // namespace
}  // namespace vx
