#include "engine/ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace vx {
namespace {

struct TempFile {
    fs::path path = fs::temp_directory_path() / ("vx-ini-" + std::to_string(::getpid()) + ".ini");
    ~TempFile() { fs::remove(path); }
    void write(const std::string& s) { std::ofstream(path) << s; }
    std::string read() {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

TEST(Ini, ProfileReadingRules) {
    TempFile f;
    f.write("; kept comment\n[Wave Devices]\ninput=3\nLATENCY=0x1F\nbad=12ms\nempty=\nneg=-7\nbig=99999999999\n"
            "hexmax=0xFFFFFFFF\nbarehex=0x\n[Default Preset]\nPath=C:\\x\\F9 - a.pre\n");
    IniFile ini(f.path.string());
    struct Case { const char* section; const char* key; int32_t expected; };
    const Case cases[] = {
        {"Wave Devices", "input", 3},   {"wave devices", "INPUT", 3},  {"Wave Devices", "latency", 31},
        {"Wave Devices", "bad", -1},    {"Wave Devices", "empty", -1}, {"Wave Devices", "neg", -7},
        {"Wave Devices", "big", -1},    {"Wave Devices", "hexmax", -1}, {"Wave Devices", "barehex", -1},
        {"Wave Devices", "missing", -1}, {"Nowhere", "input", -1},
    };
    for (const Case& c : cases) EXPECT_EQ(ini.read_int(c.section, c.key, -1), c.expected) << c.key;
    EXPECT_EQ(ini.read_int("Wave Devices", "hexmax", 5), -1) << "0xFFFFFFFF is -1 as a 32-bit word";
    EXPECT_EQ(ini.read_string("default preset", "path", "ERROR"), "C:\\x\\F9 - a.pre");
    EXPECT_EQ(ini.read_string("Default Preset", "Nope", "ERROR"), "ERROR");
    EXPECT_TRUE(ini.has_key("Wave Devices", "empty"));
    EXPECT_FALSE(ini.has_key("Wave Devices", "nope"));
}

TEST(Ini, UpdateKeepsTheRestOfTheFile) {
    TempFile f;
    f.write("; kept comment\n[Wave Devices]\ninput=3\nusefastwdm=1\n[Other]\nkeep=yes\n");
    {
        IniFile ini(f.path.string());
        ini.write_int("wave devices", "Input", 5);
        ini.write_int("Wave Devices", "latency", 20);
        ini.write_string("Default Preset", "Path", "");
        ASSERT_EQ(ini.save(), "");
    }
    const std::string text = f.read();
    EXPECT_NE(text.find("; kept comment"), std::string::npos) << text;
    EXPECT_NE(text.find("usefastwdm=1"), std::string::npos) << text;
    EXPECT_NE(text.find("keep=yes"), std::string::npos) << text;
    EXPECT_NE(text.find("[Wave Devices]"), std::string::npos) << text;
    IniFile again(f.path.string());
    EXPECT_EQ(again.read_int("Wave Devices", "input", 0), 5);
    EXPECT_EQ(again.read_int("Wave Devices", "latency", 0), 20);
    EXPECT_TRUE(again.has_key("Default Preset", "Path"));
    EXPECT_EQ(again.read_string("Default Preset", "Path", "ERROR"), "");
}

TEST(Ini, MissingFileAndFailedSave) {
    IniFile ini("/nonexistent-dir/face.ini");
    EXPECT_EQ(ini.read_int("Wave Devices", "latency", 35), 35);
    ini.write_int("Wave Devices", "latency", 1);
    EXPECT_NE(ini.save(), "");
    EXPECT_FALSE(fs::exists("/nonexistent-dir"));
}

// Whatever stands at the path, the reader neither hangs nor reserves what the system reports.
TEST(Ini, WhatIsNotASettingsFileReadsAsEmpty) {
    const fs::path dir = fs::temp_directory_path() / ("vx-ini-odd-" + std::to_string(::getpid()));
    fs::create_directories(dir / "folder.ini");
    ASSERT_EQ(::mkfifo((dir / "fifo.ini").c_str(), 0600), 0);
    {
        std::ofstream big(dir / "big.ini");
        big << "[A]\nx=1\n" << std::string(IniFile::kMaxFileBytes, ';') << "\n";
    }
    for (const char* name : {"folder.ini", "fifo.ini", "big.ini"}) {
        IniFile ini((dir / name).string());
        EXPECT_EQ(ini.read_int("A", "x", -1), -1) << name;
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vx
